#include "trace/json_stl_logger.h"

#include <cstdarg>

#include "trace/clock.h"
#include "trace/trace_writer.h"

namespace vorn {

JsonStlLogger::JsonStlLogger(const char* invoker_text, const char* file_text, std::int32_t line_number,
                             std::int64_t thread_id, const char* format, ...)
    : line(line_number), tid(thread_id) {
    store_text_field(invoker, invoker_text);
    store_text_field(file, file_text);
    char (&message)[kMessageBufferSize] = thread_message_buffer();
    va_list arguments;
    va_start(arguments, format);
    const std::size_t message_length = format_message(message, format, arguments);
    va_end(arguments);
    write_enter_record(invoker, file, line, message, message_length);
}

JsonStlLogger::~JsonStlLogger() { write_exit_record(read_clock()); }

void JsonStlLogger::log(const char* format, ...) {
    const ClockReading ts = read_clock();
    char (&message)[kMessageBufferSize] = thread_message_buffer();
    va_list arguments;
    va_start(arguments, format);
    const std::size_t message_length = format_message(message, format, arguments);
    va_end(arguments);
    write_instant_record(ts, invoker, file, line, message, message_length);
}

}  // namespace vorn
