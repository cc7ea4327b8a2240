#include "trace/clock.h"

#include <time.h>

namespace vorn {
namespace {

timespec wall_clock() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return now;
}

std::int64_t whole_ms(const timespec& time) {
    return static_cast<std::int64_t>(time.tv_sec) * 1000 + time.tv_nsec / 1000000;
}

}  // namespace

std::int64_t clock_origin_ms() {
    // A function-local static: thread-safe one-time initialisation.
    static const std::int64_t origin = whole_ms(wall_clock());
    return origin;
}

ClockReading read_clock() {
    const std::int64_t origin = clock_origin_ms();
    const timespec now = wall_clock();
    const std::int64_t since_origin_ms = whole_ms(now) - origin;
    // Whole milliseconds, then the rest of the reading: this is exactly
    // floor-consistent with `ms` whenever the difference is not negative.
    const std::int64_t ns = since_origin_ms * 1000000 + now.tv_nsec % 1000000;
    return {static_cast<std::uint64_t>(since_origin_ms), ns};
}

std::uint64_t elapsed_ms() { return read_clock().ms; }

}  // namespace vorn
