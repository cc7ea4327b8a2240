#pragma once

#include <cstddef>
#include <sys/types.h>

namespace vorn {

// Shared mappings of files that other processes may cut short under us.
//
// A store into a page of a shared file mapping that lies past the file's end
// (someone truncated it) raises SIGBUS, which would kill the program. Every
// mapping made here is listed in a fixed, lock-free table that a process-wide
// SIGBUS handler consults: a fault inside one of our mappings replaces that
// whole mapping with anonymous zero pages (the faulting store then lands
// there, harmlessly) and marks it faulted; any other SIGBUS goes on to the
// handler that was installed before ours (or the default action). The
// handler is installed once, at the first mapping.
//
// The descriptors of the mapped files are kept here too: a forked child
// inherits both mappings and descriptors, and drops them all (it writes
// files of its own). The table's lock is held across fork.

// A mapping's place in the table; -1 for none.
using MappingSlot = int;

// Opens `path` as open(2) would (flags get O_CLOEXEC), moved above the
// standard streams, and keeps the descriptor for a forked child to close.
// -1 when it cannot be opened (errno set) or kept.
int open_guarded_file(const char* path, int flags, mode_t mode) noexcept;

// Closes a descriptor from open_guarded_file; -1 does nothing.
void close_guarded_file(int fd) noexcept;

// Maps `length` bytes of `fd` from `offset` (a multiple of the page size),
// shared, for reading and writing. Returns the slot (and the address in
// `*address`), or -1 when it cannot be mapped or the table is full.
MappingSlot map_guarded(int fd, std::size_t length, off_t offset, char** address) noexcept;

// Unmaps a mapping from map_guarded; -1 does nothing.
void unmap_guarded(MappingSlot slot) noexcept;

// Whether a store into the mapping faulted; the mapping now holds anonymous
// memory, and what was stored there since is lost. Cheap: one atomic load.
bool guarded_mapping_faulted(MappingSlot slot) noexcept;

}  // namespace vorn
