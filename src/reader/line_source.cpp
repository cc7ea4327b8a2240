#include "reader/line_source.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

namespace vorn::reader {
namespace {

constexpr std::size_t kBlockSize = 1 << 20;

}  // namespace

LineSource::LineSource(int fd, std::uint64_t offset) : fd_(fd), read_at_(offset), offset_(offset), block_(kBlockSize) {}

bool LineSource::fill() {
    if (ended_) return false;
    if (begin_ > 0) {
        std::memmove(block_.data(), block_.data() + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
    }
    if (end_ == block_.size()) block_.resize(block_.size() * 2);  // a line longer than the block
    while (true) {
        const ssize_t got = pread(fd_, block_.data() + end_, block_.size() - end_, static_cast<off_t>(read_at_));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) throw std::system_error(errno, std::generic_category(), "read");
        if (got == 0) {
            ended_ = true;
            return false;
        }
        end_ += static_cast<std::size_t>(got);
        read_at_ += static_cast<std::uint64_t>(got);
        return true;
    }
}

bool LineSource::next(std::string_view& line, bool& whole) {
    while (true) {
        const char* from = block_.data() + begin_ + searched_;
        const auto* found = static_cast<const char*>(std::memchr(from, '\n', end_ - begin_ - searched_));
        if (found != nullptr) {
            const auto length = static_cast<std::size_t>(found - (block_.data() + begin_));
            line = std::string_view(block_.data() + begin_, length);
            whole = true;
            begin_ += length + 1;
            searched_ = 0;
            offset_ += length + 1;
            return true;
        }
        searched_ = end_ - begin_;
        if (!fill()) break;
    }
    if (begin_ == end_) return false;
    line = std::string_view(block_.data() + begin_, end_ - begin_);
    whole = false;
    offset_ += end_ - begin_;
    begin_ = end_;
    searched_ = 0;
    return true;
}

}  // namespace vorn::reader
