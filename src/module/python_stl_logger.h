#pragma once

#include <cstdint>
#include <string>

#include "module/python_logger.h"
#include "trace/json_stl_logger.h"

namespace vorn {

// The Python class StlLogger (alias Logger): a trace scope in the calling
// thread's trace file.
//
// The writer closes whatever scope is innermost on the thread that closes
// one, so a logger remembers its thread and how deep it opened: closed or
// dropped anywhere else (across an await, on another thread), it warns
// (see scope_order_warning.h). The bytes written are the same either way.
class PythonStlLogger : public PythonLogger<JsonStlLogger> {
public:
    PythonStlLogger(const TextArgument& message, const std::optional<TextArgument>& invoker,
                    const TextArgument& file, std::uint32_t line, std::optional<std::int64_t> tid);
    PythonStlLogger(PythonStlLogger&&) noexcept = default;
    PythonStlLogger& operator=(PythonStlLogger&&) noexcept = default;
    ~PythonStlLogger() { end(true); }

    // Ends the scope, as PythonLogger::close does, and warns when it was not
    // the innermost open scope of its own thread.
    void close() noexcept { end(false); }

    // The calling thread's trace file path ("" before its first scope); the
    // same for every StlLogger used on that thread, open or closed.
    std::string get_log_file_name() const;

private:
    void end(bool dropped) noexcept;

    std::int64_t opened_on_thread = 0;
    std::int32_t opened_at_depth = 0;
    std::uint64_t opened_in_generation = 0;
};

}  // namespace vorn
