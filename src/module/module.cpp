#include <optional>
#include <string>
#include <string_view>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "console/console_line.h"
#include "console/stdout_logger_options.h"
#include "module/class_assignment.h"
#include "module/default_invoker.h"
#include "module/fast_methods.h"
#include "module/interpreter_lock.h"
#include "module/logger_bindings.h"
#include "module/python_stdout_logger.h"
#include "module/python_stl_logger.h"

namespace py = pybind11;

namespace {

// StdoutLogger.print: one console line outside any scope. The default invoker
// is computed first even when one is given, so a frame that cannot be read
// fails the call before anything is printed. The message is printed whole,
// up to its first NUL, from where the argument keeps it.
void print_line(const vorn::TextArgument& message, const std::optional<vorn::TextArgument>& invoker) {
    const std::string default_invoker = vorn::get_default_invoker();
    vorn::print_console_line(invoker ? invoker->bytes() : std::string_view(default_invoker),
                             message.bytes());
}

// A text field of StdoutLoggerOptions. Reading one gives a str, so a write
// must keep it UTF-8: bytes that are not raise UnicodeDecodeError and leave
// the field as it was, instead of being stored and failing every later read.
// The accessors are made as methods (is_method), as def_readwrite makes
// those of the bool fields, so that all four signatures name `self`.
template <std::string vorn::StdoutLoggerOptions::*Field>
void add_text_field(py::class_<vorn::StdoutLoggerOptions>& cls, const char* name) {
    const py::cpp_function getter(
        [](const vorn::StdoutLoggerOptions& options) { return options.*Field; }, py::is_method(cls));
    const py::cpp_function setter(
        [](vorn::StdoutLoggerOptions& options, const vorn::TextArgument& text) {
            const std::string_view bytes = text.bytes();
            py::str checked = py::reinterpret_steal<py::str>(
                PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "strict"));
            if (!checked) throw py::error_already_set();
            options.*Field = bytes;
        },
        py::is_method(cls));
    cls.def_property(name, getter, setter);
}

// The module keeps process-wide state (each thread's trace writer, the
// clock origin, the fast methods' tables, which point into the main
// interpreter's objects), so only the main interpreter may load it. A
// sub-interpreter with its own GIL is refused by the interpreter itself; a
// legacy one (the configuration embedders get from Py_NewInterpreter) is
// refused here, before anything is registered.
void refuse_sub_interpreters() {
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        throw py::import_error("module _py_vorn does not support loading in subinterpreters");
    }
}

// StdoutLogger.set_options: the calling thread's options become a copy.
void set_options(const vorn::StdoutLoggerOptions& options) {
    vorn::current_stdout_logger_options() = options;
}

// StdoutLogger.get_options: a copy of the calling thread's options.
vorn::StdoutLoggerOptions get_options() { return vorn::current_stdout_logger_options(); }

}  // namespace

// Multi-phase initialisation. The module needs the GIL, and its per-thread
// writer state belongs to the process, so it refuses sub-interpreters.
PYBIND11_MODULE(_py_vorn, m, py::mod_gil_used(), py::multiple_interpreters::not_supported()) {
    refuse_sub_interpreters();
    vorn::install_interpreter_lock_release();
    m.doc() = "Python bindings for the VORN STL and stdout loggers";

    py::class_<vorn::StdoutLoggerOptions> options(m, "StdoutLoggerOptions");
    options.def(py::init<>());
    add_text_field<&vorn::StdoutLoggerOptions::color>(options, "color");
    add_text_field<&vorn::StdoutLoggerOptions::workflow_name>(options, "workflow_name");
    options.def_readwrite("print_header", &vorn::StdoutLoggerOptions::print_header)
        .def_readwrite("use_color", &vorn::StdoutLoggerOptions::use_color);

    py::class_<vorn::PythonStlLogger> stl_logger(m, "StlLogger");
    vorn::bind_logger_members(stl_logger);
    stl_logger.def("get_log_file_name", &vorn::PythonStlLogger::get_log_file_name);
    stl_logger.def_property_readonly(
        "log_file_name", py::cpp_function(&vorn::PythonStlLogger::get_log_file_name, py::is_method(stl_logger)));
    vorn::install_fast_logger_methods(stl_logger);
    vorn::refuse_foreign_class_assignment(stl_logger);

    py::class_<vorn::PythonStdoutLogger> stdout_logger(m, "StdoutLogger");
    vorn::bind_logger_members(stdout_logger);
    stdout_logger.def_static("print", &print_line, py::arg("message"),
                             py::arg("invoker") = py::none());
    stdout_logger.def_static("set_options", &set_options, py::arg("options"));
    stdout_logger.def_static("get_options", &get_options);
    vorn::install_fast_logger_methods(stdout_logger);
    vorn::refuse_foreign_class_assignment(stdout_logger);

    m.attr("CLI_LEVEL_RESET") = py::str(vorn::CLI_LEVEL_RESET);
    m.attr("CLI_LEVEL_STATUS") = py::str(vorn::CLI_LEVEL_STATUS);
    m.attr("CLI_LEVEL_INFO") = py::str(vorn::CLI_LEVEL_INFO);
    m.attr("CLI_LEVEL_WARNING") = py::str(vorn::CLI_LEVEL_WARNING);
    m.attr("CLI_LEVEL_ERROR") = py::str(vorn::CLI_LEVEL_ERROR);

    m.attr("Logger") = m.attr("StlLogger");
}
