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

}  // namespace vorn
