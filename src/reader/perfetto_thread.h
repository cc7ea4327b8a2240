#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "reader/trace_parser.h"

namespace vorn::reader {

// Where one trace file goes into a Perfetto trace: its packet sequence,
// the milliseconds `moved` that place its display times on the exported
// timeline, the packet that starts its sequence afresh (written again
// whenever the interning tables are dropped) and how many entries those
// tables hold before they are.
struct PerfettoThread {
    std::uint64_t sequence = 0;
    std::int64_t moved = 0;
    bool exact = false;
    std::string cleared_packet;
    std::size_t interning_limit = 1 << 16;
};

// A record of the span logger ("span" its invoker): its time on the
// timeline in ns, its text and its millisecond.
struct PerfettoSpanRecord {
    std::int64_t ns = 0;
    std::string message;
    std::int64_t ms = 0;
};

struct PerfettoThreadResult {
    std::optional<std::int64_t> last;  // the time of the last event, ns; none without events
    std::vector<PerfettoSpanRecord> span_records;
};

// Writes one thread's TracePackets (each a Trace.packet field) on its own
// sequence, in file order: a scope's enter as a slice begin naming its
// interned name and source location, its exit as a slice end (marked
// never_closed for a scope that never closed, which ends at the thread's
// last moment), a record as an instant with its message, invoker, file and
// line as debug annotations. Times are ns, the precise time where the file
// has one, else the display time, never earlier than the event before.
// `write` receives the bytes in large pieces.
PerfettoThreadResult write_perfetto_thread(TraceParser& parser, const PerfettoThread& thread,
                                           const std::function<void(std::string_view)>& write);

}  // namespace vorn::reader
