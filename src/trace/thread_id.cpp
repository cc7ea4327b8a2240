#include "trace/thread_id.h"

#include <unistd.h>

namespace vorn {

std::int64_t current_thread_id() {
    return static_cast<std::int64_t>(gettid());
}

}  // namespace vorn
