#include "trace/process_identity.h"

#include <cerrno>
#include <cstring>

#include <pthread.h>
#include <unistd.h>

#include "trace/proc_files.h"

namespace vorn {
namespace {

// The number in "pid:[4026531836]", the target of /proc/self/ns/pid.
std::uint64_t read_pid_namespace() {
    char link[64];
    const ssize_t length = ::readlink("/proc/self/ns/pid", link, sizeof link);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof link) return 0;
    const char* digit = static_cast<const char*>(std::memchr(link, '[', static_cast<std::size_t>(length)));
    if (digit == nullptr) return 0;
    std::uint64_t value = 0;
    for (++digit; digit < link + length && *digit >= '0' && *digit <= '9'; ++digit) {
        value = value * 10 + static_cast<std::uint64_t>(*digit - '0');
    }
    return digit < link + length && *digit == ']' ? value : 0;
}

// The boot id without its line end; only the characters a UUID has, so
// that nothing strange reaches the record.
void read_boot_id(char (&boot_id)[ProcessIdentity::kBootIdCapacity]) {
    char text[ProcessIdentity::kBootIdCapacity];
    const std::size_t length = read_proc_file("/proc/sys/kernel/random/boot_id", text, sizeof text - 1);
    std::size_t kept = 0;
    while (kept < length && ((text[kept] >= '0' && text[kept] <= '9') || (text[kept] >= 'a' && text[kept] <= 'f') ||
                             text[kept] == '-')) {
        ++kept;
    }
    if (kept < length && text[kept] != '\n') kept = 0;
    std::memcpy(boot_id, text, kept);
    boot_id[kept] = '\0';
}

void read_identity(ProcessIdentity& identity) {
    identity.pid = ::getpid();
    identity.ppid = ::getppid();
    ProcessStat stat;
    identity.start = read_process_stat("/proc/self/stat", stat) ? stat.start : 0;
    identity.pidns = read_pid_namespace();
    read_boot_id(identity.boot_id);
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
