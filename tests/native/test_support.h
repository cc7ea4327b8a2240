#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vorn::testing {

// A fresh directory under the system temp dir, removed with its contents.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// Sets an environment variable for the life of the object, then restores it.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value);  // value nullptr unsets
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    std::string old_;
    bool had_old_;
};

// Redirects a file descriptor (1 by default) into a temporary file until
// release() or destruction; release() returns everything written meanwhile.
class FdCapture {
public:
    explicit FdCapture(int fd = 1);
    ~FdCapture();
    FdCapture(const FdCapture&) = delete;
    FdCapture& operator=(const FdCapture&) = delete;
    std::string release();

private:
    int fd_;
    int saved_ = -1;
    std::string file_;
};

// Whole contents of a file; empty when it cannot be read.
std::string read_file(const std::string& path);

// The machine's host name as gethostname reports it.
std::string host_name();

// Runs `fn` on a new thread and waits for it to end (its thread-local state
// included); an exception `fn` throws is rethrown here.
void run_in_thread(const std::function<void()>& fn);

// Runs `fn` in a forked child process (only the calling thread lives on
// there) and expects it to return true; for process-wide changes such as
// closing descriptors. A failure inside the child shows as a false result.
void run_in_forked_child(const std::function<bool()>& fn);

// Changes the working directory for the life of the object, then restores it.
class ScopedWorkingDirectory {
public:
    explicit ScopedWorkingDirectory(const std::string& path);
    ~ScopedWorkingDirectory();
    ScopedWorkingDirectory(const ScopedWorkingDirectory&) = delete;
    ScopedWorkingDirectory& operator=(const ScopedWorkingDirectory&) = delete;

private:
    std::string old_;
};

// `text` with the digits of every "ts", "ts_enter" and "ts_exit" value
// replaced by T, so that whole trace files compare whatever the clock said.
std::string mask_timestamps(const std::string& text);

// The values of every "ts", "ts_enter" and "ts_exit" in `text`, in order.
std::vector<std::uint64_t> timestamps_of(const std::string& text);

}  // namespace vorn::testing
