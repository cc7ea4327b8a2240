#pragma once

#include <cstdint>
#include <string>

#include "trace/log_stream.h"

namespace vorn {

// The precise times of a trace file's records, kept in a companion file
// beside it. A trace file counts whole milliseconds; the companion holds,
// for each timed record of the file (a scope's enter and exit, an instant
// record), in file order, the nanoseconds since the clock origin of the same
// clock reading that gave the record its millisecond.
//
// Layout, little-endian: a 64-byte header
//   0 "VORNTIME", 8 u32 version 1, 12 u32 header size 64, 16 i64 pid,
//   24 u64 process start (clock ticks after boot, 0 when unknown),
//   32 i64 thread id, 40 i64 clock_origin_ms, 48 u64 entry count,
//   56 u64 reserved 0
// then one i64 per entry. The entry is stored before the count that
// includes it; the file may run on past the entries (blocks reserved ahead)
// until the thread ends, when it is cut to 64 + 8 * count.
//
// The companion is a shared mapping of the file, grown a chunk at a time
// (its blocks reserved before they are touched), so that keeping a time
// makes no system call and a killed process leaves every kept time in the
// page cache. Nothing about it can fail the program: a companion that cannot
// be made, that is cut or removed under us, or that cannot grow, only ends
// the precise times of its file.

// "dir/stl_123.log" => "dir/stl_123.times", "stl_1.2.log" => "stl_1.2.times";
// "" for a name that does not end in ".log".
std::string precise_times_path(const std::string& trace_path);

// Keeps `ns` as the precise time of the timed record whose bytes the calling
// thread has just written into `stream`, its trace file. The first time for
// a stream makes the stream's companion (named after get_log_file_name());
// a companion made for an earlier stream of the thread is finished first.
void keep_precise_time(const LogStream& stream, std::int64_t ns) noexcept;

}  // namespace vorn
