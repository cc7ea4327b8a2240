#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "reader/json_number.h"
#include "reader/trace_parser.h"

namespace vorn::reader {

// Where and how one trace file goes into a Trace Event export: its process
// and thread numbers, the milliseconds `moved` that place its display times
// on the exported timeline, and the line naming the thread, written just
// before its first event.
struct ThreadExport {
    std::int64_t pid = 0;
    std::int64_t tid = 0;
    std::int64_t moved = 0;
    bool exact = false;
    std::string thread_name_line;
};

// A record of the span logger ("span" its invoker) as it was exported: its
// time on the timeline in microseconds, its text and its millisecond.
struct ExportedSpanRecord {
    JsonNumber ts;
    std::string message;
    std::int64_t ms = 0;
};

struct ThreadExportResult {
    enum class Status : std::uint8_t { empty, written, span_logger };
    Status status = Status::empty;
    bool reached = false;
    JsonNumber last;  // the latest moment of any event, where `reached`
    std::vector<ExportedSpanRecord> span_records;
};

// Writes one thread's Trace Event lines, each after ",\n": a record as an
// instant event ("I") at its display time, a scope as a complete event
// ("X") when it exits (its children before it), a scope that never closed
// ending at the thread's last moment. The thread of the span logger (its
// first event the one scope it holds) is read but not written. `write`
// receives the text in large pieces.
ThreadExportResult export_thread(TraceParser& parser, const ThreadExport& thread,
                                 const std::function<void(std::string_view)>& write);

// Appends `text` as a JSON string, escaped as Python's json.dumps escapes
// it with ensure_ascii off: quotes, backslashes and control characters.
void append_json_string(std::string& out, std::string_view text);

}  // namespace vorn::reader
