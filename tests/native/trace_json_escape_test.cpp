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
    EXPECT_EQ(escape("plain text"), "plain text");
    EXPECT_EQ(escape("\t\n\r"), "\\t\\n\\r");
    EXPECT_EQ(escape("\"q\" \\"), "\\\"q\\\" \\\\");
    EXPECT_EQ(escape(std::string("\x00\x01\x08\x0c\x1b\x1f", 6)), "\\u0000\\u0001\\u0008\\u000c\\u001b\\u001f");
    EXPECT_EQ(escape("\x7f"), "\\u007f");
    EXPECT_EQ(escape(" ~"), " ~") << "0x20 and 0x7E pass";
    EXPECT_EQ(escape("caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"), "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80");
    EXPECT_EQ(escape("\x80\xFF"), "\x80\xFF") << "bytes that are not UTF-8 pass unchanged";
}

TEST(json_escape, empty_and_negative_lengths_give_empty_text) {
    char out[16] = "junk";
    EXPECT_EQ(vorn::json_escape("abc", 0, out, sizeof out), 0u);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(vorn::json_escape("abc", -5, out, sizeof out), 0u);
    EXPECT_STREQ(out, "");
}

TEST(json_escape, output_stays_two_below_the_capacity) {
    // A byte is taken while output + 7 < capacity.
    EXPECT_EQ(escape(std::string(20, 'a'), 16), std::string(9, 'a'));
    EXPECT_EQ(escape(std::string(20, '\x01'), 16), "\\u0001\\u0001") << "escapes are written whole";
    EXPECT_EQ(escape(std::string(85, '\x01'), 512).size(), 510u);
    EXPECT_EQ(escape(std::string(4095, '\x01'), 24576).size(), 24570u) << "a 4095-byte message always fits";
    EXPECT_EQ(escape("abc", 8), "a");
    EXPECT_EQ(escape("abc", 3), "") << "no room for any escape: nothing is taken";
    char untouched = 'x';
    EXPECT_EQ(vorn::json_escape("abc", 3, &untouched, 0), 0u);
    EXPECT_EQ(untouched, 'x') << "capacity 0 writes nothing at all";
}

TEST(json_escape, the_bound_never_splits_a_utf8_character) {
    EXPECT_EQ(escape("ab\xC3\xA9", 10), "ab");
    EXPECT_EQ(escape("ab\xC3\xA9", 11), "ab\xC3\xA9");
    EXPECT_EQ(escape("a\xF0\x9F\x98\x80", 11), "a");
    EXPECT_EQ(escape("a\xF0\x9F\x98\x80", 12), "a\xF0\x9F\x98\x80");
    // Malformed sequences are plain bytes, cut where the bound falls.
    EXPECT_EQ(escape("ab\xC3\x41", 10), "ab\xC3");
    EXPECT_EQ(escape("ab\xA9\xA9", 10), "ab\xA9");
}

std::size_t cut(const std::string& escaped, std::size_t limit) {
    return vorn::escaped_cut_length(escaped.data(), escaped.size(), limit);
}

TEST(escaped_cut_length, keeps_escapes_and_characters_whole) {
    EXPECT_EQ(cut("abc", 5), 3u);
    EXPECT_EQ(cut("abc", 2), 2u);
    EXPECT_EQ(cut("ab\\u0001c", 4), 2u);
    EXPECT_EQ(cut("ab\\u0001c", 8), 8u);
    EXPECT_EQ(cut("ab\\\"c", 3), 2u);
    EXPECT_EQ(cut("ab\\\\\\nc", 5), 4u) << "an escaped backslash is one escape";
    EXPECT_EQ(cut("a\xC3\xA9z", 2), 1u);
    EXPECT_EQ(cut("\\t\xE2\x82\xAC", 4), 2u);
    EXPECT_EQ(cut("abc", 0), 0u);
}

}  // namespace
