#pragma once

#include <cstddef>

#include <pybind11/pybind11.h>

#include "module/python_logger.h"

namespace vorn {

// A str (its UTF-8 form, which the str caches) or bytes as a TextArgument
// that points where the object keeps its bytes: neither ever changes, and
// the object outlives the call. false for anything else, and for a str with
// no UTF-8 form (a lone surrogate), with no Python error left set.
inline bool borrowed_text(PyObject* object, TextArgument& text) {
    if (PyUnicode_Check(object)) {
        Py_ssize_t size = 0;
        const char* bytes = PyUnicode_AsUTF8AndSize(object, &size);
        if (bytes == nullptr) {
            PyErr_Clear();
            return false;
        }
        text = TextArgument::borrowed({bytes, static_cast<std::size_t>(size)});
        return true;
    }
    if (PyBytes_Check(object)) {
        text = TextArgument::borrowed(
            {PyBytes_AS_STRING(object), static_cast<std::size_t>(PyBytes_GET_SIZE(object))});
        return true;
    }
    return false;
}

}  // namespace vorn
