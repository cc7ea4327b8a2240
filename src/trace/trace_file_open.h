#pragma once

#include <cstdint>
#include <string>

#include "trace/unique_fd.h"

namespace vorn {

// A trace file as opened for a thread: its descriptor, empty when no file
// could be opened, the path it has (or would have had), and the host name
// its directory is named after, as made safe.
struct OpenedTraceFile {
    UniqueFd fd;
    std::string path;
    std::string host;
};

// Opens the trace file of thread `thread_id`,
//   $VORN_LOG_DIR/vorn/<host name>/$VORN_LOG_PREFIX<thread id>.log
// (defaults "./vorn_logs" and "stl_"), creating the directories it needs
// (see open_trace_directory; throws as it does, before any file is
// touched). The file is created, or emptied when it is left from an
// earlier run, and is locked (flock, exclusive) for as long as the
// descriptor is open. Two cases use the sibling name
// <prefix><thread id>.<n>.log, n = 2, 3, ..., the first that is free:
//  - this process already wrote the file, for an earlier thread that had
//    the same id: that file is renamed to the sibling name, and a new file
//    is made under the usual name;
//  - another live writer (another process sharing the directory, with the
//    same host name and thread id) holds the lock: its file is left alone
//    and the new file gets the sibling name.
// A file at the name that is not a regular file or belongs to another user
// is neither emptied nor written: the result holds no descriptor. The
// descriptor is never 0, 1 or 2 and is not inherited across exec.
//
// The id is a parameter so that tests can open files for an id that comes
// back; the writer passes the calling thread's own.
OpenedTraceFile open_trace_file_for(std::int64_t thread_id);

}  // namespace vorn
