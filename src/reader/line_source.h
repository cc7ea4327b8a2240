#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace vorn::reader {

// The lines of an open file, read in large blocks: a line is a view into
// the block, valid until the next call. A line longer than the block
// grows it to hold the line whole.
class LineSource {
public:
    // Reads `fd` (not owned) from byte `offset` on.
    LineSource(int fd, std::uint64_t offset);

    // The next line without its line end; `whole` false for a last line
    // that has none. False once the file is read.
    bool next(std::string_view& line, bool& whole);

    // Bytes of the file before the next line.
    std::uint64_t offset() const { return offset_; }

private:
    bool fill();

    int fd_;
    std::uint64_t read_at_;  // where the next read of the file starts
    std::uint64_t offset_;
    std::vector<char> block_;
    std::size_t begin_ = 0;  // unread bytes: block_[begin_, end_)
    std::size_t end_ = 0;
    std::size_t searched_ = 0;  // from begin_, bytes known to hold no line end
    bool ended_ = false;
};

}  // namespace vorn::reader
