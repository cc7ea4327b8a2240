#pragma once

namespace vorn {

// A system call that can block (a write to a pipe nobody reads, a terminal
// held by flow control, a slow disk) must not stop every other thread of the
// host program. The host installs, once, a pair of hooks: `release` lets
// other threads run and returns a token, `reacquire` takes the token back
// before the caller goes on. Native code cannot see the host's headers, so
// the writers only know these hooks; with none installed (native tests,
// benchmarks) a blocking call costs one atomic load.
struct BlockingCallHooks {
    void* (*release)() noexcept;
    void (*reacquire)(void* token) noexcept;
};

// Installs `hooks` (static storage; nullptr removes them) for every thread.
void set_blocking_call_hooks(const BlockingCallHooks* hooks) noexcept;

// Brackets one blocking call: releases in its constructor, reacquires in its
// destructor. Between them the caller may touch only what no other thread
// can reach without the host's lock: its own thread's state, and shared
// state under a lock of its own, taken after the release.
class BlockingCall {
public:
    BlockingCall() noexcept;
    ~BlockingCall();
    BlockingCall(const BlockingCall&) = delete;
    BlockingCall& operator=(const BlockingCall&) = delete;

private:
    const BlockingCallHooks* hooks_;
    void* token_ = nullptr;
};

}  // namespace vorn
