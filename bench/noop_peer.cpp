// _vorn_bench_peer.NoOp: a pybind11 class with the loggers' constructor and
// log parameters whose members do nothing, bound the way pybind11 code
// usually is (texts as std::string). Timing it next to StlLogger shows how
// much of a call is the binding itself and how much is logging.

#include <cstdint>
#include <optional>
#include <string>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

namespace py = pybind11;

namespace {

struct NoOp {
    NoOp(const std::string&, const std::optional<std::string>&, const std::string&, std::uint32_t,
         std::optional<std::int64_t>) {}
    void log(const std::string&) {}
    void close() {}
};

}  // namespace

PYBIND11_MODULE(_vorn_bench_peer, m, py::mod_gil_used()) {
    m.doc() = "Do-nothing peer of the loggers, for the benchmarks";
    py::class_<NoOp>(m, "NoOp")
        .def(py::init<const std::string&, const std::optional<std::string>&, const std::string&,
                      std::uint32_t, std::optional<std::int64_t>>(),
             py::arg("message") = "", py::arg("invoker") = py::none(), py::arg("file") = "<python>",
             py::arg("line") = 0, py::arg("tid") = py::none())
        .def("log", &NoOp::log, py::arg("message"))
        .def("close", &NoOp::close)
        .def("__enter__", [](NoOp& self) -> NoOp& { return self; },
             py::return_value_policy::reference_internal)
        .def("__exit__", [](NoOp&, const py::object&, const py::object&, const py::object&) {});
}
