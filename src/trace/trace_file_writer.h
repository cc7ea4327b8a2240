#pragma once

namespace vorn {

// Whether the trace file open at `fd` was written by a process that still
// runs, as its identity attribute tells: the pid it names is alive in this
// pid namespace (not a zombie) with the start time the attribute records,
// and the attribute's "pidns" and "boot_id" are this process's own, so
// that pid and start time mean the same process here. A file without the
// attribute, with one of another version, or one naming a process of
// another namespace or boot, is not known to be a live process's.
//
// Such a file may be finished (its writer's thread ended, so it is not
// locked) while its process runs on: a thread id the system gives out again
// must not empty it.
bool written_by_a_live_process(int fd) noexcept;

}  // namespace vorn
