#include "trace/proc_files.h"

#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

namespace vorn {

std::size_t read_proc_file(const char* path, char* buffer, std::size_t capacity) noexcept {
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

bool read_process_stat(const char* path, ProcessStat& stat) noexcept {
    char text[1024];
    const std::size_t length = read_proc_file(path, text, sizeof text);
    // The second field, the command name in parentheses, may hold spaces and
    // parentheses itself, so fields are counted from its last ")".
    std::size_t i = length;
    while (i > 0 && text[i - 1] != ')') --i;
    if (i == 0) return false;
    constexpr int kStateField = 1;   // field 3, the first after the name
    constexpr int kStartField = 20;  // field 22
    int field = 0;
    while (i < length) {
        while (i < length && text[i] == ' ') ++i;
        if (++field == kStartField) break;
        if (field == kStateField && i < length) stat.state = text[i];
        while (i < length && text[i] != ' ') ++i;
    }
    if (field != kStartField || i >= length || text[i] < '0' || text[i] > '9') return false;
    std::uint64_t value = 0;
    for (; i < length && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + static_cast<std::uint64_t>(text[i] - '0');
    }
    stat.start = value;
    return true;
}

}  // namespace vorn
