#include "trace/record_buffer.h"

#include <cstdio>
#include <cstring>

namespace vorn {

// Out of line: where the compiler sees both the capacity and the buffers,
// it takes the cut path of append() for a possible overlap and warns.
RecordBuffer::RecordBuffer(char* storage, std::size_t size) noexcept
    : storage_(storage), capacity_(size > 0 ? size - 1 : 0) {}

void RecordBuffer::append_format(const char* format, ...) noexcept {
    va_list arguments;
    va_start(arguments, format);
    append_vformat(format, arguments);
    va_end(arguments);
}

void RecordBuffer::append_vformat(const char* format, va_list arguments) noexcept {
    if (capacity_ == 0) return;
    const int written = std::vsnprintf(storage_ + length_, room() + 1, format, arguments);
    if (written < 0) {
        storage_[length_] = '\0';
        return;
    }
    const auto produced = static_cast<std::size_t>(written);
    length_ += produced < room() ? produced : room();
}

}  // namespace vorn
