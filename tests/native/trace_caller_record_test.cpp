// Records that name their caller: where they land among a thread's scopes.

#include "trace/caller_record.h"
#include "trace/json_stl_logger.h"
#include "trace/log_file.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "test_support.h"

namespace {

using vorn::JsonStlLogger;
using vorn::write_caller_record;
using vorn::testing::mask_timestamps;
using vorn::testing::read_file;
using vorn::testing::run_in_thread;

class CallerRecords : public ::testing::Test {
protected:
    vorn::testing::TempDir dir;
    vorn::testing::ScopedEnv log_dir{"VORN_LOG_DIR", dir.path().c_str()};
    vorn::testing::ScopedEnv prefix{"VORN_LOG_PREFIX", nullptr};

    // Runs `fn` on a new thread; returns its file, timestamps masked.
    std::string trace(const std::function<void()>& fn) {
        std::string path;
        run_in_thread([&] {
            fn();
            path = vorn::get_log_file_name();
        });
        return mask_timestamps(read_file(path));
    }
};

TEST_F(CallerRecords, land_in_the_innermost_open_scope_or_at_the_top_level) {
    const std::string text = trace([] {
        write_caller_record("main", "job.py", 3, "first");
        {
            JsonStlLogger outer("o", "o.py", 1, 0, "%s", "outer");
            std::optional<JsonStlLogger> inner;
            inner.emplace("i", "i.py", 2, 0, "%s", "inner");
            write_caller_record("work", "job.py", 7, "%d literally");
            inner.reset();
            write_caller_record("work", "job.py", 8, "");
        }
        write_caller_record("main", "job.py", 9, "last");
    });
    EXPECT_EQ(text,
              "[\n"
              "{ \"ts\": T, \"invoker\": \"main\", \"file\": \"job.py\", \"line\": 3, \"args\": \"first\" },\n"
              "  {\n"
              "    \"invoker\": \"o\",\n"
              "    \"file\": \"o.py\",\n"
              "    \"line\": 1,\n"
              "    \"ts_enter\": T,\n"
              "    \"args\": \"outer\",\n"
              "    \"events\": [\n"
              "      {\n"
              "        \"invoker\": \"i\",\n"
              "        \"file\": \"i.py\",\n"
              "        \"line\": 2,\n"
              "        \"ts_enter\": T,\n"
              "        \"args\": \"inner\",\n"
              "        \"events\": [\n"
              "          { \"ts\": T, \"invoker\": \"work\", \"file\": \"job.py\", \"line\": 7, "
              "\"args\": \"%d literally\" }\n"
              "        ],\n"
              "        \"ts_exit\": T\n"
              "      },\n"
              "      { \"ts\": T, \"invoker\": \"work\", \"file\": \"job.py\", \"line\": 8, \"args\": \"\" }\n"
              "    ],\n"
              "    \"ts_exit\": T\n"
              "  }\n"
              ",\n"
              "{ \"ts\": T, \"invoker\": \"main\", \"file\": \"job.py\", \"line\": 9, \"args\": \"last\" }\n"
              "]\n");
}

}  // namespace
