#include "trace/json_escape.h"

#include "trace/utf8_cut.h"

namespace vorn {
namespace {

// Room an escape may need: the six characters of \u00XX and the NUL.
constexpr std::size_t kEscapeHeadroom = 7;

// True when the byte at `text` leads a UTF-8 character that does not fit in
// `room` bytes (the number the bound would still let through as plain bytes).
bool character_does_not_fit(const char* text, std::size_t remaining, std::size_t room) {
    return utf8_cut_length(text, remaining, room) == 0;
}

}  // namespace

std::size_t json_escape(const char* source, std::int32_t length, char* destination,
                        std::size_t capacity) {
    if (capacity == 0) return 0;
    static constexpr char hex[] = "0123456789abcdef";
    const std::size_t count = length > 0 ? static_cast<std::size_t>(length) : 0;
    std::size_t out = 0;
    for (std::size_t i = 0; i < count && out + kEscapeHeadroom < capacity; ++i) {
        const auto byte = static_cast<unsigned char>(source[i]);
        if (byte >= 0x80 &&
            character_does_not_fit(source + i, count - i, capacity - kEscapeHeadroom - out)) {
            break;
        }
        switch (byte) {
            case '\t': destination[out++] = '\\'; destination[out++] = 't'; break;
            case '\n': destination[out++] = '\\'; destination[out++] = 'n'; break;
            case '\r': destination[out++] = '\\'; destination[out++] = 'r'; break;
            case '"': destination[out++] = '\\'; destination[out++] = '"'; break;
            case '\\': destination[out++] = '\\'; destination[out++] = '\\'; break;
            default:
                if (byte < 0x20 || byte == 0x7F) {
                    destination[out++] = '\\';
                    destination[out++] = 'u';
                    destination[out++] = '0';
                    destination[out++] = '0';
                    destination[out++] = hex[byte >> 4];
                    destination[out++] = hex[byte & 0x0F];
                } else {
                    destination[out++] = static_cast<char>(byte);
                }
        }
    }
    destination[out] = '\0';
    return out;
}

std::size_t escaped_cut_length(const char* text, std::size_t length, std::size_t limit) {
    if (length <= limit) return length;
    std::size_t end = 0;
    while (end < limit) {
        std::size_t step = 1;
        if (text[end] == '\\' && end + 1 < length) step = text[end + 1] == 'u' ? 6 : 2;
        if (end + step > limit) break;
        end += step;
    }
    // Escapes are ASCII, so backing off to a character's lead byte never
    // lands inside one.
    return utf8_cut_length(text, length, end);
}

}  // namespace vorn
