#pragma once

#include <string>

#include "trace/log_stream.h"

namespace vorn {

// Makes sure the calling thread's trace file is open, trying to open it when
// it is not (on the thread's first scope, and again on every operation while
// an earlier attempt failed). The file is
//   $VORN_LOG_DIR/vorn/<host name>/$VORN_LOG_PREFIX<thread id>.log
// with the defaults "./vorn_logs" and "stl_"; it is created, or emptied when
// it exists. Throws std::filesystem::filesystem_error, changing nothing, when
// the directory cannot be created. A file that cannot be opened is no error:
// the writes meant for it have no effect.
void ensure_log_file();

// The path of the calling thread's trace file as last composed (also when
// opening it failed); "" when the thread has never tried to open one.
// Opens nothing.
std::string get_log_file_name();

// The calling thread's trace stream; nullptr until its first opening attempt.
LogStream* current_log_stream();

}  // namespace vorn
