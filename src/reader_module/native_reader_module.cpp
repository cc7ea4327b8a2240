// vorn.reading._native: the trace reader for the vorn tools, a private
// extension of the vorn package. Only this file sees Python: it turns the
// reader's events and totals into tuples, and its format errors into
// (line, reason before, shown bytes, reason after), which the Python side
// words as its TraceFormatError.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cerrno>
#include <memory>
#include <string>
#include <system_error>

#include "reader/page_lane.h"
#include "reader/perfetto_thread.h"
#include "reader/scope_totals.h"
#include "reader/trace_event_export.h"
#include "reader/trace_parser.h"

namespace py = pybind11;
using namespace vorn::reader;

namespace {

py::object optional_int(const std::optional<std::int64_t>& value) {
    return value ? py::object(py::int_(*value)) : py::object(py::none());
}

py::object number_of(const JsonNumber& number) {
    return number.integer ? py::object(py::int_(number.whole)) : py::object(py::float_(number.value));
}

py::tuple error_of(const TraceFormatError& error) {
    const FormatError& found = error.error();
    py::object shown = found.shown ? py::object(py::bytes(*found.shown)) : py::object(py::none());
    return py::make_tuple(found.line, found.before, shown, found.after);
}

// The parser of the trace file open as `fd` (both descriptors become the
// parser's), with the companion open as `companion_fd` (-1 for none),
// whose header the caller checked: `count` entries valid, `first` next.
// `warn` is called with the reason the companion's times stop being used.
std::unique_ptr<TraceParser> parser_of(int fd, int companion_fd, std::uint64_t count, std::uint64_t first,
                                       const py::object& warn, const ReadPoint& start) {
    std::unique_ptr<CompanionTimes> companion;
    if (companion_fd >= 0) {
        CompanionWarning warning = [warn](const std::string&, const std::string& reason) { warn(reason); };
        companion = std::make_unique<CompanionTimes>("", companion_fd, count, first, std::move(warning));
    }
    return std::make_unique<TraceParser>(fd, std::move(companion), start);
}

// A trace file's events in batches, as tuples:
//   (0, depth, invoker, file, line, ts_enter, args, ts_enter_ns)  an enter
//   (1, depth, ts, invoker, file, line, args, ts_ns)              a record
//   (2, depth, ts_exit, ts_exit_ns)                               an exit
//   (3, offset, line, timed, array_started, late)                 a read point
class EventBatches {
public:
    EventBatches(std::unique_ptr<TraceParser> parser, bool read_points)
        : parser_(std::move(parser)), read_points_(read_points) {}

    // Up to about `limit` items, and the format error that stopped the
    // file there (None if none); no items and no error once it is read.
    py::tuple batch(std::size_t limit) {
        py::list items;
        if (failed_) return py::make_tuple(items, py::none());
        std::size_t count = 0;
        Event event;
        try {
            while (count < limit && !parser_->finished()) {
                if (parser_->step(event)) {
                    items.append(item_of(event));
                    ++count;
                }
                if (read_points_ && parser_->at_read_point()) {
                    const ReadPoint point = parser_->read_point();
                    items.append(py::make_tuple(3, point.offset, point.line, point.timed, point.array_started,
                                                point.late));
                    ++count;
                }
            }
        } catch (const TraceFormatError& error) {
            failed_ = true;
            return py::make_tuple(items, error_of(error));
        }
        return py::make_tuple(items, py::none());
    }

private:
    static py::tuple item_of(const Event& event) {
        if (event.kind == EventKind::record) {
            const InstantFields& record = *event.instant;
            return py::make_tuple(1, event.depth, record.ts, py::str(record.invoker), py::str(record.file),
                                  record.line, py::str(record.args), optional_int(record.ts_ns));
        }
        const ScopeFields& scope = *event.scope;
        if (event.kind == EventKind::exit) {
            return py::make_tuple(2, event.depth, optional_int(scope.ts_exit), optional_int(scope.ts_exit_ns));
        }
        return py::make_tuple(0, event.depth, py::str(scope.invoker), py::str(scope.file), scope.line,
                              scope.ts_enter, py::str(scope.args), optional_int(scope.ts_enter_ns));
    }

    std::unique_ptr<TraceParser> parser_;
    bool read_points_;
    bool failed_ = false;
};

py::tuple summarize(TraceParser& parser) {
    FileTotals totals;
    try {
        totals = scope_totals(parser);
    } catch (const TraceFormatError& error) {
        return py::make_tuple(py::none(), error_of(error));
    }
    py::list groups;
    for (const ScopeGroup& group : totals.groups) {
        const auto* bytes = reinterpret_cast<const char*>(group.durations.data());
        groups.append(py::make_tuple(py::str(group.invoker), py::str(group.message), group.count, group.total_ns,
                                     group.self_ns, group.longest_ns, group.unmeasured, group.raised,
                                     group.never_closed,
                                     py::bytes(bytes, group.durations.size() * sizeof(double))));
    }
    py::list never_closed;
    for (const OpenScopeFound& scope : totals.never_closed) {
        never_closed.append(py::make_tuple(py::str(scope.invoker), py::str(scope.file), scope.line, scope.ts_enter,
                                           py::str(scope.args), optional_int(scope.ts_enter_ns)));
    }
    py::list span_records;
    for (const RecordFound& record : totals.span_records) {
        span_records.append(py::make_tuple(record.ts, py::str(record.invoker), py::str(record.file), record.line,
                                           py::str(record.args), optional_int(record.ts_ns)));
    }
    py::list unsure;
    for (const auto& [group, text] : totals.raised_unsure) unsure.append(py::make_tuple(group, py::str(text)));
    return py::make_tuple(py::make_tuple(totals.scopes, totals.records, totals.measured, groups, never_closed,
                                         span_records, unsure),
                          py::none());
}

py::tuple export_lines(TraceParser& parser, const ThreadExport& thread, const py::object& write) {
    const std::function<void(std::string_view)> writer = [&write](std::string_view text) {
        write(py::bytes(text.data(), text.size()));
    };
    ThreadExportResult result;
    try {
        result = export_thread(parser, thread, writer);
    } catch (const TraceFormatError& error) {
        return py::make_tuple(py::none(), error_of(error));
    }
    static constexpr const char* kStatus[] = {"empty", "written", "span_logger"};
    py::list records;
    for (const ExportedSpanRecord& record : result.span_records) {
        records.append(py::make_tuple(number_of(record.ts), py::str(record.message), record.ms));
    }
    py::object last = result.reached ? number_of(result.last) : py::object(py::none());
    return py::make_tuple(py::make_tuple(kStatus[static_cast<int>(result.status)], last, records), py::none());
}

py::tuple perfetto_packets(TraceParser& parser, const PerfettoThread& thread, const py::object& write) {
    const std::function<void(std::string_view)> writer = [&write](std::string_view bytes) {
        write(py::bytes(bytes.data(), bytes.size()));
    };
    PerfettoThreadResult result;
    try {
        result = write_perfetto_thread(parser, thread, writer);
    } catch (const TraceFormatError& error) {
        return py::make_tuple(py::none(), error_of(error));
    }
    py::list records;
    for (const PerfettoSpanRecord& record : result.span_records) {
        records.append(py::make_tuple(record.ns, py::str(record.message), record.ms));
    }
    return py::make_tuple(py::make_tuple(optional_int(result.last), records), py::none());
}

// One thread's lane of the HTML page, read once: what the page draws of it
// and what the Python side needs to finish it (see read_page_lane).
py::tuple page_lane(TraceParser& parser, const PageLaneOptions& options) {
    auto lane = std::make_unique<PageLane>();
    try {
        *lane = read_page_lane(parser, options);
    } catch (const TraceFormatError& error) {
        return py::make_tuple(py::none(), error_of(error));
    }
    return py::make_tuple(py::cast(std::move(lane)), py::none());
}

py::object optional_float(const std::optional<double>& value) {
    return value ? py::object(py::float_(*value)) : py::object(py::none());
}

}  // namespace

PYBIND11_MODULE(_native, m, py::mod_gil_used(), py::multiple_interpreters::not_supported()) {
    m.doc() = "The trace file reader behind the vorn tools (private)";
    // Local: a global translator would also catch what _py_vorn throws (both
    // modules share pybind11's internals) and change the errors it raises.
    py::register_local_exception_translator([](std::exception_ptr raised) {
        try {
            if (raised) std::rethrow_exception(raised);
        } catch (const std::system_error& error) {
            py::tuple value = py::make_tuple(error.code().value(), std::generic_category().message(error.code().value()));
            PyErr_SetObject(PyExc_OSError, value.ptr());
        }
    });

    py::class_<EventBatches>(m, "EventBatches")
        .def(py::init([](int fd, int companion_fd, std::uint64_t count, std::uint64_t first, const py::object& warn, std::uint64_t offset,
                         std::uint64_t line, std::uint64_t timed, bool array_started, bool late, bool read_points) {
                 const ReadPoint start{offset, line, timed, array_started, late};
                 return std::make_unique<EventBatches>(
                     parser_of(fd, companion_fd, count, first, warn, start), read_points);
             }),
             py::arg("fd"), py::arg("companion_fd"), py::arg("count"),
             py::arg("first"), py::arg("warn"), py::arg("offset"), py::arg("line"), py::arg("timed"),
             py::arg("array_started"), py::arg("late"), py::arg("read_points"))
        .def("batch", &EventBatches::batch, py::arg("limit"));

    m.def(
        "summarize_file",
        [](int fd, int companion_fd, std::uint64_t count,
           const py::object& warn) {
            auto parser = parser_of(fd, companion_fd, count, 0, warn, {});
            return summarize(*parser);
        },
        py::arg("fd"), py::arg("companion_fd"), py::arg("count"),
        py::arg("warn"));

    m.def(
        "export_thread",
        [](int fd, int companion_fd, std::uint64_t count,
           const py::object& warn, std::int64_t pid, std::int64_t tid, std::int64_t moved, bool exact,
           const py::bytes& thread_name_line, const py::object& write) {
            auto parser = parser_of(fd, companion_fd, count, 0, warn, {});
            const ThreadExport thread{pid, tid, moved, exact, std::string(thread_name_line)};
            return export_lines(*parser, thread, write);
        },
        py::arg("fd"), py::arg("companion_fd"), py::arg("count"),
        py::arg("warn"), py::arg("pid"), py::arg("tid"), py::arg("moved"), py::arg("exact"),
        py::arg("thread_name_line"), py::arg("write"));

    m.def(
        "perfetto_thread",
        [](int fd, int companion_fd, std::uint64_t count,
           const py::object& warn, std::uint64_t sequence, std::int64_t moved, bool exact,
           const py::bytes& cleared_packet, std::size_t interning_limit, const py::object& write) {
            auto parser = parser_of(fd, companion_fd, count, 0, warn, {});
            const PerfettoThread thread{sequence, moved, exact, std::string(cleared_packet), interning_limit};
            return perfetto_packets(*parser, thread, write);
        },
        py::arg("fd"), py::arg("companion_fd"), py::arg("count"),
        py::arg("warn"), py::arg("sequence"), py::arg("moved"), py::arg("exact"),
        py::arg("cleared_packet"), py::arg("interning_limit"), py::arg("write"));

    py::class_<PageLane>(m, "PageLane")
        .def("texts",
             [](const PageLane& lane) {
                 py::list texts;
                 py::list judged;
                 for (std::size_t at = 0; at < lane.texts.size(); ++at) {
                     texts.append(py::str(lane.texts[at].text));
                     if (lane.texts[at].judged) judged.append(at);
                 }
                 return py::make_tuple(texts, judged);
             })
        .def("extent",
             [](const PageLane& lane) {
                 return py::make_tuple(lane.depth.size(), lane.record_time.size(), optional_float(lane.low),
                                       optional_float(lane.high), optional_float(lane.last), lane.measured_count,
                                       lane.depth_count, py::make_tuple(lane.outside_scopes, lane.outside_records),
                                       optional_float(lane.last_time), lane.span_thread);
             })
        .def("span_records",
             [](const PageLane& lane) {
                 py::list records;
                 for (const LaneSpanRecord& record : lane.span_records) {
                     py::tuple position(record.position.size());
                     for (std::size_t at = 0; at < record.position.size(); ++at) position[at] = record.position[at];
                     const RecordFound& found = record.record;
                     records.append(py::make_tuple(position, record.time, found.ts, py::str(found.invoker),
                                                   py::str(found.file), found.line, py::str(found.args),
                                                   optional_int(found.ts_ns)));
                 }
                 return records;
             })
        .def("encoded", &encode_page_lane, py::arg("page_index"));

    m.def(
        "page_lane",
        [](int fd, int companion_fd, std::uint64_t count, const py::object& warn, std::int64_t moved, bool exact,
           double low, double high) {
            auto parser = parser_of(fd, companion_fd, count, 0, warn, {});
            return page_lane(*parser, PageLaneOptions{moved, exact, low, high});
        },
        py::arg("fd"), py::arg("companion_fd"), py::arg("count"), py::arg("warn"), py::arg("moved"),
        py::arg("exact"), py::arg("low"), py::arg("high"));
}
