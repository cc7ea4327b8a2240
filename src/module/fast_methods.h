#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <pybind11/pybind11.h>

#include "module/borrowed_text.h"
#include "module/python_logger.h"

namespace vorn {

namespace py = pybind11;

// Fast calls of the logger methods that run for every scope: __init__, log,
// close, __enter__ and __exit__. pybind11's dispatcher costs several times
// what a record itself costs to compose (it looks up the type, converts
// self, builds argument vectors, fills in defaults, walks overloads). A
// method registered here is a plain vectorcall method descriptor that
// handles the ordinary call itself: positional arguments only, text of a
// kind that needs no copy, and for the methods a constructed, open scope.
// Every other call goes to the function pybind11 registered for the method,
// so that conversions, errors and their messages stay exactly pybind11's;
// the descriptor carries that function's name and docstring.

// Which method a fast method stands for.
enum class FastMethodKind { init, log, close, enter, exit };

namespace fast_methods_detail {

// One fast method: its definition (which the descriptor points to for the
// life of the process) and the pybind11 function that takes every other
// call. Held to the end of the process: the module cannot be unloaded, and
// the references are never released after the interpreter has gone.
struct FastMethodEntry {
    PyMethodDef definition{};
    std::string name;
    std::string doc;
    PyObject* fallback = nullptr;  // strong reference
};

// The wrapper behind `self` when it is a constructed instance of Wrapper,
// else nullptr (an instance made by __new__ alone).
template <typename Wrapper>
Wrapper* constructed_wrapper(PyObject* self) {
    static const py::detail::type_info* const type = py::detail::get_type_info(typeid(Wrapper));
    auto* instance = reinterpret_cast<py::detail::instance*>(self);
    const py::detail::value_and_holder holder = instance->get_value_and_holder(type, false);
    if (holder.inst == nullptr || !holder.holder_constructed()) return nullptr;
    return holder.template value_ptr<Wrapper>();
}

// Hands the call to pybind11's function for the method, self first.
inline PyObject* call_fallback(const FastMethodEntry& entry, PyObject* self, PyObject* const* args,
                               Py_ssize_t nargs, PyObject* kwnames) {
    const Py_ssize_t keywords = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    std::vector<PyObject*> all;
    all.reserve(static_cast<std::size_t>(1 + nargs + keywords));
    all.push_back(self);
    for (Py_ssize_t i = 0; i < nargs + keywords; ++i) all.push_back(args[i]);
    return PyObject_Vectorcall(entry.fallback, all.data(), static_cast<std::size_t>(1 + nargs), kwnames);
}

template <typename Wrapper, FastMethodKind Kind>
FastMethodEntry& entry() {
    static FastMethodEntry instance;
    return instance;
}

// Runs `body`, turning a C++ exception into the Python error pybind11 would
// raise for it. Returns false when one was raised.
template <typename Body>
bool run_translated(Body&& body) {
    try {
        body();
        return true;
    } catch (py::error_already_set& error) {
        error.restore();
    } catch (...) {
        py::detail::try_translate_exceptions();
    }
    return false;
}

// The fast __init__: message and invoker given by position (or left out) on
// a fresh instance of the class itself. The scope is built and handed to
// pybind11 exactly as its own constructor binding does: the value first,
// then pybind11 makes the holder and registers the instance.
template <typename Wrapper>
PyObject* call_init(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::detail::type_info* const type = py::detail::get_type_info(typeid(Wrapper));
    const FastMethodEntry& method = entry<Wrapper, FastMethodKind::init>();
    if (kwnames != nullptr || nargs > 2 || Py_TYPE(self) != type->type) {
        return call_fallback(method, self, args, nargs, kwnames);
    }
    auto* instance = reinterpret_cast<py::detail::instance*>(self);
    py::detail::value_and_holder holder = instance->get_value_and_holder(type, false);
    TextArgument message = TextArgument::borrowed("");
    std::optional<TextArgument> invoker;
    bool fast = holder.inst != nullptr && holder.value_ptr() == nullptr && !holder.holder_constructed();
    if (fast && nargs >= 1) fast = borrowed_text(args[0], message);
    if (fast && nargs == 2 && args[1] != Py_None) {
        TextArgument given;
        fast = borrowed_text(args[1], given);
        if (fast) invoker = given;
    }
    if (!fast) return call_fallback(method, self, args, nargs, kwnames);
    const bool built = run_translated([&] {
        auto wrapper = std::make_unique<Wrapper>(message, invoker, TextArgument::borrowed("<python>"),
                                                 0u, std::nullopt);
        holder.value_ptr() = wrapper.release();
        holder.type->init_instance(instance, nullptr);
    });
    if (!built) return nullptr;
    Py_RETURN_NONE;
}

// The fast methods other than __init__; `self` has been checked by the
// descriptor to be an instance of the class (or of a subclass).
template <typename Wrapper, FastMethodKind Kind>
PyObject* call(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const FastMethodEntry& method = entry<Wrapper, Kind>();
    Wrapper* wrapper = kwnames == nullptr ? constructed_wrapper<Wrapper>(self) : nullptr;
    if (wrapper != nullptr && wrapper->logger) {
        if constexpr (Kind == FastMethodKind::log) {
            TextArgument message;
            if (nargs == 1 && borrowed_text(args[0], message)) {
                if (!run_translated([&] { wrapper->log(message); })) return nullptr;
                Py_RETURN_NONE;
            }
        } else if constexpr (Kind == FastMethodKind::close) {
            if (nargs == 0) {
                wrapper->close();
                Py_RETURN_NONE;
            }
        } else if constexpr (Kind == FastMethodKind::enter) {
            if (nargs == 0) return Py_NewRef(self);
        } else if constexpr (Kind == FastMethodKind::exit) {
            if (nargs == 3) {
                wrapper->close();
                Py_RETURN_NONE;
            }
        }
    }
    return call_fallback(method, self, args, nargs, kwnames);
}

}  // namespace fast_methods_detail

// Puts the fast method `name` in place of the one pybind11 registered on
// `cls` under that name, keeping its place in the class's dictionary.
// Registering again (a second import of the module) changes nothing.
template <typename Wrapper, FastMethodKind Kind>
void install_fast_method(py::class_<Wrapper>& cls, const char* name) {
    namespace detail = fast_methods_detail;
    detail::FastMethodEntry& method = detail::entry<Wrapper, Kind>();
    if (method.fallback != nullptr) return;
    // pybind11 keeps a method as an instancemethod around its function.
    const py::object registered = cls.attr("__dict__")[name];
    PyObject* function = PyInstanceMethod_Check(registered.ptr())
                             ? PyInstanceMethod_GET_FUNCTION(registered.ptr())
                             : registered.ptr();
    method.name = name;
    const py::object doc = py::reinterpret_borrow<py::object>(function).attr("__doc__");
    method.doc = doc.is_none() ? std::string() : doc.cast<std::string>();
    method.definition.ml_name = method.name.c_str();
    PyObject* (*const fast)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) =
        Kind == FastMethodKind::init ? &detail::call_init<Wrapper> : &detail::call<Wrapper, Kind>;
    method.definition.ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fast));
    method.definition.ml_flags = METH_FASTCALL | METH_KEYWORDS;
    method.definition.ml_doc = method.doc.empty() ? nullptr : method.doc.c_str();
    const py::object descriptor = py::reinterpret_steal<py::object>(
        PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(cls.ptr()), &method.definition));
    if (!descriptor) throw py::error_already_set();
    cls.attr(name) = descriptor;
    method.fallback = Py_NewRef(function);
}

// The fast forms of __init__, log, close, __enter__ and __exit__ on a logger
// class.
template <typename Wrapper>
void install_fast_logger_methods(py::class_<Wrapper>& cls) {
    install_fast_method<Wrapper, FastMethodKind::init>(cls, "__init__");
    install_fast_method<Wrapper, FastMethodKind::log>(cls, "log");
    install_fast_method<Wrapper, FastMethodKind::close>(cls, "close");
    install_fast_method<Wrapper, FastMethodKind::enter>(cls, "__enter__");
    install_fast_method<Wrapper, FastMethodKind::exit>(cls, "__exit__");
}

}  // namespace vorn
