#include "trace/identity_json.h"

#include <charconv>
#include <cstring>
#include <string_view>
#include <system_error>

#include "trace/json_escape.h"

namespace vorn {
namespace {

// json_escape writes whole escapes and whole characters only, and stops
// once fewer than 7 bytes of headroom are left or a character of up to 4
// bytes would not fit. Given this much capacity beyond `room`, an output
// that stopped early is therefore longer than `room`: one of at most `room`
// bytes is the whole text.
constexpr std::size_t kEscapeSlack = 12;

// Appends to a fixed buffer, never past its end; `fits` turns false for
// good once something did not fit.
class Appender {
public:
    Appender(char* data, std::size_t capacity) : data_(data), capacity_(capacity) {}

    void text(const char* s, std::size_t n) {
        if (!fits_ || n > capacity_ - size_) {
            fits_ = false;
            return;
        }
        std::memcpy(data_ + size_, s, n);
        size_ += n;
    }
    template <std::size_t N>
    void literal(const char (&s)[N]) { text(s, N - 1); }
    template <typename Integer>
    void number(Integer value) {
        char digits[24];
        const auto result = std::to_chars(digits, digits + sizeof digits, value);
        text(digits, static_cast<std::size_t>(result.ptr - digits));
    }
    // A JSON string, quoted, of at most `limit` escaped bytes: the text is
    // cut before a character or escape that would pass the limit.
    void string(const char* s, std::size_t n, std::size_t limit) {
        char escaped[400 + kEscapeSlack];
        if (limit > 400) limit = 400;
        if (n > sizeof escaped) n = sizeof escaped;  // escaping never shortens a text
        std::size_t length = json_escape(s, static_cast<std::int32_t>(n), escaped, limit + kEscapeSlack);
        length = escaped_cut_length(escaped, length, limit);
        literal("\"");
        text(escaped, length);
        literal("\"");
    }

    std::size_t size() const { return size_; }
    char* end() { return data_ + size_; }
    std::size_t room() const { return capacity_ - size_; }
    void advance(std::size_t n) { size_ += n; }
    bool fits() const { return fits_; }

private:
    char* data_;
    std::size_t capacity_;
    std::size_t size_ = 0;
    bool fits_ = true;
};

// Longer than any system thread name (15 bytes) or host name (64) can escape to.
constexpr std::size_t kThreadNameLimit = 96;
// Room for any name worth reading, leaving the command line room to spare
// beside the longest host.
constexpr std::size_t kPythonThreadNameLimit = 200;
constexpr std::size_t kHostLimit = 400;
// A boot id is a UUID of 36 characters.
constexpr std::size_t kBootIdLimit = 40;

// The arguments that fit in `room` bytes, as the elements of a JSON array
// (without the brackets), appended to `out`.
void append_arguments(const TraceIdentity& identity, Appender& out, std::size_t room) {
    const char* cursor = identity.command_line;
    const char* const end = cursor + identity.command_line_length;
    std::size_t used = 0;
    bool first = true;
    while (cursor < end) {
        const void* nul = std::memchr(cursor, '\0', static_cast<std::size_t>(end - cursor));
        const char* arg_end = nul != nullptr ? static_cast<const char*>(nul) : end;
        const bool partial = nul == nullptr && !identity.command_line_complete;
        const std::size_t framing = first ? 2 : 3;  // the quotes, and a comma before all but the first
        if (used + framing > room) return;
        const std::size_t arg_room = room - used - framing;
        // Escaped straight into place, which needs the slack beyond the room
        // (the record's buffer has it to spare).
        char* at = out.end() + framing - 1;
        if (out.room() < framing + arg_room + kEscapeSlack) return;
        std::size_t length = json_escape(cursor, static_cast<std::int32_t>(arg_end - cursor), at,
                                         arg_room + kEscapeSlack);
        const bool whole = length <= arg_room && !partial;
        if (!whole) {
            if (!first) return;
            length = escaped_cut_length(at, length, arg_room);
        }
        if (!first) *out.end() = ',';
        out.end()[framing - 2] = '"';
        at[length] = '"';
        out.advance(framing + length);
        used += framing + length;
        if (!whole) return;
        first = false;
        cursor = arg_end + 1;
    }
}

// Where the value of top-level `key` begins in `record`; nullptr when the
// key is absent.
const char* find_value(const char* record, std::size_t length, std::string_view key) {
    const std::string_view text(record, length);
    for (std::size_t at = text.find(key); at != std::string_view::npos; at = text.find(key, at + 1)) {
        const std::size_t end = at + key.size();
        if (at >= 2 && (text[at - 2] == '{' || text[at - 2] == ',') && text[at - 1] == '"' && end + 1 < length &&
            text[end] == '"' && text[end + 1] == ':') {
            return record + end + 2;
        }
    }
    return nullptr;
}

template <typename Integer>
bool read_number(const char* record, std::size_t length, std::string_view key, Integer& value) {
    const char* at = find_value(record, length, key);
    if (at == nullptr) return false;
    const auto result = std::from_chars(at, record + length, value);
    return result.ec == std::errc() && result.ptr < record + length && (*result.ptr == ',' || *result.ptr == '}');
}

}  // namespace

bool parse_trace_file_writer(const char* record, std::size_t length, TraceFileWriter& writer) noexcept {
    constexpr std::string_view version = "{\"version\":1,";
    if (length < version.size() || std::string_view(record, version.size()) != version) return false;
    writer = TraceFileWriter();
    if (!read_number(record, length, "pid", writer.pid) || !read_number(record, length, "start", writer.start)) {
        return false;
    }
    if (!read_number(record, length, "pidns", writer.pidns)) writer.pidns = 0;
    // The boot id is written as it is read (a UUID needs no escapes).
    const char* boot_id = find_value(record, length, "boot_id");
    if (boot_id != nullptr && boot_id < record + length && *boot_id == '"') {
        const char* end = static_cast<const char*>(std::memchr(boot_id + 1, '"', length - (boot_id + 1 - record)));
        const std::size_t size = end != nullptr ? static_cast<std::size_t>(end - boot_id - 1) : sizeof writer.boot_id;
        if (size < sizeof writer.boot_id) std::memcpy(writer.boot_id, boot_id + 1, size);
    }
    return true;
}

std::size_t compose_trace_identity(const TraceIdentity& identity, char (&out)[kTraceIdentityBufferBytes]) noexcept {
    // What follows the command line is composed first, to know the room left.
    char tail_buffer[kHostLimit + 192];
    Appender tail(tail_buffer, sizeof tail_buffer);
    tail.literal("],\"host\":");
    tail.string(identity.host, std::strlen(identity.host), kHostLimit);
    tail.literal(",\"clock_origin_ms\":");
    tail.number(identity.clock_origin_ms);
    if (identity.pidns != 0) {
        tail.literal(",\"pidns\":");
        tail.number(identity.pidns);
    }
    if (identity.boot_id[0] != '\0') {
        tail.literal(",\"boot_id\":");
        tail.string(identity.boot_id, strnlen(identity.boot_id, kBootIdLimit), kBootIdLimit);
    }
    tail.literal(",\"file_id\":\"");
    char hex[16];
    for (std::size_t i = 0; i < sizeof hex; ++i) {
        hex[i] = "0123456789abcdef"[(identity.file_id >> (60 - 4 * i)) & 0xF];
    }
    tail.text(hex, sizeof hex);
    tail.literal("\"}");

    Appender head(out, sizeof out);
    head.literal("{\"version\":1,\"pid\":");
    head.number(identity.pid);
    head.literal(",\"start\":");
    head.number(identity.start);
    head.literal(",\"ppid\":");
    head.number(identity.ppid);
    head.literal(",\"tid\":");
    head.number(identity.tid);
    head.literal(",\"thread_name\":");
    head.string(identity.thread_name, strnlen(identity.thread_name, kThreadNameLimit), kThreadNameLimit);
    if (identity.python_thread_name[0] != '\0') {
        head.literal(",\"python_thread_name\":");
        // Escaping never shortens a text: the limit's worth of bytes fills it.
        head.string(identity.python_thread_name, strnlen(identity.python_thread_name, kPythonThreadNameLimit),
                    kPythonThreadNameLimit);
    }
    head.literal(",\"cmdline\":[");
    // The fixed fields are bounded well below the limit.
    if (!head.fits() || !tail.fits() || head.size() + tail.size() > kTraceIdentityMaxBytes) return 0;
    append_arguments(identity, head, kTraceIdentityMaxBytes - head.size() - tail.size());
    head.text(tail_buffer, tail.size());
    return head.fits() ? head.size() : 0;
}

}  // namespace vorn
