#pragma once

#include <cstddef>
#include <cstdint>

namespace vorn {

// What identifies the running process, read once (getpid, getppid,
// /proc/self/stat, /proc/self/cmdline, /proc/self/ns/pid,
// /proc/sys/kernel/random/boot_id) and read again in a forked child, which
// has its own pid, parent and start time.
struct ProcessIdentity {
    // More of the command line than an identity record can ever hold.
    static constexpr std::size_t kCommandLineCapacity = 2048;
    // A boot id is a UUID, 36 characters; room for a NUL.
    static constexpr std::size_t kBootIdCapacity = 40;

    std::int64_t pid = 0;
    std::uint64_t start = 0;  // clock ticks after boot; 0 when unreadable
    std::int64_t ppid = 0;
    // The inode number of the process's pid namespace: a pid and start time
    // name one process only within one namespace (containers on one host
    // each count their own). 0 when unreadable.
    std::uint64_t pidns = 0;
    // The kernel's id of this boot, NUL-terminated; "" when unreadable.
    // Start times count from the boot, so they compare only within one.
    char boot_id[kBootIdCapacity] = {};
    // The arguments, each ended by a NUL, as /proc/self/cmdline has them;
    // when `command_line_complete` is false the read stopped at the
    // capacity and the last argument is only its beginning.
    char command_line[kCommandLineCapacity] = {};
    std::size_t command_line_length = 0;
    bool command_line_complete = true;
};

// The calling process's identity. Read-only for the caller; the first call
// in the process reads it.
const ProcessIdentity& process_identity() noexcept;

}  // namespace vorn
