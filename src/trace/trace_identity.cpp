#include "trace/trace_identity.h"

#include <cerrno>
#include <cstring>
#include <ctime>

#include <sys/prctl.h>
#include <sys/random.h>
#include <sys/xattr.h>

#include "trace/clock.h"
#include "trace/identity_json.h"
#include "trace/process_identity.h"
#include "trace/trace_identity_seam.h"
#include "trace/utf8_cut.h"

namespace vorn {

std::atomic<SetAttributeCall> trace_identity_set_attribute{&::fsetxattr};

namespace {

// The calling thread's name as Python knows it, NUL-terminated; "" until
// given. A plain array: nothing to destroy at thread exit.
thread_local char this_thread_python_name[kPythonThreadNameBytes + 1] = {};

// splitmix64's finaliser: spreads every input bit over the whole result.
std::uint64_t mix(std::uint64_t value) {
    value = (value ^ (value >> 30)) * 0xBF58476D1CE4E5B9u;
    value = (value ^ (value >> 27)) * 0x94D049BB133111EBu;
    return value ^ (value >> 31);
}

// Eight random bytes from the kernel. Where it has none to give (a kernel
// without getrandom, a seccomp filter), the time, the thread and a counter
// still make the id differ from every other file's.
std::uint64_t new_file_id(std::int64_t thread_id) {
    std::uint64_t id = 0;
    ssize_t got = -1;
    do {
        got = ::getrandom(&id, sizeof id, GRND_NONBLOCK);
    } while (got < 0 && errno == EINTR);
    if (got == static_cast<ssize_t>(sizeof id)) return id;
    static std::atomic<std::uint64_t> counter{0};
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const auto nanoseconds = static_cast<std::uint64_t>(now.tv_sec) * 1000000000u + static_cast<std::uint64_t>(now.tv_nsec);
    return mix(nanoseconds ^ mix(static_cast<std::uint64_t>(thread_id) + (counter.fetch_add(1) << 32)));
}

}  // namespace

void set_python_thread_name(const char* name, std::size_t length) noexcept {
    const void* nul = name != nullptr ? std::memchr(name, '\0', length) : nullptr;
    if (name == nullptr) length = 0;
    if (nul != nullptr) length = static_cast<std::size_t>(static_cast<const char*>(nul) - name);
    length = utf8_cut_length(name, length, kPythonThreadNameBytes);
    if (length > 0) std::memcpy(this_thread_python_name, name, length);
    this_thread_python_name[length] = '\0';
}

void attach_trace_identity(int fd, std::int64_t thread_id, const char* host) noexcept {
    if (fd < 0) return;
    const int saved_errno = errno;
    const ProcessIdentity& process = process_identity();

    // The name the system knows the thread by (Python sets it from
    // Thread.name); at most 15 bytes and a NUL.
    char thread_name[16] = {};
    if (::prctl(PR_GET_NAME, thread_name) != 0) thread_name[0] = '\0';
    thread_name[sizeof thread_name - 1] = '\0';

    TraceIdentity identity;
    identity.pid = process.pid;
    identity.start = process.start;
    identity.ppid = process.ppid;
    identity.tid = thread_id;
    identity.thread_name = thread_name;
    identity.python_thread_name = this_thread_python_name;
    identity.command_line = process.command_line;
    identity.command_line_length = process.command_line_length;
    identity.command_line_complete = process.command_line_complete;
    identity.host = host != nullptr ? host : "";
    // Through the clock's own one-time initialisation: when this is the
    // process's first reading, the records that follow count from it.
    identity.clock_origin_ms = clock_origin_ms();
    identity.pidns = process.pidns;
    identity.boot_id = process.boot_id;
    identity.file_id = new_file_id(thread_id);

    char value[kTraceIdentityBufferBytes];
    const std::size_t length = compose_trace_identity(identity, value);
    // One try: a file system without user attributes (ENOTSUP), a file we
    // may not label (EPERM), or no room for the value (ENOSPC, E2BIG) leaves
    // the file without it, and the trace is written all the same. A file
    // left by an earlier run may still carry that run's value, which would
    // put this trace under another process and clock: it goes, except where
    // the file system has no user attributes to remove.
    const SetAttributeCall set_attribute = trace_identity_set_attribute.load(std::memory_order_relaxed);
    if (length == 0 || set_attribute(fd, kTraceIdentityAttribute, value, length, 0) != 0) {
        if (errno != ENOTSUP) static_cast<void>(::fremovexattr(fd, kTraceIdentityAttribute));
    }
    errno = saved_errno;
}

}  // namespace vorn
