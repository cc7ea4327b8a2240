#pragma once

#include <cstdarg>
#include <cstddef>

namespace vorn {

// Most bytes of a scope's or log's message that reach the console.
inline constexpr std::size_t kConsoleMessageLimit = 4095;
// The formatting buffer: the limit, three bytes more so that a cut can see
// whether it would split a UTF-8 character, and the NUL.
inline constexpr std::size_t kConsoleMessageBufferSize = kConsoleMessageLimit + 3 + 1;

// Formats a printf-style message into `buffer` and returns it: ended at its
// first NUL and cut to at most 4095 bytes without splitting a UTF-8
// character. A null format or a formatting error gives the empty message.
//   ("%s", "load")            => "load"
//   ("%s", 5000 x "a")        => 4095 x "a"
//   ("%s", 2500 x "é")        => 2047 x "é" (4094 bytes)
//   ("%s%c%s", "ab", 0, "cd") => "ab"
const char* format_console_message(char (&buffer)[kConsoleMessageBufferSize], const char* format,
                                   va_list args) __attribute__((format(printf, 2, 0)));

}  // namespace vorn
