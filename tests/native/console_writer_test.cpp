#include "console/console_line.h"
#include "console/stdout_logger.h"
#include "console/stdout_logger_options.h"
#include "trace/clock.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <string>
#include <string_view>
#include <thread>

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

// Structural UTF-8 check: each lead byte is followed by its continuations.
bool is_utf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80 ? 1 : lead >= 0xC2 && lead <= 0xDF ? 2
                                 : lead >= 0xE0 && lead <= 0xEF ? 3 : lead >= 0xF0 && lead <= 0xF4 ? 4 : 0;
        if (length == 0 || i + length > text.size()) return false;
        for (std::size_t k = 1; k < length; ++k) {
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
        }
        i += length;
    }
    return true;
}

std::string repeat(std::string_view piece, std::size_t times) {
    std::string text;
    for (std::size_t i = 0; i < times; ++i) text += piece;
    return text;
}

// Options persist per thread: every test starts from the defaults.
class console_writer : public ::testing::Test {
protected:
    void SetUp() override { options() = {}; }
    static vorn::StdoutLoggerOptions& options() { return vorn::current_stdout_logger_options(); }
};

TEST_F(console_writer, worked_example_under_each_colour_and_header_setting) {
    // Scope A, log x, nested scope B opened and closed, A closed.
    const auto run = [] {
        return stdout_of([] {
            StdoutLogger outer("run", "<python>", 0, 7, "%s", "A");
            outer.log("%s", "x");
            StdoutLogger inner("run", "<python>", 0, 7, "%s", "B");
        });
    };
    const auto lines = [](const std::string& head, const std::string& open, const std::string& close) {
        return head + open + "A" + close + "\n" + head + open + "x" + close + "\n" + head + open + "B" + close + "\n";
    };
    options().color = vorn::CLI_LEVEL_INFO;
    EXPECT_EQ(run(), lines(header(), "\033[1;32m", "\033[0m"));
    options().color = vorn::CLI_LEVEL_RESET;
    EXPECT_EQ(run(), lines(header(), "\033[0m", "\033[0m"));
    options().use_color = false;
    EXPECT_EQ(run(), lines(header(), "", ""));
    options().print_header = false;
    EXPECT_EQ(run(), "A\nx\nB\n");
    options().use_color = true;
    EXPECT_EQ(run(), "A\nx\nB\n");
}

TEST_F(console_writer, colour_needs_a_colour_text_and_writes_it_unchanged) {
    const auto line = [] { return stdout_of([] { print_console_line("run", "m"); }); };
    options().color = "";
    EXPECT_EQ(line(), header() + "m\n");
    options().color = std::string("\0\033[1;31m", 8);
    EXPECT_EQ(line(), header() + "m\n");
    options().color = "\033[38;5;208m>";
    EXPECT_EQ(line(), header() + "\033[38;5;208m>m\033[0m\n");
    options().use_color = false;
    options().workflow_name = "";
    EXPECT_EQ(line(), header(kRun, "") + "m\n");
}

TEST_F(console_writer, invoker_column_is_exactly_30_bytes_and_never_splits_a_character) {
    options().use_color = false;
    const std::string a27(27, 'a'), a28(28, 'a'), a29(29, 'a');
    const struct {
        std::string invoker, column;
    } cases[] = {
        {"", std::string(30, ' ')},
        {std::string(30, 'b'), std::string(30, 'b')},
        {std::string(31, 'c'), std::string(30, 'c')},
        {a29 + "\xC3\xA9", a29 + " "},                             // é would be split
        {a28 + "\xF0\x9F\x98\x80", a28 + "  "},                    // so would an emoji
        {a27 + "\xE2\x82\xAC" + "tail", a27 + "\xE2\x82\xAC"},     // € ends at byte 30
        {a29 + "\xA9\xA9", a29 + "\xA9"},                          // malformed: plain bytes
    };
    for (const auto& c : cases) {
        const std::string line = stdout_of([&] { print_console_line(c.invoker.c_str(), "m"); });
        EXPECT_EQ(line, header(c.column) + "m\n") << c.invoker;
        EXPECT_TRUE(!is_utf8(c.invoker) || is_utf8(line)) << c.invoker;
    }
}

TEST_F(console_writer, message_text_passes_unchanged_up_to_a_nul) {
    options().print_header = false;
    const char percent[] = "100%d %s %% %n";
    const char newlines[] = "one\ntwo\n";
    const char nul[] = "ab\0cd";
    EXPECT_EQ(stdout_of([&] {
                  StdoutLogger scope("run", "f", 1, 1, "%s", percent);
                  scope.log("%s", newlines);
                  scope.log("%s", nul);
                  scope.log("%s%c%s", "ab", 0, "cd");
                  print_console_line("run", percent);
                  print_console_line("run", newlines);
                  print_console_line("run", nul);
              }),
              "100%d %s %% %n\none\ntwo\n\nab\nab\n100%d %s %% %n\none\ntwo\n\nab\n");
}

TEST_F(console_writer, scope_and_log_show_4095_bytes_without_splitting_a_character) {
    options().print_header = false;
    const std::string plain(5000, 'm');
    const std::string two_byte = repeat("\xC3\xA9", 2500);        // 4095 falls inside an é
    const std::string three_byte = repeat("\xE2\x82\xAC", 2000);  // 4095 is a boundary
    const std::string malformed(5000, '\xA9');                    // stray continuation bytes
    const std::string output = stdout_of([&] {
        StdoutLogger scope("run", "f", 1, 1, "%s", plain.c_str());
        scope.log("%s", two_byte.c_str());
        scope.log("%s", three_byte.c_str());
        scope.log("%s", malformed.c_str());
        print_console_line("run", plain.c_str());
        print_console_line("run", two_byte.c_str());
    });
    const std::string shown = plain.substr(0, 4095) + "\n" + two_byte.substr(0, 4094) + "\n" +
                              three_byte.substr(0, 4095) + "\n";
    EXPECT_EQ(output, shown + malformed.substr(0, 4095) + "\n" + plain + "\n" + two_byte + "\n");
    EXPECT_TRUE(is_utf8(shown));
}

TEST_F(console_writer, a_line_longer_than_the_line_buffer_is_written_whole_and_in_order) {
    options().color = vorn::CLI_LEVEL_WARNING;
    options().workflow_name = std::string(9000, 'w');
    std::string message;
    for (int i = 0; message.size() < 100000; ++i) message += std::to_string(i) + ",";
    EXPECT_EQ(stdout_of([&] { print_console_line("run", message.c_str()); }),
              header(kRun, options().workflow_name) + "\033[1;33m" + message + "\033[0m\n");
}

TEST_F(console_writer, lines_follow_the_current_options_and_the_scope_keeps_its_invoker) {
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
    options().print_header = false;
    const std::string invoker = std::string(254, 'i') + "\xC3\xA9";
    const std::string file(400, 'f');
    FdCapture quiet;
    StdoutLogger scope(invoker.c_str(), file.c_str(), -3, 0xFFFFFFFFFFFFFFFFull, "%s", "m");
    EXPECT_EQ(std::string(scope.invoker()), std::string(254, 'i'));
    EXPECT_EQ(std::string(scope.file()), std::string(255, 'f'));
    EXPECT_EQ(scope.line(), -3);
    EXPECT_EQ(scope.tid(), 0xFFFFFFFFFFFFFFFFull);
}

TEST(console_scope_clock, the_first_console_scope_of_a_process_fixes_the_trace_clock_origin) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process: no clock read yet
    EXPECT_EXIT(
        {
            const std::int64_t before = wall_clock_ms();
            FdCapture quiet;
            StdoutLogger scope("run", "f", 1, 1, "%s", "A");
            const std::int64_t opened = wall_clock_ms();
            while (wall_clock_ms() == opened) {
            }  // a first reading only now would land after `opened`
            const bool fixed_by_scope = vorn::clock_origin_ms() >= before && vorn::clock_origin_ms() <= opened;
            quiet.release();  // std::exit skips destructors
            std::exit(fixed_by_scope ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
