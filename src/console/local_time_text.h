#pragma once

#include <cstddef>
#include <ctime>

namespace vorn {

// Room for the local time text, with space to spare for years past 9999.
inline constexpr std::size_t kLocalTimeTextSize = 32;

// Writes `seconds` since the epoch as local time in the form
// "%Y-%m-%d %H:%M:%S" into `out`, NUL-terminated; returns its length.
// A time the C library cannot break down reads "0000-00-00 00:00:00".
//   1796634902 with TZ=UTC => "2026-12-07 09:15:02" (19)
std::size_t format_local_time(std::time_t seconds, char (&out)[kLocalTimeTextSize]);

}  // namespace vorn
