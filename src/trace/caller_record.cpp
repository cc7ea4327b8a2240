#include "trace/caller_record.h"

#include <cstdarg>
#include <cstddef>

#include "trace/clock.h"
#include "trace/scope_text.h"
#include "trace/trace_writer.h"

namespace vorn {
namespace {

// The identity a record names, cut as a scope's fields are. Per thread
// rather than on the stack, like the other texts of a record: a record may
// be written deep inside a recursion.
struct CallerFields {
    char invoker[kTextFieldSize];
    char file[kTextFieldSize];
};

thread_local CallerFields this_thread_caller;

// format_message takes its arguments as a va_list.
std::size_t format_literal(char (&buffer)[kMessageBufferSize], const char* format, ...)
    __attribute__((format(printf, 2, 3)));

std::size_t format_literal(char (&buffer)[kMessageBufferSize], const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    const std::size_t length = format_message(buffer, format, arguments);
    va_end(arguments);
    return length;
}

}  // namespace

void write_caller_record(const char* invoker, const char* file, std::int32_t line, const char* message) {
    const ClockReading ts = read_clock();
    CallerFields& caller = this_thread_caller;
    store_text_field(caller.invoker, invoker);
    store_text_field(caller.file, file);
    // "%s": the message is taken literally, never read as a format.
    char (&text)[kMessageBufferSize] = thread_message_buffer();
    const std::size_t length = format_literal(text, "%s", message);
    write_instant_record(ts, caller.invoker, caller.file, line, text, length);
}

}  // namespace vorn
