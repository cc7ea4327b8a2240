#include "module/python_stl_logger.h"

#include <memory>

#include "module/scope_order_warning.h"
#include "trace/log_file.h"
#include "trace/trace_writer.h"

namespace vorn {

PythonStlLogger::PythonStlLogger(const TextArgument& message, const std::optional<TextArgument>& invoker,
                                 const TextArgument& file, std::uint32_t line, std::optional<std::int64_t> tid)
    : PythonLogger<JsonStlLogger>(message, invoker, file, line, tid),
      opened_on_thread(calling_thread_id()),
      opened_at_depth(open_scope_count()),
      opened_in_generation(fork_generation) {}

void PythonStlLogger::end(bool dropped) noexcept {
    if (!logger) return;
    // Judged before the exit record changes the depth; warned after it, as
    // the warning runs Python code (filters, a showwarning of the
    // program's) that may use this logger again.
    const bool own_thread = calling_thread_id() == opened_on_thread;
    const bool innermost = own_thread && open_scope_count() == opened_at_depth;
    // A forked child leaves its parent's scopes alone: they are in the
    // parent's file, not in the one this thread writes.
    const bool inherited = fork_generation != opened_in_generation;
    PythonLogger<JsonStlLogger>::close();
    if (innermost || inherited) return;
    warn_scope_closed_out_of_order(own_thread ? ScopeOrderFault::not_innermost : ScopeOrderFault::other_thread,
                                   dropped);
}

std::string PythonStlLogger::get_log_file_name() const { return vorn::get_log_file_name(); }

}  // namespace vorn
