#include "console/stdout_logger.h"

#include <cstring>

#include "console/console_line.h"
#include "trace/clock.h"
#include "trace/scope_text.h"

namespace vorn {

StdoutLogger::StdoutLogger(const char* invoker, const char* file, std::int32_t line, std::uint64_t tid,
                           const char* format, ...)
    : line_(line), tid_(tid) {
    store_text_field(invoker_, invoker);
    store_text_field(file_, file);
    va_list args;
    va_start(args, format);
    print_message(format, args);
    va_end(args);
}

StdoutLogger::~StdoutLogger() { static_cast<void>(elapsed_ms()); }

void StdoutLogger::log(const char* format, ...) {
    va_list args;
    va_start(args, format);
    print_message(format, args);
    va_end(args);
}

void StdoutLogger::print_message(const char* format, va_list args) {
    static_cast<void>(elapsed_ms());
    // Both texts are per-thread copies: the write lets other threads run, and
    // one of them may end this scope meanwhile.
    thread_local char invoker[kTextFieldSize];
    std::memcpy(invoker, invoker_, sizeof invoker);
    char (&message)[kMessageBufferSize] = thread_message_buffer();
    format_message(message, format, args);
    print_console_line(invoker, message);
}

}  // namespace vorn
