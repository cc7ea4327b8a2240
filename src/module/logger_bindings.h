#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string_view>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "module/borrowed_text.h"
#include "module/python_logger.h"

namespace vorn {

// A logger's line and tid as Python passes them; each reads as the integer
// the scope takes.
struct LineArgument {
    std::uint32_t value = 0;
    operator std::uint32_t() const noexcept { return value; }
};
struct ThreadIdArgument {
    std::int64_t value = 0;
    operator std::int64_t() const noexcept { return value; }
};

}  // namespace vorn

// Text arguments (TextArgument): pybind11's own text conversions either copy
// a str into a std::string (a heap allocation for all but short texts) or,
// for std::string_view, keep the argument alive in a per-call set (two heap
// allocations on every call). This one accepts what the std::string
// conversion accepts and is shown as "str" in signatures, and allocates
// nothing for str and bytes.
namespace pybind11::detail {

template <>
struct type_caster<vorn::TextArgument> {
    PYBIND11_TYPE_CASTER(vorn::TextArgument, const_name(PYBIND11_STRING_NAME));

    bool load(handle source, bool) {
        PyObject* object = source.ptr();
        if (object == nullptr) return false;
        if (vorn::borrowed_text(object, value)) return true;
        if (PyByteArray_Check(object)) {
            value = vorn::TextArgument::copied(
                {PyByteArray_AS_STRING(object), static_cast<std::size_t>(PyByteArray_GET_SIZE(object))});
            return true;
        }
        return false;
    }
};

// The line and tid parameters convert exactly as pybind11's integer
// conversions do (an int or an object with __index__, in range; floats
// refused), but are shown as "typing.SupportsInt" in signatures, docstrings
// and TypeError messages, where pybind11 3.1 would write
// "typing.SupportsInt | typing.SupportsIndex".
template <typename Argument, typename Integer>
struct integer_argument_caster {
    PYBIND11_TYPE_CASTER(Argument, io_name("typing.SupportsInt", "int"));

    bool load(handle source, bool convert) {
        make_caster<Integer> integer;
        if (!integer.load(source, convert)) return false;
        value = Argument{cast_op<Integer>(integer)};
        return true;
    }
};

template <>
struct type_caster<vorn::LineArgument> : integer_argument_caster<vorn::LineArgument, std::uint32_t> {};
template <>
struct type_caster<vorn::ThreadIdArgument> : integer_argument_caster<vorn::ThreadIdArgument, std::int64_t> {};

}  // namespace pybind11::detail

namespace vorn {

namespace py = pybind11;

// Whether `self` is a wrapper that __init__ has built. An instance made by
// StlLogger.__new__ alone reaches the methods with raw, unconstructed memory
// behind `self`; only constructed wrappers are registered with pybind11.
template <typename Wrapper>
bool is_constructed(const Wrapper& self) {
    static const py::detail::type_info* const type = py::detail::get_type_info(typeid(Wrapper));
    return static_cast<bool>(py::detail::get_object_handle(&self, type));
}

// Registers the members both logger classes share, in this order: __init__,
// log, close, __enter__, __exit__. `Wrapper` is a PythonLogger<T> subclass.
// An instance that was never constructed behaves as a closed logger.
template <typename Wrapper>
void bind_logger_members(py::class_<Wrapper>& cls) {
    cls.def(py::init([](const TextArgument& message, const std::optional<TextArgument>& invoker,
                        const TextArgument& file, LineArgument line,
                        const std::optional<ThreadIdArgument>& tid) {
                return std::make_unique<Wrapper>(
                    message, invoker, file, line.value,
                    tid ? std::optional<std::int64_t>(tid->value) : std::nullopt);
            }),
            py::arg("message") = "", py::arg("invoker") = py::none(), py::arg("file") = "<python>",
            py::arg("line") = 0, py::arg("tid") = py::none());
    cls.def(
        "log",
        [](Wrapper& self, const TextArgument& message) {
            if (!is_constructed(self)) throw std::runtime_error("logger is closed");
            self.log(message);
        },
        py::arg("message"));
    cls.def("close", [](Wrapper& self) {
        if (is_constructed(self)) self.close();
    });
    // reference_internal hands back the existing Python object, so the name a
    // with statement binds is the logger itself.
    cls.def(
        "__enter__",
        [](Wrapper& self) -> Wrapper& {
            if (!is_constructed(self)) throw std::runtime_error("logger is closed");
            self.throw_if_closed();
            return self;
        },
        py::return_value_policy::reference_internal);
    // Returns None, so an exception from the with body always propagates, after
    // the scope has been closed. The parameters have no names: positional only.
    cls.def("__exit__", [](Wrapper& self, const py::object&, const py::object&, const py::object&) {
        if (is_constructed(self)) self.close();
    });
}

}  // namespace vorn
