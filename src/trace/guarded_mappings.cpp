#include "trace/guarded_mappings.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <mutex>

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>


namespace vorn {
namespace {

// Each writing thread has at most two mappings and one descriptor open.
constexpr int kMappingSlots = 4096;
constexpr int kFileSlots = 2048;

// A slot is in use while `start` is not 0. The owner fills `length` before
// `start` and clears `start` before it unmaps, so the handler, which reads
// `start` first, never takes a half-made slot for a mapping.
struct Slot {
    std::atomic<std::uintptr_t> start{0};
    std::atomic<std::size_t> length{0};
    std::atomic<bool> faulted{false};
};
static_assert(std::atomic<std::uintptr_t>::is_always_lock_free && std::atomic<bool>::is_always_lock_free,
              "the fault handler reads the table without locks");

Slot slots[kMappingSlots];
int files[kFileSlots];  // descriptor + 1; 0 for a free slot. Under the lock.
std::mutex table_mutex;

struct sigaction previous_action;  // written once, before ours is installed
bool handler_installed = false;    // under the lock

// Hands a SIGBUS that is not ours to whoever had it before us.
void pass_on(int signal, siginfo_t* info, void* context) {
    const bool sent = info == nullptr || info->si_code <= 0;  // by kill, tgkill, sigqueue
    if ((previous_action.sa_flags & SA_SIGINFO) != 0) {
        if (previous_action.sa_sigaction != nullptr) previous_action.sa_sigaction(signal, info, context);
        return;
    }
    const auto handler = previous_action.sa_handler;
    if (handler == SIG_IGN && sent) return;
    if (handler != SIG_DFL && handler != SIG_IGN) {
        handler(signal);
        return;
    }
    // The default action (or a fault, which cannot be ignored): ours steps
    // aside. A fault recurs when the faulting instruction runs again; a sent
    // signal is sent again, and arrives once this handler returns.
    ::sigaction(SIGBUS, &previous_action, nullptr);
    if (sent) ::raise(SIGBUS);
}

void on_bus_error(int signal, siginfo_t* info, void* context) {
    const int saved_errno = errno;
    if (info != nullptr && info->si_code > 0) {
        const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
        for (Slot& slot : slots) {
            const std::uintptr_t start = slot.start.load(std::memory_order_acquire);
            if (start == 0 || address < start) continue;
            const std::size_t length = slot.length.load(std::memory_order_relaxed);
            if (address - start >= length) continue;
            // Ours: the file was cut under the mapping. Anonymous pages take
            // its place, so the store that faulted, and every later one, has
            // memory to go to.
            ::mmap(reinterpret_cast<void*>(start), length, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
            slot.faulted.store(true, std::memory_order_relaxed);
            errno = saved_errno;
            return;
        }
    }
    errno = saved_errno;
    pass_on(signal, info, context);
}

// Under the lock.
bool install_handler() {
    if (handler_installed) return true;
    struct sigaction ours{};
    ours.sa_sigaction = &on_bus_error;
    sigemptyset(&ours.sa_mask);
    ours.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESTART;
    if (::sigaction(SIGBUS, nullptr, &previous_action) != 0) return false;
    if (::sigaction(SIGBUS, &ours, nullptr) != 0) return false;
    handler_installed = true;
    return true;
}

// The forking thread holds the lock across fork, so that no other thread is
// halfway through a change of the table that the child inherits.
void lock_before_fork() { table_mutex.lock(); }
void unlock_after_fork() { table_mutex.unlock(); }

// In the child: the parent's files stay the parent's.
void drop_inherited() {
    for (Slot& slot : slots) {
        const std::uintptr_t start = slot.start.exchange(0);
        if (start != 0) ::munmap(reinterpret_cast<void*>(start), slot.length.load());
        slot.faulted.store(false);
    }
    for (int& file : files) {
        if (file != 0) ::close(file - 1);
        file = 0;
    }
    table_mutex.unlock();
}

// The table, locked; registers the fork handlers on first use.
std::unique_lock<std::mutex> lock_table() {
    static const bool fork_handlers_registered =
        pthread_atfork(&lock_before_fork, &unlock_after_fork, &drop_inherited) == 0;
    static_cast<void>(fork_handlers_registered);
    return std::unique_lock<std::mutex>(table_mutex);
}

}  // namespace

int open_guarded_file(const char* path, int flags, mode_t mode) noexcept {
    const auto locked = lock_table();
    int free_slot = 0;
    while (free_slot < kFileSlots && files[free_slot] != 0) ++free_slot;
    if (free_slot == kFileSlots) {
        errno = EMFILE;
        return -1;
    }
    int fd = -1;
    do {
        fd = ::open(path, flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0 && fd <= 2) {
        // The standard streams' numbers, free because a daemon closed them:
        // whatever writes to them would land in our file.
        const int low = fd;
        fd = ::fcntl(low, F_DUPFD_CLOEXEC, 3);
        ::close(low);
    }
    if (fd < 0) return -1;
    files[free_slot] = fd + 1;
    return fd;
}

void close_guarded_file(int fd) noexcept {
    if (fd < 0) return;
    const auto locked = lock_table();
    for (int& file : files) {
        if (file == fd + 1) file = 0;
    }
    ::close(fd);
}

MappingSlot map_guarded(int fd, std::size_t length, off_t offset, char** address) noexcept {
    const auto locked = lock_table();
    if (!install_handler()) return -1;
    MappingSlot found = 0;
    while (found < kMappingSlots && slots[found].start.load(std::memory_order_relaxed) != 0) ++found;
    if (found == kMappingSlots) return -1;
    void* mapped = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, offset);
    if (mapped == MAP_FAILED) return -1;
    Slot& slot = slots[found];
    slot.faulted.store(false, std::memory_order_relaxed);
    slot.length.store(length, std::memory_order_relaxed);
    slot.start.store(reinterpret_cast<std::uintptr_t>(mapped), std::memory_order_release);
    *address = static_cast<char*>(mapped);
    return found;
}

void unmap_guarded(MappingSlot slot) noexcept {
    if (slot < 0 || slot >= kMappingSlots) return;
    const auto locked = lock_table();
    const std::uintptr_t start = slots[slot].start.exchange(0, std::memory_order_acq_rel);
    if (start != 0) ::munmap(reinterpret_cast<void*>(start), slots[slot].length.load(std::memory_order_relaxed));
}

bool guarded_mapping_faulted(MappingSlot slot) noexcept {
    return slots[slot].faulted.load(std::memory_order_relaxed);
}

}  // namespace vorn
