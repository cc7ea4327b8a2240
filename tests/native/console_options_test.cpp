#include "console/console_line.h"
#include "console/stdout_logger_options.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "test_support.h"

namespace {

using vorn::StdoutLoggerOptions;
using vorn::current_stdout_logger_options;

void expect_defaults(const StdoutLoggerOptions& options) {
    EXPECT_EQ(options.color, vorn::CLI_LEVEL_RESET);
    EXPECT_EQ(options.workflow_name, "NOT SET");
    EXPECT_TRUE(options.print_header);
    EXPECT_TRUE(options.use_color);
}

TEST(console_options, defaults_and_colour_levels) {
    expect_defaults(StdoutLoggerOptions{});
    std::thread([] { expect_defaults(current_stdout_logger_options()); }).join();
    EXPECT_STREQ(vorn::CLI_LEVEL_RESET, "\033[0m");
    EXPECT_STREQ(vorn::CLI_LEVEL_STATUS, "\033[1;34m");
    EXPECT_STREQ(vorn::CLI_LEVEL_INFO, "\033[1;32m");
    EXPECT_STREQ(vorn::CLI_LEVEL_WARNING, "\033[1;33m");
    EXPECT_STREQ(vorn::CLI_LEVEL_ERROR, "\033[1;31m");
}

TEST(console_options, options_of_one_thread_are_invisible_to_another) {
    std::thread([] {
        current_stdout_logger_options().print_header = false;
        std::string other;
        std::thread([&] {
            vorn::testing::FdCapture capture;
            vorn::print_console_line("peer", "x");
            other = capture.release();
        }).join();
        // The other thread printed with the defaults: header and reset frame.
        EXPECT_NE(other.find("(NOT SET) | peer"), std::string::npos) << other;
        EXPECT_NE(other.find("\033[0mx\033[0m\n"), std::string::npos) << other;

        vorn::testing::FdCapture capture;
        vorn::print_console_line("me", "bare");
        EXPECT_EQ(capture.release(), "bare\n");
    }).join();
}

}  // namespace
