#pragma once

#include <cstddef>
#include <string_view>

namespace vorn {

// Collects the pieces of one console line and hands them to the C library's
// stdout. A line that fits the fixed buffer goes out in one fwrite; a longer
// one goes out as buffered runs and oversized pieces, in order. finish()
// flushes stdout once, after the last byte. Write errors are left to the
// stream's error state: a line that cannot be written is lost, silently.
class LineWriter {
public:
    static constexpr std::size_t kCapacity = 8192;

    LineWriter() = default;
    LineWriter(const LineWriter&) = delete;
    LineWriter& operator=(const LineWriter&) = delete;

    // Adds `length` bytes of `data` to the line.
    void append(const char* data, std::size_t length);
    void append(std::string_view text) { append(text.data(), text.size()); }
    // Adds `count` copies of `byte` to the line.
    void append_repeated(char byte, std::size_t count);
    // Writes what is still buffered and flushes stdout.
    void finish();

private:
    // Hands the buffered bytes to stdout and empties the buffer.
    void drain();

    char buffer_[kCapacity];
    std::size_t used_ = 0;
};

}  // namespace vorn
