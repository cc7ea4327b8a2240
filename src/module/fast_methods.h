#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include <pybind11/pybind11.h>

#include "module/borrowed_text.h"
#include "module/construction_claim.h"
#include "module/python_logger.h"

namespace vorn {

namespace py = pybind11;

// Fast calls of the logger methods that run for every scope: __init__, log,
// close, __enter__ and __exit__. pybind11's dispatcher costs several times
// what a record itself costs to compose (it looks up the type, converts
// self, builds argument vectors, fills in defaults, walks overloads). A
// method registered here is a vectorcall method descriptor of our own that
// handles the ordinary call itself: positional arguments only, text of a
// kind that needs no copy, and for the methods a constructed, open scope.
// Every other call, also one whose self is not an instance of the class
// (StlLogger.log(5, "x")), goes to the function pybind11 registered for the
// method, so that conversions, errors and their messages stay exactly
// pybind11's; the descriptor carries that function's name and docstring.
//
// The interpreter's own method descriptor would check self before our code
// runs and raise its own message, so the descriptor is a small type of
// ours: it binds like a method (Py_TPFLAGS_METHOD_DESCRIPTOR lets the
// interpreter call it with self first, without making a bound method), and
// its call receives self as the first argument.

// Which method a fast method stands for.
enum class FastMethodKind { init, log, close, enter, exit };

namespace fast_methods_detail {

// One fast method: its names and docstring and the pybind11 function that
// takes every other call. Held to the end of the process: the module cannot
// be unloaded, and only the main interpreter ever loads it, so the
// references are never released after their interpreter has gone.
struct FastMethodEntry {
    std::string name;
    std::string qualified_name;
    std::string doc;
    PyObject* fallback = nullptr;  // strong reference
    PyTypeObject* owner = nullptr;  // the class; borrowed, it outlives the entry's use
};

// The descriptor object: a vectorcall function and the entry it serves.
struct FastMethodObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FastMethodEntry* entry;
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

// Hands the call, self first, to pybind11's function for the method.
inline PyObject* call_fallback(const FastMethodEntry& entry, PyObject* const* args, std::size_t nargsf,
                               PyObject* kwnames) {
    return PyObject_Vectorcall(entry.fallback, args, nargsf, kwnames);
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
// then pybind11 makes the holder and registers the instance. `args[0]` is
// self.
//
// Every __init__ of the class comes here, also those pybind11's function
// serves, and each runs under a claim on the instance: while one is under
// way, another does nothing and returns None.
template <typename Wrapper>
PyObject* call_init(PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    static const py::detail::type_info* const type = py::detail::get_type_info(typeid(Wrapper));
    const FastMethodEntry& method = entry<Wrapper, FastMethodKind::init>();
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf) - 1;
    PyObject* self = args[0];
    const ConstructionClaim claim(self);
    if (!claim.won()) Py_RETURN_NONE;
    if (kwnames != nullptr || nargs > 2 || Py_TYPE(self) != type->type) {
        return call_fallback(method, args, nargsf, kwnames);
    }
    auto* instance = reinterpret_cast<py::detail::instance*>(self);
    py::detail::value_and_holder holder = instance->get_value_and_holder(type, false);
    TextArgument message = TextArgument::borrowed("");
    std::optional<TextArgument> invoker;
    bool fast = holder.inst != nullptr && holder.value_ptr() == nullptr && !holder.holder_constructed();
    if (fast && nargs >= 1) fast = borrowed_text(args[1], message);
    if (fast && nargs == 2 && args[2] != Py_None) {
        TextArgument given;
        fast = borrowed_text(args[2], given);
        if (fast) invoker = given;
    }
    if (!fast) return call_fallback(method, args, nargsf, kwnames);
    const bool built = run_translated([&] {
        auto wrapper = std::make_unique<Wrapper>(message, invoker, TextArgument::borrowed("<python>"),
                                                 0u, std::nullopt);
        holder.value_ptr() = wrapper.release();
        holder.type->init_instance(instance, nullptr);
    });
    if (!built) return nullptr;
    Py_RETURN_NONE;
}

// The fast methods other than __init__. `args[0]` is self, an instance of
// the class (or of a subclass).
template <typename Wrapper, FastMethodKind Kind>
PyObject* call(PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    const FastMethodEntry& method = entry<Wrapper, Kind>();
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf) - 1;
    PyObject* self = args[0];
    Wrapper* wrapper = kwnames == nullptr ? constructed_wrapper<Wrapper>(self) : nullptr;
    if (wrapper != nullptr && wrapper->logger) {
        if constexpr (Kind == FastMethodKind::log) {
            TextArgument message;
            if (nargs == 1 && borrowed_text(args[1], message)) {
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
    return call_fallback(method, args, nargsf, kwnames);
}

// The descriptor's call: self must come first and be an instance of the
// class; anything else is pybind11's to refuse.
template <typename Wrapper, FastMethodKind Kind>
PyObject* vectorcall(PyObject* callable, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    const FastMethodEntry& method = *reinterpret_cast<FastMethodObject*>(callable)->entry;
    if (PyVectorcall_NARGS(nargsf) < 1 || !PyObject_TypeCheck(args[0], method.owner)) {
        return call_fallback(method, args, nargsf, kwnames);
    }
    if constexpr (Kind == FastMethodKind::init) {
        return call_init<Wrapper>(args, nargsf, kwnames);
    } else {
        return call<Wrapper, Kind>(args, nargsf, kwnames);
    }
}

inline const FastMethodEntry& entry_of(PyObject* self) {
    return *reinterpret_cast<FastMethodObject*>(self)->entry;
}

// Read through an instance, the descriptor gives a bound method; read
// through the class, itself.
inline PyObject* descriptor_get(PyObject* self, PyObject* instance, PyObject*) {
    if (instance == nullptr || instance == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, instance);
}

inline PyObject* text_or_none(const std::string& text) {
    if (text.empty()) Py_RETURN_NONE;
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

inline PyObject* get_name(PyObject* self, void*) { return text_or_none(entry_of(self).name); }
inline PyObject* get_qualname(PyObject* self, void*) { return text_or_none(entry_of(self).qualified_name); }
inline PyObject* get_doc(PyObject* self, void*) { return text_or_none(entry_of(self).doc); }
inline PyObject* get_objclass(PyObject* self, void*) {
    return Py_NewRef(reinterpret_cast<PyObject*>(entry_of(self).owner));
}
inline PyObject* get_text_signature(PyObject*, void*) { Py_RETURN_NONE; }

inline PyObject* descriptor_repr(PyObject* self) {
    const FastMethodEntry& method = entry_of(self);
    return PyUnicode_FromFormat("<method '%s' of '%s' objects>", method.name.c_str(), method.owner->tp_name);
}

inline void descriptor_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// The descriptor type, made once per process (only the main interpreter
// loads the module).
inline PyTypeObject* descriptor_type() {
    static PyTypeObject* const type = [] {
        static PyGetSetDef getset[] = {
            {"__name__", &get_name, nullptr, nullptr, nullptr},
            {"__qualname__", &get_qualname, nullptr, nullptr, nullptr},
            {"__doc__", &get_doc, nullptr, nullptr, nullptr},
            {"__objclass__", &get_objclass, nullptr, nullptr, nullptr},
            {"__text_signature__", &get_text_signature, nullptr, nullptr, nullptr},
            {nullptr, nullptr, nullptr, nullptr, nullptr},
        };
        static PyMemberDef members[] = {
            {"__vectorcalloffset__", Py_T_PYSSIZET,
             static_cast<Py_ssize_t>(offsetof(FastMethodObject, vectorcall)), Py_READONLY, nullptr},
            {nullptr, 0, 0, 0, nullptr},
        };
        static PyType_Slot slots[] = {
            {Py_tp_dealloc, reinterpret_cast<void*>(&descriptor_dealloc)},
            {Py_tp_repr, reinterpret_cast<void*>(&descriptor_repr)},
            {Py_tp_call, reinterpret_cast<void*>(&PyVectorcall_Call)},
            {Py_tp_descr_get, reinterpret_cast<void*>(&descriptor_get)},
            {Py_tp_getset, getset},
            {Py_tp_members, members},
            {0, nullptr},
        };
        static PyType_Spec spec = {
            "_py_vorn.method_descriptor", static_cast<int>(sizeof(FastMethodObject)), 0,
            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
                Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
            slots,
        };
        PyObject* made = PyType_FromSpec(&spec);
        if (made == nullptr) throw py::error_already_set();
        return reinterpret_cast<PyTypeObject*>(made);
    }();
    return type;
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
    method.qualified_name = cls.attr("__qualname__").template cast<std::string>() + "." + name;
    const py::object doc = py::reinterpret_borrow<py::object>(function).attr("__doc__");
    method.doc = doc.is_none() ? std::string() : doc.cast<std::string>();
    method.owner = reinterpret_cast<PyTypeObject*>(cls.ptr());
    PyTypeObject* type = detail::descriptor_type();
    auto* object = PyObject_New(detail::FastMethodObject, type);
    if (object == nullptr) throw py::error_already_set();
    object->vectorcall = &detail::vectorcall<Wrapper, Kind>;
    object->entry = &method;
    const py::object descriptor = py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(object));
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
