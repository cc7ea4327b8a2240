#include "reader/utf8_text.h"

namespace vorn::reader {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// How many bytes of a well-formed sequence start at `at`: 0 when the
// sequence is ill-formed, with `valid` set to how many of its bytes (the
// lead byte and the continuations that fit) count as one replaced unit.
std::size_t sequence_length(std::string_view bytes, std::size_t at, std::size_t& valid) {
    const auto lead = static_cast<unsigned char>(bytes[at]);
    valid = 1;
    if (lead < 0x80) return 1;
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    for (std::size_t k = 1; k < length; ++k) {
        if (at + k >= bytes.size()) return 0;
        const auto byte = static_cast<unsigned char>(bytes[at + k]);
        // Only the second byte has a narrower range.
        const unsigned char from = k == 1 ? low : 0x80;
        const unsigned char to = k == 1 ? high : 0xBF;
        if (byte < from || byte > to) return 0;
        valid = k + 1;
    }
    return length;
}

}  // namespace

bool is_utf8(std::string_view bytes) {
    std::size_t at = 0;
    while (at < bytes.size()) {
        if (static_cast<unsigned char>(bytes[at]) < 0x80) {
            ++at;
            continue;
        }
        std::size_t valid = 0;
        const std::size_t length = sequence_length(bytes, at, valid);
        if (length == 0) return false;
        at += length;
    }
    return true;
}

void append_replacing(std::string& out, std::string_view bytes) {
    std::size_t at = 0;
    while (at < bytes.size()) {
        std::size_t run = at;
        while (run < bytes.size() && static_cast<unsigned char>(bytes[run]) < 0x80) ++run;
        out.append(bytes.substr(at, run - at));
        at = run;
        if (at == bytes.size()) break;
        std::size_t valid = 0;
        const std::size_t length = sequence_length(bytes, at, valid);
        if (length == 0) {
            out.append(kReplacement);
            at += valid;
        } else {
            out.append(bytes.substr(at, length));
            at += length;
        }
    }
}

void append_code_point(std::string& out, char32_t code) {
    if (code < 0x80) {
        out.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (code >> 6)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (code >> 12)));
        out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (code >> 18)));
        out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
}

}  // namespace vorn::reader
