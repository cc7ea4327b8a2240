// Where each thread's trace file lands, when it is opened, emptied, retried,
// and what a forked child does with it.

#include "trace/json_stl_logger.h"
#include "trace/log_file.h"
#include "trace/thread_id.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <latch>
#include <optional>
#include <string>
#include <thread>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using vorn::JsonStlLogger;
using vorn::testing::host_name;
using vorn::testing::read_file;
using vorn::testing::run_in_thread;
using vorn::testing::ScopedEnv;

bool starts_with(const std::string& text, const std::string& head) { return text.rfind(head, 0) == 0; }

bool ends_with(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// A file holding one closed top-level scope with the given invoker.
bool is_one_closed_scope(const std::string& text, const std::string& invoker) {
    return starts_with(text, "[\n  {\n    \"invoker\": \"" + invoker + "\",\n") && ends_with(text, "\n  }\n]\n") &&
           text.find("\n,\n") == std::string::npos;
}

class TraceLogFile : public ::testing::Test {
protected:
    vorn::testing::TempDir dir;
    ScopedEnv log_dir{"VORN_LOG_DIR", dir.path().c_str()};
    ScopedEnv prefix{"VORN_LOG_PREFIX", nullptr};

    std::string host_dir() const { return dir.path() + "/vorn/" + host_name(); }
    static std::string tid_text() { return std::to_string(vorn::current_thread_id()); }
};

TEST_F(TraceLogFile, defaults_place_the_file_under_the_working_directory) {
    ScopedEnv no_dir("VORN_LOG_DIR", nullptr);
    vorn::testing::ScopedWorkingDirectory cwd(dir.path());
    run_in_thread([] {
        EXPECT_EQ(vorn::get_log_file_name(), "") << "before the first scope";
        { JsonStlLogger scope("main", "job.py", 1, 987654321987, "%s", "m"); }
        // The system thread id, as Python's threading.get_native_id() has it.
        const std::string expected = "./vorn_logs/vorn/" + host_name() + "/stl_" + std::to_string(gettid()) + ".log";
        EXPECT_EQ(vorn::get_log_file_name(), expected);
        EXPECT_TRUE(is_one_closed_scope(read_file(expected), "main"));
        EXPECT_EQ(read_file(expected).find("987654321987"), std::string::npos) << "tid is written nowhere";
    });
}

TEST_F(TraceLogFile, root_and_prefix_are_joined_as_given) {
    {
        ScopedEnv trailing_slash("VORN_LOG_DIR", (dir.path() + "/").c_str());
        run_in_thread([&] {
            JsonStlLogger scope("slash", "f", 1, 1, "%s", "m");
            EXPECT_EQ(vorn::get_log_file_name(), dir.path() + "//vorn/" + host_name() + "/stl_" + tid_text() + ".log");
            EXPECT_TRUE(fs::exists(vorn::get_log_file_name()));
        });
    }
    {
        ScopedEnv empty_prefix("VORN_LOG_PREFIX", "");
        run_in_thread([&] {
            JsonStlLogger scope("empty", "f", 1, 1, "%s", "m");
            EXPECT_EQ(vorn::get_log_file_name(), host_dir() + "/" + tid_text() + ".log");
            EXPECT_TRUE(fs::exists(vorn::get_log_file_name()));
        });
    }
    {
        const std::string elsewhere = dir.path() + "/elsewhere";
        fs::create_directory(elsewhere);
        const std::string other_root = dir.path() + "/other_root";
        ScopedEnv root("VORN_LOG_DIR", other_root.c_str());
        ScopedEnv absolute_prefix("VORN_LOG_PREFIX", (elsewhere + "/p_").c_str());
        run_in_thread([&] {
            { JsonStlLogger scope("absolute", "f", 1, 1, "%s", "m"); }
            EXPECT_EQ(vorn::get_log_file_name(), elsewhere + "/p_" + tid_text() + ".log");
            EXPECT_TRUE(is_one_closed_scope(read_file(vorn::get_log_file_name()), "absolute"));
        });
        const std::string made = other_root + "/vorn/" + host_name();
        EXPECT_TRUE(fs::is_directory(made)) << "the directory under the root is still made";
        EXPECT_TRUE(fs::is_empty(made));
    }
}

TEST_F(TraceLogFile, two_threads_write_two_files) {
    std::latch both_started(2);
    std::string names[2];
    auto worker = [&](int index) {
        const std::string invoker = "thread" + std::to_string(index);
        JsonStlLogger scope(invoker.c_str(), "f", 1, 1, "%s", "m");
        both_started.arrive_and_wait();  // both alive: their thread ids differ
        names[index] = vorn::get_log_file_name();
    };
    std::thread first(worker, 0), second(worker, 1);
    first.join();
    second.join();
    EXPECT_NE(names[0], names[1]);
    EXPECT_TRUE(is_one_closed_scope(read_file(names[0]), "thread0"));
    EXPECT_TRUE(is_one_closed_scope(read_file(names[1]), "thread1"));
    EXPECT_EQ(vorn::get_log_file_name(), "") << "the name belongs to the calling thread";
}

TEST_F(TraceLogFile, a_file_from_an_earlier_run_is_emptied) {
    run_in_thread([&] {
        const std::string path = host_dir() + "/stl_" + tid_text() + ".log";
        fs::create_directories(host_dir());
        std::ofstream(path) << std::string(100000, 'x');
        { JsonStlLogger scope("main", "f", 1, 1, "%s", "m"); }
        EXPECT_TRUE(is_one_closed_scope(read_file(path), "main"));
    });
}

TEST_F(TraceLogFile, a_directory_that_cannot_be_made_throws_and_is_tried_again) {
    const std::string blocker = dir.path() + "/blocker";
    std::ofstream(blocker) << "a regular file";
    ScopedEnv root("VORN_LOG_DIR", (blocker + "/logs").c_str());
    run_in_thread([&] {
        try {
            JsonStlLogger scope("main", "f", 1, 1, "%s", "m");
            ADD_FAILURE() << "no exception";
        } catch (const fs::filesystem_error& error) {
            const std::string what = error.what();
            EXPECT_NE(what.find("create"), std::string::npos) << what;
            EXPECT_NE(what.find(blocker + "/logs/vorn/"), std::string::npos) << what;
        }
        EXPECT_EQ(vorn::get_log_file_name(), "") << "no state changed";
        fs::remove(blocker);
        { JsonStlLogger scope("again", "f", 1, 1, "%s", "m"); }
        EXPECT_TRUE(is_one_closed_scope(read_file(vorn::get_log_file_name()), "again"))
            << "the failed scope left no trace in the writer";
    });
}

TEST_F(TraceLogFile, a_file_that_cannot_be_opened_is_retried_by_every_operation) {
    run_in_thread([&] {
        const std::string path = host_dir() + "/stl_" + tid_text() + ".log";
        fs::create_directories(path);  // a directory where the file should be
        std::optional<JsonStlLogger> outer;
        outer.emplace("outer", "f", 1, 1, "%s", "m");  // nothing raised
        EXPECT_EQ(vorn::get_log_file_name(), path);
        outer->log("%s", "held");
        fs::remove(path);
        outer->log("%s", "releases held");  // opens the file, writes the held record
        outer.reset();
        const std::string text = read_file(path);
        EXPECT_TRUE(starts_with(text, "      { \"ts\": ")) << "begins with the held record: " << text;
        EXPECT_NE(text.find("\"args\": \"held\" },\n      { \"ts\": "), std::string::npos) << text;
        EXPECT_NE(text.find("\"args\": \"releases held\" }\n    ],\n    \"ts_exit\": "), std::string::npos) << text;
        EXPECT_TRUE(ends_with(text, "\n  }\n]\n")) << text;
    });
}

TEST_F(TraceLogFile, the_file_is_opened_without_following_a_link_or_leaking_into_exec) {
    const std::string victim = dir.path() + "/victim";
    std::ofstream(victim) << "precious";
    run_in_thread([&] {
        const std::string path = host_dir() + "/stl_" + tid_text() + ".log";
        fs::create_directories(host_dir());
        fs::create_symlink(victim, path);
        std::optional<JsonStlLogger> scope;
        scope.emplace("main", "f", 1, 1, "%s", "m");  // fails to open, silently
        EXPECT_EQ(read_file(victim), "precious");
        fs::remove(path);
        scope.emplace("main", "f", 1, 1, "%s", "m");  // tries again, creates a file of its own
        EXPECT_FALSE(fs::is_symlink(path));
        int descriptors = 0;
        for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
            std::error_code ignored;
            if (fs::read_symlink(entry.path(), ignored) != fs::canonical(path)) continue;
            EXPECT_TRUE(fcntl(std::stoi(entry.path().filename().string()), F_GETFD) & FD_CLOEXEC);
            ++descriptors;
        }
        EXPECT_EQ(descriptors, 1);
    });
    EXPECT_EQ(read_file(victim), "precious");
}

TEST_F(TraceLogFile, a_forked_child_writes_only_a_file_of_its_own) {
    run_in_thread([&] {
        std::optional<JsonStlLogger> parent_scope;
        parent_scope.emplace("parent", "f", 1, 1, "%s", "m");
        parent_scope->log("%s", "held before fork");
        const std::string parent_file = vorn::get_log_file_name();
        const std::string before = read_file(parent_file);

        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            // Only this thread lives on in the child. Closing the inherited
            // scope finds nothing open; the child's scope opens its own file.
            parent_scope.reset();
            bool ok = vorn::get_log_file_name().empty();
            {
                JsonStlLogger scope("child", "f", 2, 1, "%s", "m");
                scope.log("%s", "in child");
                ok = ok && vorn::get_log_file_name() != parent_file;
            }
            _exit(ok ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0);
        EXPECT_EQ(read_file(parent_file), before) << "the child wrote into the parent's file";

        const std::string child_text = read_file(host_dir() + "/stl_" + std::to_string(child) + ".log");
        EXPECT_TRUE(is_one_closed_scope(child_text, "child")) << child_text;
        EXPECT_EQ(child_text.find("held before fork"), std::string::npos);
        EXPECT_NE(child_text.find("in child"), std::string::npos);

        parent_scope.reset();
        const std::string after = read_file(parent_file);
        EXPECT_TRUE(is_one_closed_scope(after, "parent"));
        EXPECT_NE(after.find("\"args\": \"held before fork\" }\n    ],"), std::string::npos) << after;
    });
}

}  // namespace
