// The records a thread writes into its trace file: their exact bytes, when
// they reach the file, nesting, escaping and every cut.

#include "trace/blocking_call.h"
#include "trace/json_stl_logger.h"
#include "trace/log_file.h"
#include "trace/log_stream.h"
#include "trace/thread_id.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "test_support.h"

namespace {

using vorn::JsonStlLogger;
using vorn::testing::mask_timestamps;
using vorn::testing::read_file;
using vorn::testing::run_in_thread;

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
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

// The calling thread's file so far, timestamps masked.
std::string written_so_far() { return mask_timestamps(read_file(vorn::get_log_file_name())); }

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

// The calls that write the worked example, on the calling thread.
void worked_example_calls() {
    JsonStlLogger a("main", "job.py", 10, 1, "%s", "load");
    a.log("%s", "x");
    JsonStlLogger b("main", "job.py", 20, 1, "%s", "parse");
}

TEST_F(TraceRecords, worked_example_is_written_byte_for_byte) {
    const std::string file = trace(worked_example_calls);
    EXPECT_EQ(mask_timestamps(file), kWorkedExample);
    const std::vector<std::uint64_t> ts = vorn::testing::timestamps_of(file);
    ASSERT_EQ(ts.size(), 5u);
    EXPECT_TRUE(std::is_sorted(ts.begin(), ts.end()));
    EXPECT_LT(ts.back() - ts.front(), 60'000u) << "milliseconds";
}

TEST_F(TraceRecords, a_later_top_level_scope_turns_the_final_bracket_into_a_comma) {
    const std::string file = trace([] {
        worked_example_calls();
        worked_example_calls();
    });
    const std::string example = kWorkedExample;
    EXPECT_EQ(mask_timestamps(file), example.substr(0, example.size() - 2) + ",\n" + example.substr(2));
}

TEST_F(TraceRecords, indentation_stops_growing_at_64_spaces) {
    const auto lines = lines_of(mask_timestamps(trace([] {
        std::vector<std::optional<JsonStlLogger>> scopes(20);
        for (int level = 1; level <= 20; ++level) scopes[level - 1].emplace("n", "f", level, 1, "%s", "deep");
        scopes.back()->log("%s", "leaf");
        while (!scopes.empty()) scopes.pop_back();
    })));
    ASSERT_EQ(lines.size(), 2u + 20 * 10u + 1u);
    // Level k has its "{" at 4k - 2 spaces and its members at 4k.
    const auto brace_of_level = [&](std::size_t k) { return lines[1 + 7 * (k - 1)]; };
    EXPECT_EQ(brace_of_level(16), std::string(62, ' ') + "{");
    EXPECT_EQ(brace_of_level(17), std::string(64, ' ') + "{");
    EXPECT_EQ(lines[1 + 7 * 20], std::string(64, ' ') + "{ \"ts\": T, \"invoker\": \"n\", \"file\": \"f\", "
                                                        "\"line\": 20, \"args\": \"leaf\" }");
    for (const auto& line : lines) EXPECT_FALSE(line.starts_with(std::string(65, ' ')));
}

// Each case traces a scope and an instant record with the same texts. Every
// message is followed by a NUL and more text, which must not show.
TEST_F(TraceRecords, texts_are_escaped_and_cut_in_both_record_kinds) {
    std::string escaped_controls;
    for (int i = 0; i < 84; ++i) escaped_controls += "\\u0001";
    const std::string raw = "q\"b\\t\tn\nr\rbs\bff\fesc\x1b" "del\x7f" "\x01" "caf\xC3\xA9";
    const std::string escaped = "q\\\"b\\\\t\\tn\\nr\\rbs\\u0008ff\\u000cesc\\u001bdel\\u007f\\u0001caf\xC3\xA9";
    const struct {
        const char* what;
        std::string invoker, file, message;              // as given
        std::string invoker_out, file_out, message_out;  // as written
    } cases[] = {
        {"escaped", raw, raw, raw, escaped, escaped, escaped},
        {"cut at 255, 255 and 4095 bytes", std::string(300, 'i'), std::string(300, 'f'), std::string(5000, 'm'),
         std::string(255, 'i'), std::string(255, 'f'), std::string(4095, 'm')},
        {"UTF-8 kept whole: a euro sign across 255, an e-acute across the escaping bound, an emoji across 4095",
         std::string(253, 'i') + "\xE2\x82\xAC", std::string(84, '\x01') + "\xC3\xA9",
         std::string(4093, 'm') + "\xF0\x9F\x98\x80", std::string(253, 'i'), escaped_controls, std::string(4093, 'm')},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto lines = lines_of(mask_timestamps(trace([&] {
            JsonStlLogger a(c.invoker.c_str(), c.file.c_str(), -1, 1, "%s%c%s", c.message.c_str(), '\0', "unseen");
            a.log("%s%c%s", c.message.c_str(), '\0', "unseen");
        })));
        ASSERT_EQ(lines.size(), 13u);
        EXPECT_EQ(lines[2], "    \"invoker\": \"" + c.invoker_out + "\",");
        EXPECT_EQ(lines[3], "    \"file\": \"" + c.file_out + "\",");
        EXPECT_EQ(lines[4], "    \"line\": -1,");
        EXPECT_EQ(lines[6], "    \"args\": \"" + c.message_out + "\",");
        EXPECT_EQ(lines[8], "      { \"ts\": T, \"invoker\": \"" + c.invoker_out + "\", \"file\": \"" + c.file_out +
                                "\", \"line\": -1, \"args\": \"" + c.message_out + "\" }");
    }
}

TEST_F(TraceRecords, an_oversized_instant_record_is_cut_inside_its_message) {
    // The identity texts escape to 510 characters each; either message then
    // overflows the 24830-byte record.
    const std::string controls(255, '\x01');
    std::string accents;  // the cut falls among these
    for (int i = 0; i < 72; ++i) accents += "\xC3\xA9";
    const auto lines = lines_of(trace([&] {
        JsonStlLogger a(controls.c_str(), controls.c_str(), 7, 1, "%s", "big");
        a.log("%s", std::string(4095, '\x01').c_str());
        a.log("%s", (std::string(3950, '\x01') + accents).c_str());
    }));
    ASSERT_EQ(lines.size(), 14u);
    const std::string controls_record = lines[8].substr(0, lines[8].size() - 1);  // without its comma
    const std::string& accents_record = lines[9];
    for (const std::string& record : {controls_record, accents_record}) {
        EXPECT_LE(record.size(), 24830u);
        EXPECT_GT(record.size(), 24830u - 6u) << "cut at the last whole escape or character";
    }
    EXPECT_TRUE(controls_record.ends_with("\\u0001\" }")) << "an escape cut in half";
    EXPECT_TRUE(accents_record.ends_with("\xC3\xA9\" }")) << "a character cut in half";
}

TEST_F(TraceRecords, thread_end_ends_the_last_records_line_and_leaves_scopes_open) {
    std::optional<JsonStlLogger> outlives_its_thread;
    const std::string file = trace([&] {
        outlives_its_thread.emplace("main", "job.py", 10, 1, "%s", "load");
        outlives_its_thread->log("%s", "x");
    });
    const std::string example = kWorkedExample;
    EXPECT_EQ(mask_timestamps(file), example.substr(0, example.find(" },\n") + 2) + "\n") << "x, without its comma";
    run_in_thread([&] { outlives_its_thread.reset(); });  // no scope open there: writes nothing
    EXPECT_EQ(read_file(path), file);
}

// The writer's state belongs to the thread: calls on an outer scope act on
// the innermost open level, with the outer scope's own identity.
TEST_F(TraceRecords, calls_on_an_outer_scope_act_on_the_innermost_level) {
    trace([] {
        std::optional<JsonStlLogger> a, b;
        a.emplace("a", "a.py", 1, 1, "%s", "A");
        b.emplace("b", "b.py", 2, 1, "%s", "B");
        a->log("%s", "from a");
        a.reset();
        EXPECT_TRUE(written_so_far().ends_with(
            "        \"events\": [\n"
            "          { \"ts\": T, \"invoker\": \"a\", \"file\": \"a.py\", \"line\": 1, \"args\": \"from a\" }\n"
            "        ],\n        \"ts_exit\": T\n      }"))
            << "a's record inside b, then b's level closed";
        b.reset();
        EXPECT_TRUE(written_so_far().ends_with("\n      }\n    ],\n    \"ts_exit\": T\n  }\n]\n")) << "then a's";
    });
}

// Each operation costs one write, which begins with the line end of the
// element written before it: "," when another element follows it, none at
// the end of its array. A record is in the file as soon as `log` returns, so
// a process killed right after it keeps it.
TEST_F(TraceRecords, each_operation_writes_once_and_a_record_is_in_the_file_when_log_returns) {
    trace([] {
        const auto step = [](auto&& operation, const std::string& written) {
            const std::size_t length_before = written_so_far().size();
            const std::uint64_t calls_before = vorn::trace_write_calls();
            operation();
            EXPECT_EQ(vorn::trace_write_calls() - calls_before, 1u) << written;
            EXPECT_TRUE(written_so_far().substr(length_before).starts_with(written)) << written;
        };
        const auto record = [](const std::string& args) {
            return "      { \"ts\": T, \"invoker\": \"a\", \"file\": \"f\", \"line\": 1, \"args\": \"" + args + "\" }";
        };
        std::optional<JsonStlLogger> a, b;
        step([&] { a.emplace("a", "f", 1, 1, "%s", "A"); }, "[\n  {\n");
        step([&] { a->log("%s", "x"); }, record("x"));
        EXPECT_TRUE(written_so_far().ends_with(record("x"))) << "whole, waiting only for its line end";
        step([&] { b.emplace("b", "f", 2, 1, "%s", "B"); }, ",\n      {\n");
        step([&] { b.reset(); }, "        ],\n");
        EXPECT_TRUE(written_so_far().ends_with("\n      }")) << "b's brace, waiting for its line end";
        step([&] { a->log("%s", "y"); }, ",\n" + record("y"));
        step([&] { a->log("%s", "z"); }, ",\n" + record("z"));
        step([&] { a.reset(); }, "\n    ],\n");
        EXPECT_TRUE(written_so_far().ends_with("\n  }\n]\n")) << "the file is complete until the next scope";
        step([&] { a.emplace("a", "f", 3, 1, "%s", "C"); }, "");  // over the final "]"
    });
}

// A record logged while no scope is open on the calling thread (a scope used
// from another thread) is an element of the top-level array, written at once
// like any last element: its line end waits for the next element, and the
// thread's end closes the array after it.
TEST_F(TraceRecords, a_record_with_no_scope_open_on_the_thread_is_a_top_level_element) {
    std::optional<JsonStlLogger> elsewhere;
    run_in_thread([&] { elsewhere.emplace("e", "e.py", 5, 1, "%s", "E"); });
    const auto record = [](const std::string& args) {
        return "{ \"ts\": T, \"invoker\": \"e\", \"file\": \"e.py\", \"line\": 5, \"args\": \"" + args + "\" }";
    };
    const std::string scope =
        "  {\n    \"invoker\": \"a\",\n    \"file\": \"f\",\n    \"line\": 1,\n    \"ts_enter\": T,\n"
        "    \"args\": \"A\",\n    \"events\": [\n    ],\n    \"ts_exit\": T\n  }\n";
    // Each step: 's' a top-level scope, 'r' a record through `elsewhere`.
    const struct {
        const char* steps;
        std::string file;
    } cases[] = {
        {"rr", "[\n" + record("r") + ",\n" + record("r") + "\n]\n"},
        {"srs", "[\n" + scope + ",\n" + record("r") + ",\n" + scope + "]\n"},
        {"rs", "[\n" + record("r") + ",\n" + scope + "]\n"},
        {"sr", "[\n" + scope + ",\n" + record("r") + "\n]\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.steps);
        EXPECT_EQ(mask_timestamps(trace([&] {
                      for (const char* step = c.steps; *step != '\0'; ++step) {
                          if (*step == 's') {
                              JsonStlLogger a("a", "f", 1, 1, "%s", "A");
                          } else {
                              elsewhere->log("%s", "r");
                              EXPECT_TRUE(written_so_far().ends_with(record("r"))) << "in the file at once";
                          }
                      }
                  })),
                  c.file);
    }
}

TEST_F(TraceRecords, a_lost_directory_does_not_escape_a_destructor_and_a_new_file_starts_an_array) {
    const std::string root = dir.path() + "/root";
    vorn::testing::ScopedEnv root_env("VORN_LOG_DIR", root.c_str());
    const auto lines = lines_of(mask_timestamps(trace([&] {
        // The file's own path is a directory: the file cannot be opened, and
        // every operation tries again.
        std::filesystem::create_directories(root + "/vorn/" + vorn::testing::host_name() + "/stl_" +
                                            std::to_string(vorn::current_thread_id()) + ".log");
        std::optional<JsonStlLogger> a;
        a.emplace("a", "f", 1, 1, "%s", "A");
        // Now the directory cannot be made again: a regular file is in its way.
        std::filesystem::remove_all(root);
        { std::ofstream blocker(root); }
        a.reset();  // must not throw
        std::filesystem::remove(root);
        JsonStlLogger c("c", "f", 3, 1, "%s", "C");
    })));
    ASSERT_EQ(lines.size(), 12u);
    EXPECT_EQ(lines[0], "[");
    EXPECT_EQ(lines[2], "    \"invoker\": \"c\",");
    EXPECT_EQ(lines.back(), "]");
}

// Hooks that note, for every release and reacquire, how many trace writes
// the calling thread had made; installed for the life of the object.
class NotedBlockingCalls {
public:
    NotedBlockingCalls() { vorn::set_blocking_call_hooks(&kHooks); }
    ~NotedBlockingCalls() { vorn::set_blocking_call_hooks(nullptr); }
    NotedBlockingCalls(const NotedBlockingCalls&) = delete;
    NotedBlockingCalls& operator=(const NotedBlockingCalls&) = delete;

    // (writes made at the release, at the reacquire) of each call.
    static inline std::vector<std::pair<std::uint64_t, std::uint64_t>> calls;

private:
    static inline int token;
    static void* release() noexcept {
        calls.emplace_back(vorn::trace_write_calls(), 0);
        return &token;
    }
    static void reacquire(void* given) noexcept {
        calls.back().second = given == &token ? vorn::trace_write_calls() : 0;
    }
    static constexpr vorn::BlockingCallHooks kHooks{&release, &reacquire};
};

// Each write lets the host's other threads run, and only the write: one
// release and one reacquire around it, the token handed back.
TEST_F(TraceRecords, every_write_and_only_the_write_runs_as_a_blocking_call) {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> calls;
    std::uint64_t writes = 0;
    trace([&] {
        const std::uint64_t before = vorn::trace_write_calls();
        {
            NotedBlockingCalls noted;
            NotedBlockingCalls::calls.clear();
            std::optional<JsonStlLogger> a;
            a.emplace("a", "f", 1, 1, "%s", "A");
            a->log("%s", "first");
            a->log("%s", "second");
            a.reset();
            JsonStlLogger("b", "f", 2, 1, "%s", "B").log("%s", "y");
            calls = NotedBlockingCalls::calls;
        }
        writes = vorn::trace_write_calls() - before;
    });
    ASSERT_EQ(calls.size(), writes);
    for (const auto& [at_release, at_reacquire] : calls) EXPECT_EQ(at_reacquire, at_release + 1);
}

}  // namespace
