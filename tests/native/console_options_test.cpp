#include "console/stdout_logger_options.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

namespace {

using vorn::StdoutLoggerOptions;

// How the options reach console lines, also on other threads, is checked
// by the console writer tests; here only the values a thread starts from.
TEST(console_options, a_record_and_a_fresh_thread_start_from_the_defaults) {
    StdoutLoggerOptions of_fresh_thread{"", "", false, false};
    std::thread([&] { of_fresh_thread = vorn::current_stdout_logger_options(); }).join();
    for (const StdoutLoggerOptions& options : {StdoutLoggerOptions{}, of_fresh_thread}) {
        EXPECT_EQ(options.color, "\033[0m");
        EXPECT_EQ(options.workflow_name, "NOT SET");
        EXPECT_TRUE(options.print_header);
        EXPECT_TRUE(options.use_color);
    }
}

}  // namespace
