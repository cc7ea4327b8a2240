#pragma once

#include <string_view>

namespace vorn {

// Writes one console line to the C library's stdout under the calling
// thread's current options, and flushes it. With the header on:
//   [vorn HOST] YYYY-MM-DD HH:MM:SS(WORKFLOW) | INVOKER-COLUMN | MESSAGE
// where the invoker column is exactly 30 bytes and, with colour on, MESSAGE
// is framed by `color` and "\033[0m". With the header off: MESSAGE alone.
// Both texts end at their first NUL (a null pointer reads as empty); the
// message is shown whole, however long. The line leaves in one write system
// call, never through stdout's buffer. A signal handler that throws while
// the write waits (Ctrl-C on a full pipe) ends the line where the write got
// to, and its exception leaves this call.
void print_console_line(const char* invoker, const char* message);

// As above, for texts that need not be NUL-terminated; each still ends at
// its first NUL. Nothing is copied to the heap.
void print_console_line(std::string_view invoker, std::string_view message);

}  // namespace vorn
