#pragma once

#include <cstdint>

namespace vorn {

// Wall-clock milliseconds (CLOCK_REALTIME) of the first clock reading in the
// process; fixed once, shared by every thread and by both loggers.
std::int64_t clock_origin_ms();

// One reading of the wall clock, in the two resolutions a record keeps.
struct ClockReading {
    // Milliseconds since clock_origin_ms(), as elapsed_ms() gives them: what
    // the trace file's "ts", "ts_enter" and "ts_exit" show.
    std::uint64_t ms;
    // Nanoseconds since the origin: the same moment at the clock's full
    // resolution, so that floor(ns / 1e6) == ms (ms as the unsigned value
    // of a negative difference, for a clock set back before the origin).
    std::int64_t ns;
};

// Reads the clock once.
ClockReading read_clock();

// Milliseconds of the wall clock since clock_origin_ms(). Not monotonic: a
// clock set back before the origin wraps to a large unsigned value.
std::uint64_t elapsed_ms();

}  // namespace vorn
