#pragma once

#include <cstdint>

namespace vorn {

// Wall-clock milliseconds (CLOCK_REALTIME) of the first clock reading in the
// process; fixed once, shared by every thread and by both loggers.
std::int64_t clock_origin_ms();

// Milliseconds of the wall clock since clock_origin_ms(). Not monotonic: a
// clock set back before the origin wraps to a large unsigned value.
std::uint64_t elapsed_ms();

}  // namespace vorn
