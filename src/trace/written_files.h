#pragma once

#include <string>

#include <sys/stat.h>

#include "trace/open_trace_descriptors.h"

namespace vorn {

// The trace files this process has written, by the name they were written
// under. A thread id can come back: once a thread has ended, the system may
// give its id to a new thread, whose file has the same name. The registry
// tells such a file (kept, under another name) from one left by an earlier
// run (emptied). It is process-wide and a forked child inherits it, so a
// child never empties its parent's files either.
//
// A name is its directory's device and inode number plus the file name, so
// that another spelling of the same directory (a changed working directory
// under a relative root, a root named through a link) is the same name.
// What is remembered for it is the file's device and inode number: a file
// that someone else put there since (after deleting ours) is not ours.
//
// An object holds the trace files' lock for its life, so that looking a
// file up, moving it aside and remembering the new one are one step for the
// whole process. Locked only while a trace file is being opened.
//
// It knows only this process's files: whether a file another process wrote
// may be emptied is told by the file's identity (see trace_file_writer.h).
class WrittenFiles {
public:
    WrittenFiles() = default;
    WrittenFiles(const WrittenFiles&) = delete;
    WrittenFiles& operator=(const WrittenFiles&) = delete;

    // Whether `file` is the one this process wrote as `name` in `directory`.
    bool contains(const struct stat& directory, const std::string& name, const struct stat& file) const;
    void add(const struct stat& directory, const std::string& name, const struct stat& file);
    // For a name whose file has been moved away.
    void remove(const struct stat& directory, const std::string& name);

private:
    TraceFilesLock lock_;
};

}  // namespace vorn
