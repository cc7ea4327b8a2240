#include "console/line_writer.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <stdio_ext.h>
#include <unistd.h>

#include "trace/blocking_call.h"

namespace vorn {
namespace {

// Holds stdout's lock: what happens while it is held reaches stdout as one
// piece with respect to every other stdio user of the process.
class StdoutLock {
public:
    StdoutLock() noexcept { flockfile(stdout); }
    ~StdoutLock() { funlockfile(stdout); }
    StdoutLock(const StdoutLock&) = delete;
    StdoutLock& operator=(const StdoutLock&) = delete;
};

// Before its first output stdout has no buffer yet; the C library then gives
// it one of the descriptor's block size, at least 1 KiB for the terminals,
// pipes and files that console lines go to.
constexpr std::size_t kSmallestStdoutBuffer = 1024;

constexpr char kSpaces[] = "                                ";

// Whether `length` bytes handed to stdout with fwrite and then flushed leave
// in one write: they fit what is free of the stream's buffer, or the stream
// is unbuffered (its buffer is the one-byte placeholder; an unbuffered
// stream writes each fwrite whole at once).
bool stdout_takes_in_one_write(std::size_t length) {
    const std::size_t size = __fbufsize(stdout);
    if (size == 0) return length <= kSmallestStdoutBuffer;
    if (size == 1) return true;
    const std::size_t pending = __fpending(stdout);
    return pending <= size && length <= size - pending;
}

}  // namespace

void LineWriter::append(const char* data, std::size_t length) {
    if (length == 0) return;
    if (length <= kCapacity - used_) {
        char* copy = buffer_ + used_;
        std::memcpy(copy, data, length);
        used_ += length;
        add_piece(copy, length);
    } else {
        add_piece(data, length);
    }
}

void LineWriter::append_spaces(std::size_t count) {
    while (count > 0) {
        const std::size_t run = std::min(count, sizeof kSpaces - 1);
        append(kSpaces, run);
        count -= run;
    }
}

void LineWriter::add_piece(const char* data, std::size_t length) {
    if (piece_count_ > 0) {
        iovec& last = pieces_[piece_count_ - 1];
        if (static_cast<const char*>(last.iov_base) + last.iov_len == data) {
            last.iov_len += length;
            length_ += length;
            return;
        }
    }
    if (piece_count_ == kMaxPieces) write_pieces_now();
    // writev only reads through the pointer.
    pieces_[piece_count_++] = iovec{const_cast<char*>(data), length};
    length_ += length;
}

LineWriter& LineWriter::for_this_thread() noexcept {
    constinit thread_local LineWriter writer;
    return writer;
}

void LineWriter::finish() {
    if (piece_count_ > 0) {
        const BlockingCall unlocked;
        const StdoutLock locked;
        if (piece_count_ == 1 && pieces_[0].iov_base == buffer_ && stdout_takes_in_one_write(length_)) {
            fwrite_unlocked(buffer_, 1, used_, stdout);
            fflush_unlocked(stdout);
        } else {
            write_pieces();
        }
    }
    used_ = 0;
    piece_count_ = 0;
    length_ = 0;
}

void LineWriter::write_pieces_now() {
    const BlockingCall unlocked;
    const StdoutLock locked;
    write_pieces();
}

void LineWriter::write_pieces() {
    fflush_unlocked(stdout);
    const int fd = fileno_unlocked(stdout);
    iovec* next = pieces_;
    std::size_t count = piece_count_;
    piece_count_ = 0;
    length_ = 0;
    if (fd < 0) {
        // A stream with no descriptor behind it: stdio has to do the writing.
        for (; count > 0; ++next, --count) fwrite_unlocked(next->iov_base, 1, next->iov_len, stdout);
        fflush_unlocked(stdout);
        return;
    }
    while (count > 0) {
        const ssize_t written = ::writev(fd, next, static_cast<int>(count));
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;  // the rest of the line is lost
        auto done = static_cast<std::size_t>(written);
        while (count > 0 && done >= next->iov_len) {
            done -= next->iov_len;
            ++next;
            --count;
        }
        if (count > 0) {
            next->iov_base = static_cast<char*>(next->iov_base) + done;
            next->iov_len -= done;
        }
    }
}

}  // namespace vorn
