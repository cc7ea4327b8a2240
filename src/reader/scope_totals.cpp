#include "reader/scope_totals.h"

#include <algorithm>

namespace vorn::reader {
namespace {

constexpr std::int64_t kNsPerMs = 1'000'000;

bool ascii_word(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

struct KeyHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view key) const { return std::hash<std::string_view>{}(key); }
};

// What a scope open at the line being read needs for its self time and
// its outcome.
struct OpenFrame {
    std::int64_t children_ns = 0;
    enum class Last : std::uint8_t { nothing, scope, plain, raised, unsure } last = Last::nothing;
    std::string unsure_text;
};

}  // namespace

std::optional<bool> says_raised(std::string_view text) {
    constexpr std::string_view kRaised = "raised ";
    if (text.substr(0, kRaised.size()) != kRaised) return false;
    const std::string_view rest = text.substr(kRaised.size());
    if (rest.empty()) return false;
    const auto first = static_cast<unsigned char>(rest[0]);
    if (first >= 0x80) return std::nullopt;
    if (!ascii_word(rest[0]) || (rest[0] >= '0' && rest[0] <= '9')) return false;
    std::size_t end = 1;
    while (end < rest.size()) {
        const char c = rest[end];
        if (static_cast<unsigned char>(c) >= 0x80) return std::nullopt;
        if (!(ascii_word(c) || c == '.' || c == '<' || c == '>')) break;
        ++end;
    }
    return end == rest.size() || rest.substr(end, 2) == ": ";
}

FileTotals scope_totals(TraceParser& parser) {
    FileTotals totals;
    std::unordered_map<std::string, std::size_t, KeyHash, std::equal_to<>> index;
    std::string key;
    std::vector<OpenFrame> frames;
    std::size_t depth = 0;  // frames_[0, depth) follow the scopes open
    Event event;
    while (!parser.finished()) {
        if (!parser.step(event)) continue;
        if (event.kind == EventKind::enter) {
            ++totals.scopes;
            if (depth > 0) frames[depth - 1].last = OpenFrame::Last::scope;
            if (depth == frames.size()) frames.emplace_back();
            frames[depth].children_ns = 0;
            frames[depth].last = OpenFrame::Last::nothing;
            ++depth;
            continue;
        }
        if (event.kind == EventKind::record) {
            const InstantFields& record = *event.instant;
            ++totals.records;
            if (depth > 0) {
                OpenFrame& frame = frames[depth - 1];
                const std::optional<bool> raised = says_raised(record.args);
                frame.last = !raised ? OpenFrame::Last::unsure
                                     : *raised ? OpenFrame::Last::raised : OpenFrame::Last::plain;
                if (!raised) frame.unsure_text.assign(record.args);
            }
            if (record.invoker == "span") {
                totals.span_records.push_back({record.ts, std::string(record.invoker), std::string(record.file),
                                               record.line, std::string(record.args), record.ts_ns});
            }
            continue;
        }
        const ScopeFields& scope = *event.scope;
        // The reader gives no exit for a scope whose enter it did not
        // give (a file opened late), so the frames follow the file's.
        OpenFrame none;
        OpenFrame& frame = depth > 0 ? frames[--depth] : none;
        key.clear();
        key += std::to_string(scope.invoker.size());
        key.push_back(':');
        key += scope.invoker;
        key += scope.args;
        auto found = index.find(std::string_view(key));
        if (found == index.end()) {
            found = index.emplace(key, totals.groups.size()).first;
            totals.groups.emplace_back();
            totals.groups.back().invoker.assign(scope.invoker);
            totals.groups.back().message.assign(scope.args);
        }
        ScopeGroup& group = totals.groups[found->second];
        if (!scope.ts_exit) {
            ++group.never_closed;
            totals.never_closed.push_back({std::string(scope.invoker), std::string(scope.file), scope.line,
                                           scope.ts_enter, std::string(scope.args), scope.ts_enter_ns});
            continue;
        }
        const bool measured = scope.ts_enter_ns && scope.ts_exit_ns;
        const std::int64_t duration = measured ? std::max<std::int64_t>(0, *scope.ts_exit_ns - *scope.ts_enter_ns)
                                               : std::max<std::int64_t>(0, *scope.ts_exit - scope.ts_enter) * kNsPerMs;
        totals.measured = totals.measured || measured;
        ++group.count;
        group.total_ns += duration;
        group.self_ns += std::max<std::int64_t>(0, duration - frame.children_ns);
        group.longest_ns = std::max(group.longest_ns, duration);
        group.unmeasured += measured ? 0 : 1;
        group.durations.push_back(static_cast<double>(duration));
        if (frame.last == OpenFrame::Last::raised) ++group.raised;
        if (frame.last == OpenFrame::Last::unsure) totals.raised_unsure.emplace_back(found->second, frame.unsure_text);
        if (depth > 0) frames[depth - 1].children_ns += duration;
    }
    return totals;
}

}  // namespace vorn::reader
