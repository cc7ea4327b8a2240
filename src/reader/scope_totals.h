#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "reader/trace_parser.h"

namespace vorn::reader {

// The closed scopes of one invoker and message in one file, added up:
// durations in nanoseconds, measured where both ends have precise times
// and whole milliseconds otherwise, a stretch a clock set back made
// negative counting as none.
struct ScopeGroup {
    std::string invoker;
    std::string message;
    std::uint64_t count = 0;  // closed
    std::int64_t total_ns = 0;
    std::int64_t self_ns = 0;  // less the scopes directly inside, never below zero
    std::int64_t longest_ns = 0;
    std::uint64_t unmeasured = 0;
    std::uint64_t raised = 0;  // whose last record says "raised <type>..."
    std::uint64_t never_closed = 0;
    std::vector<double> durations;  // ns, of the closed ones, for percentiles
};

struct OpenScopeFound {
    std::string invoker;
    std::string file;
    std::int64_t line = 0;
    std::int64_t ts_enter = 0;
    std::string args;
    std::optional<std::int64_t> ts_enter_ns;
};

struct RecordFound {
    std::int64_t ts = 0;
    std::string invoker;
    std::string file;
    std::int64_t line = 0;
    std::string args;
    std::optional<std::int64_t> ts_ns;
};

// What a summary needs of one file, read in one pass that holds a group
// per distinct invoker and message and the scopes open.
struct FileTotals {
    std::uint64_t scopes = 0;
    std::uint64_t records = 0;
    bool measured = false;  // some duration came from precise times
    std::vector<ScopeGroup> groups;
    std::vector<OpenScopeFound> never_closed;  // in the order their exits come: innermost first
    std::vector<RecordFound> span_records;  // the records of invoker "span", in file order
    // Scopes whose last record names an exception type beyond ASCII, for
    // the caller to judge by its own rules: (group, record text).
    std::vector<std::pair<std::size_t, std::string>> raised_unsure;
};

FileTotals scope_totals(TraceParser& parser);

// Whether a record's text says its scope raised: "raised <type>" or
// "raised <type>: <message>", a type a dotted run of identifiers; empty
// when the type holds characters beyond ASCII.
std::optional<bool> says_raised(std::string_view text);

}  // namespace vorn::reader
