#include "trace/blocking_call.h"

#include <atomic>

namespace vorn {
namespace {

// One pointer, so that a thread never sees a release without its reacquire.
std::atomic<const BlockingCallHooks*> installed_hooks{nullptr};

std::atomic<SignalHandlerHook> installed_signal_handler_hook{nullptr};

}  // namespace

void set_signal_handler_hook(SignalHandlerHook hook) noexcept {
    installed_signal_handler_hook.store(hook, std::memory_order_release);
}

void run_signal_handlers() {
    const SignalHandlerHook hook = installed_signal_handler_hook.load(std::memory_order_acquire);
    if (hook != nullptr) hook();
}

void set_blocking_call_hooks(const BlockingCallHooks* hooks) noexcept {
    installed_hooks.store(hooks, std::memory_order_release);
}

BlockingCall::BlockingCall() noexcept : hooks_(installed_hooks.load(std::memory_order_acquire)) {
    if (hooks_ != nullptr) token_ = hooks_->release();
}

BlockingCall::~BlockingCall() {
    if (hooks_ != nullptr) hooks_->reacquire(token_);
}

}  // namespace vorn
