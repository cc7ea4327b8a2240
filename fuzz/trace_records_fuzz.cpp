// Fuzzes record composition: the fuzzer's bytes become a program of scope
// opens, log calls and closes (in and out of order) whose texts are
// arbitrary bytes, run through JsonStlLogger on a fresh thread. The thread's
// trace file must then be one JSON document whose tree of scopes and events
// is the program's, every text read back as its input cut only where the
// limits say, and every line within the record limit.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fuzz_oracles.h"
#include "trace/json_stl_logger.h"
#include "trace/log_file.h"

namespace {

using vorn::fuzz::JsonValue;
using vorn::fuzz::require;

constexpr std::size_t kIdentityLimit = 255;       // bytes kept of invoker and file
constexpr std::size_t kIdentityCapacity = 512;    // their escaping buffer
constexpr std::size_t kMessageLimit = 4095;       // bytes kept of a message
constexpr std::size_t kMessageCapacity = 24576;   // its escaping buffer
constexpr std::size_t kLineLimit = 24830;         // an instant record, indentation included
constexpr std::size_t kLongestText = 6000;
constexpr int kMostOperations = 48;

// What the program did, as the file should show it. Texts are the raw
// bytes handed over, up to their first NUL.
struct Record {
    bool scope = false;
    std::string invoker, file, message;
    std::int32_t line = 0;
    std::vector<std::unique_ptr<Record>> events;
};
using Records = std::vector<std::unique_ptr<Record>>;

// The fuzzer's bytes read front to back, zeros once they run out. A plain
// format, so that fuzz/seeds.py can write programs by hand:
//   program  := operation*
//   operation:= 0 text(invoker) text(file) text(message) int32(line)   open
//             |  1 byte(which) text(message)                            log
//             |  2 byte(which)                                          close
//   text     := byte(<0xC0) uint16(length) bytes                        as given
//             |  byte(>=0xC0) uint16(length) byte(n) n bytes(pattern)   repeated
// Numbers are little-endian; an operation byte counts modulo 3, `which`
// modulo the number of open scope objects, lengths modulo 6001 and pattern
// sizes modulo 9. While no scope is open, log and close read nothing more
// and do nothing.
class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool done() const { return at_ >= size_; }
    std::uint8_t byte() { return done() ? 0 : data_[at_++]; }
    std::uint32_t number(int bytes) {
        std::uint32_t value = 0;
        for (int i = 0; i < bytes; ++i) value |= static_cast<std::uint32_t>(byte()) << (8 * i);
        return value;
    }
    std::string bytes(std::size_t count) {
        const std::size_t taken = std::min(count, size_ - std::min(at_, size_));
        std::string text(reinterpret_cast<const char*>(data_) + at_, taken);
        at_ += taken;
        return text;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

// A text as given, or a short pattern repeated to a length of up to 6000
// bytes, which reaches every limit from small inputs.
std::string next_text(Input& input) {
    const bool repeated = input.byte() >= 0xC0;
    const std::size_t length = input.number(2) % (kLongestText + 1);
    if (!repeated) return input.bytes(length);
    const std::string pattern = input.bytes(input.byte() % 9);
    std::string text;
    while (!pattern.empty() && text.size() < length) text += pattern;
    text.resize(pattern.empty() ? 0 : length);
    return text;
}

std::string up_to_nul(const std::string& text) { return std::string(text.c_str()); }

// Runs the program the input encodes on the calling thread; returns the
// thread's trace file name.
std::string run_program(Input& input, Records& top) {
    struct Open {
        std::unique_ptr<vorn::JsonStlLogger> logger;
        std::unique_ptr<Record> identity;
    };
    std::vector<Open> open;
    std::vector<Record*> levels;  // the thread's open scopes, innermost last
    for (int step = 0; step < kMostOperations && !input.done(); ++step) {
        const int kind = input.byte() % 3;
        if (kind == 0) {
            auto scope = std::make_unique<Record>();
            scope->scope = true;
            const std::string invoker = next_text(input), file = next_text(input);
            const std::string message = next_text(input);
            scope->line = static_cast<std::int32_t>(input.number(4));
            scope->invoker = up_to_nul(invoker);
            scope->file = up_to_nul(file);
            scope->message = up_to_nul(message);
            auto identity = std::make_unique<Record>(Record{false, scope->invoker, scope->file, {}, scope->line, {}});
            Open opened{std::make_unique<vorn::JsonStlLogger>(invoker.c_str(), file.c_str(), scope->line, 0,
                                                              "%s", message.c_str()),
                        std::move(identity)};
            Record* level = scope.get();
            (levels.empty() ? top : levels.back()->events).push_back(std::move(scope));
            levels.push_back(level);
            open.push_back(std::move(opened));
        } else if (!open.empty()) {
            // Any open scope object: a log lands in the innermost open level
            // with that object's identity, a close ends the innermost level.
            const std::size_t which = input.byte() % open.size();
            if (kind == 1) {
                const std::string message = next_text(input);
                const Record& identity = *open[which].identity;
                levels.back()->events.push_back(std::make_unique<Record>(
                    Record{false, identity.invoker, identity.file, up_to_nul(message), identity.line, {}}));
                open[which].logger->log("%s", message.c_str());
            } else {
                open.erase(open.begin() + static_cast<std::ptrdiff_t>(which));
                levels.pop_back();
            }
        }
    }
    while (!open.empty()) open.pop_back();
    return vorn::get_log_file_name();
}

std::vector<std::string_view> lines_of(std::string_view text) {
    std::vector<std::string_view> lines;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = text.find('\n', at);
        require(end != std::string_view::npos, "every line ends with a line feed");
        lines.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return lines;
}

// Each line within the limit; each instant record a JSON object of its own.
// Returns the lengths of the instant record lines, in file order. The limit
// is the record's: the comma that separates it from the next element comes
// on top.
std::vector<std::size_t> check_lines(std::string_view text) {
    std::vector<std::size_t> instants;
    for (std::string_view line : lines_of(text)) {
        if (!line.empty() && line.back() == ',') line.remove_suffix(1);
        require(line.size() <= kLineLimit, "a record line is at most 24830 bytes");
        const std::size_t start = line.find_first_not_of(' ');
        if (start == std::string_view::npos || line.substr(start, 6) != "{ \"ts\"") continue;
        JsonValue record;
        require(vorn::fuzz::parse_json(line.substr(start), record), "an instant record line is JSON");
        instants.push_back(line.size());
    }
    return instants;
}

const JsonValue& member(const JsonValue& object, std::size_t index, const char* name) {
    require(object.members.size() > index && object.members[index].first == name, name);
    return object.members[index].second;
}

void check_time(const JsonValue& value) {
    require(value.kind == JsonValue::Kind::number && value.text.size() <= 20 &&
                value.text.find_first_not_of("0123456789") == std::string::npos,
            "a time is an unsigned integer");
}

// `read_back` is `raw` cut at most to `byte_limit` bytes on a character
// boundary, or where its escaped form filled `capacity`, or where its record
// line reached the limit (`line_length` > 0 for an instant record).
void check_text(const JsonValue& read_back, const std::string& raw, std::size_t byte_limit,
                std::size_t capacity, std::size_t line_length, const char* what) {
    require(read_back.kind == JsonValue::Kind::string, what);
    const vorn::fuzz::TextMatch match = vorn::fuzz::match_text(read_back.text, raw);
    require(match.matches, what);
    require(match.consumed <= byte_limit, what);
    if (match.whole) return;
    const bool byte_cut = match.consumed_most + 4 > byte_limit;
    const bool escape_cut = match.escaped + match.next_escaped + 7 > capacity;
    const bool line_cut = line_length > 0 && line_length + match.next_escaped > kLineLimit;
    require(byte_cut || escape_cut || line_cut, what);
}

void check_identity(const JsonValue& object, std::size_t first, const Record& expected,
                    std::size_t line_length) {
    check_text(member(object, first, "invoker"), expected.invoker, kIdentityLimit, kIdentityCapacity,
               line_length, "invoker");
    check_text(member(object, first + 1, "file"), expected.file, kIdentityLimit, kIdentityCapacity,
               line_length, "file");
    const JsonValue& line = member(object, first + 2, "line");
    require(line.kind == JsonValue::Kind::number && line.text == std::to_string(expected.line), "line");
}

void check_records(const JsonValue& array, const Records& expected,
                   const std::vector<std::size_t>& instant_lines, std::size_t& instant) {
    require(array.kind == JsonValue::Kind::array && array.items.size() == expected.size(),
            "an array holds the program's records");
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const JsonValue& object = array.items[i];
        const Record& record = *expected[i];
        require(object.kind == JsonValue::Kind::object, "a record is an object");
        if (record.scope) {
            require(object.members.size() == 7, "a scope has seven members");
            check_identity(object, 0, record, 0);
            check_time(member(object, 3, "ts_enter"));
            check_text(member(object, 4, "args"), record.message, kMessageLimit, kMessageCapacity, 0,
                       "scope message");
            check_records(member(object, 5, "events"), record.events, instant_lines, instant);
            check_time(member(object, 6, "ts_exit"));
        } else {
            require(object.members.size() == 5 && instant < instant_lines.size(), "an instant has five members");
            const std::size_t line_length = instant_lines[instant++];
            check_time(member(object, 0, "ts"));
            check_identity(object, 1, record, line_length);
            check_text(member(object, 4, "args"), record.message, kMessageLimit, kMessageCapacity,
                       line_length, "instant message");
        }
    }
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string trace_root;

void remove_trace_root() {
    std::error_code ignored;
    std::filesystem::remove_all(trace_root, ignored);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/vorn-fuzz-XXXXXX";
    require(mkdtemp(pattern.data()) != nullptr, "a private trace root");
    trace_root = pattern;
    std::atexit(remove_trace_root);
    setenv("VORN_LOG_DIR", trace_root.c_str(), 1);
    unsetenv("VORN_LOG_PREFIX");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input input(data, size);
    Records top;
    std::string path;
    // A fresh thread starts a fresh trace file and writer state.
    std::thread([&] { path = run_program(input, top); }).join();
    if (path.empty()) return 0;  // no scope was opened
    const std::string text = read_file(path);
    std::filesystem::remove(path);

    const std::vector<std::size_t> instant_lines = check_lines(text);
    JsonValue document;
    require(vorn::fuzz::parse_json(text, document), "the closed file is one JSON document");
    std::size_t instant = 0;
    check_records(document, top, instant_lines, instant);
    require(instant == instant_lines.size(), "every instant record line belongs to the program");
    return 0;
}
