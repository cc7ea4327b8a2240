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
    const char* python_thread_name = "";  // NUL-terminated; "": left out
    // NUL-separated arguments; the last one may lack its NUL. When
    // `command_line_complete` is false the last one is only a beginning and
    // is treated as too long to fit.
    const char* command_line = "";
    std::size_t command_line_length = 0;
    bool command_line_complete = true;
    const char* host = "";  // NUL-terminated
    std::int64_t clock_origin_ms = 0;
    std::uint64_t pidns = 0;   // 0: unknown, "pidns" left out
    const char* boot_id = "";  // NUL-terminated; "": unknown, "boot_id" left out
    std::uint64_t file_id = 0;
};

// The record never exceeds this many bytes: the value is small enough for
// any file system that stores user attributes at all.
inline constexpr std::size_t kTraceIdentityMaxBytes = 1024;
// The buffer compose_trace_identity writes into: the record plus working room.
inline constexpr std::size_t kTraceIdentityBufferBytes = kTraceIdentityMaxBytes + 16;

// Writes `identity` as compact JSON, its fields in this order:
//   {"version":1,"pid":..,"start":..,"ppid":..,"tid":..,"thread_name":"..",
//    "python_thread_name":"..","cmdline":[..],"host":"..",
//    "clock_origin_ms":..,"pidns":..,"boot_id":"..",
//    "file_id":"<16 lowercase hex digits>"}
// into `out` (no NUL) and returns its
// length, at most kTraceIdentityMaxBytes. Strings are JSON-escaped (bytes
// that are not UTF-8 become U+FFFD); a Python thread name is cut to 200
// escaped bytes, and left out when empty (as are an unknown pidns and
// boot id). The command line takes what room the
// other fields leave: trailing arguments that do not fit are dropped whole,
// and a first argument that alone does not fit is cut at a character
// boundary.
//   args "python3.14" "app.py" "--x"   => "cmdline":["python3.14","app.py","--x"]
//   args "python3.14" <2000 bytes>     => "cmdline":["python3.14"]
//   args <2000 bytes>                  => "cmdline":["<the first ~600 bytes>"]
std::size_t compose_trace_identity(const TraceIdentity& identity, char (&out)[kTraceIdentityBufferBytes]) noexcept;

// The fields of a record that name the process that wrote it.
struct TraceFileWriter {
    std::int64_t pid = 0;
    std::uint64_t start = 0;
    std::uint64_t pidns = 0;  // 0 when the record has none
    char boot_id[40] = {};    // "" when the record has none (or a longer one)
};

// Reads the writer's fields from `length` bytes of a record of version 1 as
// compose_trace_identity writes it; false when it is not one or lacks "pid"
// or "start". Keys are found only at the top level: inside a JSON string
// every quote is escaped, so ,"pid": cannot occur there.
bool parse_trace_file_writer(const char* record, std::size_t length, TraceFileWriter& writer) noexcept;

}  // namespace vorn
