#include "trace/indented_line.h"

#include <cstdarg>

namespace vorn {

void write_indented_format(RecordBuffer& out, std::int32_t depth, const char* format, ...) noexcept {
    append_indentation(out, depth);
    va_list arguments;
    va_start(arguments, format);
    out.append_vformat(format, arguments);
    va_end(arguments);
    out.append("\n", 1);
}

}  // namespace vorn
