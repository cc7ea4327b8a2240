#include "trace/utf8_cut.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::size_t cut(const std::string& text, std::size_t limit) {
    return vorn::utf8_cut_length(text.data(), text.size(), limit);
}

TEST(utf8_cut, backs_off_to_the_start_of_a_split_character) {
    EXPECT_EQ(cut("abc", 3), 3u);
    EXPECT_EQ(cut("abc", 2), 2u);
    EXPECT_EQ(cut("a\xC3\xA9", 2), 1u);             // é, 2 bytes
    EXPECT_EQ(cut("a\xE2\x82\xAC", 3), 1u);         // €, 3 bytes, cut before its last byte
    EXPECT_EQ(cut("a\xF0\x9F\x98\x80z", 4), 1u);    // emoji, 4 bytes
    EXPECT_EQ(cut("a\xF0\x9F\x98\x80z", 5), 5u);    // cut right after it
}

TEST(utf8_cut, malformed_bytes_are_cut_as_plain_bytes) {
    EXPECT_EQ(cut("a\xA9\xA9\xA9\xA9", 3), 3u);     // stray continuations
    EXPECT_EQ(cut("\xC3\x41\x41", 1), 1u);          // lead without continuation
    EXPECT_EQ(cut("a\xF0\x9F\x98\x41", 3), 3u);     // broken after the cut
    EXPECT_EQ(vorn::utf8_cut_length("a\xE2\x82\x82", 3, 2), 2u);  // truncated: bytes past the length do not count
}

}  // namespace
