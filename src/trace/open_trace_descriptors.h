#pragma once

namespace vorn {

// The process's lock over its trace files: opening one (looking at what the
// name holds, moving an earlier file aside, remembering the new one) and
// registering or closing a thread's descriptor. A thread may take it again
// while it holds it. Forking waits for it, so that a child never sees a
// file half opened or a descriptor half closed.
class TraceFilesLock {
public:
    TraceFilesLock() noexcept;
    ~TraceFilesLock();
    TraceFilesLock(const TraceFilesLock&) = delete;
    TraceFilesLock& operator=(const TraceFilesLock&) = delete;
};

// The trace descriptors the process's threads have open. A forked child
// starts with copies of all of them, and with them the lock (flock) on each
// file, which would then outlive the parent's thread for as long as the
// child runs. The child's fork handler closes every registered copy; the
// child keeps only what its own threads open afterwards.
//
// Both calls want a TraceFilesLock held: registering in the same hold as the
// opening (a fork in between would leave the child an unregistered copy),
// and forgetting in the same hold as the closing (a fork in between would
// have the child close a number that meanwhile names another file).

// Registers `fd`, the calling thread's newly opened trace file.
void register_trace_descriptor(int fd);
// Forgets `fd`; the caller closes it before it lets the lock go.
void forget_trace_descriptor(int fd) noexcept;

}  // namespace vorn
