// The module _py_vorn_trace_record: one function that writes a record naming
// its caller into the calling thread's trace, for vorn.TraceHandler.
//
// Why a second module in the same shared object. The trace writer's state
// (each thread's depth, open record and file, the companion of precise
// times) lives in this shared object; a separate extension linking the
// writer again would get a writer of its own, and its records would land in
// a second file, or corrupt the first. _py_vorn's names are fixed, so the
// entry point cannot be one of its attributes either. The interpreter can
// load a module from any shared object that exports its PyInit function:
// vorn loads this one from _py_vorn's own file, which the dynamic loader
// already holds, so both modules share one writer. Compared with an
// exported C function called through ctypes, a record costs an ordinary
// call of a builtin function (no argument conversion by ctypes, no bytes
// objects made per call), the interpreter's usual checks apply (the GIL is
// declared, sub-interpreters are refused), and nothing but this entry point
// is exported.

#include <cstdint>
#include <exception>

#include <pybind11/pybind11.h>

#include "module/borrowed_text.h"
#include "module/python_logger.h"
#include "module/python_thread_name.h"
#include "trace/caller_record.h"

namespace vorn {
namespace {

// A logging record's line number as the record's signed 32-bit field; one
// that does not fit (only a made-up record has one) reads as 0.
bool record_line(PyObject* object, std::int32_t& line) {
    const long long value = PyLong_AsLongLong(object);
    if (value == -1 && PyErr_Occurred()) return false;
    line = value < INT32_MIN || value > INT32_MAX ? 0 : static_cast<std::int32_t>(value);
    return true;
}

// write_caller_record(message, invoker, file, line): one instant record in
// the innermost open scope of the calling thread (top-level with none open),
// naming `invoker`, `file` and `line`. Texts are str (or bytes); a str with
// no UTF-8 form raises TypeError, as the loggers do, and writes nothing.
PyObject* write_caller_record_function(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 4) {
        PyErr_Format(PyExc_TypeError, "write_caller_record() takes 4 arguments (%zd given)", nargs);
        return nullptr;
    }
    TextArgument message;
    TextArgument invoker;
    TextArgument file;
    if (!borrowed_text(args[0], message) || !borrowed_text(args[1], invoker) || !borrowed_text(args[2], file)) {
        PyErr_SetString(PyExc_TypeError, "write_caller_record() takes texts that have a UTF-8 form");
        return nullptr;
    }
    std::int32_t line = 0;
    if (!record_line(args[3], line)) return nullptr;
    try {
        // As StlLogger.log does: the thread's Python name first (it may run
        // Python code), then the texts copied to the thread's buffers.
        give_python_thread_name();
        CallTexts& texts = this_thread_call_texts;
        write_caller_record(bounded_copy(texts.invoker, invoker.bytes()), bounded_copy(texts.file, file.bytes()),
                            line, bounded_copy(texts.message, message.bytes()));
    } catch (...) {
        pybind11::detail::try_translate_exceptions();
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    {"write_caller_record", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&write_caller_record_function)),
     METH_FASTCALL,
     "write_caller_record(message, invoker, file, line)\n--\n\n"
     "Writes one record naming invoker, file and line into the calling thread's trace."},
    {nullptr, nullptr, 0, nullptr},
};

// Only the main interpreter may hold the writer's state, as for _py_vorn:
// a legacy sub-interpreter is refused here, one with its own GIL by the
// slot below.
int refuse_sub_interpreters(PyObject*) {
    if (PyInterpreterState_Get() == PyInterpreterState_Main()) return 0;
    PyErr_SetString(PyExc_ImportError, "module _py_vorn_trace_record does not support loading in subinterpreters");
    return -1;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&refuse_sub_interpreters)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_USED},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "_py_vorn_trace_record",
    "The trace writer of _py_vorn, for records that name their caller",
    0,
    methods,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace vorn

PyMODINIT_FUNC PyInit__py_vorn_trace_record() { return PyModuleDef_Init(&vorn::module_definition); }
