// Escaping of texts for JSON strings, its output bound, and where escaped
// text may be cut.

#include "trace/json_escape.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string escape(const std::string& text, std::size_t capacity = 64) {
    std::string out(capacity, '#');
    const std::size_t length =
        vorn::json_escape(text.data(), static_cast<std::int32_t>(text.size()), out.data(), capacity);
    EXPECT_EQ(out[length], '\0');
    return out.substr(0, length);
}

TEST(json_escape, follows_the_escaping_table) {
    EXPECT_EQ(escape(" plain ~"), " plain ~") << "0x20 and 0x7E pass";
    EXPECT_EQ(escape("\t\n\r\"q\" \\"), "\\t\\n\\r\\\"q\\\" \\\\");
    EXPECT_EQ(escape(std::string("\x00\x01\x08\x0c\x1b\x1f\x7f", 7)),
              "\\u0000\\u0001\\u0008\\u000c\\u001b\\u001f\\u007f");
    EXPECT_EQ(escape("caf\xC3\xA9 \xF0\x9F\x98\x80"), "caf\xC3\xA9 \xF0\x9F\x98\x80") << "UTF-8 passes unchanged";
    for (const std::int32_t empty : {0, -5}) {
        char out[16] = "junk";
        EXPECT_EQ(vorn::json_escape("abc", empty, out, sizeof out), 0u);
        EXPECT_STREQ(out, "");
    }
}

// A JSON file has to be UTF-8 as a whole: bytes that are not become U+FFFD,
// one per maximal subpart, as Python's decode(errors="replace") has them.
TEST(json_escape, replaces_bytes_that_are_not_utf8) {
    const std::string r = "\xEF\xBF\xBD";
    const struct {
        std::string given, expected;
    } cases[] = {
        {"a\x80\xFFz", "a" + r + r + "z"},                    // stray continuation, impossible byte
        {"\xC0\xAF", r + r},                                  // overlong "/"
        {"\xE2\x82" "A", r + "A"},                             // euro sign missing its last byte
        {"\xED\xA0\x80", r + r + r},                           // a surrogate
        {"\xF4\x90\x80\x80", r + r + r + r},                    // above U+10FFFF
        {"\xF0\x9F\x98", r},                                  // emoji cut short at the end
        {"\xEF\xBF\xBD\xF3\xA0\x80\x81", "\xEF\xBF\xBD\xF3\xA0\x80\x81"},  // valid: kept
    };
    for (const auto& c : cases) EXPECT_EQ(escape(c.given), c.expected) << c.given;
    EXPECT_EQ(escape("ab\xFF", 11), "ab") << "a replacement is written whole or not at all";
    EXPECT_EQ(escape("ab\xFF", 12), "ab" + r);
}

TEST(json_escape, stops_two_below_the_capacity_with_escapes_and_characters_whole) {
    // A byte is taken while output + 7 < capacity.
    EXPECT_EQ(escape(std::string(20, 'a'), 16), std::string(9, 'a'));
    EXPECT_EQ(escape(std::string(20, '\x01'), 16), "\\u0001\\u0001");
    EXPECT_EQ(escape("abc", 3), "") << "no room for any escape: nothing is taken";
    char untouched = 'x';
    EXPECT_EQ(vorn::json_escape("abc", 3, &untouched, 0), 0u);
    EXPECT_EQ(untouched, 'x') << "capacity 0 writes nothing at all";
    EXPECT_EQ(escape("ab\xC3\xA9", 10), "ab");
    EXPECT_EQ(escape("ab\xC3\xA9", 11), "ab\xC3\xA9");
}

TEST(escaped_cut_length, keeps_escapes_and_characters_whole) {
    const auto cut = [](const std::string& escaped, std::size_t limit) {
        return vorn::escaped_cut_length(escaped.data(), escaped.size(), limit);
    };
    EXPECT_EQ(cut("ab\\u0001c", 4), 2u);
    EXPECT_EQ(cut("ab\\u0001c", 8), 8u);
    EXPECT_EQ(cut("ab\\\"c", 3), 2u);
    EXPECT_EQ(cut("ab\\\\\\nc", 5), 4u) << "an escaped backslash is one escape";
    EXPECT_EQ(cut("\\t\xE2\x82\xAC", 4), 2u);
}

}  // namespace
