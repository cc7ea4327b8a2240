#include "trace/open_trace_descriptors.h"

#include <cerrno>
#include <memory>
#include <mutex>
#include <vector>

#include <pthread.h>
#include <unistd.h>

namespace vorn {
namespace {

struct Registry {
    std::mutex mutex;
    // registered[fd] != 0 for every registered descriptor: registering and
    // forgetting cost the same with 40,000 threads as with one.
    std::vector<unsigned char> registered;
};

// Never destroyed: a thread may still close its file while the process
// exits and static objects are being destroyed.
Registry& registry() {
    static Registry* const instance = std::make_unique<Registry>().release();
    return *instance;
}

// How often the calling thread holds the lock now.
thread_local int held = 0;
// The calling thread's own registered descriptor, -1 for none. In a child
// the forking thread's own file is closed by its owner, the thread's log
// file state, so the fork handler must not close that number a second time.
thread_local int own_descriptor = -1;

void lock_before_fork() { registry().mutex.lock(); }
void unlock_in_parent() { registry().mutex.unlock(); }

// Runs in the child, where only the forking thread exists, before fork
// returns: plain system calls only.
void close_inherited_in_child() {
    const int saved_errno = errno;
    Registry& r = registry();
    for (std::size_t fd = 0; fd < r.registered.size(); ++fd) {
        if (r.registered[fd] == 0) continue;
        r.registered[fd] = 0;
        if (static_cast<int>(fd) != own_descriptor) ::close(static_cast<int>(fd));
    }
    own_descriptor = -1;
    r.mutex.unlock();
    errno = saved_errno;
}

}  // namespace

TraceFilesLock::TraceFilesLock() noexcept {
    static const bool fork_handlers_registered =
        pthread_atfork(&lock_before_fork, &unlock_in_parent, &close_inherited_in_child) == 0;
    static_cast<void>(fork_handlers_registered);
    if (held++ == 0) registry().mutex.lock();
}

TraceFilesLock::~TraceFilesLock() {
    if (--held == 0) registry().mutex.unlock();
}

void register_trace_descriptor(int fd) {
    if (fd < 0) return;
    Registry& r = registry();
    const auto index = static_cast<std::size_t>(fd);
    if (index >= r.registered.size()) r.registered.resize(index + 1 + index / 2);
    r.registered[index] = 1;
    own_descriptor = fd;
}

void forget_trace_descriptor(int fd) noexcept {
    Registry& r = registry();
    if (fd >= 0 && static_cast<std::size_t>(fd) < r.registered.size()) r.registered[static_cast<std::size_t>(fd)] = 0;
    if (fd == own_descriptor) own_descriptor = -1;
}

}  // namespace vorn
