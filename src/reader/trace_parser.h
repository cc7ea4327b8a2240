#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "reader/companion_times.h"
#include "reader/json_text.h"
#include "reader/line_source.h"
#include "reader/trace_events.h"

namespace vorn::reader {

// Reads one trace file line by line, each whole line at most one event,
// holding one line and the scopes open at it, however large the file.
//
// The file is one JSON array of scopes, one element or member a line:
//     [ / { / "invoker": "...", / "file": "...", / "line": 12, /
//     "ts_enter": 0, / "args": "...", / "events": [ / records and child
//     scopes / ], / "ts_exit": 0 / } or }, / , between top-level scopes / ]
// with records as one line each: { "ts": 0, "invoker": ..., "args": ... }.
// A scope counts once its enter record is whole; a last line without its
// line end is dropped unless it is a whole record waiting for its line
// end. A file opened late begins inside scopes whose enters it lacks:
// their closing lines are checked and passed over.
class TraceParser {
public:
    // Reads the open file `fd` (owned) from `start` on, with the precise
    // times of `companion` (may be null).
    TraceParser(int fd, std::unique_ptr<CompanionTimes> companion, ReadPoint start = {});
    ~TraceParser();
    TraceParser(const TraceParser&) = delete;
    TraceParser& operator=(const TraceParser&) = delete;

    // One step: one line, or once the lines are read, one exit of a scope
    // the file ends inside (innermost first). True when it gave `event`;
    // throws TraceFormatError at bytes the writer cannot have written.
    bool step(Event& event);

    // Whether every line and every exit has been given.
    bool finished() const { return finished_; }

    // Whether the last step read a whole line that leaves the reader at
    // the top level, where read_point() can start a read again.
    bool at_read_point() const;
    ReadPoint read_point() const;

private:
    enum class State : std::uint8_t { members, events, ts_exit, brace };
    enum class Orphan : std::uint8_t { none, ts_exit, brace };

    // A scope being read: its enter record's members and where in the
    // record the next line belongs. Slots are reused, strings and all.
    struct Open {
        std::string invoker;
        std::string file;
        std::string args;
        std::int64_t line = 0;
        std::int64_t ts_enter = 0;
        std::optional<std::int64_t> ts_enter_ns;
        std::optional<std::int64_t> ts_exit;
        std::optional<std::int64_t> ts_exit_ns;
        int members = 0;
        State state = State::members;
    };

    bool feed(std::string_view text, Event& event);
    bool top_line(std::string_view text, Event& event);
    void orphan_line(std::string_view text);
    bool scope_line(Open& open, std::string_view text, Event& event);
    bool member(Open& open, std::string_view text, Event& event);
    std::int64_t integer_value(std::string_view key, std::string_view raw, bool is_line);
    void string_value(std::string_view key, std::string_view raw, std::string& out);
    void instant(std::string_view text, std::size_t depth, Event& event);
    bool last_line(std::string_view raw, Event& event);
    bool closing_exit(Event& event);
    Open& push();
    const ScopeFields* fields_of(const Open& open);
    std::optional<std::int64_t> take(std::int64_t ms);

    [[noreturn]] void fail(std::string before, std::optional<std::string_view> shown = std::nullopt,
                           std::string after = "") const;

    int fd_;
    std::unique_ptr<CompanionTimes> companion_;
    LineSource lines_;
    std::uint64_t number_;
    std::uint64_t timed_;
    bool array_started_;
    bool array_ended_ = false;
    bool late_;
    Orphan orphan_ = Orphan::none;
    std::vector<Open> open_;  // open_[0, depth_) are the scopes open
    std::size_t depth_ = 0;
    bool lines_done_ = false;
    bool finished_ = false;
    bool line_was_whole_ = false;
    std::size_t closing_ = 0;  // scopes left to close once the lines are read
    InstantMembers record_;
    InstantFields instant_;
    ScopeFields scope_;
};

}  // namespace vorn::reader
