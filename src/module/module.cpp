#include <pybind11/pybind11.h>

namespace py = pybind11;

// Multi-phase initialisation; the module needs the GIL and keeps
// process-wide native state, so it refuses sub-interpreters.
PYBIND11_MODULE(_py_vorn, m, py::mod_gil_used(), py::multiple_interpreters::not_supported()) {
    m.doc() = "Python bindings for the VORN STL and stdout loggers";
}
