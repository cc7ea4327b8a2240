#include "console/line_writer.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <pthread.h>
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

constexpr char kSpaces[] = "                                ";

// How a round of writes under stdout's lock ended.
enum class WriteEnd { done, failed, interrupted };

// Writes the `count` pieces from `next` to `fd`, moving both past what was
// written. A write that fails, or that a signal interrupts before it took
// anything (EINTR), ends the round; so does one cut short, which a blocking
// descriptor returns only when a signal arrived while it waited (or just
// before it fails: the next round tells).
WriteEnd write_until_interrupted(int fd, iovec*& next, std::size_t& count) {
    while (count > 0) {
        const ssize_t written = ::writev(fd, next, static_cast<int>(count));
        if (written < 0) return errno == EINTR ? WriteEnd::interrupted : WriteEnd::failed;
        if (written == 0) return WriteEnd::failed;
        auto done = static_cast<std::size_t>(written);
        while (count > 0 && done >= next->iov_len) {
            done -= next->iov_len;
            ++next;
            --count;
        }
        if (count > 0) {
            next->iov_base = static_cast<char*>(next->iov_base) + done;
            next->iov_len -= done;
            return WriteEnd::interrupted;
        }
    }
    return WriteEnd::done;
}

// One round of writes, with the host's lock released and stdout's held.
WriteEnd write_round(iovec*& next, std::size_t& count) {
    const BlockingCall unlocked;
    const StdoutLock locked;
    // What other code left in stdout's buffer goes first; with nothing
    // there, this makes no system call.
    fflush_unlocked(stdout);
    const int fd = fileno_unlocked(stdout);
    if (fd >= 0) return write_until_interrupted(fd, next, count);
    // A stream with no descriptor behind it: stdio has to do the writing.
    for (; count > 0; ++next, --count) fwrite_unlocked(next->iov_base, 1, next->iov_len, stdout);
    fflush_unlocked(stdout);
    return WriteEnd::done;
}

// Counts the forks this process has come from, so that a child can tell it
// is one: a signal handler that forks runs in the middle of a line.
std::atomic<unsigned> forks_seen{0};

void count_fork_in_child() noexcept { forks_seen.fetch_add(1, std::memory_order_relaxed); }

unsigned forks_so_far() noexcept {
    static const bool counting = pthread_atfork(nullptr, nullptr, &count_fork_in_child) == 0;
    static_cast<void>(counting);
    return forks_seen.load(std::memory_order_relaxed);
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
            return;
        }
    }
    if (piece_count_ == kMaxPieces) write_pieces();
    // writev only reads through the pointer.
    pieces_[piece_count_++] = iovec{const_cast<char*>(data), length};
}

LineWriter& LineWriter::for_this_thread() noexcept {
    constinit thread_local LineWriter writer;
    return writer;
}

void LineWriter::finish() {
    if (piece_count_ > 0) write_pieces();
    used_ = 0;
    piece_count_ = 0;
}

void LineWriter::write_pieces() {
    iovec* next = pieces_;
    std::size_t count = piece_count_;
    piece_count_ = 0;
    const unsigned forks = forks_so_far();
    // A handler may print lines of its own with this writer: what is left
    // of this one is kept apart first, and its bytes stay where they are,
    // since the handler's lines are composed behind them.
    iovec rest[kMaxPieces];
    const std::size_t used = used_;
    try {
        while (write_round(next, count) == WriteEnd::interrupted) {
            if (next != rest) next = std::copy_n(next, count, rest) - count;
            run_signal_handlers();  // throws what a handler raised
            used_ = used;
            // A handler forked: the rest of the line is the parent's to write.
            if (forks_so_far() != forks) return;
        }
    } catch (...) {
        // The line is given up: what it had written stays, the rest is dropped.
        used_ = 0;
        throw;
    }
}

}  // namespace vorn
