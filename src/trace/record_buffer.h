#pragma once

#include <cstdarg>
#include <cstddef>

namespace vorn {

// A fixed buffer, owned elsewhere, that one operation's bytes are composed in
// before they are handed to the file in one write. It holds at most size - 1
// bytes of text (the last byte is room for the NUL that formatting writes);
// whatever would go past that is cut, never written past the end.
class RecordBuffer {
public:
    RecordBuffer(char* storage, std::size_t size) noexcept;

    const char* data() const noexcept { return storage_; }
    std::size_t size() const noexcept { return length_; }
    // Bytes that can still be appended.
    std::size_t room() const noexcept { return capacity_ - length_; }

    void append(const char* text, std::size_t length) noexcept;
    // Appends a NUL-terminated text.
    void append(const char* text) noexcept;
    void append_format(const char* format, ...) noexcept __attribute__((format(printf, 2, 3)));
    void append_vformat(const char* format, va_list arguments) noexcept;

private:
    char* storage_;
    std::size_t capacity_;
    std::size_t length_ = 0;
};

}  // namespace vorn
