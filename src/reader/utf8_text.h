#pragma once

#include <string>
#include <string_view>

namespace vorn::reader {

// Whether `bytes` are well-formed UTF-8 throughout.
bool is_utf8(std::string_view bytes);

// Appends `bytes` to `out` as UTF-8, each maximal ill-formed subsequence
// replaced by one U+FFFD: a lead byte with the continuation bytes that fit
// it so far stands for one character, however soon it is cut off.
void append_replacing(std::string& out, std::string_view bytes);

// Appends the code point `code` (at most U+10FFFF) as UTF-8.
void append_code_point(std::string& out, char32_t code);

}  // namespace vorn::reader
