#include "reader/trace_parser.h"

#include <unistd.h>

#include <array>

#include "reader/utf8_text.h"

namespace vorn::reader {
namespace {

using namespace std::string_view_literals;

constexpr std::array kMemberKeys = {"invoker"sv, "file"sv, "line"sv, "ts_enter"sv, "args"sv};
constexpr std::array kMemberPrefixes = {"\"invoker\": "sv, "\"file\": "sv, "\"line\": "sv, "\"ts_enter\": "sv,
                                        "\"args\": "sv};
constexpr std::string_view kTsExitPrefix = "\"ts_exit\": ";

bool starts_with(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }
bool ends_with(std::string_view text, char c) { return !text.empty() && text.back() == c; }

std::string_view strip_spaces(std::string_view text) {
    const std::size_t first = text.find_first_not_of(' ');
    return first == std::string_view::npos ? std::string_view() : text.substr(first);
}

bool all_digits(std::string_view text) {
    if (text.empty()) return false;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

// Up to 20 decimal digits as the unsigned 64-bit number the writer wrote;
// false for more than fits.
bool unsigned_value(std::string_view digits, std::uint64_t& value) {
    value = 0;
    for (const char c : digits) {
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) return false;
        value = value * 10 + digit;
    }
    return true;
}

// A "ts_exit" line's value, wrapped as the writer's unsigned clock reads back.
bool ts_exit_value(std::string_view text, std::int64_t& value) {
    if (!starts_with(text, kTsExitPrefix)) return false;
    const std::string_view digits = text.substr(kTsExitPrefix.size());
    std::uint64_t number = 0;
    if (!all_digits(digits) || digits.size() > 20 || !unsigned_value(digits, number)) return false;
    value = static_cast<std::int64_t>(number);
    return true;
}

bool is_closing_brace(std::string_view text) { return text == "}" || text == "},"; }

}  // namespace

TraceParser::TraceParser(int fd, std::unique_ptr<CompanionTimes> companion, ReadPoint start)
    : fd_(fd),
      companion_(std::move(companion)),
      lines_(fd, start.offset),
      number_(start.line),
      timed_(start.timed),
      array_started_(start.array_started),
      late_(start.late) {}

TraceParser::~TraceParser() {
    if (fd_ >= 0) ::close(fd_);
}

void TraceParser::fail(std::string before, std::optional<std::string_view> shown, std::string after) const {
    FormatError error{number_, std::move(before), std::nullopt, std::move(after)};
    if (shown) error.shown = std::string(*shown);
    throw TraceFormatError(std::move(error));
}

std::optional<std::int64_t> TraceParser::take(std::int64_t ms) {
    ++timed_;
    return companion_ ? companion_->take(ms) : std::nullopt;
}

bool TraceParser::at_read_point() const {
    return line_was_whole_ && depth_ == 0 && orphan_ == Orphan::none && !array_ended_;
}

ReadPoint TraceParser::read_point() const {
    return ReadPoint{lines_.offset(), number_, timed_, array_started_, late_};
}

bool TraceParser::step(Event& event) {
    line_was_whole_ = false;
    if (finished_) return false;
    if (!lines_done_) {
        std::string_view raw;
        bool whole = false;
        if (lines_.next(raw, whole)) {
            ++number_;
            if (whole) {
                line_was_whole_ = true;
                return feed(strip_spaces(raw), event);
            }
            lines_done_ = true;
            closing_ = depth_;
            return last_line(raw, event);
        }
        lines_done_ = true;
        closing_ = depth_;
    }
    return closing_exit(event);
}

bool TraceParser::closing_exit(Event& event) {
    while (closing_ > 0) {
        const Open& open = open_[--closing_];
        if (open.members == 5 && open.state != State::brace) {
            event = Event{EventKind::exit, closing_, fields_of(open), nullptr};
            return true;
        }
    }
    finished_ = true;
    return false;
}

bool TraceParser::last_line(std::string_view raw, Event& event) {
    // The writer puts a record into the file at once and its line end only
    // with the next write: a whole record is kept. No line cut short can
    // read as one: it ends before its closing brace or inside its message.
    const std::string_view text = strip_spaces(raw);
    if (starts_with(text, "{ ") && ends_with(text, '}')) {
        try {
            if (feed(text, event)) {
                closing_ = depth_;
                return true;
            }
        } catch (const TraceFormatError&) {
        }
    }
    // A line the writer had not finished: dropped, but it must look like
    // the start of one.
    static constexpr std::string_view kLineStarts = "[],{}\"";
    if (!text.empty() && kLineStarts.find(text.front()) == std::string_view::npos) {
        fail("unexpected text ", raw);
    }
    return closing_exit(event);
}

bool TraceParser::feed(std::string_view text, Event& event) {
    if (depth_ > 0) return scope_line(open_[depth_ - 1], text, event);
    return top_line(text, event);
}

bool TraceParser::top_line(std::string_view text, Event& event) {
    if (number_ == 1 && (text == "{" || text == "]," || is_closing_brace(text) || starts_with(text, "{ "))) {
        // Opened late, inside scopes whose enter records were lost.
        array_started_ = late_ = true;
    }
    if (orphan_ != Orphan::none) {
        orphan_line(text);
    } else if (starts_with(text, "{ ")) {
        instant(text, 0, event);
        return true;
    } else if (array_ended_) {
        fail("text after the end of the trace");
    } else if (text == "[") {
        if (array_started_) fail("a second \"[\" inside the trace");
        array_started_ = true;
    } else if (!array_started_) {
        fail("not a trace file: it does not begin with \"[\"");
    } else if (text == "{") {
        push();
    } else if (text == ",") {
        // between two top-level scopes
    } else if (text == "]") {
        array_ended_ = true;
    } else if (late_ && text == "],") {
        orphan_ = Orphan::ts_exit;
    } else if (late_ && is_closing_brace(text)) {
        // the closing brace of a scope whose exit was lost too
    } else {
        fail("unexpected line ", text);
    }
    return false;
}

void TraceParser::orphan_line(std::string_view text) {
    // The exit of a scope whose enter is not in the file: checked, and
    // passed over; its time still has its companion entry.
    if (orphan_ == Orphan::ts_exit) {
        std::int64_t ts_exit = 0;
        if (!ts_exit_value(text, ts_exit)) fail("expected \"ts_exit\", found ", text);
        take(ts_exit);
        orphan_ = Orphan::brace;
    } else if (is_closing_brace(text)) {
        orphan_ = Orphan::none;
    } else {
        fail("expected the closing \"}\" of a scope, found ", text);
    }
}

TraceParser::Open& TraceParser::push() {
    if (depth_ == open_.size()) open_.emplace_back();
    Open& open = open_[depth_++];
    open.members = 0;
    open.state = State::members;
    open.ts_exit.reset();
    open.ts_exit_ns.reset();
    open.ts_enter_ns.reset();
    return open;
}

const ScopeFields* TraceParser::fields_of(const Open& open) {
    scope_ = ScopeFields{open.invoker, open.file, open.args, open.line, open.ts_enter,
                         open.ts_exit, open.ts_enter_ns, open.ts_exit_ns};
    return &scope_;
}

bool TraceParser::scope_line(Open& open, std::string_view text, Event& event) {
    switch (open.state) {
        case State::events:
            if (starts_with(text, "{ ")) {
                instant(text, depth_, event);
                return true;
            }
            if (text == "{") {
                push();
            } else if (text == "],") {
                open.state = State::ts_exit;
            } else {
                fail("unexpected line ", text, " in a scope's events");
            }
            return false;
        case State::members:
            return member(open, text, event);
        case State::ts_exit: {
            std::int64_t ts_exit = 0;
            if (!ts_exit_value(text, ts_exit)) fail("expected \"ts_exit\", found ", text);
            open.ts_exit = ts_exit;
            open.ts_exit_ns = take(ts_exit);
            open.state = State::brace;
            event = Event{EventKind::exit, depth_ - 1, fields_of(open), nullptr};
            return true;
        }
        case State::brace:
            if (!is_closing_brace(text)) fail("expected the closing \"}\" of a scope, found ", text);
            --depth_;
            return false;
    }
    return false;
}

bool TraceParser::member(Open& open, std::string_view text, Event& event) {
    if (open.members == 5) {
        if (text != "\"events\": [") fail("expected \"events\", found ", text);
        open.state = State::events;
        return false;
    }
    const auto index = static_cast<std::size_t>(open.members);
    const std::string_view key = kMemberKeys[index];
    const std::string_view prefix = kMemberPrefixes[index];
    if (!(starts_with(text, prefix) && ends_with(text, ','))) {
        fail("expected \"" + std::string(key) + "\", found ", text);
    }
    const std::string_view raw = text.substr(prefix.size(), text.size() - prefix.size() - 1);
    switch (index) {
        case 0: string_value(key, raw, open.invoker); break;
        case 1: string_value(key, raw, open.file); break;
        case 2: open.line = integer_value(key, raw, true); break;
        case 3: open.ts_enter = integer_value(key, raw, false); break;
        default: string_value(key, raw, open.args); break;
    }
    if (++open.members < 5) return false;
    open.ts_enter_ns = take(open.ts_enter);
    // The enter record is whole: the scope counts from here on, even if
    // its thread never closed it.
    event = Event{EventKind::enter, depth_ - 1, fields_of(open), nullptr};
    return true;
}

std::int64_t TraceParser::integer_value(std::string_view key, std::string_view raw, bool is_line) {
    const bool negative = is_line && starts_with(raw, "-");
    const std::string_view digits = negative ? raw.substr(1) : raw;
    std::uint64_t number = 0;
    // A line number beyond 64 bits, or a time beyond the writer's unsigned
    // 64-bit clock, is not something the writer can produce either.
    const bool fits = all_digits(digits) && digits.size() <= 20 && unsigned_value(digits, number) &&
                      (!is_line || number <= (negative ? std::uint64_t{1} << 63 : (std::uint64_t{1} << 63) - 1));
    if (!fits) fail("\"" + std::string(key) + "\" is not an integer: ", raw);
    return negative ? static_cast<std::int64_t>(0 - number) : static_cast<std::int64_t>(number);
}

void TraceParser::string_value(std::string_view key, std::string_view raw, std::string& out) {
    out.clear();
    if (raw.size() >= 2 && raw.front() == '"' && raw.back() == '"') {
        const std::string_view inner = raw.substr(1, raw.size() - 2);
        if (inner.find_first_of("\\\"") == std::string_view::npos) {
            append_replacing(out, inner);  // nothing escaped: the common case
            return;
        }
        if (decode_string_literal(raw, out)) return;
    }
    fail("\"" + std::string(key) + "\" is not a string: ", raw);
}

void TraceParser::instant(std::string_view text, std::size_t depth, Event& event) {
    const std::string_view body = ends_with(text, ',') ? text.substr(0, text.size() - 1) : text;
    if (!parse_instant_members(body, record_)) fail("not an instant record: ", text);
    instant_.ts = record_.ts;
    instant_.invoker = record_.invoker;
    instant_.file = record_.file;
    instant_.line = record_.line;
    instant_.args = record_.args;
    instant_.ts_ns = take(record_.ts);
    event = Event{EventKind::record, depth, nullptr, &instant_};
}

}  // namespace vorn::reader
