#include "trace/json_stl_logger.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "trace/clock.h"
#include "trace/trace_writer.h"
#include "trace/utf8_cut.h"

namespace vorn {
namespace {

constexpr std::size_t kMessageLimit = 4095;
constexpr std::size_t kTextFieldLimit = 255;

// Bytes a cut looks past its limit to see whether it splits a character
// (the rest of a 4-byte UTF-8 sequence).
constexpr std::size_t kCutLookahead = 3;

// Formatting room: the message limit, the look-ahead, and the NUL.
using MessageBuffer = char[kMessageLimit + kCutLookahead + 1];

// Formats a message into `buffer`; returns its length: at most 4095 bytes,
// up to the first NUL, never ending inside a UTF-8 character.
//   ("%s-%d", "a", 7) => "a-7" (3)
std::size_t format_message(MessageBuffer& buffer, const char* format, va_list arguments) {
    buffer[0] = '\0';
    if (format == nullptr) return 0;
    const int written = std::vsnprintf(buffer, sizeof buffer, format, arguments);
    if (written <= 0) return 0;
    const std::size_t formatted =
        static_cast<std::size_t>(written) < sizeof buffer ? static_cast<std::size_t>(written)
                                                           : sizeof buffer - 1;
    return utf8_cut_length(buffer, strnlen(buffer, formatted), kMessageLimit);
}

// Copies `text` into a zeroed 256-byte field: at most 255 bytes, up to its
// first NUL, never ending inside a UTF-8 character.
void store_text(char (&field)[kTextFieldLimit + 1], const char* text) {
    std::memset(field, 0, sizeof field);
    if (text == nullptr) return;
    const std::size_t length = strnlen(text, kTextFieldLimit + kCutLookahead);
    std::memcpy(field, text, utf8_cut_length(text, length, kTextFieldLimit));
}

}  // namespace

JsonStlLogger::JsonStlLogger(const char* invoker_text, const char* file_text, std::int32_t line_number,
                             std::int64_t thread_id, const char* format, ...)
    : line(line_number), tid(thread_id) {
    store_text(invoker, invoker_text);
    store_text(file, file_text);
    MessageBuffer message;
    va_list arguments;
    va_start(arguments, format);
    const std::size_t message_length = format_message(message, format, arguments);
    va_end(arguments);
    write_enter_record(invoker, file, line, message, message_length);
}

JsonStlLogger::~JsonStlLogger() { write_exit_record(elapsed_ms()); }

void JsonStlLogger::log(const char* format, ...) {
    const std::uint64_t ts = elapsed_ms();
    MessageBuffer message;
    va_list arguments;
    va_start(arguments, format);
    const std::size_t message_length = format_message(message, format, arguments);
    va_end(arguments);
    write_instant_record(ts, invoker, file, line, message, message_length);
}

}  // namespace vorn
