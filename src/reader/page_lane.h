#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "reader/scope_totals.h"
#include "reader/trace_parser.h"

namespace vorn::reader {

// Where one trace file's lane sits on the page: the milliseconds `moved`
// that place its display times on the timeline, whether the times stay
// unspread, and the time range drawn (infinite sides for the whole file).
struct PageLaneOptions {
    std::int64_t moved = 0;
    bool exact = false;
    double low = 0;
    double high = 0;
};

// A text of the lane's own table, in the order the lane first uses it.
// `judged`: not a text but a record's whole text naming an exception whose
// type goes beyond ASCII; the caller decides by its own rules whether it
// says "raised" and what the exception's text is.
struct LaneText {
    std::string text;
    bool judged = false;
};

// A record of the span logger ("span" its invoker): where it is (its index
// among its parent's events, and each enclosing scope's), its display time
// on the timeline and the record as read.
struct LaneSpanRecord {
    std::vector<std::uint64_t> position;
    double time = 0;
    RecordFound record;
};

// One thread's scopes and records as the page's columns, in file order (a
// scope's row is made at its enter), texts as indices into `texts`, times
// in ms on the timeline. Only the scopes and records overlapping the range
// are kept; parents point at kept rows (-1: the top level).
struct PageLane {
    std::vector<LaneText> texts;
    std::vector<std::int64_t> parent, depth, invoker, file, line, args, measured, raised;  // raised: -1 none
    std::vector<double> enter, exit;  // exit NaN: never closed
    std::vector<std::int64_t> record_parent, record_invoker, record_file, record_line, record_args,
        record_measured;
    std::vector<double> record_time;
    std::uint64_t outside_scopes = 0;
    std::uint64_t outside_records = 0;
    std::optional<double> last_time;  // of any event, drawn or not
    bool span_thread = false;  // the span logger's own thread: one scope that never closed, nothing else
    std::vector<LaneSpanRecord> span_records;  // all of them, drawn or not

    // What ordering and the header need: the earliest and latest time drawn
    // (`last` none when a scope never closed), the deepest nesting, and how
    // many scopes and records have all their times measured.
    std::optional<double> low, high, last;
    std::int64_t depth_count = 0;
    std::uint64_t measured_count = 0;
};

// Reads the whole file once, placing its events at their display times.
// Throws TraceFormatError as the parser does.
PageLane read_page_lane(TraceParser& parser, const PageLaneOptions& options);

// The scope and record columns as JSON objects, with the lane's text
// indices turned into the page's by `page_index` (-1: no text, for a
// judged record that names no exception). See vorn.outputs.view.
std::pair<std::string, std::string> encode_page_lane(const PageLane& lane,
                                                     const std::vector<std::int64_t>& page_index);

}  // namespace vorn::reader
