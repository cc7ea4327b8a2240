#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "reader/trace_events.h"
#include "reader/trace_parser.h"

namespace vorn::reader {

// An event held until its millisecond is placed: its kind and, for an
// exit or a record (and an enter, where the sink asks for enters), what an
// output needs of its scope or record. `ts` is a record's time or a scope's
// enter; `ts_exit` is empty for a scope that never closed (and for an
// enter); `ns` is the event's own precise time, where it has one.
struct HeldEvent {
    EventKind kind = EventKind::record;
    std::size_t depth = 0;
    std::string invoker;
    std::string file;
    std::string args;
    std::int64_t line = 0;
    std::int64_t ts = 0;
    std::optional<std::int64_t> ts_exit;
    std::optional<std::int64_t> ns;
};

// Receives each event with its display times in milliseconds on the file's
// own clock: `time` is the enter's, the record's or the exit's, `start`
// the enter's time for an exit and `time` otherwise. Enters are given only
// to a sink built with `enters`.
class PlacedSink {
public:
    virtual ~PlacedSink() = default;
    virtual void placed(const HeldEvent& event, double time, double start) = 0;
};

// Display times: a thread's events in file order on a time axis. A file
// counts whole milliseconds, so the events without a precise time that
// share one are spread inside it in file order (the k-th of n at m + k/n
// ms), between their measured neighbours where some have one; events with
// a precise time are placed at it. Times never go back: each event is
// placed no earlier than the one before it. A scope that never closed ends
// at the last moment so far. With `exact` nothing is spread.
//
// The events of one millisecond are held until the file moves past it;
// their slots are reused, so placing allocates only while the longest run
// of one millisecond grows.
class DisplayTimes {
public:
    DisplayTimes(PlacedSink& sink, bool exact, bool enters = false) : sink_(sink), exact_(exact), enters_(enters) {}

    void add(const Event& event);
    // Places the events still held: call once the file has ended.
    void finish();

private:
    void place_run();
    void run_times();

    PlacedSink& sink_;
    bool exact_;
    bool enters_;
    std::vector<HeldEvent> run_;
    std::size_t held_ = 0;  // run_[0, held_) are this millisecond's events
    std::vector<std::optional<std::int64_t>> precise_;
    std::vector<double> times_;
    std::vector<double> starts_;  // of the scopes open, innermost last
    std::optional<std::int64_t> millisecond_;
    double last_;
    bool any_placed_ = false;
};

// Reads the rest of `parser`'s file into `sink` with its display times:
// what every native output of one thread does.
void place_file(TraceParser& parser, PlacedSink& sink, bool exact, bool enters = false);

// Python's round(value, 3): to the nearest thousandth of the value's exact
// binary fraction, ties to even, as the nearest double. `thousandths` is
// that multiple of 1/1000 where it fits an int64 exactly.
double round_thousandths(double value, std::int64_t* thousandths = nullptr, bool* exact = nullptr);

}  // namespace vorn::reader
