#include "console/console_line.h"

#include <string_view>

#include <time.h>

#include "console/host_name.h"
#include "console/line_writer.h"
#include "console/local_time_text.h"
#include "console/stdout_logger_options.h"
#include "trace/utf8_cut.h"

namespace vorn {
namespace {

constexpr std::size_t kInvokerColumnWidth = 30;
constexpr std::string_view kColorReset = "\033[0m";

// A NUL-terminated text as a view; null reads as empty.
std::string_view text_of(const char* text) {
    return text == nullptr ? std::string_view{} : std::string_view{text};
}

// `text` up to its first NUL.
std::string_view up_to_nul(std::string_view text) { return text.substr(0, text.find('\0')); }

// The current wall-clock time in whole seconds.
std::time_t current_seconds() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return now.tv_sec;
}

// Colour frames a message only when switched on and there is a colour to
// write: a `color` that is empty or starts with NUL means none.
bool color_is_on(const StdoutLoggerOptions& options) {
    return options.use_color && !options.color.empty() && options.color.front() != '\0';
}

// The invoker in a column of exactly 30 bytes: cut so that no UTF-8
// character is split, then padded with spaces.
//   "run"                      => "run" + 27 spaces
//   29 x "a" + "\xC3\xA9" (é)  => 29 x "a" + 1 space
void append_invoker_column(LineWriter& line, std::string_view invoker) {
    const std::size_t shown = utf8_cut_length(invoker.data(), invoker.size(), kInvokerColumnWidth);
    line.append(invoker.data(), shown);
    line.append_spaces(kInvokerColumnWidth - shown);
}

// "[vorn HOST] YYYY-MM-DD HH:MM:SS(WORKFLOW) | INVOKER-COLUMN | ", with the
// time taken from `time_text`, which must live until the line is finished.
void append_header(LineWriter& line, const StdoutLoggerOptions& options, std::string_view invoker,
                   char (&time_text)[kLocalTimeTextSize]) {
    const std::size_t time_length = format_local_time(current_seconds(), time_text);
    line.append("[vorn ");
    line.append(console_host_name());
    line.append("] ");
    line.append(time_text, time_length);
    line.append("(");
    line.append(options.workflow_name);
    line.append(") | ");
    append_invoker_column(line, invoker);
    line.append(" | ");
}

// One console line of `invoker` and `text`, both already ended at their
// first NUL.
void write_console_line(std::string_view invoker, std::string_view text) {
    // Read in place for every line, so a change of options shows at once.
    const StdoutLoggerOptions& options = current_stdout_logger_options();
    char time_text[kLocalTimeTextSize];
    LineWriter& line = LineWriter::for_this_thread();
    if (options.print_header) {
        append_header(line, options, invoker, time_text);
        if (color_is_on(options)) {
            line.append(options.color);
            line.append(text);
            line.append(kColorReset);
        } else {
            line.append(text);
        }
    } else {
        // Without a header a line is never coloured.
        line.append(text);
    }
    line.append("\n");
    line.finish();
}

}  // namespace

void print_console_line(const char* invoker, const char* message) {
    write_console_line(text_of(invoker), text_of(message));
}

void print_console_line(std::string_view invoker, std::string_view message) {
    write_console_line(up_to_nul(invoker), up_to_nul(message));
}

}  // namespace vorn
