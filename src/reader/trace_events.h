#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vorn::reader {

// One step of a trace file in file order: a scope's enter (once its enter
// record is whole), an instant record, or a scope's exit. An exit has the
// depth of its enter; a scope that never closed exits where the file ends,
// with no ts_exit. The texts are views valid until the parser's next step.
enum class EventKind : std::uint8_t { enter, record, exit };

struct ScopeFields {
    std::string_view invoker;
    std::string_view file;
    std::string_view args;
    std::int64_t line = 0;
    std::int64_t ts_enter = 0;
    std::optional<std::int64_t> ts_exit;
    std::optional<std::int64_t> ts_enter_ns;
    std::optional<std::int64_t> ts_exit_ns;
};

struct InstantFields {
    std::int64_t ts = 0;
    std::string_view invoker;
    std::string_view file;
    std::int64_t line = 0;
    std::string_view args;
    std::optional<std::int64_t> ts_ns;
};

struct Event {
    EventKind kind = EventKind::record;
    std::size_t depth = 0;
    const ScopeFields* scope = nullptr;      // enter and exit
    const InstantFields* instant = nullptr;  // record
};

// A place between two lines at the top level of a trace file, outside
// every scope, where a read can start again.
struct ReadPoint {
    std::uint64_t offset = 0;
    std::uint64_t line = 0;
    std::uint64_t timed = 0;  // timed records before it: the next has this companion entry
    bool array_started = false;
    bool late = false;
};

// Bytes the trace writer cannot have written: the file's line and why,
// the reason as `before`, the offending text shown (when there is one),
// and `after`. The text is kept raw so that whoever reports the error
// shows it in its own way.
struct FormatError {
    std::uint64_t line = 0;
    std::string before;
    std::optional<std::string> shown;
    std::string after;
};

class TraceFormatError : public std::exception {
public:
    explicit TraceFormatError(FormatError error) : error_(std::move(error)) {}
    const FormatError& error() const { return error_; }
    const char* what() const noexcept override { return "not a trace file the writer can have written"; }

private:
    FormatError error_;
};

}  // namespace vorn::reader
