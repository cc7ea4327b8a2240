#pragma once

#include <cstdarg>
#include <cstddef>

namespace vorn {

// The texts a scope carries, shared by the trace and the console scopes.

// A scope's fixed text field (invoker, file): at most 255 bytes of text,
// NUL-terminated, the rest zero.
inline constexpr std::size_t kTextFieldSize = 256;

// Most bytes of a formatted message that a record or line keeps.
inline constexpr std::size_t kMessageLimit = 4095;
// The formatting buffer: the limit, three bytes more so that a cut can see
// whether it would split a 4-byte UTF-8 character, and the NUL.
inline constexpr std::size_t kMessageBufferSize = kMessageLimit + 3 + 1;

// Copies `text` (up to its NUL; null reads as empty) into `field`, cut to at
// most 255 bytes without splitting a UTF-8 character; the rest of the field
// is zero. Malformed bytes are cut as plain bytes.
//   "run"                        => "run"
//   300 x "a"                    => 255 x "a"
//   254 x "a" + "\xC3\xA9" (é)   => 254 x "a"
void store_text_field(char (&field)[kTextFieldSize], const char* text);

// Formats a printf-style message into `buffer` and returns its length: ended
// at its first NUL and cut to at most 4095 bytes without splitting a UTF-8
// character; the buffer is NUL-terminated there. A null format or a
// formatting error gives the empty message.
//   ("%s", "load")            => "load" (4)
//   ("%s", 5000 x "a")        => 4095 x "a" (4095)
//   ("%s", 2500 x "é")        => 2047 x "é" (4094)
//   ("%s%c%s", "ab", 0, "cd") => "ab" (2)
std::size_t format_message(char (&buffer)[kMessageBufferSize], const char* format, va_list args)
    __attribute__((format(printf, 2, 0)));

// The calling thread's formatting buffer, so that a call made deep inside a
// recursion, with little stack left, does not need 4 KiB of it. Fill it only
// once nothing else that could use it (host code that may log) will run
// before its text has been used.
char (&thread_message_buffer() noexcept)[kMessageBufferSize];

}  // namespace vorn
