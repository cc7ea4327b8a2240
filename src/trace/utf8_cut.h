#pragma once

#include <cstddef>

namespace vorn {

// The length at which to cut `text` (of `length` bytes) so that at most
// `limit` bytes remain without splitting a UTF-8 character: when the cut
// would fall inside a well-formed multi-byte sequence, it backs off to the
// start of that sequence. Bytes that are not well-formed UTF-8 are cut
// exactly at `limit`, as plain bytes.
//   ("abc", 3, 2)            => 2
//   ("a\xC3\xA9", 3, 2)      => 1   (é would be split)
//   ("a\xA9\xA9", 3, 2)      => 2   (stray continuation bytes)
std::size_t utf8_cut_length(const char* text, std::size_t length, std::size_t limit);

// The first character of `text` (`length` > 0 bytes): how many bytes it
// takes, and whether they are well-formed UTF-8. A malformed stretch is its
// maximal subpart, the longest start of a valid sequence found there (at
// least one byte), which a decoder replaces by one U+FFFD, as Python's
// bytes.decode("utf-8", "replace") does.
//   "a"              => {1, true}
//   "\xC3\xA9"       => {2, true}
//   "\xE2\x82A"      => {2, false}  (a euro sign without its last byte)
//   "\xED\xA0\x80"   => {1, false}  (a surrogate: each byte stands alone)
//   "\xFF"           => {1, false}
struct Utf8Unit {
    std::size_t length;
    bool well_formed;
};
Utf8Unit next_utf8_unit(const char* text, std::size_t length);

}  // namespace vorn
