// The records a thread writes into its trace file: their exact bytes, when
// they reach the file, nesting, escaping and every cut.

#include "trace/json_stl_logger.h"
#include "trace/log_file.h"
#include "trace/log_stream.h"
#include "trace/thread_id.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

using vorn::JsonStlLogger;
using vorn::testing::read_file;
using vorn::testing::run_in_thread;

// Replaces the digits after "ts": / "ts_enter": / "ts_exit": with T, so that
// whole files can be compared whatever the clock said.
// The timestamps found are appended to `found`, in file order.
std::string mask_timestamps(const std::string& text, std::vector<std::uint64_t>* found = nullptr) {
    std::string out;
    std::size_t i = 0;
    for (std::size_t key; (key = text.find("\"ts", i)) != std::string::npos;) {
        std::size_t digits = key + 3;
        for (const char* rest : {"\": ", "_enter\": ", "_exit\": "}) {
            if (text.compare(digits, std::strlen(rest), rest) == 0) digits += std::strlen(rest);
        }
        const std::size_t end = std::min(text.find_first_not_of("0123456789", digits), text.size());
        out += text.substr(i, digits - i);
        if (end > digits) {
            out += "T";
            if (found != nullptr) found->push_back(std::stoull(text.substr(digits, end - digits)));
        }
        i = end;
    }
    return out + text.substr(i);
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::size_t leading_spaces(const std::string& line) {
    const std::size_t first = line.find_first_not_of(' ');
    return first == std::string::npos ? line.size() : first;
}

// Each test traces on a fresh thread, into a directory of its own.
class TraceRecords : public ::testing::Test {
protected:
    vorn::testing::TempDir dir;
    vorn::testing::ScopedEnv log_dir{"VORN_LOG_DIR", dir.path().c_str()};
    vorn::testing::ScopedEnv prefix{"VORN_LOG_PREFIX", nullptr};

    std::string path;  // of the last traced thread's file

    // Runs `fn` on a new thread; returns the thread's file after it ended.
    std::string trace(const std::function<void()>& fn) {
        run_in_thread([&] {
            fn();
            path = vorn::get_log_file_name();
        });
        return read_file(path);
    }
};

constexpr char kWorkedExample[] =
    "[\n"
    "  {\n"
    "    \"invoker\": \"main\",\n"
    "    \"file\": \"job.py\",\n"
    "    \"line\": 10,\n"
    "    \"ts_enter\": T,\n"
    "    \"args\": \"load\",\n"
    "    \"events\": [\n"
    "      { \"ts\": T, \"invoker\": \"main\", \"file\": \"job.py\", \"line\": 10, \"args\": \"x\" },\n"
    "      {\n"
    "        \"invoker\": \"main\",\n"
    "        \"file\": \"job.py\",\n"
    "        \"line\": 20,\n"
    "        \"ts_enter\": T,\n"
    "        \"args\": \"parse\",\n"
    "        \"events\": [\n"
    "        ],\n"
    "        \"ts_exit\": T\n"
    "      }\n"
    "    ],\n"
    "    \"ts_exit\": T\n"
    "  }\n"
    "]\n";

// The first `count` lines of the worked example.
std::string worked_example_lines(std::size_t count) {
    std::string text;
    const auto lines = lines_of(kWorkedExample);
    for (std::size_t i = 0; i < count; ++i) text += lines[i] + "\n";
    return text;
}

TEST_F(TraceRecords, worked_example_reaches_the_file_line_by_line) {
    const std::string file = trace([] {
        std::optional<JsonStlLogger> a;
        a.emplace("main", "job.py", 10, 1, "%s", "load");
        const std::string name = vorn::get_log_file_name();
        auto now = [&] { return mask_timestamps(read_file(name)); };
        EXPECT_EQ(now(), worked_example_lines(8));
        a->log("%s", "x");
        EXPECT_EQ(now(), worked_example_lines(8)) << "log holds its record back";
        {
            JsonStlLogger b("main", "job.py", 20, 1, "%s", "parse");
            EXPECT_EQ(now(), worked_example_lines(16));
        }
        EXPECT_EQ(now(), worked_example_lines(18)) << "the closing brace is held back";
        a.reset();
        EXPECT_EQ(now(), kWorkedExample);
    });
    std::vector<std::uint64_t> ts;
    EXPECT_EQ(mask_timestamps(file, &ts), kWorkedExample);
    ASSERT_EQ(ts.size(), 5u);
    for (std::size_t i = 1; i < ts.size(); ++i) EXPECT_LE(ts[i - 1], ts[i]) << "at " << i;
    EXPECT_LT(ts.back() - ts.front(), 60'000u);
}

TEST_F(TraceRecords, a_later_top_level_scope_turns_the_final_bracket_into_a_comma) {
    const std::string file = trace([] {
        {
            JsonStlLogger a("main", "job.py", 10, 1, "%s", "load");
            a.log("%s", "x");
            JsonStlLogger b("main", "job.py", 20, 1, "%s", "parse");
        }
        JsonStlLogger c("main", "job.py", 30, 1, "%s", "");
    });
    std::string expected = kWorkedExample;
    expected.replace(expected.size() - 2, 2, ",\n");
    expected +=
        "  {\n"
        "    \"invoker\": \"main\",\n"
        "    \"file\": \"job.py\",\n"
        "    \"line\": 30,\n"
        "    \"ts_enter\": T,\n"
        "    \"args\": \"\",\n"
        "    \"events\": [\n"
        "    ],\n"
        "    \"ts_exit\": T\n"
        "  }\n"
        "]\n";
    EXPECT_EQ(mask_timestamps(file), expected);
}

TEST_F(TraceRecords, pending_elements_get_commas_except_the_last_of_their_array) {
    const std::string file = trace([] {
        JsonStlLogger a("a", "f", 1, 1, "%s", "A");
        { JsonStlLogger b("b", "f", 2, 1, "%s", "B"); }
        a.log("%s", "x");
        a.log("%s", "y");
        { JsonStlLogger c("c", "f", 3, 1, "%s", "C"); }
    });
    const auto lines = lines_of(mask_timestamps(file));
    ASSERT_EQ(lines.size(), 34u);
    EXPECT_EQ(lines[14], "        \"events\": [");
    EXPECT_EQ(lines[15], "        ],") << "an empty events array";
    EXPECT_EQ(lines[16], "        \"ts_exit\": T");
    EXPECT_EQ(lines[17], "      },") << "a child's brace followed by an event";
    EXPECT_EQ(lines[18], "      { \"ts\": T, \"invoker\": \"a\", \"file\": \"f\", \"line\": 1, \"args\": \"x\" },");
    EXPECT_EQ(lines[19], "      { \"ts\": T, \"invoker\": \"a\", \"file\": \"f\", \"line\": 1, \"args\": \"y\" },");
    EXPECT_EQ(lines[20], "      {");
    EXPECT_EQ(lines[29], "      }") << "the last element of the array";
    EXPECT_EQ(lines[30], "    ],");
}

TEST_F(TraceRecords, log_lands_in_the_innermost_scope_with_its_own_scopes_identity) {
    const std::string file = trace([] {
        JsonStlLogger outer("outer", "o.py", 1, 1, "%s", "O");
        JsonStlLogger inner("inner", "i.py", 2, 1, "%s", "I");
        outer.log("%s", "from outer");
    });
    const auto lines = lines_of(mask_timestamps(file));
    ASSERT_GE(lines.size(), 16u);
    EXPECT_EQ(lines[14], "        \"events\": [");
    EXPECT_EQ(lines[15],
              "          { \"ts\": T, \"invoker\": \"outer\", \"file\": \"o.py\", \"line\": 1, \"args\": \"from outer\" }");
}

TEST_F(TraceRecords, indentation_stops_growing_at_64_spaces) {
    constexpr int kLevels = 20;
    const std::string file = trace([] {
        std::vector<std::optional<JsonStlLogger>> scopes(kLevels);
        for (int level = 0; level < kLevels; ++level) {
            scopes[static_cast<std::size_t>(level)].emplace("n", "f", level + 1, 1, "%s", "deep");
        }
        scopes.back()->log("%s", "leaf");
        while (!scopes.empty()) scopes.pop_back();
    });
    const auto lines = lines_of(mask_timestamps(file));
    ASSERT_EQ(lines.size(), 2u + kLevels * 10u + 1u);
    // Level k (1-based) has its "{" at 4k - 2 spaces and its members at 4k.
    std::size_t widest = 0;
    for (const auto& line : lines) widest = std::max(widest, leading_spaces(line));
    EXPECT_EQ(widest, 64u);
    auto brace_of_level = [&](int k) { return lines[1 + 7 * static_cast<std::size_t>(k - 1)]; };
    EXPECT_EQ(leading_spaces(brace_of_level(15)), 58u);
    EXPECT_EQ(leading_spaces(brace_of_level(16)), 62u);
    EXPECT_EQ(leading_spaces(lines[1 + 7 * 15 + 1]), 64u) << "members of the sixteenth level";
    EXPECT_EQ(leading_spaces(brace_of_level(17)), 64u);
    EXPECT_EQ(lines[1 + 7 * 20], std::string(64, ' ') +
                                     "{ \"ts\": T, \"invoker\": \"n\", \"file\": \"f\", \"line\": 20, \"args\": \"leaf\" }");
    EXPECT_EQ(lines.back(), "]");
}

TEST_F(TraceRecords, texts_are_escaped_in_both_record_kinds) {
    const std::string raw = "q\"b\\t\tn\nr\rbs\bff\fesc\x1b" "del\x7f" "\x01" "caf\xC3\xA9";
    const std::string escaped = "q\\\"b\\\\t\\tn\\nr\\rbs\\u0008ff\\u000cesc\\u001bdel\\u007f\\u0001caf\xC3\xA9";
    const std::string file = trace([&] {
        JsonStlLogger a(raw.c_str(), raw.c_str(), 1, 1, "%s", raw.c_str());
        a.log("%s", raw.c_str());
    });
    const auto lines = lines_of(mask_timestamps(file));
    ASSERT_EQ(lines.size(), 13u);
    EXPECT_EQ(lines[2], "    \"invoker\": \"" + escaped + "\",");
    EXPECT_EQ(lines[3], "    \"file\": \"" + escaped + "\",");
    EXPECT_EQ(lines[6], "    \"args\": \"" + escaped + "\",");
    EXPECT_EQ(lines[8], "      { \"ts\": T, \"invoker\": \"" + escaped + "\", \"file\": \"" + escaped +
                            "\", \"line\": 1, \"args\": \"" + escaped + "\" }");
}

TEST_F(TraceRecords, texts_end_at_their_first_nul_and_line_keeps_its_bits) {
    const std::string file = trace([] {
        JsonStlLogger a("inv", "file", -1, 1, "ab%cde", '\0');
        a.log("x%cy", '\0');
    });
    const auto lines = lines_of(mask_timestamps(file));
    ASSERT_EQ(lines.size(), 13u);
    EXPECT_EQ(lines[4], "    \"line\": -1,");
    EXPECT_EQ(lines[6], "    \"args\": \"ab\",");
    EXPECT_EQ(lines[8], "      { \"ts\": T, \"invoker\": \"inv\", \"file\": \"file\", \"line\": -1, \"args\": \"x\" }");
}

TEST_F(TraceRecords, long_texts_are_cut_at_their_limits) {
    const std::string long_invoker(300, 'i');
    const std::string long_file(300, 'f');
    const std::string long_message(5000, 'm');
    const std::string file = trace([&] {
        JsonStlLogger a(long_invoker.c_str(), long_file.c_str(), 1, 1, "%s", long_message.c_str());
        a.log("%s", long_message.c_str());
    });
    const auto lines = lines_of(mask_timestamps(file));
    ASSERT_EQ(lines.size(), 13u);
    const std::string invoker(255, 'i'), source(255, 'f'), message(4095, 'm');
    EXPECT_EQ(lines[2], "    \"invoker\": \"" + invoker + "\",");
    EXPECT_EQ(lines[3], "    \"file\": \"" + source + "\",");
    EXPECT_EQ(lines[6], "    \"args\": \"" + message + "\",");
    EXPECT_EQ(lines[8], "      { \"ts\": T, \"invoker\": \"" + invoker + "\", \"file\": \"" + source +
                            "\", \"line\": 1, \"args\": \"" + message + "\" }");
}

TEST_F(TraceRecords, cuts_never_split_a_utf8_character) {
    const std::string invoker = std::string(253, 'i') + "\xE2\x82\xAC";          // € across 255
    const std::string message = std::string(4093, 'm') + "\xF0\x9F\x98\x80";    // emoji across 4095
    const std::string controls = std::string(84, '\x01') + "\xC3\xA9";          // é across the escaping bound
    const std::string file = trace([&] {
        JsonStlLogger a(invoker.c_str(), controls.c_str(), 1, 1, "%s", message.c_str());
        a.log("%s", message.c_str());
    });
    const auto lines = lines_of(mask_timestamps(file));
    ASSERT_EQ(lines.size(), 13u);
    std::string escaped_controls;
    for (int i = 0; i < 84; ++i) escaped_controls += "\\u0001";
    EXPECT_EQ(lines[2], "    \"invoker\": \"" + std::string(253, 'i') + "\",");
    EXPECT_EQ(lines[3], "    \"file\": \"" + escaped_controls + "\",");
    EXPECT_EQ(lines[6], "    \"args\": \"" + std::string(4093, 'm') + "\",");
    EXPECT_EQ(lines[8], "      { \"ts\": T, \"invoker\": \"" + std::string(253, 'i') + "\", \"file\": \"" +
                            escaped_controls + "\", \"line\": 1, \"args\": \"" + std::string(4093, 'm') + "\" }");
}

TEST_F(TraceRecords, an_oversized_instant_record_is_cut_inside_its_message) {
    const std::string controls(255, '\x01');  // escapes to 510 characters, the escaping bound
    std::string accents;  // 23700 escaped characters, then é: the cut falls among the é
    for (int i = 0; i < 72; ++i) accents += "\xC3\xA9";
    const std::string file = trace([&] {
        JsonStlLogger a(controls.c_str(), controls.c_str(), 7, 1, "%s", "big");
        a.log("%s", std::string(4095, '\x01').c_str());  // 24570 characters
        a.log("%s", (std::string(3950, '\x01') + accents).c_str());
    });
    const auto lines = lines_of(file);
    ASSERT_EQ(lines.size(), 14u);
    ASSERT_EQ(lines[8].back(), ',');
    const std::string controls_record = lines[8].substr(0, lines[8].size() - 1);
    const std::string& accents_record = lines[9];
    for (const std::string& record : {controls_record, accents_record}) {
        EXPECT_LE(record.size(), 24830u);
        EXPECT_GT(record.size(), 24830u - 6u) << "cut at the last whole escape or character";
        EXPECT_EQ(record.substr(record.size() - 3), "\" }") << "the record stays well-formed";
    }
    const std::size_t args = controls_record.find("\"args\": \"") + 9;
    EXPECT_EQ(controls_record.substr(controls_record.size() - 9), "\\u0001\" }");
    EXPECT_EQ((controls_record.size() - 3 - args) % 6, 0u) << "only whole escapes";
    const std::size_t accent_bytes = accents_record.size() - 3 - (accents_record.rfind("\\u0001") + 6);
    EXPECT_GT(accent_bytes, 0u);
    EXPECT_EQ(accent_bytes % 2, 0u) << "é cut in half";
}

TEST_F(TraceRecords, thread_end_writes_the_pending_record_and_leaves_scopes_open) {
    std::optional<JsonStlLogger> outlives_its_thread;
    const std::string file = trace([&] {
        outlives_its_thread.emplace("main", "job.py", 10, 1, "%s", "load");
        outlives_its_thread->log("%s", "x");
    });
    EXPECT_EQ(mask_timestamps(file), worked_example_lines(8) +
                                         "      { \"ts\": T, \"invoker\": \"main\", \"file\": \"job.py\", "
                                         "\"line\": 10, \"args\": \"x\" }\n");
    // Destroyed on a thread with no scope open: nothing is written.
    run_in_thread([&] { outlives_its_thread.reset(); });
    EXPECT_EQ(read_file(path), file);
}

TEST_F(TraceRecords, scopes_destroyed_out_of_order_close_the_innermost_level) {
    std::string file = trace([] {
        std::optional<JsonStlLogger> a, b;
        a.emplace("a", "f", 1, 1, "%s", "A");
        b.emplace("b", "f", 2, 1, "%s", "B");
        a.reset();
        b.reset();
        b.emplace("c", "f", 3, 1, "%s", "C");  // a fresh top-level scope
    });
    const auto lines = lines_of(mask_timestamps(file));
    ASSERT_EQ(lines.size(), 22u + 11u);
    EXPECT_EQ(lines[15], "        ],");
    EXPECT_EQ(lines[17], "      }");
    EXPECT_EQ(lines[18], "    ],");
    EXPECT_EQ(lines[20], "  }");
    EXPECT_EQ(lines[21], ",");
    EXPECT_EQ(lines[23], "    \"invoker\": \"c\",");
    EXPECT_EQ(lines.back(), "]");
}

TEST_F(TraceRecords, every_operation_costs_at_most_one_write_call) {
    trace([] {
        auto calls_during = [](auto&& operation) {
            const std::uint64_t before = vorn::trace_write_calls();
            operation();
            return vorn::trace_write_calls() - before;
        };
        std::optional<JsonStlLogger> a, b;
        EXPECT_EQ(calls_during([&] { a.emplace("a", "f", 1, 1, "%s", "A"); }), 1u) << "first enter";
        EXPECT_EQ(calls_during([&] { a->log("%s", "x"); }), 0u) << "log releasing nothing";
        EXPECT_EQ(calls_during([&] { a->log("%s", "y"); }), 1u) << "log releasing a record";
        EXPECT_EQ(calls_during([&] { b.emplace("b", "f", 2, 1, "%s", "B"); }), 1u) << "nested enter";
        EXPECT_EQ(calls_during([&] { b.reset(); }), 1u) << "nested exit";
        EXPECT_EQ(calls_during([&] { a.reset(); }), 1u) << "top-level exit";
        EXPECT_EQ(calls_during([&] { a.emplace("a", "f", 3, 1, "%s", "C"); }), 1u) << "enter over \"]\"";
        EXPECT_EQ(calls_during([&] { a.reset(); }), 1u);
    });
}

TEST_F(TraceRecords, a_lost_directory_does_not_escape_a_destructor_and_a_new_file_starts_an_array) {
    // The file's own path is a directory, so the file cannot be opened and
    // every operation tries again.
    const std::string root = dir.path() + "/root";
    vorn::testing::ScopedEnv root_env("VORN_LOG_DIR", root.c_str());
    const std::string file = trace([&] {
        std::filesystem::create_directories(root + "/vorn/" + vorn::testing::host_name() + "/stl_" +
                                            std::to_string(vorn::current_thread_id()) + ".log");
        std::optional<JsonStlLogger> a;
        a.emplace("a", "f", 1, 1, "%s", "A");
        a->log("%s", "lost");
        { JsonStlLogger b("b", "f", 2, 1, "%s", "lost"); }
        // Now the directory cannot be made again: a regular file is in its way.
        std::filesystem::remove_all(root);
        { std::ofstream blocker(root); }
        a.reset();  // must not throw
        std::filesystem::remove(root);
        JsonStlLogger c("c", "f", 3, 1, "%s", "C");
    });
    const auto lines = lines_of(mask_timestamps(file));
    ASSERT_EQ(lines.size(), 12u) << file;
    EXPECT_EQ(lines[0], "[");
    EXPECT_EQ(lines[2], "    \"invoker\": \"c\",");
    EXPECT_EQ(lines.back(), "]");
}

}  // namespace
