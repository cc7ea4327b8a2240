#include "console/console_line.h"
#include "console/stdout_logger.h"
#include "console/stdout_logger_options.h"
#include "trace/blocking_call.h"
#include "trace/clock.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>

#include <stdio_ext.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "test_support.h"

namespace {

using vorn::StdoutLogger;
using vorn::print_console_line;
using vorn::testing::FdCapture;

const std::string kRun = "run" + std::string(27, ' ');  // "run" in the 30-byte column

std::int64_t wall_clock_ms() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

std::string local_time_now() {
    const std::time_t seconds = wall_clock_ms() / 1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

// What `body` writes to file descriptor 1, with the time of every header
// checked to lie between the local times before and after (this text sorts
// in time order) and replaced with "<time>".
template <typename Body>
std::string stdout_of(Body&& body) {
    const std::string earliest = local_time_now();
    FdCapture capture;
    body();
    std::string output = capture.release();
    const std::string latest = local_time_now();
    const std::string prefix = "[vorn " + vorn::testing::host_name() + "] ";
    for (std::size_t at = output.find(prefix); at != std::string::npos; at = output.find(prefix, at + 1)) {
        const std::string time = output.substr(at + prefix.size(), 19);
        EXPECT_TRUE(earliest <= time && time <= latest) << time;
        output.replace(at + prefix.size(), time.size(), "<time>");
    }
    return output;
}

// A header as printed on this machine, with the time masked.
std::string header(const std::string& column = kRun, const std::string& workflow = "NOT SET") {
    return "[vorn " + vorn::testing::host_name() + "] <time>(" + workflow + ") | " + column + " | ";
}

// Options persist per thread: every test starts from the defaults.
class console_writer : public ::testing::Test {
protected:
    void SetUp() override { options() = {}; }
    static vorn::StdoutLoggerOptions& options() { return vorn::current_stdout_logger_options(); }
};

TEST_F(console_writer, worked_example_under_each_colour_and_header_setting) {
    const std::string long_workflow(9000, 'w');
    const struct {
        std::string color, workflow;
        bool print_header, use_color;
        std::string open, close;  // the frame around each message
    } cases[] = {
        {vorn::CLI_LEVEL_INFO, "NOT SET", true, true, "\033[1;32m", "\033[0m"},
        {vorn::CLI_LEVEL_RESET, "NOT SET", true, true, "\033[0m", "\033[0m"},
        {vorn::CLI_LEVEL_INFO, "NOT SET", true, false, "", ""},
        {"", "NOT SET", true, true, "", ""},                                   // no colour text
        {std::string("\0\033[1;31m", 8), "NOT SET", true, true, "", ""},       // colour text starts with NUL
        {"\033[38;5;208m>", "", true, true, "\033[38;5;208m>", "\033[0m"},     // any text, unchanged
        {vorn::CLI_LEVEL_WARNING, long_workflow, true, true, "\033[1;33m", "\033[0m"},  // past the line buffer
        {vorn::CLI_LEVEL_INFO, "NOT SET", false, true, "", ""},                // no header: never coloured
    };
    for (const auto& c : cases) {
        options() = {c.color, c.workflow, c.print_header, c.use_color};
        // Scope A, log x, nested scope B opened and closed, A closed: three lines, none at a close.
        const std::string output = stdout_of([] {
            StdoutLogger outer("run", "<python>", 0, 7, "%s", "A");
            outer.log("%s", "x");
            StdoutLogger inner("run", "<python>", 0, 7, "%s", "B");
        });
        std::string expected;
        for (const char* message : {"A", "x", "B"})
            expected += (c.print_header ? header(kRun, c.workflow) : "") + c.open + message + c.close + "\n";
        EXPECT_EQ(output, expected);
    }
}

TEST_F(console_writer, invoker_column_is_exactly_30_bytes_and_never_splits_a_character) {
    options().use_color = false;
    const std::string a29(29, 'a');
    const std::pair<std::string, std::string> invokers_and_columns[] = {
        {"", std::string(30, ' ')},
        {std::string(31, 'c'), std::string(30, 'c')},
        {a29 + "\xC3\xA9", a29 + " "},  // é would be split
    };
    for (const auto& [invoker, column] : invokers_and_columns) {
        EXPECT_EQ(stdout_of([&] { print_console_line(invoker.c_str(), "m"); }), header(column) + "m\n") << invoker;
    }
}

TEST_F(console_writer, messages_are_literal_and_only_scope_lines_cut_them_to_4095_bytes_on_a_character) {
    options().print_header = false;
    const std::string plain(5000, 'm'), m4094(4094, 'm');
    // Each message with what a scope and its log show; print_console_line shows it whole.
    const std::pair<std::string, std::string> messages_and_scope_lines[] = {
        {"100%d %s %% %n\none\ntwo\n", "100%d %s %% %n\none\ntwo\n"},
        {plain, plain.substr(0, 4095)},
        {m4094 + "\xC3\xA9" + plain, m4094},  // é would be split, and lies past the formatting buffer
    };
    for (const auto& [message, scope_shows] : messages_and_scope_lines) {
        EXPECT_EQ(stdout_of([&] {
                      StdoutLogger scope("run", "f", 1, 1, "%s", message.c_str());
                      scope.log("%s", message.c_str());
                      print_console_line("run", message.c_str());
                  }),
                  scope_shows + "\n" + scope_shows + "\n" + message + "\n");
    }
    // A NUL made by the formatting ends the message.
    EXPECT_EQ(stdout_of([] { StdoutLogger("run", "f", 1, 1, "%s%c%s", "ab", 0, "cd"); }), "ab\n");
}

TEST_F(console_writer, lines_follow_the_calling_threads_current_options_and_keep_the_scopes_invoker) {
    const std::string output = stdout_of([] {
        StdoutLogger scope("opener", "f", 1, 1, "%s", "A");
        options().use_color = false;
        scope.log("%s", "x");
        // Another thread logs with its own (default) options, the scope's invoker.
        std::thread([&] { scope.log("%s", "y"); }).join();
    });
    const std::string column = "opener" + std::string(24, ' ');
    EXPECT_EQ(output, header(column) + "\033[0mA\033[0m\n" + header(column) + "x\n" + header(column) +
                          "\033[0my\033[0m\n");
}

TEST_F(console_writer, scope_fields_hold_255_bytes_without_splitting_a_character) {
    const std::string invoker = std::string(254, 'i') + "\xC3\xA9";
    const std::string file(400, 'f');
    FdCapture quiet;
    StdoutLogger scope(invoker.c_str(), file.c_str(), 1, 1, "%s", "m");
    quiet.release();  // failure messages go to stdout
    EXPECT_EQ(std::string(scope.invoker()), std::string(254, 'i'));
    EXPECT_EQ(std::string(scope.file()), std::string(255, 'f'));
}

// Hooks that note the size of what file descriptor 1 holds at every release
// and reacquire; installed for the life of the object.
class NotedBlockingCalls {
public:
    NotedBlockingCalls() { vorn::set_blocking_call_hooks(&kHooks); }
    ~NotedBlockingCalls() { vorn::set_blocking_call_hooks(nullptr); }
    NotedBlockingCalls(const NotedBlockingCalls&) = delete;
    NotedBlockingCalls& operator=(const NotedBlockingCalls&) = delete;

    // (size at the release, size at the reacquire) of each call.
    static inline std::vector<std::pair<off_t, off_t>> calls;

private:
    static inline int token;
    static off_t stdout_size() noexcept {
        struct stat status {};
        return fstat(1, &status) == 0 ? status.st_size : -1;
    }
    static void* release() noexcept {
        calls.emplace_back(stdout_size(), -1);
        return &token;
    }
    static void reacquire(void* given) noexcept { calls.back().second = given == &token ? stdout_size() : -1; }
    static constexpr vorn::BlockingCallHooks kHooks{&release, &reacquire};
};

// A line, short or long (past stdout's buffer and the line buffer), leaves
// in one blocking call that other threads of the host may run during, with
// stdout's pending bytes flushed inside it.
TEST_F(console_writer, each_line_is_written_whole_inside_one_blocking_call) {
    options().print_header = false;
    for (const std::size_t length : {10u, 5000u, 20000u}) {
        const std::string message(length, 'm');
        std::vector<std::pair<off_t, off_t>> calls;
        FdCapture capture;
        std::fputs("pending ", stdout);
        {
            NotedBlockingCalls noted;
            NotedBlockingCalls::calls.clear();
            print_console_line("run", message.c_str());
            calls = NotedBlockingCalls::calls;
        }
        EXPECT_EQ(capture.release(), "pending " + message + "\n");
        ASSERT_EQ(calls.size(), 1u) << length;
        EXPECT_EQ(calls[0].first, 0) << length;
        EXPECT_EQ(calls[0].second, static_cast<off_t>(length + 9)) << length;
    }
}

// The run state letter of thread `tid` of this process ('S': sleeping).
char thread_state(pid_t tid) {
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const std::size_t end_of_name = text.rfind(')');
    return end_of_name == std::string::npos || end_of_name + 2 >= text.size() ? '?' : text[end_of_name + 2];
}

// Other code of the process that is in the middle of its stdio output (it
// holds stdout's lock) finishes before a console line is even measured
// against stdout's buffer: here that output fills the buffer, so the line
// must leave on its own, in one write, after it. Each write to the
// SOCK_SEQPACKET socket behind fd 1 arrives as one message.
TEST_F(console_writer, a_line_waits_for_stdio_output_in_progress_on_another_thread) {
    int sockets[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sockets), 0);
    std::fflush(stdout);
    const int saved_stdout = dup(1);
    dup2(sockets[0], 1);
    const std::size_t buffer_size = std::max<std::size_t>(__fbufsize(stdout), 1024);
    const std::string other(buffer_size - 100, 'o');
    const std::string message(400, 'm');
    std::atomic<pid_t> writer_tid{0};
    std::atomic<bool> written{false};
    flockfile(stdout);
    std::thread writer([&] {
        options().print_header = false;
        writer_tid = gettid();
        print_console_line("run", message.c_str());
        written = true;
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    bool waiting = false;
    while (!written && !waiting && std::chrono::steady_clock::now() < deadline) {
        waiting = writer_tid != 0 && thread_state(writer_tid) == 'S';
    }
    const bool written_while_locked = written;
    fputs_unlocked(other.c_str(), stdout);
    funlockfile(stdout);
    writer.join();
    dup2(saved_stdout, 1);
    close(saved_stdout);
    close(sockets[0]);
    std::vector<std::string> writes;
    char received[16384];
    for (ssize_t got; (got = recv(sockets[1], received, sizeof received, MSG_DONTWAIT)) > 0;) {
        writes.emplace_back(received, static_cast<std::size_t>(got));
    }
    close(sockets[1]);
    EXPECT_FALSE(written_while_locked);
    EXPECT_EQ(writes, (std::vector<std::string>{other, message + "\n"}));
}

TEST(console_scope_clock, the_first_console_scope_of_a_process_fixes_the_trace_clock_origin) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process: no clock read yet
    EXPECT_EXIT(
        {
            const std::int64_t before = wall_clock_ms();
            FdCapture quiet;
            StdoutLogger scope("run", "f", 1, 1, "%s", "A");
            const std::int64_t opened = wall_clock_ms();
            while (wall_clock_ms() == opened) continue;  // a first reading only now would land after `opened`
            const bool fixed_by_scope = vorn::clock_origin_ms() >= before && vorn::clock_origin_ms() <= opened;
            quiet.release();  // std::exit skips destructors
            std::exit(fixed_by_scope ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
