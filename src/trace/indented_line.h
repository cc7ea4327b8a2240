#pragma once

#include <cstddef>
#include <cstdint>

#include "trace/record_buffer.h"

namespace vorn {

// Widest indentation of a trace line, in spaces.
inline constexpr std::size_t kMaxIndentation = 64;

// Spaces that indent a line at nesting `depth`: min(2 * depth, 64), none when
// depth <= 0.   0 => 0,  1 => 2,  3 => 6,  32 => 64,  1000 => 64,  -1 => 0
// Inline, like the helpers below: every line of a record starts with it.
inline std::size_t indentation_width(std::int32_t depth) noexcept {
    if (depth <= 0) return 0;
    if (depth >= static_cast<std::int32_t>(kMaxIndentation / 2)) return kMaxIndentation;
    return 2 * static_cast<std::size_t>(depth);
}

// As write_indented_line, with the text formatted from `format`.
//   (depth 2, "\"line\": %d,", 10) => "    \"line\": 10,\n"
void write_indented_format(RecordBuffer& out, std::int32_t depth, const char* format, ...) noexcept
    __attribute__((format(printf, 3, 4)));

// Spaces enough for the widest indentation.
inline constexpr char kIndentationSpaces[kMaxIndentation + 1] =
    "                                                                ";
static_assert(kIndentationSpaces[kMaxIndentation - 1] == ' ');

// Appends the indentation of `depth` alone.
inline void append_indentation(RecordBuffer& out, std::int32_t depth) noexcept {
    out.append(kIndentationSpaces, indentation_width(depth));
}

// Appends the indentation of `depth`, then `text` (NUL-terminated), then "\n".
// Inline, so that the length of a literal text is known where it is copied.
//   (depth 1, "{") => "  {\n"
inline void write_indented_line(RecordBuffer& out, std::int32_t depth, const char* text) noexcept {
    append_indentation(out, depth);
    out.append(text);
    out.append("\n", 1);
}

}  // namespace vorn
