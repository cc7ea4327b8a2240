#include "console/stdout_logger_options.h"

namespace vorn {

StdoutLoggerOptions& current_stdout_logger_options() {
    // Constructed on the thread's first call, destroyed at thread exit. The
    // default texts fit the strings' inline storage: no allocation.
    thread_local StdoutLoggerOptions options;
    return options;
}

}  // namespace vorn
