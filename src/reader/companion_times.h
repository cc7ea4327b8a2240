#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vorn::reader {

// Called once with a companion's name and why its times stop being used.
using CompanionWarning = std::function<void(const std::string& name, const std::string& reason)>;

// The precise times of one trace file's timed records, from its companion
// file of nanoseconds (64-byte header, then one little-endian int64 per
// enter, record and exit in file order), whose header the caller has
// already found to belong to the trace file. take(ms) hands them out in
// file order, or nothing once the companion stops matching.
class CompanionTimes {
public:
    // Takes ownership of `fd`; `count` entries are valid as the header
    // said when it was checked, and entry `first` is the next to hand out.
    CompanionTimes(std::string name, int fd, std::uint64_t count, std::uint64_t first, CompanionWarning warning);
    ~CompanionTimes();
    CompanionTimes(const CompanionTimes&) = delete;
    CompanionTimes& operator=(const CompanionTimes&) = delete;

    // The precise time of the next timed record, whose millisecond is `ms`.
    std::optional<std::int64_t> take(std::int64_t ms) {
        if (!used_) return std::nullopt;
        if (index_ >= block_.size() && !next_block()) return std::nullopt;
        const std::int64_t ns = block_[index_++];
        if (floor_ms(ns) != ms && !(ns < 0 && ceil_ms(ns) == ms)) {
            mismatch(ns, ms);
            return std::nullopt;
        }
        return ns;
    }

    static std::int64_t floor_ms(std::int64_t ns);
    static std::int64_t ceil_ms(std::int64_t ns);

private:
    bool next_block();
    void mismatch(std::int64_t ns, std::int64_t ms);
    void stop(std::uint64_t used, const std::string& reason);
    void close();

    std::string name_;
    int fd_;
    std::uint64_t count_;
    std::uint64_t taken_;  // entries handed out (or passed over) before block_
    std::vector<std::int64_t> block_;
    std::size_t index_ = 0;  // in block_
    bool used_ = true;
    CompanionWarning warning_;
};

}  // namespace vorn::reader
