// What a console line costs: no heap allocation and one write system call,
// however long the line; the whole line has left the process when the call
// returns (nothing of it waits in stdout's buffer), in order after whatever
// other code had put in stdout before. Writes are counted by making stdout a
// SOCK_SEQPACKET socket, which keeps the bytes of each write a message of
// their own.

#include "console/console_line.h"
#include "console/local_time_text.h"
#include "console/stdout_logger.h"
#include "console/stdout_logger_options.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <iterator>
#include <string>
#include <vector>

#include <stdio_ext.h>
#include <sys/socket.h>
#include <unistd.h>

#include "allocation_counter.h"
#include "test_support.h"

namespace {

using vorn::print_console_line;
using vorn::testing::allocations_of;
using vorn::testing::FdCapture;

class console_line_cost : public ::testing::Test {
protected:
    void SetUp() override { vorn::current_stdout_logger_options() = {}; }
    void TearDown() override { vorn::current_stdout_logger_options() = {}; }
};

// File descriptor 1 is one end of a SOCK_SEQPACKET socket pair while the
// object lives; writes() returns what each write put there since the last
// call, one string per write.
class WritesToStdout {
public:
    WritesToStdout() {
        std::fflush(stdout);
        if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, ends_) != 0) std::abort();
        const int buffer = 1 << 20;
        setsockopt(ends_[0], SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
        setsockopt(ends_[1], SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
        saved_ = dup(1);
        dup2(ends_[0], 1);
    }
    ~WritesToStdout() {
        std::fflush(stdout);
        dup2(saved_, 1);
        for (const int fd : {saved_, ends_[0], ends_[1]}) close(fd);
    }
    WritesToStdout(const WritesToStdout&) = delete;
    WritesToStdout& operator=(const WritesToStdout&) = delete;

    std::vector<std::string> writes() {
        std::vector<std::string> messages;
        std::string message(1 << 18, '\0');
        for (;;) {
            const ssize_t size = recv(ends_[1], message.data(), message.size(), MSG_DONTWAIT);
            if (size < 0 && errno == EINTR) continue;
            if (size < 0) return messages;
            messages.emplace_back(message.data(), static_cast<std::size_t>(size));
        }
    }

private:
    int ends_[2] = {-1, -1};
    int saved_ = -1;
};

// Messages around the sizes where stdio's buffer (1 KiB on a terminal, 4 KiB
// on a pipe or file) and the writer's own 8 KiB buffer run out.
const std::size_t kMessageSizes[] = {0, 10, 1000, 4090, 5000, 8200, 70000};

TEST_F(console_line_cost, every_line_allocates_nothing_and_leaves_in_one_write) {
    const std::string long_workflow(9000, 'w');
    const vorn::StdoutLoggerOptions settings[] = {
        {},                                                  // header, reset colour
        {vorn::CLI_LEVEL_ERROR, long_workflow, true, true},  // header longer than the buffer
        {vorn::CLI_LEVEL_INFO, "NOT SET", false, true},      // bare message
    };
    WritesToStdout stdout_writes;
    for (const auto& options : settings) {
        vorn::current_stdout_logger_options() = options;
        const std::string end = options.print_header ? "\033[0m\n" : "\n";
        for (const std::size_t size : kMessageSizes) {
            const std::string message(size, 'm');
            EXPECT_EQ(allocations_of([&] {
                          print_console_line("run", message.c_str());
                          print_console_line(std::string_view("run"), std::string_view(message));
                          vorn::StdoutLogger scope("run", "f.py", 1, 1, "%s", message.c_str());
                          scope.log("%s", message.c_str());
                      }),
                      0u)
                << size;
            const std::vector<std::string> writes = stdout_writes.writes();
            ASSERT_EQ(writes.size(), 4u) << size;
            for (std::size_t i = 0; i < writes.size(); ++i) {
                // A scope's lines show at most 4095 bytes of the message.
                const std::string shown = i < 2 ? message : message.substr(0, 4095);
                EXPECT_TRUE(writes[i].ends_with(shown + end)) << size << " " << i;
                if (options.print_header) {
                    EXPECT_TRUE(writes[i].starts_with("[vorn ")) << size << " " << i;
                    EXPECT_EQ(writes[i].size(), writes[0].size() - message.size() + shown.size());
                } else {
                    EXPECT_EQ(writes[i], shown + end);
                }
            }
        }
    }
}

TEST_F(console_line_cost, a_line_of_any_length_follows_unflushed_stdout_and_leaves_it_empty) {
    vorn::current_stdout_logger_options().print_header = false;
    for (const std::size_t size : kMessageSizes) {
        const std::string message(size, 'm');
        FdCapture capture;
        std::fputs("before ", stdout);  // left in stdout's buffer, unflushed
        print_console_line("run", message.c_str());
        EXPECT_EQ(__fpending(stdout), 0u) << size;
        print_console_line(std::string_view("run"), std::string_view(message));
        EXPECT_EQ(__fpending(stdout), 0u) << size;
        EXPECT_EQ(capture.release(), "before " + message + "\n" + message + "\n") << size;
    }
}

// The header's time is written digit by digit rather than by strftime; the
// text must be strftime's, whatever the instant and the zone.
TEST_F(console_line_cost, the_header_time_is_strftimes_text_for_any_instant) {
    const std::time_t instants[] = {
        0, 1, 59, 951782400 /* 2000-02-29 */, 1796634902, 2147483647, 4102444800 /* 2100 */,
        -1, -2208988800 /* 1900 */, 253402300799 /* 9999-12-31 23:59:59 */,
        253402300800 /* year 10000 */, -62167219200 /* year 0 */, -30610224000 /* year 1000 */,
    };
    std::vector<std::time_t> all(std::begin(instants), std::end(instants));
    for (std::time_t instant = 0; instant < 86400 * 800; instant += 86400 / 7 + 13) all.push_back(instant);
    for (const char* zone : {"UTC0", "EST5EDT,M3.2.0,M11.1.0", "<+0545>-5:45"}) {
        vorn::testing::ScopedEnv tz("TZ", zone);
        tzset();
        for (const std::time_t instant : all) {
            char text[vorn::kLocalTimeTextSize];
            const std::size_t length = vorn::format_local_time(instant, text);
            std::tm local{};
            char expected[64];
            std::strftime(expected, sizeof expected, "%Y-%m-%d %H:%M:%S", localtime_r(&instant, &local));
            ASSERT_EQ(std::string(text, length), expected) << zone << " " << instant;
        }
    }
    tzset();
}

TEST_F(console_line_cost, a_view_ends_at_its_first_nul_and_needs_none_at_its_end) {
    vorn::current_stdout_logger_options().print_header = false;
    const char unterminated[] = {'a', 'b', 'c', 'X'};
    FdCapture capture;
    print_console_line(std::string_view("run"), std::string_view(unterminated, 3));
    print_console_line(std::string_view("run"), std::string_view("cut\0here", 8));
    EXPECT_EQ(capture.release(), "abc\ncut\n");
}

}  // namespace
