#pragma once

#include <pybind11/pybind11.h>

namespace vorn {

namespace py = pybind11;

namespace class_assignment_detail {

// The native class behind a Python class: the one registered class it is or
// derives from, nullptr for any other class.
inline const py::detail::type_info* native_class_of(PyObject* cls) {
    if (!PyType_Check(cls)) return nullptr;
    return py::detail::get_type_info(reinterpret_cast<PyTypeObject*>(cls));
}

// Attribute assignment on a logger object. The interpreter lets
// `obj.__class__ = Other` through between two of our classes, since their
// instances have the same layout in memory; but the native object inside
// stays what it was, and the other class's methods would then run on it as
// if it were theirs. So the class may change only to one over the same
// native class (a Python subclass, or back); every other assignment is the
// interpreter's, unchanged.
inline int set_attribute(PyObject* self, PyObject* name, PyObject* value) {
    if (value != nullptr && PyUnicode_Check(name) && PyUnicode_EqualToUTF8(name, "__class__") == 1) {
        const py::detail::type_info* current = native_class_of(reinterpret_cast<PyObject*>(Py_TYPE(self)));
        if (native_class_of(value) != current) {
            PyErr_Format(PyExc_TypeError, "__class__ assignment: '%s' object layout differs from '%s'",
                         Py_TYPE(self)->tp_name,
                         PyType_Check(value) ? reinterpret_cast<PyTypeObject*>(value)->tp_name
                                             : Py_TYPE(value)->tp_name);
            return -1;
        }
    }
    return PyObject_GenericSetAttr(self, name, value);
}

}  // namespace class_assignment_detail

// Refuses `obj.__class__ = X` on instances of `cls` and of its Python
// subclasses unless X stands for the same native class. The class gets a
// __setattr__, which a Python subclass inherits (its attribute slot calls
// that method); the class's own instances go straight to the function.
template <typename Class>
void refuse_foreign_class_assignment(py::class_<Class>& cls) {
    cls.def("__setattr__", [](py::handle self, py::handle name, py::handle value) {
        if (class_assignment_detail::set_attribute(self.ptr(), name.ptr(), value.ptr()) < 0) {
            throw py::error_already_set();
        }
    });
    auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    type->tp_setattro = &class_assignment_detail::set_attribute;
    PyType_Modified(type);
}

}  // namespace vorn
