#include "console/console_message.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "trace/utf8_cut.h"

namespace vorn {

const char* format_console_message(char (&buffer)[kConsoleMessageBufferSize], const char* format,
                                   va_list args) {
    buffer[0] = '\0';
    if (format == nullptr) return buffer;
    const int written = std::vsnprintf(buffer, sizeof buffer, format, args);
    if (written < 0) {
        buffer[0] = '\0';
        return buffer;
    }
    const std::size_t formatted = std::min(static_cast<std::size_t>(written), sizeof buffer - 1);
    const std::size_t length = strnlen(buffer, formatted);
    buffer[utf8_cut_length(buffer, length, kConsoleMessageLimit)] = '\0';
    return buffer;
}

}  // namespace vorn
