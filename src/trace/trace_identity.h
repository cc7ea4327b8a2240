#pragma once

#include <cstddef>
#include <cstdint>

namespace vorn {

// The extended attribute every trace file carries: which process and thread
// wrote it and the wall-clock moment its times count from. Timestamps alone
// count from a per-process origin, so without this files of different
// processes sharing a directory cannot be told apart or put on one timeline.
inline constexpr char kTraceIdentityAttribute[] = "user.vorn.trace";

// Sets kTraceIdentityAttribute on the just-opened trace file `fd` of thread
// `thread_id`, whose directory is named after `host` (as made safe), with
// one fsetxattr. The value is one compact JSON object of at most 1024 bytes:
//   {"version":1,"pid":..,"start":..,"ppid":..,"tid":..,"thread_name":"..",
//    "python_thread_name":"..","cmdline":[..],"host":"..",
//    "clock_origin_ms":..,"pidns":..,"boot_id":"..","file_id":".."}
// "thread_name" is the system's name for the thread (15 bytes at most),
// "python_thread_name" the one set_python_thread_name last gave on this
// thread, left out when none was given. "start" (field 22 of /proc/self/stat) tells two processes apart that had
// the same pid; "pidns" (the inode of the pid namespace) and "boot_id" (the
// kernel's id of this boot) tell apart processes of different containers
// or boots that share pid and start, each left out when unreadable;
// "file_id", 16 lowercase hex digits drawn at random for every file opened,
// names the file whatever it is renamed to. "clock_origin_ms" plus any ts,
// ts_enter or ts_exit in the file is that record's wall-clock time in Unix
// milliseconds. It fixes the clock origin if nothing has yet.
//
// A file system that refuses the attribute is no error: nothing else is
// tried, the file's contents are never touched, and errno is left as it was.
// A negative `fd` does nothing.
void attach_trace_identity(int fd, std::int64_t thread_id, const char* host) noexcept;

// The most bytes of a Python thread name that are kept.
inline constexpr std::size_t kPythonThreadNameBytes = 200;

// Gives the calling thread's name as Python knows it ("MainThread",
// "request-handler-000123"), for the identity of the trace files it opens
// from now on: `length` bytes of UTF-8, taken up to the first NUL and cut
// at a character boundary to kPythonThreadNameBytes. The system's name is
// cut to 15 bytes and, for the main thread, is the program's. An empty
// name leaves "python_thread_name" out again.
//   ("request-handler-000123", 22) => "request-handler-000123"
//   (300 x "é", 600)               => 100 x "é"
void set_python_thread_name(const char* name, std::size_t length) noexcept;

}  // namespace vorn
