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
// earlier run (a process that has ended), and is locked (flock, exclusive)
// for as long as the descriptor is open. Thread ids come back, also across
// processes, so a name may hold a file that must be kept; then a sibling
// name <prefix><thread id>.<n>.log is used, n >= 2, one that no file has:
//  - a finished file (not locked) of this process, written for an earlier
//    thread with the same id, or of another process that still runs (its
//    identity attribute says so, see written_by_a_live_process): that file
//    is renamed to the sibling name, its companion <stem>.times along with
//    it, and a new file is made under the usual name;
//  - a file another live writer holds open (its lock is taken): it is left
//    alone and the new file gets the sibling name.
// The search for a free sibling name takes a bounded number of probes
// however many siblings exist. When no sibling can be made the result has
// no descriptor and an empty path (no file of this thread's exists).
// A file at the name that is not a regular file or belongs to another user
// is neither emptied nor written: the result holds no descriptor and the
// usual path. The descriptor is never 0, 1 or 2 and is not inherited across
// exec.
//
// The id is a parameter so that tests can open files for an id that comes
// back; the writer passes the calling thread's own.
OpenedTraceFile open_trace_file_for(std::int64_t thread_id);

}  // namespace vorn
