#include "reader/companion_times.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vorn::reader {
namespace {

constexpr std::uint64_t kHeaderSize = 64;
constexpr std::uint64_t kCountOffset = 48;
constexpr std::uint64_t kEntrySize = 8;
constexpr std::uint64_t kBlockEntries = 8192;  // 64 KiB read at a time
constexpr std::int64_t kNsPerMs = 1'000'000;

std::int64_t little_endian(const unsigned char* bytes) {
    std::uint64_t value = 0;
    for (int k = 7; k >= 0; --k) value = (value << 8) | bytes[k];
    return static_cast<std::int64_t>(value);
}

// Reads up to `size` bytes at `offset`, as many as there are; -1 on error.
ssize_t read_at(int fd, unsigned char* into, std::size_t size, std::uint64_t offset) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t got = pread(fd, into + done, size - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return -1;
        if (got == 0) break;
        done += static_cast<std::size_t>(got);
    }
    return static_cast<ssize_t>(done);
}

}  // namespace

CompanionTimes::CompanionTimes(std::string name, int fd, std::uint64_t count, std::uint64_t first,
                               CompanionWarning warning)
    : name_(std::move(name)), fd_(fd), count_(count), taken_(first), warning_(std::move(warning)) {}

CompanionTimes::~CompanionTimes() { close(); }

void CompanionTimes::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

std::int64_t CompanionTimes::floor_ms(std::int64_t ns) {
    const std::int64_t quotient = ns / kNsPerMs;
    return (ns % kNsPerMs != 0 && ns < 0) ? quotient - 1 : quotient;
}

std::int64_t CompanionTimes::ceil_ms(std::int64_t ns) {
    const std::int64_t quotient = ns / kNsPerMs;
    return (ns % kNsPerMs != 0 && ns > 0) ? quotient + 1 : quotient;
}

bool CompanionTimes::next_block() {
    taken_ += block_.size();
    block_.clear();
    index_ = 0;
    unsigned char raw[kBlockEntries * kEntrySize];
    if (taken_ >= count_) {
        // The writer may have counted more since the header was read.
        unsigned char count[8];
        const ssize_t got = read_at(fd_, count, sizeof count, kCountOffset);
        if (got < 0) {
            stop(taken_, std::string("not read further: ") + std::strerror(errno));
            return false;
        }
        const std::uint64_t now = got == 8 ? static_cast<std::uint64_t>(little_endian(count)) : 0;
        if (now > count_) count_ = now;
    }
    const std::uint64_t wanted = count_ > taken_ ? std::min(kBlockEntries, count_ - taken_) : 0;
    if (wanted > 0) {
        const ssize_t got = read_at(fd_, raw, wanted * kEntrySize, kHeaderSize + taken_ * kEntrySize);
        if (got < 0) {
            stop(taken_, std::string("not read further: ") + std::strerror(errno));
            return false;
        }
        const std::size_t entries = static_cast<std::size_t>(got) / kEntrySize;
        for (std::size_t k = 0; k < entries; ++k) block_.push_back(little_endian(raw + k * kEntrySize));
    }
    if (block_.empty()) {
        stop(taken_, "it holds " + std::to_string(taken_) + " times, the trace file has more timed records");
        return false;
    }
    return true;
}

void CompanionTimes::mismatch(std::int64_t ns, std::int64_t ms) {
    const std::uint64_t entry = taken_ + index_ - 1;
    stop(entry, "entry " + std::to_string(entry) + " is in millisecond " + std::to_string(floor_ms(ns)) +
                    ", its record in millisecond " + std::to_string(ms));
}

void CompanionTimes::stop(std::uint64_t used, const std::string& reason) {
    used_ = false;
    close();
    if (warning_) {
        warning_(name_, "precise times used for the first " + std::to_string(used) + " records only: " + reason);
    }
}

}  // namespace vorn::reader
