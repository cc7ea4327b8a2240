#include "module/python_thread_name.h"

#include <cstddef>

#include <pybind11/pybind11.h>

#include "trace/log_file.h"
#include "trace/trace_identity.h"

namespace py = pybind11;

namespace vorn {
namespace {

// A new reference owned, released at the end of its scope; empty for nullptr.
py::object owned(PyObject* object) { return py::reinterpret_steal<py::object>(object); }

// Set while the name is being read: a Thread subclass's name may be a
// property that opens scopes of its own, which must not read it again.
thread_local bool reading_name = false;

// Whether the calling thread is the interpreter's main thread.
bool on_main_thread() {
    const py::object thread_module = owned(PyImport_ImportModule("_thread"));
    if (!thread_module) return false;
    const py::object main_ident = owned(PyObject_CallMethod(thread_module.ptr(), "_get_main_thread_ident", nullptr));
    if (!main_ident) return false;
    const unsigned long main = PyLong_AsUnsignedLong(main_ident.ptr());
    return !PyErr_Occurred() && main == PyThread_get_thread_ident();
}

// The threading module. Importing it makes the main thread's Thread object,
// which takes its native id from the importing thread, so it is imported
// only on the main thread; until something imports it no Thread objects
// exist, and another thread has no name of Python's. nullptr with an error
// set, or without one when there is no module to use.
py::object threading_module() {
    const py::object name = owned(PyUnicode_FromString("threading"));
    if (!name) return {};
    py::object module = owned(PyImport_GetModule(name.ptr()));
    if (module || PyErr_Occurred() || !on_main_thread()) return module;
    return owned(PyImport_Import(name.ptr()));
}

// Whether `thread` is one threading made up for a thread it did not start.
bool is_dummy(PyObject* threading, PyObject* thread) {
    const py::object dummy = owned(PyObject_GetAttrString(threading, "_DummyThread"));
    if (!dummy || !PyType_Check(dummy.ptr())) {
        PyErr_Clear();
        return false;
    }
    return PyObject_TypeCheck(thread, reinterpret_cast<PyTypeObject*>(dummy.ptr()));
}

// threading.current_thread().name, given to the trace writer; Python errors
// are left set for the caller to clear.
void read_and_give_name() {
    set_python_thread_name("", 0);
    const py::object threading = threading_module();
    if (!threading) return;
    const py::object thread = owned(PyObject_CallMethod(threading.ptr(), "current_thread", nullptr));
    if (!thread || is_dummy(threading.ptr(), thread.ptr())) return;
    const py::object name = owned(PyObject_GetAttrString(thread.ptr(), "name"));
    if (!name || !PyUnicode_Check(name.ptr())) return;
    Py_ssize_t size = 0;
    const char* bytes = PyUnicode_AsUTF8AndSize(name.ptr(), &size);
    if (bytes != nullptr) set_python_thread_name(bytes, static_cast<std::size_t>(size));
}

}  // namespace

void give_python_thread_name() noexcept {
    if (log_file_open_for_this_thread() || reading_name) return;
    reading_name = true;
    PyObject* pending = PyErr_GetRaisedException();
    read_and_give_name();
    PyErr_Clear();
    PyErr_SetRaisedException(pending);
    reading_name = false;
}

}  // namespace vorn
