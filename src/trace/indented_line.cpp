#include "trace/indented_line.h"

#include <cstdarg>

namespace vorn {
namespace {

constexpr char kSpaces[kMaxIndentation + 1] =
    "                                                                ";
static_assert(sizeof kSpaces == kMaxIndentation + 1 && kSpaces[kMaxIndentation - 1] == ' ');

}  // namespace

std::size_t indentation_width(std::int32_t depth) noexcept {
    if (depth <= 0) return 0;
    if (depth >= static_cast<std::int32_t>(kMaxIndentation / 2)) return kMaxIndentation;
    return 2 * static_cast<std::size_t>(depth);
}

void append_indentation(RecordBuffer& out, std::int32_t depth) noexcept {
    out.append(kSpaces, indentation_width(depth));
}

void write_indented_line(RecordBuffer& out, std::int32_t depth, const char* text) noexcept {
    append_indentation(out, depth);
    out.append(text);
    out.append("\n", 1);
}

void write_indented_format(RecordBuffer& out, std::int32_t depth, const char* format, ...) noexcept {
    append_indentation(out, depth);
    va_list arguments;
    va_start(arguments, format);
    out.append_vformat(format, arguments);
    va_end(arguments);
    out.append("\n", 1);
}

}  // namespace vorn
