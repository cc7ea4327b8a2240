#include "module/scope_order_warning.h"

#include <pybind11/pybind11.h>

namespace py = pybind11;

namespace vorn {
namespace {

// A new reference owned, released at the end of its scope; empty for nullptr.
py::object owned(PyObject* object) { return py::reinterpret_steal<py::object>(object); }

// The warning's text; nullptr with an error set when it cannot be made.
PyObject* message_of(ScopeOrderFault fault, bool dropped) {
    const char* ended = dropped ? "dropped" : "closed";
    if (fault == ScopeOrderFault::other_thread) {
        return PyUnicode_FromFormat(
            "a trace scope (StlLogger) was %s on another thread than the one that opened it: that thread's "
            "innermost open scope, if any, was closed in its place, and its own stays open. Open and close a "
            "scope on one thread; in async code use vorn.span",
            ended);
    }
    return PyUnicode_FromFormat(
        "a trace scope (StlLogger) was %s while it was not the innermost open scope of its thread: the "
        "innermost one was closed in its place. A with StlLogger must not enclose an await; in async code use "
        "vorn.span",
        ended);
}

// The vorn package's directory with its trailing "/"; empty when the
// package is not loaded.
py::object package_prefix() {
    const py::object name = owned(PyUnicode_FromString("vorn"));
    const py::object package = owned(name ? PyImport_GetModule(name.ptr()) : nullptr);
    const py::object file = owned(package ? PyObject_GetAttrString(package.ptr(), "__file__") : nullptr);
    PyErr_Clear();
    if (!file || !PyUnicode_Check(file.ptr())) return {};
    const Py_ssize_t slash = PyUnicode_FindChar(file.ptr(), '/', 0, PyUnicode_GetLength(file.ptr()), -1);
    return slash < 0 ? py::object() : owned(PyUnicode_Substring(file.ptr(), 0, slash + 1));
}

// The innermost frame of the calling thread whose code does not live under
// `prefix` (empty: any frame); empty when there is none.
py::object place_frame(const py::object& prefix) {
    PyFrameObject* frame = PyEval_GetFrame();
    Py_XINCREF(frame);
    while (frame != nullptr && prefix) {
        PyCodeObject* code = PyFrame_GetCode(frame);
        const Py_ssize_t inside = PyUnicode_Tailmatch(code->co_filename, prefix.ptr(), 0, PY_SSIZE_T_MAX, -1);
        Py_DECREF(code);
        if (inside != 1) break;
        PyFrameObject* back = PyFrame_GetBack(frame);
        Py_DECREF(frame);
        frame = back;
    }
    PyErr_Clear();
    return owned(reinterpret_cast<PyObject*>(frame));
}

// Warns at the caller's place, once per (file, line) in the process;
// returns -1 with an error set when the filters made the warning an error.
int warn_once_per_place(ScopeOrderFault fault, bool dropped) {
    // Kept to the end of the process: only the main interpreter loads the module.
    static PyObject* const warned_places = PySet_New(nullptr);
    const py::object frame = place_frame(package_prefix());
    py::object filename;
    int line = 0;
    if (frame) {
        auto* as_frame = reinterpret_cast<PyFrameObject*>(frame.ptr());
        const py::object code = owned(reinterpret_cast<PyObject*>(PyFrame_GetCode(as_frame)));
        filename = py::reinterpret_borrow<py::object>(reinterpret_cast<PyCodeObject*>(code.ptr())->co_filename);
        line = PyFrame_GetLineNumber(as_frame);
    } else {
        filename = owned(PyUnicode_FromString("<python>"));  // a thread's end, with no Python code running
    }
    const py::object place = owned(filename ? Py_BuildValue("(Oi)", filename.ptr(), line) : nullptr);
    if (warned_places == nullptr || !place || PySet_Contains(warned_places, place.ptr()) != 0 ||
        PySet_Add(warned_places, place.ptr()) < 0) {
        PyErr_Clear();
        return 0;
    }
    const py::object text = owned(message_of(fault, dropped));
    if (!text) return -1;
    return PyErr_WarnExplicitObject(PyExc_RuntimeWarning, text.ptr(), filename.ptr(), line, nullptr, nullptr);
}

}  // namespace

void warn_scope_closed_out_of_order(ScopeOrderFault fault, bool dropped) noexcept {
    if (Py_IsFinalizing()) return;
    PyObject* pending = PyErr_GetRaisedException();
    if (warn_once_per_place(fault, dropped) < 0) {
        PyErr_FormatUnraisable("Exception ignored while warning that a trace scope closed out of order");
    }
    PyErr_Clear();
    PyErr_SetRaisedException(pending);
}

}  // namespace vorn
