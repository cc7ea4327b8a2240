#pragma once

#include <cstddef>
#include <cstdint>

namespace vorn {

// The fields of a trace file's identity record.
struct TraceIdentity {
    std::int64_t pid = 0;
    std::uint64_t start = 0;
    std::int64_t ppid = 0;
    std::int64_t tid = 0;
    const char* thread_name = "";  // NUL-terminated
    // NUL-separated arguments; the last one may lack its NUL. When
    // `command_line_complete` is false the last one is only a beginning and
    // is treated as too long to fit.
    const char* command_line = "";
    std::size_t command_line_length = 0;
    bool command_line_complete = true;
    const char* host = "";  // NUL-terminated
    std::int64_t clock_origin_ms = 0;
};

// The record never exceeds this many bytes: the value is small enough for
// any file system that stores user attributes at all.
inline constexpr std::size_t kTraceIdentityMaxBytes = 1024;
// The buffer compose_trace_identity writes into: the record plus working room.
inline constexpr std::size_t kTraceIdentityBufferBytes = kTraceIdentityMaxBytes + 16;

// Writes `identity` as compact JSON into `out` (no NUL) and returns its
// length, at most kTraceIdentityMaxBytes. Strings are JSON-escaped (bytes
// that are not UTF-8 become U+FFFD). The command line takes what room the
// other fields leave: trailing arguments that do not fit are dropped whole,
// and a first argument that alone does not fit is cut at a character
// boundary.
//   args "python3.14" "app.py" "--x"   => "cmdline":["python3.14","app.py","--x"]
//   args "python3.14" <2000 bytes>     => "cmdline":["python3.14"]
//   args <2000 bytes>                  => "cmdline":["<the first ~700 bytes>"]
std::size_t compose_trace_identity(const TraceIdentity& identity, char (&out)[kTraceIdentityBufferBytes]) noexcept;

}  // namespace vorn
