#include "reader/trace_event_export.h"

#include "reader/display_times.h"

namespace vorn::reader {
namespace {

constexpr std::size_t kPiece = 1 << 16;  // written at a time: small enough that a caller need not hold much
constexpr std::string_view kNeverClosed = " (never closed)";
constexpr std::string_view kSpanInvoker = "span";
constexpr std::string_view kHolderScope = "vorn spans";
constexpr std::string_view kHolderFile = "<vorn.span>";

// Bytes that stand for themselves in a JSON string.
struct PlainBytes {
    bool plain[256] = {};
    constexpr PlainBytes() {
        for (unsigned byte = 0; byte < 256; ++byte) plain[byte] = byte >= 0x20 && byte != '"' && byte != '\\';
    }
};
constexpr PlainBytes kPlain;

void append_integer(std::string& out, std::int64_t value) { append_number(out, JsonNumber::of_integer(value)); }

class EventLines : public PlacedSink {
public:
    EventLines(const ThreadExport& thread, const std::function<void(std::string_view)>& write,
               ThreadExportResult& result)
        : thread_(thread), write_(write), result_(result) {
        out_.reserve(kPiece + 4096);
    }

    void placed(const HeldEvent& event, double time, double start) override {
        const bool scope = event.kind == EventKind::exit;
        if (result_.status == ThreadExportResult::Status::empty) {
            const bool holder = scope && event.args == kHolderScope && event.invoker == kSpanInvoker &&
                                event.file == kHolderFile;
            result_.status = holder ? ThreadExportResult::Status::span_logger : ThreadExportResult::Status::written;
            if (!holder) out_ += thread_.thread_name_line;
        }
        if (result_.status == ThreadExportResult::Status::span_logger) return;
        const auto moved = static_cast<double>(thread_.moved);
        const JsonNumber at = microseconds(start + moved);
        out_ += ",\n{\"name\": ";
        const std::string_view name = event.args.empty() ? std::string_view(event.invoker) : event.args;
        if (scope && !event.ts_exit) {
            name_.assign(name);
            name_ += kNeverClosed;
            append_json_string(out_, name_);
        } else {
            append_json_string(out_, name);
        }
        JsonNumber reach = at;
        if (scope) {
            JsonNumber duration = microseconds(time + moved) - at;
            if (!duration.integer) duration.value = round_thousandths(duration.value);
            out_ += ", \"cat\": \"scope\", \"ph\": \"X\", \"ts\": ";
            append_number(out_, at);
            out_ += ", \"dur\": ";
            append_number(out_, duration);
            reach = at + duration;
        } else {
            out_ += ", \"cat\": \"log\", \"ph\": \"I\", \"s\": \"t\", \"ts\": ";
            append_number(out_, at);
        }
        out_ += ", \"pid\": ";
        append_integer(out_, thread_.pid);
        out_ += ", \"tid\": ";
        append_integer(out_, thread_.tid);
        out_ += ", \"args\": {\"message\": ";
        append_json_string(out_, event.args);
        out_ += ", \"invoker\": ";
        append_json_string(out_, event.invoker);
        out_ += ", \"file\": ";
        append_json_string(out_, event.file);
        out_ += ", \"line\": ";
        append_integer(out_, event.line);
        if (scope) {
            out_ += ", \"ts_enter_ms\": ";
            append_integer(out_, event.ts);
            if (event.ts_exit) {
                out_ += ", \"ts_exit_ms\": ";
                append_integer(out_, *event.ts_exit);
            } else {
                out_ += ", \"never_closed\": true";
            }
        } else {
            out_ += ", \"ts_ms\": ";
            append_integer(out_, event.ts);
            if (event.invoker == kSpanInvoker) result_.span_records.push_back({at, event.args, event.ts});
        }
        out_ += "}}";
        if (!result_.reached || reach > result_.last) {
            result_.last = reach;
            result_.reached = true;
        }
        if (out_.size() >= kPiece) flush();
    }

    void flush() {
        if (!out_.empty()) write_(out_);
        out_.clear();
    }

private:
    const ThreadExport& thread_;
    const std::function<void(std::string_view)>& write_;
    ThreadExportResult& result_;
    std::string out_;
    std::string name_;
};

}  // namespace

void append_json_string(std::string& out, std::string_view text) {
    static constexpr char hex[] = "0123456789abcdef";
    out.push_back('"');
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t run = at;
        while (run < text.size() && kPlain.plain[static_cast<unsigned char>(text[run])]) ++run;
        out.append(text.substr(at, run - at));
        if (run == text.size()) break;
        const auto byte = static_cast<unsigned char>(text[run]);
        switch (byte) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            default:
                out += "\\u00";
                out.push_back(hex[byte >> 4]);
                out.push_back(hex[byte & 0x0F]);
        }
        at = run + 1;
    }
    out.push_back('"');
}

ThreadExportResult export_thread(TraceParser& parser, const ThreadExport& thread,
                                 const std::function<void(std::string_view)>& write) {
    ThreadExportResult result;
    EventLines lines(thread, write, result);
    place_file(parser, lines, thread.exact);
    lines.flush();
    return result;
}

}  // namespace vorn::reader
