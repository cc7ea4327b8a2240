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

// A blocking call that a signal interrupts (EINTR, or a write cut short)
// must let the host run its handlers of that signal, as the host's own
// system calls do, and give up when a handler raises: a program stuck on a
// full pipe must still stop on Ctrl-C. The host installs, once, a function
// that runs those handlers with its lock held and throws what they raise,
// as an exception its own layer translates; with none installed, nothing
// runs and nothing is thrown.
using SignalHandlerHook = void (*)();

// Installs `hook` (nullptr removes it) for every thread.
void set_signal_handler_hook(SignalHandlerHook hook) noexcept;

// After a blocking call was interrupted, with the host's lock held again and
// no lock of the caller's held: runs the host's signal handlers. Returns
// when the call may go on; throws when it must not.
void run_signal_handlers();

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
