#include "trace/utf8_cut.h"

namespace vorn {
namespace {

bool is_continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// Length of the sequence a lead byte announces; 0 for bytes that cannot lead.
std::size_t sequence_length(unsigned char lead) {
    if (lead >= 0xC2 && lead <= 0xDF) return 2;
    if (lead >= 0xE0 && lead <= 0xEF) return 3;
    if (lead >= 0xF0 && lead <= 0xF4) return 4;
    return 0;
}

// The range the byte after `lead` must fall in; continuation bytes further
// on are always 0x80-0xBF. Excludes overlong forms, surrogates and code
// points above U+10FFFF.
struct SecondByteRange {
    unsigned char low, high;
};
SecondByteRange second_byte_range(unsigned char lead) {
    switch (lead) {
        case 0xE0: return {0xA0, 0xBF};
        case 0xED: return {0x80, 0x9F};
        case 0xF0: return {0x90, 0xBF};
        case 0xF4: return {0x80, 0x8F};
        default: return {0x80, 0xBF};
    }
}

}  // namespace

Utf8Unit next_utf8_unit(const char* text, std::size_t length) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    if (bytes[0] < 0x80) return {1, true};
    const std::size_t expected = sequence_length(bytes[0]);
    if (expected == 0) return {1, false};
    const SecondByteRange second = second_byte_range(bytes[0]);
    std::size_t taken = 1;
    while (taken < expected && taken < length) {
        const unsigned char byte = bytes[taken];
        const bool fits = taken == 1 ? byte >= second.low && byte <= second.high : is_continuation(byte);
        if (!fits) break;
        ++taken;
    }
    return {taken, taken == expected};
}

std::size_t utf8_cut_length(const char* text, std::size_t length, std::size_t limit) {
    if (length <= limit) return length;
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    if (!is_continuation(bytes[limit])) return limit;
    // Find the lead byte of the sequence the cut falls into (at most 3 back).
    std::size_t start = limit;
    while (start > 0 && limit - start < 3 && is_continuation(bytes[start])) --start;
    const std::size_t expected = sequence_length(bytes[start]);
    if (expected == 0 || start + expected <= limit || start + expected > length) return limit;
    for (std::size_t i = start + 1; i < start + expected; ++i) {
        if (!is_continuation(bytes[i])) return limit;
    }
    return start;
}

}  // namespace vorn
