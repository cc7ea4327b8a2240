#include "trace/scope_text.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "trace/utf8_cut.h"

namespace vorn {

void store_text_field(char (&field)[kTextFieldSize], const char* text) {
    std::memset(field, 0, sizeof field);
    if (text == nullptr) return;
    // Three bytes past the limit are enough to tell whether the cut splits a
    // character; the rest of a long text is never read.
    const std::size_t length = strnlen(text, kTextFieldSize - 1 + 3);
    std::memcpy(field, text, utf8_cut_length(text, length, kTextFieldSize - 1));
}

namespace {

// The text of the format "%s" (every message from Python comes so), as
// vsnprintf would write it, without its formatting pass: at most what the
// buffer holds, read no further. Returns false for a null text, which
// vsnprintf shows its own way.
bool copy_single_text(char (&buffer)[kMessageBufferSize], va_list args, std::size_t& formatted) {
    va_list copy;
    va_copy(copy, args);
    const char* text = va_arg(copy, const char*);
    va_end(copy);
    if (text == nullptr) return false;
    formatted = strnlen(text, sizeof buffer - 1);
    std::memcpy(buffer, text, formatted);
    buffer[formatted] = '\0';
    return true;
}

}  // namespace

std::size_t format_message(char (&buffer)[kMessageBufferSize], const char* format, va_list args) {
    buffer[0] = '\0';
    if (format == nullptr) return 0;
    std::size_t formatted = 0;
    if (std::strcmp(format, "%s") != 0 || !copy_single_text(buffer, args, formatted)) {
        const int written = std::vsnprintf(buffer, sizeof buffer, format, args);
        if (written <= 0) {
            buffer[0] = '\0';
            return 0;
        }
        formatted = std::min(static_cast<std::size_t>(written), sizeof buffer - 1);
    }
    const std::size_t length = utf8_cut_length(buffer, strnlen(buffer, formatted), kMessageLimit);
    buffer[length] = '\0';
    return length;
}

char (&thread_message_buffer() noexcept)[kMessageBufferSize] {
    thread_local char buffer[kMessageBufferSize];
    return buffer;
}

}  // namespace vorn
