#include "trace/process_identity.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

namespace vorn {
namespace {

// Reads up to `capacity` bytes of `path` with plain system calls only
// (async-signal-safe: this also runs in a forked child before fork returns);
// returns how many, 0 when it cannot be read.
std::size_t read_proc_file(const char* path, char* buffer, std::size_t capacity) {
    int fd = -1;
    do {
        fd = ::open(path, O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return 0;
    std::size_t total = 0;
    while (total < capacity) {
        const ssize_t got = ::read(fd, buffer + total, capacity - total);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        total += static_cast<std::size_t>(got);
    }
    ::close(fd);
    return total;
}

// Field 22 of /proc/self/stat, the start time in clock ticks after boot.
// The second field, the command name in parentheses, may hold spaces and
// parentheses itself, so fields are counted from its last ")".
std::uint64_t read_start_time() {
    char stat[1024];
    const std::size_t length = read_proc_file("/proc/self/stat", stat, sizeof stat);
    std::size_t i = length;
    while (i > 0 && stat[i - 1] != ')') --i;
    if (i == 0) return 0;
    constexpr int kFieldsAfterName = 20;  // fields 3 to 22
    int field = 0;
    while (i < length) {
        while (i < length && stat[i] == ' ') ++i;
        if (++field == kFieldsAfterName) break;
        while (i < length && stat[i] != ' ') ++i;
    }
    std::uint64_t value = 0;
    for (; i < length && stat[i] >= '0' && stat[i] <= '9'; ++i) value = value * 10 + static_cast<std::uint64_t>(stat[i] - '0');
    return value;
}

void read_identity(ProcessIdentity& identity) {
    identity.pid = ::getpid();
    identity.ppid = ::getppid();
    identity.start = read_start_time();
    identity.command_line_length =
        read_proc_file("/proc/self/cmdline", identity.command_line, sizeof identity.command_line);
    identity.command_line_complete = identity.command_line_length < sizeof identity.command_line;
}

ProcessIdentity& the_identity() {
    static ProcessIdentity identity;
    return identity;
}

// pthread_atfork child handler: the child is a process of its own. Only the
// forking thread exists in it now, so nothing else reads the record meanwhile.
void reread_in_child() {
    const int saved_errno = errno;
    read_identity(the_identity());
    errno = saved_errno;
}

}  // namespace

const ProcessIdentity& process_identity() noexcept {
    // A function-local static: read once, thread-safely. The handler is
    // registered only after the first reading, which it then replaces.
    static const bool read = [] {
        read_identity(the_identity());
        return pthread_atfork(nullptr, nullptr, &reread_in_child) == 0;
    }();
    static_cast<void>(read);
    return the_identity();
}

}  // namespace vorn
