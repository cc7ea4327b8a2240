// Trace records cost no heap allocation: once a thread has opened its trace
// file (its first scope sets up the thread's state), enter, instant and exit
// records of any size are composed in fixed buffers.

#include "trace/json_stl_logger.h"
#include "trace/log_file.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "allocation_counter.h"
#include "test_support.h"

namespace {

using vorn::JsonStlLogger;
using vorn::testing::allocations_of;

TEST(trace_allocation, records_of_every_kind_and_size_allocate_nothing_once_the_file_is_open) {
    vorn::testing::TempDir dir;
    vorn::testing::ScopedEnv root("VORN_LOG_DIR", dir.path().c_str());
    const std::string long_message(5000, 'm');
    const std::string control_message(4095, '\x01');  // every byte escaped to six
    const std::string long_identity(300, 'i');
    std::size_t allocations = 0;
    std::string file;
    vorn::testing::run_in_thread([&] {
        { JsonStlLogger first("main", "job.py", 1, 1, "%s", "opens the file"); }
        allocations = allocations_of([&] {
            for (int round = 0; round < 3; ++round) {
                // A second top-level scope rewrites the file's closing "]".
                JsonStlLogger outer("main", "job.py", 10, 1, "%s", "load");
                outer.log("%s", "x");
                outer.log("%s", long_message.c_str());
                {
                    JsonStlLogger inner(long_identity.c_str(), long_identity.c_str(), -1, 1, "%s",
                                        control_message.c_str());
                    inner.log("%s", control_message.c_str());
                    inner.log("%d items in %s", 42, "a formatted message");
                }
                outer.log("%s", "after the child");
            }
            // Scopes destroyed out of order: the first destroyed closes the
            // innermost level, the log lands in the one still open.
            std::optional<JsonStlLogger> a(std::in_place, "main", "job.py", 1, 1, "%s", "a");
            std::optional<JsonStlLogger> b(std::in_place, "main", "job.py", 2, 1, "%s", "b");
            a.reset();
            b->log("%s", "in the outer level");
            b.reset();
        });
        file = vorn::get_log_file_name();
    });
    EXPECT_EQ(allocations, 0u);
    // The workload did write: 1 + 3 * 2 + 2 scopes, each with its exit time.
    const std::string text = vorn::testing::read_file(file);
    std::size_t exits = 0;
    for (std::size_t at = text.find("\"ts_exit\""); at != std::string::npos; at = text.find("\"ts_exit\"", at + 1))
        ++exits;
    EXPECT_EQ(exits, 9u);
}

}  // namespace
