#pragma once

namespace vorn {

// Writes one console line to the C library's stdout under the calling
// thread's current options, and flushes it. With the header on:
//   [vorn HOST] YYYY-MM-DD HH:MM:SS(WORKFLOW) | INVOKER-COLUMN | MESSAGE
// where the invoker column is exactly 30 bytes and, with colour on, MESSAGE
// is framed by `color` and "\033[0m". With the header off: MESSAGE alone.
// Both texts end at their first NUL (a null pointer reads as empty); the
// message is shown whole. A line that fits the line buffer (8 KiB) reaches
// stdout in one fwrite.
void print_console_line(const char* invoker, const char* message);

}  // namespace vorn
