#pragma once

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
//    "cmdline":[..],"host":"..","clock_origin_ms":..,"pidns":..,
//    "boot_id":"..","file_id":".."}
// "start" (field 22 of /proc/self/stat) tells two processes apart that had
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

}  // namespace vorn
