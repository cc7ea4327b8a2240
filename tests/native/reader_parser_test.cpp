// The native reader's edges that whole trace files seldom reach: lines
// across the reader's block boundaries, lines longer than a block, and the
// number and text conversions the exports rely on.

#include <fcntl.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "reader/json_number.h"
#include "reader/display_times.h"
#include "reader/trace_parser.h"
#include "reader/utf8_text.h"
#include "test_support.h"

namespace {

using vorn::reader::Event;
using vorn::reader::EventKind;
using vorn::reader::TraceFormatError;
using vorn::reader::TraceParser;

constexpr std::size_t kBlock = 1 << 20;  // the reader's block

// The events of a file holding `text`: "enter <args>", "record <args>",
// "exit <args>" (or "open <args>" for a scope that never closed), and
// "error <line>" where the file stops being a trace.
std::vector<std::string> read_text(const std::string& text) {
    vorn::testing::TempDir dir;
    const std::string path = dir.path() + "/stl_1.log";
    std::ofstream(path, std::ios::binary) << text;
    TraceParser parser(open(path.c_str(), O_RDONLY), nullptr);
    std::vector<std::string> seen;
    Event event;
    try {
        while (!parser.finished()) {
            if (!parser.step(event)) continue;
            if (event.kind == EventKind::record) {
                seen.push_back("record " + std::string(event.instant->args));
            } else {
                const char* kind = event.kind == EventKind::enter ? "enter " : event.scope->ts_exit ? "exit " : "open ";
                seen.push_back(kind + std::string(event.scope->args));
            }
        }
    } catch (const TraceFormatError& error) {
        seen.push_back("error " + std::to_string(error.error().line));
    }
    return seen;
}

std::string record(const std::string& args) {
    return "{ \"ts\": 1, \"invoker\": \"w\", \"file\": \"f.py\", \"line\": 7, \"args\": \"" + args + "\" }";
}

std::string scope(const std::string& args, const std::string& events) {
    return "{\n\"invoker\": \"w\",\n\"file\": \"f.py\",\n\"line\": 7,\n\"ts_enter\": 1,\n\"args\": \"" + args +
           "\",\n\"events\": [\n" + events + "\n],\n\"ts_exit\": 2\n}";
}

TEST(ReaderLines, LinesAcrossEveryBlockBoundaryReadWhole) {
    // Records whose lines end on and around the block's end.
    for (std::size_t slack : {0, 1, 2, 3, 50}) {
        const std::string head = "[\n";
        const std::string first = record(std::string(kBlock - head.size() - record("").size() - slack, 'a'));
        const std::string text = head + first + ",\n" + record("b") + ",\n" + scope("c", record("d")) + "\n";
        const std::vector<std::string> expected = {"record " + std::string(first.size() - record("").size(), 'a'),
                                                   "record b", "enter c", "record d", "exit c"};
        EXPECT_EQ(read_text(text), expected) << slack;
    }
}

TEST(ReaderLines, LinesLongerThanBlocksReadWhole) {
    const std::string huge(3 * kBlock + 17, 'h');
    EXPECT_EQ(read_text("[\n" + scope(huge, record(huge)) + "\n"),
              (std::vector<std::string>{"enter " + huge, "record " + huge, "exit " + huge}));
}

TEST(ReaderLines, ALastLineCutAtTheBlockEndIsDroppedOrKeptWhole) {
    // The first block ends just before the last line, which has no line end.
    const std::string padding(kBlock - 4 - record("").size(), 'a');
    EXPECT_EQ(read_text("[\n" + record(padding) + ",\n" + record("kept")),
              (std::vector<std::string>{"record " + padding, "record kept"}));
    const std::string scoped = "[\n" + scope("s", record("x")).substr(0, 80);
    EXPECT_EQ(read_text(scoped), (std::vector<std::string>{"enter s", "open s"}));
    EXPECT_EQ(read_text("[\n" + record("whole, waiting for its line end")),
              (std::vector<std::string>{"record whole, waiting for its line end"}));
}

TEST(ReaderText, BytesThatAreNotUtf8BecomeOneReplacementPerBrokenSequence) {
    const std::string r = "\xEF\xBF\xBD";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"a\xFF" "b", "a" + r + "b"},        {"\xE2\x82", r},           {"\xE2\x82" "a", r + "a"},
        {"\xF0\x80\x80", r + r + r},         {"\xED\xA0\x80", r + r + r}, {"\xF4\x90\x80\x80", r + r + r + r},
        {"\xC3\xA9\xE2\x82\xAC", "\xC3\xA9\xE2\x82\xAC"}, {"\xF0\x9F\x98", r},
    };
    for (const auto& [bytes, text] : cases) {
        std::string out;
        vorn::reader::append_replacing(out, bytes);
        EXPECT_EQ(out, text);
    }
}

TEST(ReaderNumbers, FloatsAreWrittenAsPythonsReprWritesThem) {
    const std::vector<std::pair<double, std::string>> cases = {
        {1234.5, "1234.5"}, {0.001, "0.001"}, {1e-05, "1e-05"}, {1e16, "1e+16"}, {3.0, "3.0"},
        {0.1 + 0.2, "0.30000000000000004"}, {1234567890123456.0, "1234567890123456.0"}, {-2.5e-7, "-2.5e-07"},
        {123456789.123, "123456789.123"}, {1.5e300, "1.5e+300"},
    };
    for (const auto& [value, text] : cases) {
        std::string out;
        vorn::reader::append_float(out, value);
        EXPECT_EQ(out, text);
    }
}

TEST(ReaderNumbers, RoundingToThousandthsMatchesDecimalRounding) {
    // The fast rounding against the correctly rounded decimal text, on
    // values like the exports' microseconds, ties included.
    std::vector<double> values = {0.0625, 2.0625, 0.0005, 1.0005, -0.0625, 1000.4995, 4.0e12 - 0.0625};
    std::uint64_t state = 42;
    for (int k = 0; k < 200000; ++k) {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        const double ms = static_cast<double>(state >> 20) / 1e6;
        values.push_back(ms * 1000.0);
        values.push_back(static_cast<double>(state >> 40) / 16.0);
    }
    for (const double value : values) {
        char text[64];
        std::snprintf(text, sizeof text, "%.3f", value);
        ASSERT_EQ(vorn::reader::round_thousandths(value), std::strtod(text, nullptr)) << text;
    }
}

}  // namespace
