#include "module/default_invoker.h"

#include <pybind11/gil_safe_call_once.h>
#include <pybind11/pybind11.h>

namespace py = pybind11;

namespace vorn {
namespace {

constexpr char fallback_invoker[] = "python";

// The attribute names read from a frame, made into Python strings once per
// process (and kept to its end): an attribute named by a C string costs a
// new Python string, and its hashing, on every read.
struct AttributeNames {
    py::str f_code{"f_code"};
    py::str co_name{"co_name"};
    py::str f_globals{"f_globals"};
};

const AttributeNames& attribute_names() {
    PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<AttributeNames> names;
    return names.call_once_and_store_result([] { return AttributeNames{}; }).get_stored();
}

// `value` as UTF-8 bytes: a str (or subclass) as it is, anything else through
// str(). Strict encoding: a lone surrogate raises UnicodeEncodeError.
// The UTF-8 form is read where the str object caches it, rather than through
// a new bytes object per call; the encoding and its errors are the same.
std::string utf8_text(const py::object& value) {
    const py::str text = py::isinstance<py::str>(value) ? py::reinterpret_borrow<py::str>(value)
                                                        : py::str(value);
    Py_ssize_t size = 0;
    const char* bytes = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (bytes == nullptr) throw py::error_already_set();
    return std::string(bytes, static_cast<std::size_t>(size));
}

// The frame's globals as a dict; a non-dict mapping goes through dict().
py::dict frame_globals(const py::object& frame) {
    py::object globals = frame.attr(attribute_names().f_globals);
    if (py::isinstance<py::dict>(globals)) return py::reinterpret_borrow<py::dict>(globals);
    return py::dict(globals);
}

// The invoker for module-level code running in `frame`.
std::string module_invoker(const py::object& frame) {
    const py::dict globals = frame_globals(frame);
    const py::str key("__file__");
    if (!globals.contains(key)) return fallback_invoker;
    if (py::object(globals[key]).is_none()) return fallback_invoker;
    return script_invoker(utf8_text(globals[key]));
}

}  // namespace

std::string script_invoker(std::string_view file) {
    if (file.empty()) return fallback_invoker;
    // Pseudo-files such as "<stdin>" or "<string>" name no script.
    if (file.size() > 1 && file.front() == '<' && file.back() == '>') return fallback_invoker;
    const std::size_t slash = file.rfind('/');
    const std::string_view name = slash == std::string_view::npos ? file : file.substr(slash + 1);
    if (name.empty()) return fallback_invoker;
    return std::string(name);
}

std::string get_default_invoker() {
    // Borrowed from the interpreter; held as an owned reference while we look.
    PyFrameObject* current = PyEval_GetFrame();
    if (current == nullptr) return fallback_invoker;
    const auto frame = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(current));

    const AttributeNames& names = attribute_names();
    std::string name = utf8_text(frame.attr(names.f_code).attr(names.co_name));
    if (name != "<module>") return name;
    return module_invoker(frame);
}

}  // namespace vorn
