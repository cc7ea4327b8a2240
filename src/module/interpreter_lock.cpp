#include "module/interpreter_lock.h"

#include <pybind11/pybind11.h>

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

// As os.write does on EINTR: the handlers run (on the main thread; elsewhere
// this does nothing), and what one of them raises leaves as the Python error
// it is.
// A thread without a thread state, or without the lock, runs none.
void run_python_signal_handlers() {
    if (PyThreadState_GetUnchecked() == nullptr || !PyGILState_Check()) return;
    if (PyErr_CheckSignals() != 0) throw pybind11::error_already_set();
}

}  // namespace

void install_interpreter_lock_release() {
    set_blocking_call_hooks(&kInterpreterLockHooks);
    set_signal_handler_hook(&run_python_signal_handlers);
}

}  // namespace vorn
