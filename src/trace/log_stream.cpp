#include "trace/log_stream.h"

#include <cerrno>
#include <cstring>

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
    if (tail > length_ || tail > kMaxTail) {
        failed_ = true;
        return;
    }
    const std::uint64_t start = length_ - tail;
    const char* next = data;
    std::size_t left = size;
    std::uint64_t offset = start;
    while (left > 0) {
        ++write_calls;
        const ssize_t written = ::pwrite(fd_.get(), next, left, static_cast<off_t>(offset));
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            failed_ = true;
            undo_write(start, offset);
            return;
        }
        next += written;
        left -= static_cast<std::size_t>(written);
        offset += static_cast<std::uint64_t>(written);
    }
    remember_last_bytes(start, data, size);
    if (offset > length_) length_ = offset;
}

void LogStream::remember_last_bytes(std::uint64_t start, const char* data, std::size_t size) noexcept {
    // The tail never reaches back further than kMaxTail bytes, so every byte
    // at the new end of the file was either just written or is one of the
    // old last bytes.
    const std::uint64_t end = start + size;
    const std::uint64_t new_length = end > length_ ? end : length_;
    char updated[kMaxTail] = {};
    for (std::size_t i = 0; i < kMaxTail; ++i) {
        if (new_length + i < kMaxTail) continue;  // the file is shorter than kMaxTail
        const std::uint64_t position = new_length + i - kMaxTail;
        if (position >= start && position < end) {
            updated[i] = data[position - start];
        } else {
            updated[i] = last_bytes_[position + kMaxTail - length_];
        }
    }
    std::memcpy(last_bytes_, updated, kMaxTail);
}

void LogStream::undo_write(std::uint64_t start, std::uint64_t reached) noexcept {
    // Best effort: shrinking a file and rewriting bytes inside its old
    // length succeed where growing it failed.
    if (reached > length_) {
        while (::ftruncate(fd_.get(), static_cast<off_t>(length_)) < 0 && errno == EINTR) {
        }
    }
    if (reached <= start) return;
    const std::size_t replaced = static_cast<std::size_t>(length_ - start);
    const char* old_tail = last_bytes_ + (kMaxTail - replaced);
    std::uint64_t offset = start;
    std::size_t left = replaced;
    while (left > 0) {
        ++write_calls;
        const ssize_t written = ::pwrite(fd_.get(), old_tail, left, static_cast<off_t>(offset));
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;
        old_tail += written;
        left -= static_cast<std::size_t>(written);
        offset += static_cast<std::uint64_t>(written);
    }
}

std::uint64_t trace_write_calls() noexcept { return write_calls; }

}  // namespace vorn
