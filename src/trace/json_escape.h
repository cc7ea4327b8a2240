#pragma once

#include <cstddef>
#include <cstdint>

namespace vorn {

// Escapes `length` bytes of `source` (none when length <= 0) for a JSON
// string into `destination`, a buffer of `capacity` bytes, NUL-terminated;
// returns the number of characters written before the NUL.
//   tab, line feed, carriage return  => \t  \n  \r
//   "  and  \                        => \"  \\  (backslash, then the byte)
//   other bytes below 0x20, and 0x7F => \u00XX, lowercase hex (0x1B => \u001b)
//   UTF-8 characters                 => themselves
//   bytes that are not UTF-8         => U+FFFD, one per maximal subpart (as
//                                       Python's decode(errors="replace"))
//   every other byte                 => itself
// A byte is taken only while the output so far plus 7 is less than
// `capacity`, so an escape is always written whole and the output holds at
// most capacity - 2 characters. Where that bound stops the text, it stops
// before a character that would not fit whole, so the output is UTF-8.
//   ("a\"b", 3, dst, 16)         => a\"b      (4)
//   ("\x01", 1, dst, 16)         => \u0001    (6)
//   ("ab\xC3\xA9", 4, dst, 10)   => ab        (2; é does not fit whole)
//   ("a\xFFb", 3, dst, 16)       => a\xEF\xBF\xBDb (5)
std::size_t json_escape(const char* source, std::int32_t length, char* destination,
                        std::size_t capacity);

// Where to cut `length` bytes of json_escape output so that at most `limit`
// bytes remain, ending neither inside an escape sequence nor inside a UTF-8
// character.
//   ("ab\u0001c", 9, 4)    => 2
//   ("ab\"", 4, 3)         => 2
//   ("a\xC3\xA9", 3, 2)    => 1
std::size_t escaped_cut_length(const char* text, std::size_t length, std::size_t limit);

}  // namespace vorn
