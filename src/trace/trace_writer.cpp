#include "trace/trace_writer.h"

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

#include <pthread.h>

#include "trace/clock.h"
#include "trace/indented_line.h"
#include "trace/json_escape.h"
#include "trace/log_file.h"
#include "trace/record_buffer.h"

namespace vorn {
namespace {

// Bytes of a line at full indentation holding `text` bytes, with its "\n".
constexpr std::size_t line_size(std::size_t text) { return kMaxIndentation + text + 1; }

constexpr std::size_t kPendingLineSize = kInstantRecordLimit + 2;
constexpr std::size_t kEscapedIdentityMax = kIdentityEscapeCapacity - 2;
constexpr std::size_t kEscapedMessageMax = kMessageEscapeCapacity - 2;

// The largest output of one operation: an enter record behind its "[" or ","
// prelude and the released pending line.
constexpr std::size_t kLargestEnterRecord =
    2 + (kInstantRecordLimit + 2) +
    line_size(1) +                                   // {
    line_size(12 + kEscapedIdentityMax + 2) +        // "invoker": "...",
    line_size(9 + kEscapedIdentityMax + 2) +         // "file": "...",
    line_size(8 + 11 + 1) +                          // "line": -2147483648,
    line_size(12 + 20 + 1) +                         // "ts_enter": 18446744073709551615,
    line_size(9 + kEscapedMessageMax + 2) +          // "args": "...",
    line_size(11);                                   // "events": [
constexpr std::size_t kLargestExitRecord =
    (kInstantRecordLimit + 1) + line_size(2) + line_size(11 + 20) + line_size(1) + 2;
constexpr std::size_t kStagedSize = kLargestEnterRecord + 1;
static_assert(kLargestExitRecord < kStagedSize);

// Writer state of one thread. `depth` is 0 while no scope is open and
// 2k + 1 while k scopes are open.
struct WriterState {
    std::int32_t depth = 0;
    bool array_started = false;
    std::int32_t pending_length = 0;
    char pending_line[kPendingLineSize];
    char staged[kStagedSize];  // the current operation's bytes
};

void release_pending_at_thread_end(WriterState& state) noexcept;

// Owns the thread's writer state; its thread-exit destructor writes the
// pending line so that nothing logged is lost.
struct WriterStateOwner {
    std::unique_ptr<WriterState> state;
    ~WriterStateOwner();
};

thread_local WriterState* this_thread_writer = nullptr;
thread_local bool this_thread_writer_gone = false;

WriterStateOwner::~WriterStateOwner() {
    if (state) release_pending_at_thread_end(*state);
    this_thread_writer = nullptr;
    this_thread_writer_gone = true;
}

// pthread_atfork child handler: the state inherited from the parent describes
// the parent's file, so the child starts afresh without writing anything.
void drop_inherited_writer_state() {
    WriterState* state = this_thread_writer;
    if (state == nullptr) return;
    state->depth = 0;
    state->array_started = false;
    state->pending_length = 0;
}

// The calling thread's writer state, created at first touch; nullptr once
// the thread has destroyed it.
WriterState* writer_state() {
    if (this_thread_writer != nullptr || this_thread_writer_gone) return this_thread_writer;
    static const bool fork_handler_registered =
        pthread_atfork(nullptr, nullptr, &drop_inherited_writer_state) == 0;
    static_cast<void>(fork_handler_registered);
    // The log file's state is set up first so that thread exit destroys it
    // after this one, whose destructor still writes through it.
    static_cast<void>(current_log_stream());
    thread_local WriterStateOwner owner;
    // Default-initialised: the counters start at zero, the buffers are not
    // cleared (they are only read as far as they have been written).
    owner.state = std::make_unique_for_overwrite<WriterState>();
    this_thread_writer = owner.state.get();
    return this_thread_writer;
}

// Hands the composed bytes to the file in one write, replacing its last
// `tail` bytes.
void write_staged(const RecordBuffer& out, std::uint64_t tail) noexcept {
    LogStream* stream = current_log_stream();
    if (stream != nullptr) stream->replace_tail(tail, out.data(), out.size());
}

// Moves the pending line, followed by `terminator`, into `out`.
void stage_pending_line(WriterState& state, RecordBuffer& out, const char* terminator) noexcept {
    if (state.pending_length <= 0) return;
    out.append(state.pending_line, static_cast<std::size_t>(state.pending_length));
    out.append(terminator);
    state.pending_length = 0;
}

// A scope's closing brace becomes the pending element of its parent's array.
void hold_closing_brace(WriterState& state) noexcept {
    RecordBuffer pending(state.pending_line, sizeof state.pending_line);
    append_indentation(pending, state.depth);
    pending.append("}", 1);
    state.pending_length = static_cast<std::int32_t>(pending.size());
}

// Texts of a record, escaped.
struct EscapedTexts {
    char invoker[kIdentityEscapeCapacity];
    char file[kIdentityEscapeCapacity];
    char message[kMessageEscapeCapacity];
    std::size_t message_length;

    EscapedTexts(const char* raw_invoker, const char* raw_file, const char* raw_message,
                 std::size_t raw_message_length) noexcept {
        escape_text(raw_invoker, invoker, sizeof invoker);
        escape_text(raw_file, file, sizeof file);
        message_length = json_escape(raw_message, clamp(raw_message_length), message, sizeof message);
    }

    static std::int32_t clamp(std::size_t length) noexcept {
        return length > INT32_MAX ? INT32_MAX : static_cast<std::int32_t>(length);
    }
    static void escape_text(const char* text, char* destination, std::size_t capacity) noexcept {
        json_escape(text, clamp(std::strlen(text)), destination, capacity);
    }
};

// Fills the pending line with an instant record. A record longer than the
// limit loses the end of its message text, cut at an escape and character
// boundary, so that it still ends with its closing quote and brace.
void hold_instant_record(WriterState& state, std::uint64_t ts, const EscapedTexts& texts,
                         std::int32_t line) noexcept {
    RecordBuffer record(state.pending_line, kInstantRecordLimit + 1);
    append_indentation(record, state.depth);
    record.append_format("{ \"ts\": %" PRIu64 ", \"invoker\": \"%s\", \"file\": \"%s\", \"line\": %d, \"args\": \"",
                         ts, texts.invoker, texts.file, line);
    constexpr char closing[] = "\" }";
    constexpr std::size_t closing_length = sizeof closing - 1;
    const std::size_t room = record.room() > closing_length ? record.room() - closing_length : 0;
    record.append(texts.message, escaped_cut_length(texts.message, texts.message_length, room));
    record.append(closing, closing_length);
    state.pending_length = static_cast<std::int32_t>(record.size());
}

void release_pending_at_thread_end(WriterState& state) noexcept {
    if (state.pending_length <= 0) return;
    try {
        ensure_log_file();
    } catch (...) {
        // The directory is gone for good; the line is lost like any write
        // to a file that cannot be opened.
    }
    RecordBuffer out(state.staged, sizeof state.staged);
    stage_pending_line(state, out, "\n");
    write_staged(out, 0);
}

}  // namespace

void write_enter_record(const char* invoker, const char* file, std::int32_t line,
                        const char* message, std::size_t message_length) {
    ensure_log_file();  // may throw; nothing has changed yet
    WriterState* state = writer_state();
    if (state == nullptr) return;
    const std::uint64_t ts_enter = elapsed_ms();
    const EscapedTexts texts(invoker, file, message, message_length);

    RecordBuffer out(state->staged, sizeof state->staged);
    std::uint64_t tail = 0;
    if (!state->array_started) {
        out.append("[\n");
        state->array_started = true;
        state->depth = 1;
    } else if (state->depth == 0) {
        // The file ends with the "]\n" of its last top-level scope: it
        // becomes ",\n". A file opened since then holds no "]" to replace,
        // so it starts an array of its own.
        const LogStream* stream = current_log_stream();
        if (stream != nullptr && stream->is_open() && stream->length() < 2) {
            out.append("[\n");
        } else {
            out.append(",\n");
            tail = 2;
        }
        state->depth = 1;
    }
    stage_pending_line(*state, out, ",\n");
    write_indented_line(out, state->depth, "{");
    state->depth += 1;
    write_indented_format(out, state->depth, "%s: \"%s\",", "\"invoker\"", texts.invoker);
    write_indented_format(out, state->depth, "%s: \"%s\",", "\"file\"", texts.file);
    write_indented_format(out, state->depth, "%s: %d,", "\"line\"", line);
    write_indented_format(out, state->depth, "%s: %" PRIu64 ",", "\"ts_enter\"", ts_enter);
    write_indented_format(out, state->depth, "%s: \"%s\",", "\"args\"", texts.message);
    write_indented_line(out, state->depth, "\"events\": [");
    state->depth += 1;
    state->pending_length = 0;
    write_staged(out, tail);
}

void write_instant_record(std::uint64_t ts, const char* invoker, const char* file,
                          std::int32_t line, const char* message, std::size_t message_length) {
    WriterState* state = writer_state();
    if (state == nullptr) return;
    const EscapedTexts texts(invoker, file, message, message_length);
    if (state->pending_length > 0) {
        ensure_log_file();  // may throw; nothing has changed yet
        RecordBuffer out(state->staged, sizeof state->staged);
        stage_pending_line(*state, out, ",\n");
        write_staged(out, 0);
    }
    hold_instant_record(*state, ts, texts, line);
}

void write_exit_record(std::uint64_t ts_exit) noexcept {
    WriterState* state = this_thread_writer;
    if (state == nullptr || state->depth < 2) return;
    try {
        ensure_log_file();
    } catch (...) {
        // Only possible when the file is not open and its directory cannot be
        // made again: the record is lost as if the file could not be opened,
        // and the state still closes the scope.
    }
    RecordBuffer out(state->staged, sizeof state->staged);
    stage_pending_line(*state, out, "\n");
    state->depth -= 1;
    write_indented_line(out, state->depth, "],");
    char ts_exit_line[64];
    std::snprintf(ts_exit_line, sizeof ts_exit_line, "\"ts_exit\": %" PRIu64, ts_exit);
    write_indented_line(out, state->depth, ts_exit_line);
    state->depth -= 1;
    hold_closing_brace(*state);
    if (state->depth == 1) {
        stage_pending_line(*state, out, "\n");
        out.append("]\n");
        state->depth = 0;
    }
    write_staged(out, 0);
}

}  // namespace vorn
