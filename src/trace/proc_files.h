#pragma once

#include <cstddef>
#include <cstdint>

namespace vorn {

// Reads up to `capacity` bytes of `path` with plain system calls only
// (async-signal-safe: this also runs in a forked child before fork returns);
// returns how many, 0 when it cannot be read.
std::size_t read_proc_file(const char* path, char* buffer, std::size_t capacity) noexcept;

// What /proc/<pid>/stat tells of a process: its state letter (field 3:
// 'R', 'S', ..., 'Z' for a zombie) and its start time (field 22, clock
// ticks after boot).
struct ProcessStat {
    char state = '\0';
    std::uint64_t start = 0;
};

// The stat of `path` ("/proc/self/stat", "/proc/4242/stat"); false when it
// cannot be read or parsed. Async-signal-safe.
bool read_process_stat(const char* path, ProcessStat& stat) noexcept;

}  // namespace vorn
