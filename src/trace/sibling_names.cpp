#include "trace/sibling_names.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>

namespace vorn {
namespace {

constexpr char kSuffix[] = ".log";
constexpr std::size_t kSuffixLength = sizeof kSuffix - 1;

thread_local std::uint64_t probes = 0;

enum class Name { free, taken, unusable };

Name look_at(int dir, const std::string& leaf, int n) {
    ++probes;
    struct stat status{};
    if (::fstatat(dir, sibling_name(leaf, n).c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0) return Name::taken;
    return errno == ENOENT ? Name::free : Name::unusable;
}

}  // namespace

std::string sibling_name(const std::string& leaf, int n) {
    return leaf.substr(0, leaf.size() - kSuffixLength) + "." + std::to_string(n) + kSuffix;
}

std::string companion_name(const std::string& leaf) {
    return leaf.substr(0, leaf.size() - kSuffixLength) + ".times";
}

int free_sibling_number(int dir, const std::string& leaf, int from) {
    if (from < 2 || from > kLastSibling) return 0;
    Name name = look_at(dir, leaf, from);
    if (name != Name::taken) return name == Name::free ? from : 0;
    // Gallop: `taken` is taken, `free` the first probe found free.
    int taken = from;
    int free = 0;
    for (std::int64_t step = 1; free == 0; step *= 2) {
        const int next = kLastSibling - taken <= step ? kLastSibling : taken + static_cast<int>(step);
        name = look_at(dir, leaf, next);
        if (name == Name::unusable) return 0;
        if (name == Name::free) {
            free = next;
        } else if (next == kLastSibling) {
            return 0;
        } else {
            taken = next;
        }
    }
    // Halve the gap down to the first free name after a taken one.
    while (free - taken > 1) {
        const int middle = taken + (free - taken) / 2;
        name = look_at(dir, leaf, middle);
        if (name == Name::unusable) return 0;
        (name == Name::taken ? taken : free) = middle;
    }
    return free;
}

std::uint64_t sibling_name_probes() noexcept { return probes; }

}  // namespace vorn
