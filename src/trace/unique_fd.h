#pragma once

#include <utility>

#include <fcntl.h>
#include <unistd.h>

namespace vorn {

// Sole owner of a POSIX file descriptor: closes it on destruction, moves but
// never copies. An empty owner holds -1.
class UniqueFd {
public:
    UniqueFd() noexcept = default;
    explicit UniqueFd(int fd) noexcept : fd_(fd) {}
    ~UniqueFd() { reset(); }

    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const noexcept { return fd_; }
    bool valid() const noexcept { return fd_ >= 0; }

    // Closes the descriptor now, if there is one.
    void reset() noexcept {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

// `fd` moved to the lowest free descriptor from 3 up when it is 0, 1 or 2
// (the low one closed); empty when it cannot be moved. Descriptors 0 to 2
// are the standard streams, which a daemon may have closed: a file opened
// there would take the console lines and whatever else writes to them.
inline UniqueFd above_standard_streams(UniqueFd fd) noexcept {
    if (!fd.valid() || fd.get() > 2) return fd;
    // F_DUPFD_CLOEXEC: the copy, like the original, must not leak into exec.
    return UniqueFd(::fcntl(fd.get(), F_DUPFD_CLOEXEC, 3));
}

}  // namespace vorn
