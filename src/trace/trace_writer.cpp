#include "trace/trace_writer.h"

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>

#include <pthread.h>

#include "trace/blocking_call.h"
#include "trace/clock.h"
#include "trace/indented_line.h"
#include "trace/json_escape.h"
#include "trace/log_file.h"
#include "trace/precise_times_file.h"
#include "trace/record_buffer.h"

namespace vorn {
namespace {

// Bytes of a line at full indentation holding `text` bytes, with its "\n".
constexpr std::size_t line_size(std::size_t text) { return kMaxIndentation + text + 1; }

constexpr std::size_t kRecordLineSize = kInstantRecordLimit + 2;
constexpr std::size_t kEscapedIdentityMax = kIdentityEscapeCapacity - 2;
constexpr std::size_t kEscapedMessageMax = kMessageEscapeCapacity - 2;

// The largest output of one operation: an enter record behind its "[" or ","
// prelude and the line end of the element before it.
constexpr std::size_t kLargestEnterRecord =
    2 + 2 +
    line_size(1) +                                   // {
    line_size(12 + kEscapedIdentityMax + 2) +        // "invoker": "...",
    line_size(9 + kEscapedIdentityMax + 2) +         // "file": "...",
    line_size(8 + 11 + 1) +                          // "line": -2147483648,
    line_size(12 + 20 + 1) +                         // "ts_enter": 18446744073709551615,
    line_size(9 + kEscapedMessageMax + 2) +          // "args": "...",
    line_size(11);                                   // "events": [
constexpr std::size_t kLargestExitRecord = 1 + line_size(2) + line_size(11 + 20) + line_size(1) + 2;
constexpr std::size_t kLargestInstantRecord = 2 + kInstantRecordLimit;  // behind a "[" or "," prelude
constexpr std::size_t kStagedSize = kLargestEnterRecord + 1;
static_assert(kLargestExitRecord < kStagedSize && kLargestInstantRecord < kStagedSize);

// Texts of a record, escaped. They live in the thread's writer state, not on
// the stack: a call may come from deep inside a recursion, where the host
// leaves only a little stack.
struct EscapedTexts {
    char invoker[kIdentityEscapeCapacity];
    char file[kIdentityEscapeCapacity];
    char message[kMessageEscapeCapacity];
    std::size_t invoker_length;
    std::size_t file_length;
    std::size_t message_length;
};

// Writer state of one thread. `depth` is 0 while no scope is open and
// 2k + 1 while k scopes are open.
//
// The last element of an array (an instant record, or a child scope's
// closing brace) is complete only once it is known whether another element
// follows it. It is written at once all the same, without its line end, and
// `element_open` says so: the next operation begins its write with the ",\n"
// or "\n" that the element was waiting for. The file ends up with the same
// bytes as if the element had been held back, but a process killed after a
// `log` keeps that record.
struct WriterState {
    std::int32_t depth = 0;
    bool array_started = false;
    bool element_open = false;
    char record_line[kRecordLineSize];  // an instant record being composed
    char staged[kStagedSize];           // the current operation's bytes
    EscapedTexts texts;                 // the current operation's texts
};

void end_open_element_at_thread_end(WriterState& state) noexcept;

// Owns the thread's writer state; its thread-exit destructor ends the
// line of the element written last, so that the file ends in a line end
// (and in "]" when that element is a top-level record).
struct WriterStateOwner {
    std::unique_ptr<WriterState> state;
    ~WriterStateOwner();
};

thread_local WriterState* this_thread_writer = nullptr;
thread_local bool this_thread_writer_gone = false;

WriterStateOwner::~WriterStateOwner() {
    if (state) end_open_element_at_thread_end(*state);
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
    state->element_open = false;
}

// The calling thread's writer state, created at first touch; nullptr once
// the thread has destroyed it.
WriterState* writer_state() noexcept {
    if (this_thread_writer != nullptr || this_thread_writer_gone) return this_thread_writer;
    static const bool fork_handler_registered =
        pthread_atfork(nullptr, nullptr, &drop_inherited_writer_state) == 0;
    static_cast<void>(fork_handler_registered);
    // The log file's state is set up first so that thread exit destroys it
    // after this one, whose destructor still writes through it.
    static_cast<void>(current_log_stream());
    thread_local WriterStateOwner owner;
    // Default-initialised: the counters start at zero, the buffers are not
    // cleared (they are only read as far as they have been written). Without
    // memory for it the thread traces nothing, and the next call tries again.
    try {
        owner.state = std::make_unique_for_overwrite<WriterState>();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    this_thread_writer = owner.state.get();
    return this_thread_writer;
}

// Hands the composed bytes to the file in one write, replacing its last
// `tail` bytes. The write may block (a slow or full disk), so other threads
// of the host may run meanwhile: the stream and the bytes belong to this
// thread, and nothing else is touched until the write has returned.
void write_staged(const RecordBuffer& out, std::uint64_t tail) noexcept {
    LogStream* stream = current_log_stream();
    if (stream == nullptr) return;
    const BlockingCall unlocked;
    stream->replace_tail(tail, out.data(), out.size());
}

// As write_staged, for the bytes of an operation that carries a timed
// record; once they have reached the file, the record's precise time is
// kept beside it, so that the companion's entries are exactly the file's
// records.
void write_staged_timed(const RecordBuffer& out, std::uint64_t tail, const ClockReading& time) noexcept {
    write_staged(out, tail);
    const LogStream* stream = current_log_stream();
    if (stream != nullptr && stream->is_open() && !stream->failed()) keep_precise_time(*stream, time.ns);
}

// Ends the line of the element written last, if it is still open, with
// `terminator`: ",\n" when another element follows it, "\n" at the end of
// its array.
// A file opened since then (it could not be opened before) does not hold
// the element, so there is no line to end.
void end_open_element(WriterState& state, RecordBuffer& out, const char* terminator) noexcept {
    if (!state.element_open) return;
    state.element_open = false;
    const LogStream* stream = current_log_stream();
    if (stream != nullptr && stream->is_open() && stream->length() == 0) return;
    out.append(terminator);
}

// A scope's closing brace, the last element of its parent's array so far.
void stage_closing_brace(WriterState& state, RecordBuffer& out) noexcept {
    append_indentation(out, state.depth);
    out.append("}", 1);
    state.element_open = true;
}

std::int32_t clamped_length(std::size_t length) noexcept {
    return length > INT32_MAX ? INT32_MAX : static_cast<std::int32_t>(length);
}

// Escapes the texts of the current operation into the thread's state.
const EscapedTexts& escape_texts(WriterState& state, const char* invoker, const char* file,
                                 const char* message, std::size_t message_length) noexcept {
    EscapedTexts& texts = state.texts;
    texts.invoker_length =
        json_escape(invoker, clamped_length(std::strlen(invoker)), texts.invoker, sizeof texts.invoker);
    texts.file_length = json_escape(file, clamped_length(std::strlen(file)), texts.file, sizeof texts.file);
    texts.message_length =
        json_escape(message, clamped_length(message_length), texts.message, sizeof texts.message);
    return texts;
}

// Records are composed by appending their pieces; printf-style formatting of
// the same text costs several times as much, and a record's fields are only
// texts and integers.

// "00" "01" ... "99": the digits of every number below 100, so that a number
// is written two digits per division. (std::to_chars does the same but, as
// compiled here, copies its table onto the stack on every call, which cost
// more than the conversion itself.)
struct DigitPairs {
    char text[200] = {};
    constexpr DigitPairs() {
        for (int pair = 0; pair < 100; ++pair) {
            text[2 * pair] = static_cast<char>('0' + pair / 10);
            text[2 * pair + 1] = static_cast<char>('0' + pair % 10);
        }
    }
};
constexpr DigitPairs kDigitPairs;

// Appends `value` in decimal, as printf's %d and %lu write it.
//   -1 => "-1",  18446744073709551615u => "18446744073709551615"
//   -2147483648 => "-2147483648"
template <typename Integer>
void append_decimal(RecordBuffer& out, Integer value) noexcept {
    static_assert(std::is_integral_v<Integer>);
    using Unsigned = std::make_unsigned_t<Integer>;
    bool negative = false;
    if constexpr (std::is_signed_v<Integer>) negative = value < 0;
    // Negated in the unsigned type, where the most negative value has a
    // magnitude too.
    Unsigned magnitude = negative ? static_cast<Unsigned>(Unsigned{0} - static_cast<Unsigned>(value))
                                  : static_cast<Unsigned>(value);
    char digits[24];
    char* const end = digits + sizeof digits;
    char* first = end;
    while (magnitude >= 100) {
        first -= 2;
        std::memcpy(first, kDigitPairs.text + 2 * (magnitude % 100), 2);
        magnitude /= 100;
    }
    if (magnitude >= 10) {
        first -= 2;
        std::memcpy(first, kDigitPairs.text + 2 * magnitude, 2);
    } else {
        *--first = static_cast<char>('0' + magnitude);
    }
    if (negative) *--first = '-';
    out.append(first, static_cast<std::size_t>(end - first));
}

// A member line of an enter record whose value is a string.
//   (depth 2, "\"file\": ", "job.py") => "    \"file\": \"job.py\",\n"
// The key is a literal whose length is known here, so it is copied inline.
template <std::size_t KeySize>
void write_text_member(RecordBuffer& out, std::int32_t depth, const char (&key)[KeySize],
                       const char* value, std::size_t value_length) noexcept {
    append_indentation(out, depth);
    out.append(key, KeySize - 1);
    out.append("\"", 1);
    out.append(value, value_length);
    out.append("\",\n", 3);
}

// A member line whose value is a number, followed by `end` (",\n" or "\n").
//   (depth 2, "\"line\": ", 10, ",\n") => "    \"line\": 10,\n"
template <std::size_t KeySize, typename Integer>
void write_number_member(RecordBuffer& out, std::int32_t depth, const char (&key)[KeySize],
                         Integer value, const char* end) noexcept {
    append_indentation(out, depth);
    out.append(key, KeySize - 1);
    append_decimal(out, value);
    out.append(end);
}

// Appends an instant record, without its line end, to `out`. A record longer
// than the limit loses the end of its message text, cut at an escape and
// character boundary, so that it still ends with its closing quote and brace.
void stage_instant_record(WriterState& state, RecordBuffer& out, std::uint64_t ts, const EscapedTexts& texts,
                          std::int32_t line) noexcept {
    RecordBuffer record(state.record_line, kInstantRecordLimit + 1);
    append_indentation(record, state.depth);
    record.append("{ \"ts\": ");
    append_decimal(record, ts);
    record.append(", \"invoker\": \"");
    record.append(texts.invoker, texts.invoker_length);
    record.append("\", \"file\": \"");
    record.append(texts.file, texts.file_length);
    record.append("\", \"line\": ");
    append_decimal(record, line);
    record.append(", \"args\": \"");
    constexpr char closing[] = "\" }";
    constexpr std::size_t closing_length = sizeof closing - 1;
    const std::size_t room = record.room() > closing_length ? record.room() - closing_length : 0;
    record.append(texts.message, escaped_cut_length(texts.message, texts.message_length, room));
    record.append(closing, closing_length);
    out.append(record.data(), record.size());
}

// Makes sure the file is open before a write that must not fail its caller
// (a log, a scope's end, the thread's end). When the directory is gone and
// cannot be made again, the write is lost like any write to a file that
// cannot be opened.
void ensure_log_file_or_lose_the_write() noexcept {
    try {
        ensure_log_file();
    } catch (...) {
    }
}

// Starts the next element of the thread's top-level array, which no scope
// on the thread is inside: "[" for the thread's first element; after a
// record written at this level, the "," that its line waits for; else ","
// over the final "]" of the file. A file opened since the last element holds
// no "]" to replace, so it starts an array of its own. Returns how many bytes
// at the end of the file the staged bytes replace.
std::uint64_t start_top_level_element(WriterState& state, RecordBuffer& out) noexcept {
    const LogStream* stream = current_log_stream();
    const bool new_file = stream != nullptr && stream->is_open() && stream->length() < 2;
    const bool after_open_record = state.element_open;
    state.element_open = false;
    if (!state.array_started || new_file) {
        out.append("[\n");
        state.array_started = true;
        return 0;
    }
    out.append(",\n");
    return after_open_record ? 0 : 2;
}

// At the top level (no scope open) the element written last is a record
// whose array nothing else will close, so the thread's end closes it: the
// file is one whole array again. Inside a scope the file stays open.
void end_open_element_at_thread_end(WriterState& state) noexcept {
    if (!state.element_open) return;
    ensure_log_file_or_lose_the_write();
    RecordBuffer out(state.staged, sizeof state.staged);
    const LogStream* stream = current_log_stream();
    const bool new_file = stream != nullptr && stream->is_open() && stream->length() == 0;
    end_open_element(state, out, "\n");
    if (state.depth == 0 && !new_file) out.append("]\n");
    write_staged(out, 0);
}

}  // namespace

void write_enter_record(const char* invoker, const char* file, std::int32_t line,
                        const char* message, std::size_t message_length) {
    ensure_log_file();  // may throw; nothing has changed yet
    WriterState* state = writer_state();
    if (state == nullptr) return;
    const ClockReading ts_enter = read_clock();
    const EscapedTexts& texts = escape_texts(*state, invoker, file, message, message_length);

    RecordBuffer out(state->staged, sizeof state->staged);
    std::uint64_t tail = 0;
    if (state->depth == 0) {
        tail = start_top_level_element(*state, out);
        state->depth = 1;
    }
    end_open_element(*state, out, ",\n");
    write_indented_line(out, state->depth, "{");
    state->depth += 1;
    write_text_member(out, state->depth, "\"invoker\": ", texts.invoker, texts.invoker_length);
    write_text_member(out, state->depth, "\"file\": ", texts.file, texts.file_length);
    write_number_member(out, state->depth, "\"line\": ", line, ",\n");
    write_number_member(out, state->depth, "\"ts_enter\": ", ts_enter.ms, ",\n");
    write_text_member(out, state->depth, "\"args\": ", texts.message, texts.message_length);
    write_indented_line(out, state->depth, "\"events\": [");
    state->depth += 1;
    write_staged_timed(out, tail, ts_enter);
}

void write_instant_record(const ClockReading& ts, const char* invoker, const char* file,
                          std::int32_t line, const char* message, std::size_t message_length) noexcept {
    WriterState* state = writer_state();
    if (state == nullptr) return;
    const EscapedTexts& texts = escape_texts(*state, invoker, file, message, message_length);
    ensure_log_file_or_lose_the_write();
    RecordBuffer out(state->staged, sizeof state->staged);
    std::uint64_t tail = 0;
    if (state->depth == 0) {
        // No scope is open on this thread (a logger used from another thread,
        // or after this thread's scopes have all ended): the record becomes
        // an element of the top-level array, its line left open like any
        // other last element of an array.
        tail = start_top_level_element(*state, out);
    } else {
        end_open_element(*state, out, ",\n");
    }
    stage_instant_record(*state, out, ts.ms, texts, line);
    state->element_open = true;
    write_staged_timed(out, tail, ts);
}

void write_exit_record(const ClockReading& ts_exit) noexcept {
    WriterState* state = this_thread_writer;
    if (state == nullptr || state->depth < 2) return;
    // The state closes the scope even when the record is lost.
    ensure_log_file_or_lose_the_write();
    RecordBuffer out(state->staged, sizeof state->staged);
    end_open_element(*state, out, "\n");
    state->depth -= 1;
    write_indented_line(out, state->depth, "],");
    write_number_member(out, state->depth, "\"ts_exit\": ", ts_exit.ms, "\n");
    state->depth -= 1;
    stage_closing_brace(*state, out);
    if (state->depth == 1) {
        out.append("\n", 1);
        state->element_open = false;
        out.append("]\n");
        state->depth = 0;
    }
    write_staged_timed(out, 0, ts_exit);
}

std::int32_t open_scope_count() noexcept {
    const WriterState* state = this_thread_writer;
    return state == nullptr ? 0 : state->depth / 2;  // depth is 2k + 1 with k scopes open
}

}  // namespace vorn
