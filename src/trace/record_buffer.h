#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstring>

namespace vorn {

// A fixed buffer, owned elsewhere, that one operation's bytes are composed in
// before they are handed to the file in one write. It holds at most size - 1
// bytes of text (the last byte is room for the NUL that formatting writes);
// whatever would go past that is cut, never written past the end. Its text
// is size() bytes long and not NUL-terminated: every reader takes the
// length, and a terminator after each of a record's many pieces cost more
// than copying most of them.
class RecordBuffer {
public:
    RecordBuffer(char* storage, std::size_t size) noexcept;

    const char* data() const noexcept { return storage_; }
    std::size_t size() const noexcept { return length_; }
    // Bytes that can still be appended.
    std::size_t room() const noexcept { return capacity_ - length_; }

    // Inline: records are composed of many short pieces, most of them
    // literals whose length the compiler knows. The usual case, a piece that
    // fits, copies `length` as given, so that such a piece is copied by a few
    // moves rather than by a library call.
    void append(const char* text, std::size_t length) noexcept {
        if (length <= room()) [[likely]] {
            std::memcpy(storage_ + length_, text, length);
            length_ += length;
        } else {
            std::memcpy(storage_ + length_, text, room());
            length_ = capacity_;
        }
    }
    // Appends a NUL-terminated text.
    void append(const char* text) noexcept { append(text, std::strlen(text)); }
    void append_format(const char* format, ...) noexcept __attribute__((format(printf, 2, 3)));
    void append_vformat(const char* format, va_list arguments) noexcept;

private:
    char* storage_;
    std::size_t capacity_;
    std::size_t length_ = 0;
};

}  // namespace vorn
