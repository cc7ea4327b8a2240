#include "trace/clock.h"

#include <time.h>

namespace vorn {
namespace {

std::int64_t wall_clock_ms() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace

std::int64_t clock_origin_ms() {
    // A function-local static: thread-safe one-time initialisation.
    static const std::int64_t origin = wall_clock_ms();
    return origin;
}

std::uint64_t elapsed_ms() {
    const std::int64_t origin = clock_origin_ms();
    return static_cast<std::uint64_t>(wall_clock_ms() - origin);
}

}  // namespace vorn
