#pragma once

#include <cstddef>
#include <string_view>

#include <sys/uio.h>

namespace vorn {

// Collects the pieces of one console line and hands the whole line to
// standard output's descriptor in one writev. Pieces that fit the fixed
// buffer are copied into it; a longer piece is referred to where it lies, so
// every piece must stay valid until finish().
//
// A line never passes through the C library's stdout buffer: a line waiting
// there while its write blocks would be copied into a child forked
// meanwhile, which would write it again. Whatever other code left in that
// buffer is flushed first, so output keeps its order. A line is written
// whole, in order; write errors are not reported: a line that cannot be
// written is lost, silently.
//
// The writes can block (a pipe nobody reads), so they run as a BlockingCall:
// other threads of the host may run meanwhile. stdout's own lock is held
// from the flush to the end of the write, so that no other stdio output
// comes between, and it is taken after the release so that a thread holding
// it never waits for the host's lock.
//
// A signal that interrupts the write lets the host run its handlers (with
// stdout's lock given back, so another thread's output may come before the
// rest of the line); when one throws, the rest of the line is dropped and
// the exception leaves finish().
class LineWriter {
public:
    static constexpr std::size_t kCapacity = 8192;

    constexpr LineWriter() = default;
    LineWriter(const LineWriter&) = delete;
    LineWriter& operator=(const LineWriter&) = delete;

    // Adds `length` bytes of `data` to the line.
    void append(const char* data, std::size_t length);
    void append(std::string_view text) { append(text.data(), text.size()); }
    // Adds `count` spaces to the line.
    void append_spaces(std::size_t count);
    // Writes the line and empties the writer. Throws what a signal handler
    // run during the write throws.
    void finish();

    // The calling thread's writer, so that a line composed deep inside a
    // recursion, with little stack left, needs no 8 KiB of it.
    static LineWriter& for_this_thread() noexcept;

private:
    // Most pieces a line is handed out in; a line made of more goes out in
    // more than one write. The console line has fewer than 16.
    static constexpr std::size_t kMaxPieces = 32;

    void add_piece(const char* data, std::size_t length);
    // Hands the collected pieces to stdout's descriptor and forgets them;
    // also from the middle of a line made of too many.
    void write_pieces();

    char buffer_[kCapacity] = {};
    std::size_t used_ = 0;
    iovec pieces_[kMaxPieces] = {};
    std::size_t piece_count_ = 0;
};

}  // namespace vorn
