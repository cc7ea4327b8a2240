#pragma once

#include <cstdarg>
#include <cstdint>

#include "trace/scope_text.h"

namespace vorn {

// One open console scope. Opening it prints one console line, each log()
// prints one more with the invoker it was opened with, and its end prints
// nothing. Messages are printf-style, cut to 4095 bytes without splitting a
// UTF-8 character; callers passing user text use the format "%s".
class StdoutLogger {
public:
    StdoutLogger(const char* invoker, const char* file, std::int32_t line, std::uint64_t tid,
                 const char* format, ...) __attribute__((format(printf, 6, 7)));
    // One discarded clock reading; no output.
    ~StdoutLogger();
    StdoutLogger(const StdoutLogger&) = delete;
    StdoutLogger& operator=(const StdoutLogger&) = delete;

    // Prints one line with the scope's invoker.
    void log(const char* format, ...) __attribute__((format(printf, 2, 3)));

    const char* invoker() const { return invoker_; }
    const char* file() const { return file_; }
    std::int32_t line() const { return line_; }
    std::uint64_t tid() const { return tid_; }

private:
    // Reads the clock (so that a console scope opened first fixes the trace
    // clock's origin), formats the message and prints its line.
    void print_message(const char* format, va_list args) __attribute__((format(printf, 2, 0)));

    char invoker_[kTextFieldSize];
    char file_[kTextFieldSize];
    std::int32_t line_;
    std::uint64_t tid_;
};

}  // namespace vorn
