#pragma once

#include <string>

namespace vorn {

// The settings that shape console lines; a plain value, freely copied.
struct StdoutLoggerOptions {
    std::string color = "\033[0m";          // written in front of a coloured message, unchanged
    std::string workflow_name = "NOT SET";  // shown between "(" and ")" after the time
    bool print_header = true;               // false: a line is the bare message, never coloured
    bool use_color = true;                  // frame the message with `color` and a reset
};

// The calling thread's current options: made with the defaults at the
// thread's first touch, replaced only by assignment, gone with the thread.
// Console lines read them in place, so a change shows from the next line on.
StdoutLoggerOptions& current_stdout_logger_options();

// Select-graphic-rendition sequences offered to callers for `color`. The
// writer never consults them; it always closes a colour with its own reset.
inline constexpr char CLI_LEVEL_RESET[] = "\033[0m";
inline constexpr char CLI_LEVEL_STATUS[] = "\033[1;34m";
inline constexpr char CLI_LEVEL_INFO[] = "\033[1;32m";
inline constexpr char CLI_LEVEL_WARNING[] = "\033[1;33m";
inline constexpr char CLI_LEVEL_ERROR[] = "\033[1;31m";

}  // namespace vorn
