#include "trace/precise_times_file.h"

#include <atomic>
#include <bit>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include "trace/clock.h"
#include "trace/guarded_mappings.h"
#include "trace/log_file.h"
#include "trace/precise_times_seam.h"
#include "trace/process_identity.h"
#include "trace/thread_id.h"

namespace vorn {

std::atomic<AllocateCall> precise_times_allocate{&::fallocate};

namespace {

constexpr std::uint64_t kHeaderBytes = 64;
constexpr std::uint64_t kEntryBytes = 8;
constexpr std::uint64_t kCountOffset = 48;
constexpr std::uint32_t kFormatVersion = 1;
// The file grows by this much at a time: one reservation and one new
// mapping every 8192 records.
constexpr std::uint64_t kChunkBytes = 64 * 1024;

// Stores `value` little-endian at `at` (8-byte aligned: mapped pages hold
// the header and whole entries).
template <typename Integer>
void store_little_endian(char* at, Integer value) noexcept {
    auto bits = static_cast<std::uint64_t>(value);
    if constexpr (std::endian::native == std::endian::big) bits = __builtin_bswap64(bits);
    std::memcpy(at, &bits, sizeof bits);
}

// The calling thread's companion. `head` maps the file's first chunk (the
// header, with the count, and the first entries) for the companion's life;
// `current` the chunk the next entry goes to, which is `head` until the
// first chunk is full.
struct Companion {
    const LogStream* stream = nullptr;  // the trace stream it belongs to; compared, never read
    int fd = -1;                        // -1: no companion for `stream`
    MappingSlot head_slot = -1;
    char* head = nullptr;
    MappingSlot current_slot = -1;
    char* current = nullptr;
    std::uint64_t current_offset = 0;  // of `current` in the file
    std::uint64_t reserved = 0;        // bytes of the file reserved so far
    std::uint64_t count = 0;
};

bool faulted(const Companion& companion) noexcept {
    return guarded_mapping_faulted(companion.head_slot) ||
           (companion.current_slot != companion.head_slot && guarded_mapping_faulted(companion.current_slot));
}

// Ends the companion: unmapped, cut to its entries (unless someone cut it
// under us, when it is left as they made it), closed. The stream stays
// noted, so that its records get no new companion.
void finish(Companion& companion) noexcept {
    if (companion.fd < 0) return;
    const bool intact = !faulted(companion);
    if (companion.current_slot != companion.head_slot) unmap_guarded(companion.current_slot);
    unmap_guarded(companion.head_slot);
    if (intact) {
        const auto length = static_cast<off_t>(kHeaderBytes + kEntryBytes * companion.count);
        while (::ftruncate(companion.fd, length) != 0 && errno == EINTR) {
        }
    }
    close_guarded_file(companion.fd);
    companion = Companion{companion.stream};
}

// Reserves `length` bytes from `offset` (disk blocks allocated now, so that
// storing into them later cannot meet a full disk). A file system that
// cannot reserve gets the bytes as a hole: a store that then meets a full
// disk faults, and the fault only ends the companion.
bool reserve(int fd, std::uint64_t offset, std::uint64_t length) noexcept {
    const AllocateCall allocate = precise_times_allocate.load(std::memory_order_relaxed);
    int result = -1;
    do {
        result = allocate(fd, 0, static_cast<off_t>(offset), static_cast<off_t>(length));
    } while (result != 0 && errno == EINTR);
    if (result == 0) return true;
    if (errno != EOPNOTSUPP && errno != ENOSYS) return false;
    return ::ftruncate(fd, static_cast<off_t>(offset + length)) == 0;
}

// Maps the next chunk and makes it current.
bool grow(Companion& companion) noexcept {
    const std::uint64_t offset = companion.reserved;
    char* mapped = nullptr;
    if (!reserve(companion.fd, offset, kChunkBytes)) return false;
    const MappingSlot slot = map_guarded(companion.fd, kChunkBytes, static_cast<off_t>(offset), &mapped);
    if (slot < 0) return false;
    if (companion.current_slot != companion.head_slot) unmap_guarded(companion.current_slot);
    companion.current_slot = slot;
    companion.current = mapped;
    companion.current_offset = offset;
    companion.reserved = offset + kChunkBytes;
    return true;
}

void write_header(char* header) noexcept {
    const ProcessIdentity& process = process_identity();
    std::memcpy(header, "VORNTIME", 8);
    const std::uint64_t version_and_size = kFormatVersion | (kHeaderBytes << 32);
    store_little_endian(header + 8, version_and_size);
    store_little_endian(header + 16, process.pid);
    store_little_endian(header + 24, process.start);
    store_little_endian(header + 32, current_thread_id());
    store_little_endian(header + 40, clock_origin_ms());
    store_little_endian(header + 48, std::uint64_t{0});
    store_little_endian(header + 56, std::uint64_t{0});
}

// Removes the file made at `path` for a companion that could not be set
// up, as long as the name still holds that file.
void discard(int fd, const std::string& path, const struct stat& made) noexcept {
    struct stat now{};
    if (::lstat(path.c_str(), &now) == 0 && now.st_dev == made.st_dev && now.st_ino == made.st_ino) {
        ::unlink(path.c_str());
    }
    close_guarded_file(fd);
}

// Makes the companion of the calling thread's current trace file.
void open_companion(Companion& companion) noexcept {
    std::string path;
    try {
        path = precise_times_path(get_log_file_name());
    } catch (...) {
        return;
    }
    if (path.empty()) return;
    // As for the trace file: a link at the name is not followed, and a FIFO
    // there does not stall the thread; only our own regular file is used.
    const int fd = open_guarded_file(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK, 0666);
    if (fd < 0) return;
    struct stat status{};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_uid != ::geteuid()) {
        close_guarded_file(fd);
        return;
    }
    // Left from an earlier run: emptied first, so that no old entry shows
    // through the new header.
    if (status.st_size != 0 && ::ftruncate(fd, 0) != 0) {
        close_guarded_file(fd);
        return;
    }
    char* head = nullptr;
    MappingSlot slot = -1;
    if (!reserve(fd, 0, kChunkBytes) || (slot = map_guarded(fd, kChunkBytes, 0, &head)) < 0) {
        discard(fd, path, status);
        return;
    }
    companion.fd = fd;
    companion.head_slot = companion.current_slot = slot;
    companion.head = companion.current = head;
    companion.reserved = kChunkBytes;
    write_header(head);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    if (faulted(companion)) finish(companion);
}

// Owns the thread's companion; the thread's end finishes it.
struct CompanionOwner {
    Companion companion;
    ~CompanionOwner();
};

thread_local Companion* this_thread_companion = nullptr;
thread_local bool this_thread_companion_gone = false;

CompanionOwner::~CompanionOwner() {
    finish(companion);
    this_thread_companion = nullptr;
    this_thread_companion_gone = true;
}

// pthread_atfork child handler: the inherited companion is the parent's (its
// mapping and descriptor are dropped with every other inherited one); the
// child's next record makes its own.
void forget_inherited_companion() {
    if (this_thread_companion != nullptr) *this_thread_companion = Companion{};
}

Companion* thread_companion() noexcept {
    if (this_thread_companion != nullptr || this_thread_companion_gone) return this_thread_companion;
    static const bool fork_handler_registered =
        pthread_atfork(nullptr, nullptr, &forget_inherited_companion) == 0;
    static_cast<void>(fork_handler_registered);
    thread_local CompanionOwner owner;
    this_thread_companion = &owner.companion;
    return this_thread_companion;
}

}  // namespace

std::string precise_times_path(const std::string& trace_path) {
    constexpr std::string_view kTraceSuffix = ".log";
    if (!trace_path.ends_with(kTraceSuffix)) return {};
    return trace_path.substr(0, trace_path.size() - kTraceSuffix.size()) + ".times";
}

void keep_precise_time(const LogStream& stream, std::int64_t ns) noexcept {
    Companion* companion = thread_companion();
    if (companion == nullptr) return;
    if (companion->stream != &stream) {
        finish(*companion);
        companion->stream = &stream;
        open_companion(*companion);
    }
    if (companion->fd < 0) return;
    const std::uint64_t offset = kHeaderBytes + kEntryBytes * companion->count;
    if (offset >= companion->reserved && !grow(*companion)) {
        finish(*companion);
        return;
    }
    store_little_endian(companion->current + (offset - companion->current_offset), ns);
    // A store into a file cut under us faults; the fault handler then marks
    // the mapping, which is checked only after the store.
    std::atomic_signal_fence(std::memory_order_seq_cst);
    if (faulted(*companion)) {
        finish(*companion);
        return;
    }
    companion->count += 1;
    std::uint64_t count = companion->count;
    if constexpr (std::endian::native == std::endian::big) count = __builtin_bswap64(count);
    // Released after the entry, for a reader of the live file.
    std::atomic_ref<std::uint64_t>(*reinterpret_cast<std::uint64_t*>(companion->head + kCountOffset))
        .store(count, std::memory_order_release);
}

}  // namespace vorn
