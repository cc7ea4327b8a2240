#include "trace/trace_file_writer.h"

#include <cstdio>
#include <cstring>

#include <sys/types.h>
#include <sys/xattr.h>

#include "trace/identity_json.h"
#include "trace/proc_files.h"
#include "trace/process_identity.h"
#include "trace/trace_identity.h"

namespace vorn {

bool written_by_a_live_process(int fd) noexcept {
    char record[kTraceIdentityMaxBytes];
    const ssize_t length = ::fgetxattr(fd, kTraceIdentityAttribute, record, sizeof record);
    TraceFileWriter writer;
    if (length <= 0 || !parse_trace_file_writer(record, static_cast<std::size_t>(length), writer)) return false;

    const ProcessIdentity& us = process_identity();
    if (us.pidns == 0 || writer.pidns != us.pidns) return false;
    if (us.boot_id[0] == '\0' || std::strcmp(writer.boot_id, us.boot_id) != 0) return false;
    if (writer.pid <= 0) return false;

    char path[48];
    std::snprintf(path, sizeof path, "/proc/%lld/stat", static_cast<long long>(writer.pid));
    ProcessStat stat;
    if (!read_process_stat(path, stat)) return false;  // no such process
    // A zombie (or a process being reaped) has ended: it writes nothing more.
    return stat.start == writer.start && stat.state != 'Z' && stat.state != 'X' && stat.state != 'x';
}

}  // namespace vorn
