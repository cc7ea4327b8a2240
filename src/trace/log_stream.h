#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "trace/unique_fd.h"

namespace vorn {

// A thread's trace file as the writer sees it: a descriptor, the number of
// bytes written so far, and a failed flag. Every write goes to a known offset
// with pwrite, so rewriting the tail of the file needs no seek.
//
// States: not open (the file could not be opened; writes have no effect),
// open, and open but failed (a write error happened; later writes have no
// effect, and since the stream is still open nobody reopens it).
class LogStream {
public:
    // Wraps an already opened descriptor; an empty one gives a stream that is
    // not open.
    explicit LogStream(UniqueFd fd) noexcept;

    // Creates `path`, or empties it when it exists, for reading and writing.
    // A symbolic link at `path` itself is not followed, and the descriptor is
    // not inherited across exec. When opening fails the stream is not open.
    static LogStream open_truncated(const std::string& path);

    bool is_open() const noexcept { return fd_.valid(); }
    bool failed() const noexcept { return failed_; }

    // Bytes the file holds, as far as this stream has written it.
    std::uint64_t length() const noexcept { return length_; }

    // Writes `size` bytes over the last `tail` bytes of the file (tail 0:
    // appends). Loops over partial writes and interruptions; any other error,
    // or a tail longer than the file, puts the stream into its failed state.
    void replace_tail(std::uint64_t tail, const char* data, std::size_t size) noexcept;

private:
    UniqueFd fd_;
    std::uint64_t length_ = 0;
    bool failed_ = false;
};

// How many write system calls the calling thread has made to trace files.
// Tests use it to check that each operation costs one call.
std::uint64_t trace_write_calls() noexcept;

}  // namespace vorn
