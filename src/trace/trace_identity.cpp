#include "trace/trace_identity.h"

#include <cerrno>

#include <sys/prctl.h>
#include <sys/xattr.h>

#include "trace/clock.h"
#include "trace/identity_json.h"
#include "trace/process_identity.h"
#include "trace/trace_identity_seam.h"

namespace vorn {

std::atomic<SetAttributeCall> trace_identity_set_attribute{&::fsetxattr};

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
    identity.command_line = process.command_line;
    identity.command_line_length = process.command_line_length;
    identity.command_line_complete = process.command_line_complete;
    identity.host = host != nullptr ? host : "";
    // Through the clock's own one-time initialisation: when this is the
    // process's first reading, the records that follow count from it.
    identity.clock_origin_ms = clock_origin_ms();

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
