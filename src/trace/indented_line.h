#pragma once

#include <cstddef>
#include <cstdint>

#include "trace/record_buffer.h"

namespace vorn {

// Widest indentation of a trace line, in spaces.
inline constexpr std::size_t kMaxIndentation = 64;

// Spaces that indent a line at nesting `depth`: min(2 * depth, 64), none when
// depth <= 0.   0 => 0,  1 => 2,  3 => 6,  32 => 64,  1000 => 64,  -1 => 0
std::size_t indentation_width(std::int32_t depth) noexcept;

// Appends the indentation of `depth`, then `text` (NUL-terminated), then "\n".
//   (depth 1, "{") => "  {\n"
void write_indented_line(RecordBuffer& out, std::int32_t depth, const char* text) noexcept;

// As write_indented_line, with the text formatted from `format`.
//   (depth 2, "\"line\": %d,", 10) => "    \"line\": 10,\n"
void write_indented_format(RecordBuffer& out, std::int32_t depth, const char* format, ...) noexcept
    __attribute__((format(printf, 3, 4)));

// Appends the indentation of `depth` alone.
void append_indentation(RecordBuffer& out, std::int32_t depth) noexcept;

}  // namespace vorn
