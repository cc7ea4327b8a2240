#pragma once

#include <string>

#include "trace/log_stream.h"

namespace vorn {

// Makes sure the calling thread's trace file is open, trying to open it when
// it is not (on the thread's first scope, and again on every operation while
// an earlier attempt failed). The file is
//   $VORN_LOG_DIR/vorn/<host name>/$VORN_LOG_PREFIX<thread id>.log
// with the defaults "./vorn_logs" and "stl_"; it is created, or emptied when
// it is left from an earlier run, and held locked while it is open. A file
// this process or another live one wrote for an earlier thread with the
// same id, or one another live writer holds, is left alone and a sibling
// name is used instead (see open_trace_file_for). A forked child does not
// keep the parent's files open (see open_trace_descriptors.h). Throws std::filesystem::filesystem_error, changing
// nothing, when the directory cannot be created. A file that cannot be
// opened is no error: the writes meant for it have no effect.
void ensure_log_file();

// The path of the calling thread's trace file, the file it writes (the
// sibling name when one was used). When no file could be opened: the usual
// path when that name itself could not be opened (not our own regular file,
// a missing directory), and "" when the name is another writer's and no
// sibling name could be made, so that the name never points at a file this
// thread does not write. "" when the thread has never tried to open one.
// Opens nothing.
std::string get_log_file_name();

// Whether the calling thread's trace file is open, so that the next scope
// writes into it without opening anything. Creates no state; a few loads.
bool log_file_open_for_this_thread() noexcept;

// The calling thread's trace stream; nullptr until its first opening attempt.
LogStream* current_log_stream();

}  // namespace vorn
