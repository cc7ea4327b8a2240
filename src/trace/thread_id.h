#pragma once

#include <cstdint>

namespace vorn {

// The calling thread's system thread id (Linux gettid), the value Python's
// threading.get_native_id() reports. Names the thread's trace file.
std::int64_t current_thread_id();

}  // namespace vorn
