#include "trace/json_escape.h"

#include <cstring>

#include "trace/utf8_cut.h"

namespace vorn {
namespace {

// Room an escape may need: the six characters of \u00XX and the NUL.
constexpr std::size_t kEscapeHeadroom = 7;

// U+FFFD, written for bytes that are not UTF-8: a JSON text must be UTF-8,
// and one stray byte would make the whole file unreadable to a JSON reader.
constexpr char kReplacement[] = "\xEF\xBF\xBD";
constexpr std::size_t kReplacementLength = sizeof kReplacement - 1;

// Printable ASCII other than the quote and the backslash: copied as it is.
constexpr bool stands_for_itself(unsigned char byte) {
    return byte >= 0x20 && byte < 0x7F && byte != '"' && byte != '\\';
}

// The same test as a table: the scan over a run of plain bytes is the
// escaper's hot loop, and a lookup is one load per byte.
struct PlainBytes {
    bool plain[256] = {};
    constexpr PlainBytes() {
        for (unsigned byte = 0; byte < 256; ++byte) {
            plain[byte] = stands_for_itself(static_cast<unsigned char>(byte));
        }
    }
};
constexpr PlainBytes kPlainBytes;

}  // namespace

std::size_t json_escape(const char* source, std::int32_t length, char* destination,
                        std::size_t capacity) {
    if (capacity == 0) return 0;
    static constexpr char hex[] = "0123456789abcdef";
    const std::size_t count = length > 0 ? static_cast<std::size_t>(length) : 0;
    std::size_t out = 0;
    for (std::size_t i = 0; i < count && out + kEscapeHeadroom < capacity; ++i) {
        // A run of bytes that stand for themselves is found by one tight scan
        // and copied at once, as far as the bound lets single bytes through.
        const std::size_t room = capacity - kEscapeHeadroom - out;
        const std::size_t most = room < count - i ? room : count - i;
        std::size_t run = 0;
        while (run < most && kPlainBytes.plain[static_cast<unsigned char>(source[i + run])]) ++run;
        if (run > 0) {
            std::memcpy(destination + out, source + i, run);
            out += run;
            i += run - 1;
            continue;
        }
        const auto byte = static_cast<unsigned char>(source[i]);
        if (byte >= 0x80) {
            // A character is taken whole or not at all.
            const Utf8Unit unit = next_utf8_unit(source + i, count - i);
            const std::size_t needed = unit.well_formed ? unit.length : kReplacementLength;
            if (needed > capacity - kEscapeHeadroom - out) break;
            const char* bytes = unit.well_formed ? source + i : kReplacement;
            for (std::size_t k = 0; k < needed; ++k) destination[out++] = bytes[k];
            i += unit.length - 1;
            continue;
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
