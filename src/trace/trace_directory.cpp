#include "trace/trace_directory.h"

#include <cerrno>
#include <filesystem>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>

namespace vorn {
namespace {

[[noreturn]] void throw_cannot_create(const std::string& directory, int error) {
    throw std::filesystem::filesystem_error("cannot create directories", directory,
                                            std::error_code(error, std::generic_category()));
}

int open_retrying(int at, const char* name, int flags) {
    int fd = -1;
    do {
        fd = ::openat(at, name, flags);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// Makes (when missing) and enters `name` below `parent`, a link not followed.
UniqueFd enter_below(const UniqueFd& parent, const char* name, const std::string& directory) {
    if (::mkdirat(parent.get(), name, 0777) != 0 && errno != EEXIST) throw_cannot_create(directory, errno);
    UniqueFd entered(open_retrying(parent.get(), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!entered.valid()) throw_cannot_create(directory, errno);
    entered = above_standard_streams(std::move(entered));
    if (!entered.valid()) throw_cannot_create(directory, EMFILE);
    return entered;
}

}  // namespace

UniqueFd open_trace_directory(const std::string& root, const std::string& host, const std::string& directory) {
    // An empty root makes the directory text absolute: "/vorn/<host>".
    const std::string root_path = root.empty() ? "/" : root;
    std::error_code error;
    std::filesystem::create_directories(root_path, error);
    if (error) throw std::filesystem::filesystem_error("cannot create directories", directory, error);
    UniqueFd root_fd(open_retrying(AT_FDCWD, root_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!root_fd.valid()) throw_cannot_create(directory, errno);
    root_fd = above_standard_streams(std::move(root_fd));
    if (!root_fd.valid()) throw_cannot_create(directory, EMFILE);

    UniqueFd vorn_fd = enter_below(root_fd, "vorn", directory);
    if (host.empty()) return vorn_fd;
    return enter_below(vorn_fd, host.c_str(), directory);
}

}  // namespace vorn
