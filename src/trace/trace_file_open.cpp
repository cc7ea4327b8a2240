#include "trace/trace_file_open.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "trace/safe_host_name.h"
#include "trace/sibling_names.h"
#include "trace/trace_directory.h"
#include "trace/trace_file_writer.h"
#include "trace/written_files.h"

namespace vorn {
namespace {

// How many free sibling names one opening tries to claim before it gives up:
// each can be taken by another writer between the search and the claim.
constexpr int kSiblingClaims = 8;

// The value of an environment variable, or `fallback` when it is not set
// (a variable set to "" stays "").
const char* env_or(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : fallback;
}

// The system host name, at most 255 bytes, made safe as one path component;
// "" when it cannot be read.
std::string read_host_name() {
    char host[256] = {};
    if (gethostname(host, sizeof host) != 0) host[0] = '\0';
    host[sizeof host - 1] = '\0';
    make_host_name_safe(host);
    return host;
}

// Opens `name` below `dir` for reading and writing, a link not followed.
// O_NONBLOCK keeps a FIFO planted at the name from stalling the thread; it
// is cleared once the file is known to be a regular one.
UniqueFd open_file(int dir, const std::string& name, int extra_flags) {
    const int flags = O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | extra_flags;
    int fd = -1;
    do {
        fd = ::openat(dir, name.c_str(), flags, 0666);
    } while (fd < 0 && errno == EINTR);
    return above_standard_streams(UniqueFd(fd));
}

// Only our own regular files are emptied and written: a device, FIFO or
// directory, or another user's file planted in a shared directory, is not.
bool is_own_regular_file(int fd, struct stat& status) {
    if (::fstat(fd, &status) != 0) return false;
    if (!S_ISREG(status.st_mode) || status.st_uid != ::geteuid()) return false;
    return ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) == 0;
}

// Takes the writer's lock. False only when another open file (another live
// writer) holds it; a file system without flock support is written
// unlocked, as before locks were taken.
bool lock_file(int fd) {
    int result = -1;
    do {
        result = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    return result == 0 || errno != EWOULDBLOCK;
}

// Renames `leaf` to a free sibling name, never replacing a file, and its
// companion of precise times along with it (best effort: the trace file
// moves also when the companion cannot). False when the file system refuses
// (no renaming without replacing and no hard links), or when no sibling name
// is free.
bool move_aside(int dir, const std::string& leaf) {
    int n = 1;
    for (int claim = 0; claim < kSiblingClaims; ++claim) {
        n = free_sibling_number(dir, leaf, n + 1);
        if (n == 0) return false;
        const std::string target = sibling_name(leaf, n);
        bool moved = ::renameat2(dir, leaf.c_str(), dir, target.c_str(), RENAME_NOREPLACE) == 0;
        if (!moved && errno == EEXIST) continue;  // taken since the search
        if (!moved) {
            if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return false;
            // No RENAME_NOREPLACE here: a new hard link does not replace either.
            if (::linkat(dir, leaf.c_str(), dir, target.c_str(), 0) != 0) {
                if (errno == EEXIST) continue;
                return false;
            }
            ::unlinkat(dir, leaf.c_str(), 0);
        }
        // renameat moves a link itself, never what it points to.
        static_cast<void>(::renameat(dir, companion_name(leaf).c_str(), dir, companion_name(target).c_str()));
        return true;
    }
    return false;
}

// The file under a free sibling name, created new (so no other writer's
// file is ever emptied) and locked. When none can be made the result names
// no file: the usual name is another writer's, and this thread writes none.
OpenedTraceFile open_sibling(WrittenFiles& written, int dir, const struct stat& dir_status, const std::string& leaf,
                             const std::string& path) {
    const std::string directory_part = path.substr(0, path.size() - leaf.size());
    int n = 1;
    for (int claim = 0; claim < kSiblingClaims; ++claim) {
        n = free_sibling_number(dir, leaf, n + 1);
        if (n == 0) break;
        const std::string name = sibling_name(leaf, n);
        UniqueFd fd = open_file(dir, name, O_EXCL);
        if (!fd.valid()) {
            if (errno == EEXIST) continue;  // taken since the search
            break;
        }
        struct stat status{};
        if (!is_own_regular_file(fd.get(), status)) break;
        if (!lock_file(fd.get())) continue;
        written.add(dir_status, name, status);
        return {std::move(fd), directory_part + name, {}};
    }
    return {};
}

// Opens the trace file `leaf` below `dir`; `path` is its full name.
OpenedTraceFile open_in(int dir, const std::string& leaf, const std::string& path) {
    struct stat dir_status{};
    if (::fstat(dir, &dir_status) != 0) return {UniqueFd(), path, {}};
    WrittenFiles written;
    // Twice at most: once more after moving a finished file that is kept aside.
    for (int attempt = 0; attempt < 2; ++attempt) {
        // No O_TRUNC: the file is emptied only once it is known to be ours.
        UniqueFd fd = open_file(dir, leaf, 0);
        if (!fd.valid()) return {UniqueFd(), path, {}};
        struct stat status{};
        if (!is_own_regular_file(fd.get(), status)) return {UniqueFd(), path, {}};
        if (!lock_file(fd.get())) break;  // another live writer's file
        // Left by an earlier run, or just created; or finished by a thread
        // of this process or of another live one (a subprocess, a forked
        // child or parent) that had the id the caller now has: that one
        // keeps it, under a sibling name.
        const bool kept = written.contains(dir_status, leaf, status) ||
                          (status.st_size != 0 && written_by_a_live_process(fd.get()));
        if (!kept) {
            if (status.st_size != 0 && ::ftruncate(fd.get(), 0) != 0) return {UniqueFd(), path, {}};
            written.add(dir_status, leaf, status);
            return {std::move(fd), path, {}};
        }
        if (!move_aside(dir, leaf)) break;
        written.remove(dir_status, leaf);
    }
    return open_sibling(written, dir, dir_status, leaf, path);
}

// A prefix holding "/" names another directory, as it stands (the user's
// choice): a relative one below the host directory, which openat leaves
// aside for an absolute one.
OpenedTraceFile open_in_named_directory(int host_dir, const std::string& file_name, std::size_t slash,
                                        const std::string& path) {
    const std::string other_directory = slash == 0 ? "/" : file_name.substr(0, slash);
    int fd = -1;
    do {
        fd = ::openat(host_dir, other_directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    const UniqueFd other_dir = above_standard_streams(UniqueFd(fd));
    if (!other_dir.valid()) return {UniqueFd(), path, {}};
    return open_in(other_dir.get(), file_name.substr(slash + 1), path);
}

}  // namespace

OpenedTraceFile open_trace_file_for(std::int64_t thread_id) {
    const std::string root = env_or("VORN_LOG_DIR", "./vorn_logs");
    const char* prefix = env_or("VORN_LOG_PREFIX", "stl_");
    const std::string host = read_host_name();
    // Joined as plain text: a root ending in "/" gives "//" before "vorn".
    const std::string directory = root + "/" + "vorn" + "/" + host;
    const UniqueFd host_dir = open_trace_directory(root, host, directory);  // throws before any change

    const std::string file_name = prefix + std::to_string(thread_id) + ".log";
    // Path append: a prefix starting with "/" makes the file name absolute.
    const std::string path = (std::filesystem::path(directory) / file_name).string();

    const std::size_t slash = file_name.rfind('/');
    OpenedTraceFile opened;
    if (slash == std::string::npos) {
        opened = open_in(host_dir.get(), file_name, path);
    } else {
        opened = open_in_named_directory(host_dir.get(), file_name, slash, path);
    }
    opened.host = host;
    return opened;
}

}  // namespace vorn
