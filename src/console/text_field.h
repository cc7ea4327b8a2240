#pragma once

#include <cstddef>

namespace vorn {

// A scope's fixed text field: at most 255 bytes of text, NUL-terminated.
inline constexpr std::size_t kTextFieldSize = 256;

// Copies `text` (up to its NUL; null reads as empty) into `field`, cut to at
// most 255 bytes without splitting a UTF-8 character; the rest of the field
// is zero. Malformed bytes are cut as plain bytes.
//   "run"                        => "run"
//   300 x "a"                    => 255 x "a"
//   254 x "a" + "\xC3\xA9" (é)   => 254 x "a"
void store_text_field(char (&field)[kTextFieldSize], const char* text);

}  // namespace vorn
