#include "module/interpreter_lock.h"

#include <Python.h>

#include "trace/blocking_call.h"

namespace vorn {
namespace {

// The token is the thread state that gave the lock up; nullptr when nothing
// was released.
void* release_interpreter_lock() noexcept {
    // The attached thread state is read first: without one the thread holds
    // no lock, and PyGILState_Check may not be consulted (it answers yes for
    // every thread once its checks are switched off).
    if (PyThreadState_GetUnchecked() == nullptr) return nullptr;
    if (Py_IsFinalizing() || !PyGILState_Check()) return nullptr;
    return PyEval_SaveThread();
}

void reacquire_interpreter_lock(void* token) noexcept {
    if (token != nullptr) PyEval_RestoreThread(static_cast<PyThreadState*>(token));
}

constexpr BlockingCallHooks kInterpreterLockHooks{&release_interpreter_lock, &reacquire_interpreter_lock};

}  // namespace

void install_interpreter_lock_release() { set_blocking_call_hooks(&kInterpreterLockHooks); }

}  // namespace vorn
