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
// effect, and since the stream is still open nobody reopens it). A failed
// write is undone, so the file ends where the last whole write ended.
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

    // Most bytes at the end of the file that one write may replace.
    static constexpr std::size_t kMaxTail = 2;

    // Writes `size` bytes over the last `tail` bytes of the file (tail 0:
    // appends). Loops over partial writes and interruptions. Any other error
    // (a full disk, the file-size limit) puts the stream into its failed
    // state and puts the file back as it was before the call: cut to its
    // former length, its replaced tail written again. A tail longer than the
    // file or than kMaxTail fails the stream without writing.
    void replace_tail(std::uint64_t tail, const char* data, std::size_t size) noexcept;

private:
    // Keeps last_bytes_ up to date after `size` bytes went to `start`.
    void remember_last_bytes(std::uint64_t start, const char* data, std::size_t size) noexcept;
    // Undoes a write that began at `start` and got as far as `reached`.
    void undo_write(std::uint64_t start, std::uint64_t reached) noexcept;

    UniqueFd fd_;
    std::uint64_t length_ = 0;
    bool failed_ = false;
    // The file's last kMaxTail bytes (fewer while it is shorter), so that a
    // replaced tail can be put back without reading the file.
    char last_bytes_[kMaxTail] = {};
};

// How many write system calls the calling thread has made to trace files.
// Tests use it to check that each operation costs one call.
std::uint64_t trace_write_calls() noexcept;

}  // namespace vorn
