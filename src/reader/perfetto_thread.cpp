#include "reader/perfetto_thread.h"

#include <cmath>
#include <unordered_map>

#include "reader/display_times.h"
#include "reader/perfetto_wire.h"

namespace vorn::reader {
namespace {

using perfetto::append_bytes;
using perfetto::append_uint;

constexpr std::size_t kPiece = 1 << 16;  // written at a time
constexpr std::int64_t kNsPerMs = 1'000'000;
constexpr std::string_view kSpanInvoker = "span";

// TracePacket (Trace.packet is field 1 of the trace).
constexpr std::uint32_t kPacket = 1;
constexpr std::uint32_t kTimestamp = 8;
constexpr std::uint32_t kSequenceId = 10;  // trusted_packet_sequence_id
constexpr std::uint32_t kTrackEvent = 11;
constexpr std::uint32_t kInternedData = 12;
constexpr std::uint32_t kSequenceFlags = 13;
constexpr std::uint64_t kNeedsIncrementalState = 2;
// TrackEvent.
constexpr std::uint32_t kCategoryIids = 3;
constexpr std::uint32_t kDebugAnnotations = 4;
constexpr std::uint32_t kType = 9;
constexpr std::uint32_t kNameIid = 10;
constexpr std::uint32_t kSourceLocationIid = 34;
constexpr std::uint64_t kSliceBegin = 1;
constexpr std::uint64_t kSliceEnd = 2;
constexpr std::uint64_t kInstant = 3;
// DebugAnnotation.
constexpr std::uint32_t kAnnotationNameIid = 1;
constexpr std::uint32_t kBoolValue = 2;
constexpr std::uint32_t kIntValue = 4;
constexpr std::uint32_t kStringValue = 6;
// InternedData; EventName and SourceLocation begin with iid = 1.
constexpr std::uint32_t kEventNames = 2;
constexpr std::uint32_t kSourceLocations = 4;
constexpr std::uint32_t kIid = 1;
constexpr std::uint32_t kInternedName = 2;
constexpr std::uint32_t kLocationFile = 2;
constexpr std::uint32_t kLocationFunction = 3;
constexpr std::uint32_t kLocationLine = 4;

// What the sequence's first packet interned, by iid: the categories, and
// the debug annotation names.
constexpr std::uint64_t kScopeCategory = 1;
constexpr std::uint64_t kLogCategory = 2;
constexpr std::uint64_t kMessage = 1;
constexpr std::uint64_t kInvoker = 2;
constexpr std::uint64_t kFile = 3;
constexpr std::uint64_t kLine = 4;
constexpr std::uint64_t kNeverClosed = 5;

struct TextHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const noexcept { return std::hash<std::string_view>{}(text); }
};
template <typename Value>
using TextMap = std::unordered_map<std::string, Value, TextHash, std::equal_to<>>;

class Packets : public PlacedSink {
public:
    Packets(const PerfettoThread& thread, const std::function<void(std::string_view)>& write,
            PerfettoThreadResult& result)
        : thread_(thread), write_(write), result_(result) {
        out_.reserve(kPiece + 4096);
        append_uint(sequence_fields_, kSequenceId, thread.sequence);
        append_uint(sequence_fields_, kSequenceFlags, kNeedsIncrementalState);
        std::string end;
        append_uint(end, kType, kSliceEnd);
        append_bytes(end_, kTrackEvent, end);
        // A scope that never closed is known as such only at the file's
        // end, long after its begin was written: the mark goes on its end
        // event, whose annotations readers merge into the slice's.
        std::string mark;
        append_uint(mark, kAnnotationNameIid, kNeverClosed);
        append_uint(mark, kBoolValue, 1);
        append_bytes(end, kDebugAnnotations, mark);
        append_bytes(end_never_closed_, kTrackEvent, end);
        append_uint(begin_scope_, kType, kSliceBegin);
        append_uint(begin_scope_, kCategoryIids, kScopeCategory);
        append_uint(instant_log_, kType, kInstant);
        append_uint(instant_log_, kCategoryIids, kLogCategory);
    }

    void placed(const HeldEvent& event, double time, double) override {
        std::int64_t ns = event.ns ? *event.ns + thread_.moved * kNsPerMs
                                   : static_cast<std::int64_t>(std::nearbyint(
                                         (time + static_cast<double>(thread_.moved)) * static_cast<double>(kNsPerMs)));
        if (result_.last && ns < *result_.last) ns = *result_.last;  // a clock set back: never before its predecessor
        result_.last = ns;
        body_.clear();
        append_uint(body_, kTimestamp, static_cast<std::uint64_t>(ns));
        body_ += sequence_fields_;
        if (event.kind == EventKind::exit) {
            body_ += event.ts_exit ? end_ : end_never_closed_;
            emit();
            return;
        }
        interned_.clear();
        const std::string_view name = event.args.empty() ? std::string_view(event.invoker) : event.args;
        const std::uint64_t name_iid = name_iid_of(name);
        site_key(event);
        event_.clear();
        if (event.kind == EventKind::enter) {
            event_ += begin_scope_;
            append_uint(event_, kNameIid, name_iid);
            append_uint(event_, kSourceLocationIid, location_iid_of(event));
        } else {
            event_ += instant_log_;
            append_uint(event_, kNameIid, name_iid);
            append_string_annotation(event_, kMessage, event.args);
            event_ += site_annotations(event);
            if (event.invoker == kSpanInvoker) result_.span_records.push_back({ns, event.args, event.ts});
        }
        if (!interned_.empty()) append_bytes(body_, kInternedData, interned_);
        append_bytes(body_, kTrackEvent, event_);
        emit();
        // Dropped, and the sequence started afresh, so that a thread of
        // millions of distinct messages is written in bounded memory.
        if (names_.size() + locations_.size() + record_sites_.size() >= thread_.interning_limit) {
            names_.clear();
            locations_.clear();
            record_sites_.clear();
            out_ += thread_.cleared_packet;
        }
    }

    void flush() {
        if (!out_.empty()) write_(out_);
        out_.clear();
    }

private:
    void emit() {
        append_bytes(out_, kPacket, body_);
        if (out_.size() >= kPiece) flush();
    }

    // Iids go on rising after the tables are dropped: an iid is never
    // given a second value on its sequence.
    std::uint64_t name_iid_of(std::string_view name) {
        if (const auto found = names_.find(name); found != names_.end()) return found->second;
        const std::uint64_t iid = next_name_++;
        names_.emplace(name, iid);
        entry_.clear();
        append_uint(entry_, kIid, iid);
        append_bytes(entry_, kInternedName, name);
        append_bytes(interned_, kEventNames, entry_);
        return iid;
    }

    std::uint64_t location_iid_of(const HeldEvent& event) {
        if (const auto found = locations_.find(key_); found != locations_.end()) return found->second;
        const std::uint64_t iid = next_location_++;
        locations_.emplace(key_, iid);
        entry_.clear();
        append_uint(entry_, kIid, iid);
        append_bytes(entry_, kLocationFile, event.file);
        append_bytes(entry_, kLocationFunction, event.invoker);
        if (event.line >= 0 && event.line < (std::int64_t{1} << 32)) {  // a line that is no uint32 is left out
            append_uint(entry_, kLocationLine, static_cast<std::uint64_t>(event.line));
        }
        append_bytes(interned_, kSourceLocations, entry_);
        return iid;
    }

    // The annotations of a record's invoker, file and line, made once per
    // place in the source.
    const std::string& site_annotations(const HeldEvent& event) {
        if (const auto found = record_sites_.find(key_); found != record_sites_.end()) return found->second;
        std::string annotations;
        append_string_annotation(annotations, kInvoker, event.invoker);
        append_string_annotation(annotations, kFile, event.file);
        entry_.clear();
        append_uint(entry_, kAnnotationNameIid, kLine);
        append_uint(entry_, kIntValue, static_cast<std::uint64_t>(event.line));
        append_bytes(annotations, kDebugAnnotations, entry_);
        return record_sites_.emplace(key_, std::move(annotations)).first->second;
    }

    void append_string_annotation(std::string& out, std::uint64_t name_iid, std::string_view value) {
        entry_.clear();
        append_uint(entry_, kAnnotationNameIid, name_iid);
        append_bytes(entry_, kStringValue, value);
        append_bytes(out, kDebugAnnotations, entry_);
    }

    // The invoker, file and line as one key: lengths first, so that no two
    // places share one.
    void site_key(const HeldEvent& event) {
        key_.clear();
        perfetto::append_varint(key_, event.invoker.size());
        key_ += event.invoker;
        perfetto::append_varint(key_, event.file.size());
        key_ += event.file;
        perfetto::append_varint(key_, static_cast<std::uint64_t>(event.line));
    }

    const PerfettoThread& thread_;
    const std::function<void(std::string_view)>& write_;
    PerfettoThreadResult& result_;
    std::string sequence_fields_;
    std::string end_;
    std::string end_never_closed_;
    std::string begin_scope_;
    std::string instant_log_;
    TextMap<std::uint64_t> names_;
    TextMap<std::uint64_t> locations_;
    TextMap<std::string> record_sites_;
    std::uint64_t next_name_ = 1;
    std::uint64_t next_location_ = 1;
    std::string out_;
    std::string body_;
    std::string event_;
    std::string interned_;
    std::string entry_;
    std::string key_;
};

}  // namespace

PerfettoThreadResult write_perfetto_thread(TraceParser& parser, const PerfettoThread& thread,
                                           const std::function<void(std::string_view)>& write) {
    PerfettoThreadResult result;
    Packets packets(thread, write, result);
    place_file(parser, packets, thread.exact, true);
    packets.flush();
    return result;
}

}  // namespace vorn::reader
