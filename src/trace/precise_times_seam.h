#pragma once

#include <atomic>

#include <sys/types.h>

namespace vorn {

// The call that reserves a companion's blocks, fallocate by default. Tests
// swap it to act out a full disk or an exhausted quota, which they cannot
// bring about on a shared file system.
using AllocateCall = int (*)(int fd, int mode, off_t offset, off_t length);
extern std::atomic<AllocateCall> precise_times_allocate;

}  // namespace vorn
