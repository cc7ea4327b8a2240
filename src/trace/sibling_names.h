#pragma once

#include <cstdint>
#include <string>

namespace vorn {

// The names a trace file takes when its usual one, "<stem>.log", is not
// free: "<stem>.<n>.log", n = 2, 3, ... The companion file of precise
// times, "<stem>.times", moves along as "<stem>.<n>.times".

// "<stem>.log" => "<stem>.<n>.log"; `leaf` ends in ".log".
std::string sibling_name(const std::string& leaf, int n);
// "<stem>.log" => "<stem>.times".
std::string companion_name(const std::string& leaf);

// No sibling number beyond this is used.
inline constexpr int kLastSibling = 1000000000;

// A number n >= `from` whose sibling name nothing in `dir` has (a link or a
// directory there takes the name too; a companion ".times" file does not):
// the first free one after a run of taken ones, found by probing ever
// further (from, from+1, from+3, from+7, ...) and then halving the gap, so
// that 100,000 taken names cost some 35 probes, not 100,000. 0 when none is
// free up to kLastSibling or a name cannot be looked at (too long, no
// permission).
int free_sibling_number(int dir, const std::string& leaf, int from);

// How many names free_sibling_number has looked at on the calling thread;
// tests use it to check the search stays short.
std::uint64_t sibling_name_probes() noexcept;

}  // namespace vorn
