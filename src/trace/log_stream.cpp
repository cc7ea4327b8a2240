#include "trace/log_stream.h"

#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

namespace vorn {
namespace {

thread_local std::uint64_t write_calls = 0;

}  // namespace

LogStream::LogStream(UniqueFd fd) noexcept : fd_(std::move(fd)) {}

LogStream LogStream::open_truncated(const std::string& path) {
    // O_NOFOLLOW: a link planted at our file's name in a shared directory
    // must not make us truncate the file it points to.
    constexpr int flags = O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW;
    int fd = -1;
    do {
        fd = ::open(path.c_str(), flags, 0666);
    } while (fd < 0 && errno == EINTR);
    return LogStream(UniqueFd(fd));
}

void LogStream::replace_tail(std::uint64_t tail, const char* data, std::size_t size) noexcept {
    if (!fd_.valid() || failed_ || size == 0) return;
    if (tail > length_) {
        failed_ = true;
        return;
    }
    std::uint64_t offset = length_ - tail;
    while (size > 0) {
        ++write_calls;
        const ssize_t written = ::pwrite(fd_.get(), data, size, static_cast<off_t>(offset));
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            failed_ = true;
            break;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
        offset += static_cast<std::uint64_t>(written);
    }
    if (offset > length_) length_ = offset;
}

std::uint64_t trace_write_calls() noexcept { return write_calls; }

}  // namespace vorn
