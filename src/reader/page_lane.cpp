#include "reader/page_lane.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <functional>
#include <limits>
#include <string_view>
#include <unordered_map>

#include "reader/display_times.h"

namespace vorn::reader {
namespace {

constexpr std::string_view kSpanInvoker = "span";
constexpr std::string_view kSpanThreadFile = "<vorn.span>";

struct TextHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
};
using TextIndex = std::unordered_map<std::string, std::int64_t, TextHash, std::equal_to<>>;

// What an open scope's last event says of its outcome so far.
enum class Outcome : std::uint8_t { none, raised, judged };

struct OpenScope {
    std::int64_t row = 0;
    Outcome outcome = Outcome::none;
    std::string record;  // the last record's text, where it may say "raised"
};

// The exception's text of a record that says_raised: "Type" or "Type: message".
std::string_view exception_text(std::string_view record) {
    std::string_view rest = record.substr(std::string_view("raised ").size());
    const std::size_t colon = rest.find(": ");
    if (colon != std::string_view::npos && colon + 2 == rest.size()) rest = rest.substr(0, colon);
    return rest;
}

class LaneBuilder : public PlacedSink {
public:
    LaneBuilder(PageLane& lane, const PageLaneOptions& options) : lane_(lane), options_(options) {}

    void placed(const HeldEvent& event, double time, double) override {
        time += static_cast<double>(options_.moved);
        lane_.last_time = lane_.last_time ? std::max(*lane_.last_time, time) : time;
        if (event.kind == EventKind::enter) {
            entered(event, time);
        } else if (event.kind == EventKind::exit) {
            exited(event, time);
        } else {
            recorded(event, time);
        }
    }

private:
    std::int64_t text(std::string_view text) {
        const auto found = index_.find(text);
        if (found != index_.end()) return found->second;
        const auto at = static_cast<std::int64_t>(lane_.texts.size());
        lane_.texts.push_back({std::string(text), false});
        index_.emplace(std::string(text), at);
        return at;
    }

    std::int64_t judged(std::string_view record) {
        const auto found = judged_.find(record);
        if (found != judged_.end()) return found->second;
        const auto at = static_cast<std::int64_t>(lane_.texts.size());
        lane_.texts.push_back({std::string(record), true});
        judged_.emplace(std::string(record), at);
        return at;
    }

    void entered(const HeldEvent& event, double time) {
        if (open_ > 0) open_scopes_[open_ - 1].outcome = Outcome::none;
        const auto row = static_cast<std::int64_t>(lane_.depth.size());
        if (row == 0) {
            first_is_holder_ = event.invoker == kSpanInvoker && event.file == kSpanThreadFile;
        }
        lane_.parent.push_back(open_ > 0 ? open_scopes_[open_ - 1].row : -1);
        if (open_ == open_scopes_.size()) open_scopes_.emplace_back();
        open_scopes_[open_].row = row;
        open_scopes_[open_].outcome = Outcome::none;
        ++open_;
        position_.push_back(children_.back()++);
        children_.push_back(0);
        lane_.depth.push_back(static_cast<std::int64_t>(event.depth));
        lane_.invoker.push_back(text(event.invoker));
        lane_.file.push_back(text(event.file));
        lane_.line.push_back(event.line);
        lane_.args.push_back(text(event.args));
        lane_.measured.push_back(event.ns ? 1 : 0);
        lane_.raised.push_back(-1);
        lane_.enter.push_back(time);
        lane_.exit.push_back(std::numeric_limits<double>::quiet_NaN());
        outside_.push_back(0);
    }

    void exited(const HeldEvent& event, double time) {
        const OpenScope& open = open_scopes_[--open_];
        const auto row = static_cast<std::size_t>(open.row);
        children_.pop_back();
        position_.pop_back();
        if (event.ts_exit) lane_.exit[row] = time;
        if (row == 0) first_closed_ = event.ts_exit.has_value();
        if (event.ns) lane_.measured[row] |= 2;
        if (open.outcome == Outcome::raised) lane_.raised[row] = text(exception_text(open.record));
        if (open.outcome == Outcome::judged) lane_.raised[row] = judged(open.record);
        // A scope outside the range has all its events outside it as well.
        if (lane_.enter[row] > options_.high || time < options_.low) {
            outside_[row] = 1;
            ++lane_.outside_scopes;
        }
    }

    void recorded(const HeldEvent& event, double time) {
        if (open_ > 0) {
            OpenScope& open = open_scopes_[open_ - 1];
            const std::optional<bool> raised = says_raised(event.args);
            open.outcome = !raised ? Outcome::judged : *raised ? Outcome::raised : Outcome::none;
            if (open.outcome != Outcome::none) open.record.assign(event.args);
        }
        if (event.invoker == kSpanInvoker) {
            std::vector<std::uint64_t> position = position_;
            position.push_back(children_.back());
            lane_.span_records.push_back(
                {std::move(position), time, {event.ts, event.invoker, event.file, event.line, event.args, event.ns}});
        }
        ++children_.back();
        if (!(options_.low <= time && time <= options_.high)) {
            ++lane_.outside_records;
            return;
        }
        lane_.record_parent.push_back(open_ > 0 ? open_scopes_[open_ - 1].row : -1);
        lane_.record_invoker.push_back(text(event.invoker));
        lane_.record_file.push_back(text(event.file));
        lane_.record_line.push_back(event.line);
        lane_.record_args.push_back(text(event.args));
        lane_.record_measured.push_back(event.ns ? 1 : 0);
        lane_.record_time.push_back(time);
    }

public:
    bool first_is_holder_ = false;
    bool first_closed_ = false;
    std::vector<std::uint8_t> outside_;  // per scope row: 1 outside the range

private:
    PageLane& lane_;
    const PageLaneOptions& options_;
    TextIndex index_;
    TextIndex judged_;
    std::vector<OpenScope> open_scopes_;  // [0, open_) are the scopes open, innermost last
    std::size_t open_ = 0;
    std::vector<std::uint64_t> children_{0};  // events so far under the top level and each open scope
    std::vector<std::uint64_t> position_;      // each open scope's index among its parent's events
};

// Drops the scopes outside the range, renumbering the parents of what stays
// (a kept scope's parent and a kept record's scope overlap the range too).
void keep_overlapping(PageLane& lane, const std::vector<std::uint8_t>& outside) {
    std::vector<std::int64_t> renumbered(outside.size(), -1);
    std::size_t kept = 0;
    auto renumber = [&renumbered](std::int64_t parent) {
        return parent < 0 ? parent : renumbered[static_cast<std::size_t>(parent)];
    };
    for (std::size_t row = 0; row < outside.size(); ++row) {
        if (outside[row]) continue;
        renumbered[row] = static_cast<std::int64_t>(kept);
        lane.parent[kept] = renumber(lane.parent[row]);
        for (auto* column : {&lane.depth, &lane.invoker, &lane.file, &lane.line, &lane.args, &lane.measured,
                             &lane.raised}) {
            (*column)[kept] = (*column)[row];
        }
        lane.enter[kept] = lane.enter[row];
        lane.exit[kept] = lane.exit[row];
        ++kept;
    }
    for (auto* column : {&lane.parent, &lane.depth, &lane.invoker, &lane.file, &lane.line, &lane.args,
                         &lane.measured, &lane.raised}) {
        column->resize(kept);
    }
    lane.enter.resize(kept);
    lane.exit.resize(kept);
    for (std::int64_t& parent : lane.record_parent) parent = renumber(parent);
}

void measure_extent(PageLane& lane) {
    std::optional<double> low, high;
    auto lower = [&low](double time) { low = low ? std::min(*low, time) : time; };
    auto higher = [&high](double time) { high = high ? std::max(*high, time) : time; };
    std::size_t closed = 0;
    for (std::size_t row = 0; row < lane.enter.size(); ++row) {
        lower(lane.enter[row]);
        higher(lane.enter[row]);
        const bool open = std::isnan(lane.exit[row]);
        if (!open) {
            ++closed;
            higher(lane.exit[row]);
        }
        const std::int64_t flags = lane.measured[row];
        if (flags == 3 || (flags == 1 && open)) ++lane.measured_count;
        lane.depth_count = std::max(lane.depth_count, lane.depth[row] + 1);
    }
    for (std::size_t row = 0; row < lane.record_time.size(); ++row) {
        lower(lane.record_time[row]);
        higher(lane.record_time[row]);
        lane.measured_count += static_cast<std::uint64_t>(lane.record_measured[row]);
    }
    lane.low = low;
    lane.high = high;
    if (closed == lane.exit.size()) lane.last = high;
}

void append_integer(std::string& out, std::int64_t value) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out.append(digits, end);
}

// A column as JSON: one number where every row holds it, else the list.
template <typename Value>
void append_column(std::string& out, std::size_t count, const Value& value) {
    bool same = count > 0;
    const std::int64_t first = count > 0 ? value(0) : 0;
    for (std::size_t row = 1; same && row < count; ++row) same = value(row) == first;
    if (same) {
        append_integer(out, first);
        return;
    }
    out.push_back('[');
    for (std::size_t row = 0; row < count; ++row) {
        if (row > 0) out.push_back(',');
        append_integer(out, value(row));
    }
    out.push_back(']');
}

// A time in whole nanoseconds, halves to even.
std::int64_t nanoseconds(double ms) { return static_cast<std::int64_t>(std::nearbyint(ms * 1e6)); }

}  // namespace

PageLane read_page_lane(TraceParser& parser, const PageLaneOptions& options) {
    PageLane lane;
    LaneBuilder builder(lane, options);
    place_file(parser, builder, options.exact, true);
    lane.span_thread = lane.enter.size() == 1 && lane.record_time.empty() && lane.outside_records == 0 &&
                       builder.first_is_holder_ && !builder.first_closed_;
    if (lane.outside_scopes > 0) keep_overlapping(lane, builder.outside_);
    measure_extent(lane);
    return lane;
}

std::pair<std::string, std::string> encode_page_lane(const PageLane& lane,
                                                     const std::vector<std::int64_t>& page_index) {
    auto page = [&page_index](std::int64_t index) {
        return index < 0 || static_cast<std::size_t>(index) >= page_index.size()
                   ? -1
                   : page_index[static_cast<std::size_t>(index)];
    };
    // Times and new texts rarely go back in file order: each row's value
    // less the previous row's makes short numbers of long ones.
    auto steps = [](const auto& value) {
        return [&value](std::size_t row) { return value(row) - (row > 0 ? value(row - 1) : 0); };
    };
    const std::size_t scopes = lane.depth.size();
    std::string out = "{\"count\":";
    append_integer(out, static_cast<std::int64_t>(scopes));
    auto member = [&out](std::string_view key) {
        out += ",\"";
        out += key;
        out += "\":";
    };
    member("parent");
    append_column(out, scopes, [&lane](std::size_t row) {
        const std::int64_t parent = lane.parent[row];
        return parent >= 0 ? static_cast<std::int64_t>(row) - parent : 0;
    });
    member("depth");
    append_column(out, scopes, [&lane](std::size_t row) { return lane.depth[row]; });
    const auto enter = [&lane](std::size_t row) { return nanoseconds(lane.enter[row]); };
    member("enter");
    append_column(out, scopes, steps(enter));
    member("length");
    append_column(out, scopes, [&lane, &enter](std::size_t row) {
        return std::isnan(lane.exit[row]) ? -1 : nanoseconds(lane.exit[row]) - enter(row);
    });
    member("invoker");
    append_column(out, scopes, [&](std::size_t row) { return page(lane.invoker[row]); });
    member("file");
    append_column(out, scopes, [&](std::size_t row) { return page(lane.file[row]); });
    member("line");
    append_column(out, scopes, [&lane](std::size_t row) { return lane.line[row]; });
    const auto args = [&](std::size_t row) { return page(lane.args[row]); };
    member("args");
    append_column(out, scopes, steps(args));
    member("measured");
    append_column(out, scopes, [&lane](std::size_t row) { return lane.measured[row]; });
    member("raised");
    append_column(out, scopes, [&](std::size_t row) { return page(lane.raised[row]) + 1; });
    out += "}";
    std::string scope_json = std::move(out);

    const std::size_t records = lane.record_time.size();
    out = "{\"count\":";
    append_integer(out, static_cast<std::int64_t>(records));
    member("parent");
    append_column(out, records, [&lane](std::size_t row) { return lane.record_parent[row] + 1; });
    const auto time = [&lane](std::size_t row) { return nanoseconds(lane.record_time[row]); };
    member("time");
    append_column(out, records, steps(time));
    member("invoker");
    append_column(out, records, [&](std::size_t row) { return page(lane.record_invoker[row]); });
    member("file");
    append_column(out, records, [&](std::size_t row) { return page(lane.record_file[row]); });
    member("line");
    append_column(out, records, [&lane](std::size_t row) { return lane.record_line[row]; });
    const auto record_args = [&](std::size_t row) { return page(lane.record_args[row]); };
    member("args");
    append_column(out, records, steps(record_args));
    member("measured");
    append_column(out, records, [&lane](std::size_t row) { return lane.record_measured[row]; });
    out += "}";
    return {std::move(scope_json), std::move(out)};
}

}  // namespace vorn::reader
