// Where each thread's trace file lands, when it is opened, emptied, retried,
// what a forked child does with it, and what it never opens or empties.

#include "trace/json_stl_logger.h"
#include "trace/log_file.h"
#include "trace/log_stream.h"
#include "trace/proc_files.h"
#include "trace/safe_host_name.h"
#include "trace/sibling_names.h"
#include "trace/thread_id.h"
#include "trace/trace_file_open.h"
#include "trace/trace_identity.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <latch>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using vorn::JsonStlLogger;
using vorn::testing::host_name;
using vorn::testing::read_file;
using vorn::testing::run_in_forked_child;
using vorn::testing::run_in_thread;
using vorn::testing::ScopedEnv;

// A file holding one closed top-level scope with the given invoker.
bool is_one_closed_scope(const std::string& text, const std::string& invoker) {
    return text.starts_with("[\n  {\n    \"invoker\": \"" + invoker + "\",\n") && text.ends_with("\n  }\n]\n") &&
           text.find("\n,\n") == std::string::npos;
}

class TraceLogFile : public ::testing::Test {
protected:
    vorn::testing::TempDir dir;
    ScopedEnv log_dir{"VORN_LOG_DIR", dir.path().c_str()};
    ScopedEnv prefix{"VORN_LOG_PREFIX", nullptr};

    std::string host_dir() const { return dir.path() + "/vorn/" + host_name(); }
    // The calling thread's file under the default prefix.
    std::string default_file() const { return file_for(vorn::current_thread_id()); }
    std::string file_for(std::int64_t tid, const std::string& sibling = "") const {
        return host_dir() + "/stl_" + std::to_string(tid) + sibling + ".log";
    }
};

// Opens the file of `tid` as a thread that has that id would, and writes
// `text` into it; returns the path written.
std::string open_as_thread(std::int64_t tid, const std::string& text) {
    vorn::OpenedTraceFile opened = vorn::open_trace_file_for(tid);
    vorn::LogStream stream(std::move(opened.fd));
    stream.replace_tail(0, text.data(), text.size());
    return opened.path;
}

TEST_F(TraceLogFile, defaults_place_the_file_under_the_working_directory_emptying_an_old_one) {
    ScopedEnv no_dir("VORN_LOG_DIR", nullptr);
    vorn::testing::ScopedWorkingDirectory cwd(dir.path());
    run_in_thread([] {
        // The system thread id, as Python's threading.get_native_id() has it.
        const std::string expected = "./vorn_logs/vorn/" + host_name() + "/stl_" + std::to_string(gettid()) + ".log";
        fs::create_directories(fs::path(expected).parent_path());
        std::ofstream(expected) << std::string(100000, 'x');  // left by an earlier run
        EXPECT_EQ(vorn::get_log_file_name(), "") << "before the first scope";
        { JsonStlLogger scope("main", "job.py", 1, 987654321987, "%s", "m"); }
        EXPECT_EQ(vorn::get_log_file_name(), expected);
        EXPECT_TRUE(is_one_closed_scope(read_file(expected), "main"));
        EXPECT_EQ(read_file(expected).find("987654321987"), std::string::npos) << "tid is written nowhere";
    });
}

TEST_F(TraceLogFile, root_and_prefix_are_joined_as_given) {
    const std::string elsewhere = dir.path() + "/elsewhere";
    fs::create_directory(elsewhere);
    const struct {
        std::string root, prefix;
        std::string path_before_tid;
    } cases[] = {
        {dir.path() + "/", "stl_", dir.path() + "//vorn/" + host_name() + "/stl_"},
        {dir.path(), "", host_dir() + "/"},
        {dir.path() + "/other_root", elsewhere + "/p_", elsewhere + "/p_"},  // an absolute prefix
    };
    for (const auto& c : cases) {
        ScopedEnv root_env("VORN_LOG_DIR", c.root.c_str()), prefix_env("VORN_LOG_PREFIX", c.prefix.c_str());
        run_in_thread([&] {
            { JsonStlLogger scope("main", "f", 1, 1, "%s", "m"); }
            const std::string tid = std::to_string(vorn::current_thread_id());
            EXPECT_EQ(vorn::get_log_file_name(), c.path_before_tid + tid + ".log");
            EXPECT_TRUE(is_one_closed_scope(read_file(vorn::get_log_file_name()), "main"));
        });
    }
    const std::string made = dir.path() + "/other_root/vorn/" + host_name();
    EXPECT_TRUE(fs::is_directory(made) && fs::is_empty(made)) << "the directory under the root is made and left empty";
}

TEST_F(TraceLogFile, two_threads_write_two_files) {
    std::latch both_started(2);
    std::string names[2];
    auto worker = [&](int index) {
        JsonStlLogger scope(index == 0 ? "first" : "second", "f", 1, 1, "%s", "m");
        both_started.arrive_and_wait();  // both alive: their thread ids differ
        names[index] = vorn::get_log_file_name();
    };
    { std::jthread first(worker, 0), second(worker, 1); }
    EXPECT_NE(names[0], names[1]);
    EXPECT_TRUE(is_one_closed_scope(read_file(names[0]), "first"));
    EXPECT_TRUE(is_one_closed_scope(read_file(names[1]), "second"));
    EXPECT_EQ(vorn::get_log_file_name(), "") << "the name belongs to the calling thread";
}

TEST_F(TraceLogFile, a_directory_that_cannot_be_made_throws_and_is_tried_again) {
    const std::string blocker = dir.path() + "/blocker";
    std::ofstream(blocker) << "a regular file";
    ScopedEnv root("VORN_LOG_DIR", (blocker + "/logs").c_str());
    run_in_thread([&] {
        EXPECT_THROW(JsonStlLogger("main", "f", 1, 1, "%s", "m"), fs::filesystem_error);
        EXPECT_EQ(vorn::get_log_file_name(), "") << "no state changed";
        fs::remove(blocker);
        { JsonStlLogger scope("again", "f", 1, 1, "%s", "m"); }
        EXPECT_TRUE(is_one_closed_scope(read_file(vorn::get_log_file_name()), "again"))
            << "the failed scope left no trace in the writer";
    });
}

TEST_F(TraceLogFile, a_file_that_cannot_be_opened_is_retried_by_every_operation) {
    run_in_thread([&] {
        fs::create_directories(default_file());  // a directory where the file should be
        std::optional<JsonStlLogger> outer;
        outer.emplace("outer", "f", 1, 1, "%s", "m");  // nothing raised
        EXPECT_EQ(vorn::get_log_file_name(), default_file());
        outer->log("%s", "lost");  // no file to hold it
        fs::remove(default_file());
        outer->log("%s", "written");  // opens the file
        outer.reset();
        EXPECT_EQ(vorn::testing::mask_timestamps(read_file(default_file())),
                  "      { \"ts\": T, \"invoker\": \"outer\", \"file\": \"f\", \"line\": 1, \"args\": \"written\" }\n"
                  "    ],\n    \"ts_exit\": T\n  }\n]\n")
            << "the new file begins with the record, not with the line end of one it never held";
    });
}

TEST_F(TraceLogFile, the_file_is_opened_without_following_a_link_or_leaking_into_exec) {
    const std::string victim = dir.path() + "/victim";
    std::ofstream(victim) << "precious";
    run_in_thread([&] {
        fs::create_directories(host_dir());
        fs::create_symlink(victim, default_file());
        std::optional<JsonStlLogger> scope;
        scope.emplace("main", "f", 1, 1, "%s", "m");  // fails to open, silently
        EXPECT_EQ(read_file(victim), "precious");
        fs::remove(default_file());
        scope.emplace("main", "f", 1, 1, "%s", "m");  // tries again, creates a file of its own
        int descriptors = 0;
        for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
            std::error_code ignored;
            if (fs::read_symlink(entry.path(), ignored) != fs::canonical(default_file())) continue;
            EXPECT_TRUE(fcntl(std::stoi(entry.path().filename().string()), F_GETFD) & FD_CLOEXEC);
            ++descriptors;
        }
        EXPECT_EQ(descriptors, 1);
    });
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
            { JsonStlLogger scope("child", "f", 2, 1, "%s", "m"); }
            _exit(ok ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        EXPECT_EQ(read_file(parent_file), before) << "the child wrote into the parent's file";

        const std::string child_text = read_file(host_dir() + "/stl_" + std::to_string(child) + ".log");
        EXPECT_TRUE(is_one_closed_scope(child_text, "child")) << child_text;
        EXPECT_EQ(child_text.find("held before fork"), std::string::npos) << "the parent's pending line";

        parent_scope.reset();
        EXPECT_NE(read_file(parent_file).find("\"args\": \"held before fork\" }\n    ],"), std::string::npos);
    });
}

TEST_F(TraceLogFile, a_thread_id_that_comes_back_keeps_the_finished_file_under_a_sibling_name) {
    std::int64_t tid = 0;
    run_in_thread([&] {
        tid = vorn::current_thread_id();
        { JsonStlLogger scope("ended", "f", 1, 1, "%s", "m"); }
    });
    const std::string finished = read_file(file_for(tid));
    ASSERT_TRUE(is_one_closed_scope(finished, "ended"));

    run_in_thread([&] { EXPECT_EQ(open_as_thread(tid, "[]\n"), file_for(tid)); });
    EXPECT_EQ(read_file(file_for(tid, ".2")), finished) << "the ended thread's file, whole";
    EXPECT_EQ(read_file(file_for(tid)), "[]\n");

    // A forked child inherits the knowledge of what its parent wrote.
    run_in_forked_child([&] { return open_as_thread(tid, "[ 3 ]\n") == file_for(tid); });
    EXPECT_EQ(read_file(file_for(tid, ".2")), finished);
    EXPECT_EQ(read_file(file_for(tid, ".3")), "[]\n") << "the next free sibling name";
    EXPECT_EQ(read_file(file_for(tid)), "[ 3 ]\n");
}

TEST_F(TraceLogFile, a_file_another_live_writer_holds_is_left_alone) {
    run_in_thread([&] {
        fs::create_directories(host_dir());
        std::ofstream(default_file()) << "theirs";
        std::ofstream(file_for(vorn::current_thread_id(), ".2")) << "an earlier sibling";
        vorn::UniqueFd other_writer(open(default_file().c_str(), O_RDWR | O_CLOEXEC));
        ASSERT_EQ(flock(other_writer.get(), LOCK_EX | LOCK_NB), 0);

        { JsonStlLogger scope("main", "f", 1, 1, "%s", "m"); }
        const std::string sibling = file_for(vorn::current_thread_id(), ".3");
        EXPECT_EQ(vorn::get_log_file_name(), sibling);
        EXPECT_TRUE(is_one_closed_scope(read_file(sibling), "main"));
        EXPECT_EQ(read_file(default_file()), "theirs");
        EXPECT_EQ(read_file(file_for(vorn::current_thread_id(), ".2")), "an earlier sibling");
        const vorn::UniqueFd probe(open(sibling.c_str(), O_RDONLY | O_CLOEXEC));
        EXPECT_NE(flock(probe.get(), LOCK_EX | LOCK_NB), 0) << "the open file is locked";
    });
}

// A forked child of the test that lives until the object goes, or has ended
// (left a zombie, or reaped) when `state` says so.
class ChildProcess {
public:
    enum State { alive, zombie, reaped };
    explicit ChildProcess(State state) {
        int ends[2];
        EXPECT_EQ(pipe2(ends, O_CLOEXEC), 0);
        pid_ = fork();
        if (pid_ == 0) {
            close(ends[1]);
            char byte;
            if (state == alive) static_cast<void>(read(ends[0], &byte, 1));  // until the parent lets go
            _exit(0);
        }
        close(ends[0]);
        release_ = vorn::UniqueFd(ends[1]);
        siginfo_t info{};
        if (state == zombie) {
            EXPECT_EQ(waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT), 0);
        }
        vorn::ProcessStat stat;
        EXPECT_TRUE(vorn::read_process_stat(("/proc/" + std::to_string(pid_) + "/stat").c_str(), stat));
        start_ = stat.start;
        if (state == reaped) wait_for_end();
    }
    ~ChildProcess() { wait_for_end(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    pid_t pid() const { return pid_; }
    std::uint64_t start() const { return start_; }

private:
    void wait_for_end() {
        release_.reset();
        if (!ended_) waitpid(pid_, nullptr, 0);
        ended_ = true;
    }
    pid_t pid_ = -1;
    bool ended_ = false;
    std::uint64_t start_ = 0;
    vorn::UniqueFd release_;
};

std::string own_boot_id() {
    const std::string text = read_file("/proc/sys/kernel/random/boot_id");
    return text.substr(0, text.find('\n'));
}

std::string own_pid_namespace() {
    const std::string link = fs::read_symlink("/proc/self/ns/pid").string();  // "pid:[4026531836]"
    return link.substr(5, link.size() - 6);
}

TEST_F(TraceLogFile, a_finished_file_of_a_process_that_still_runs_is_kept_under_a_sibling_name) {
    ChildProcess live(ChildProcess::alive), zombie(ChildProcess::zombie), reaped(ChildProcess::reaped);
    const std::string pidns = own_pid_namespace(), boot_id = own_boot_id();
    const struct {
        const char* name;
        pid_t pid;
        std::uint64_t start;
        std::string pidns, boot_id;
        bool kept;
    } cases[] = {
        {"a live child", live.pid(), live.start(), pidns, boot_id, true},
        {"the test's parent", getppid(), [] {
             vorn::ProcessStat stat;
             vorn::read_process_stat(("/proc/" + std::to_string(getppid()) + "/stat").c_str(), stat);
             return stat.start;
         }(), pidns, boot_id, true},
        {"a zombie", zombie.pid(), zombie.start(), pidns, boot_id, false},
        {"a reaped child", reaped.pid(), reaped.start(), pidns, boot_id, false},
        {"the pid again, started later", live.pid(), live.start() + 1, pidns, boot_id, false},
        {"another pid namespace", live.pid(), live.start(), pidns + "1", boot_id, false},
        {"another boot", live.pid(), live.start(), pidns, "00000000-0000-0000-0000-000000000000", false},
    };
    std::int64_t tid = 3000000000;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ++tid;
        fs::create_directories(host_dir());
        std::ofstream(file_for(tid)) << "theirs";
        const std::string times = host_dir() + "/stl_" + std::to_string(tid) + ".times";
        std::ofstream(times) << "their times";
        const std::string identity = R"({"version":1,"pid":)" + std::to_string(c.pid) + R"(,"start":)" +
                                     std::to_string(c.start) + R"(,"ppid":1,"tid":1,"thread_name":"t","cmdline":[],)"
                                     R"("host":"h","clock_origin_ms":0,"pidns":)" + c.pidns + R"(,"boot_id":")" +
                                     c.boot_id + R"(","file_id":"0123456789abcdef"})";
        ASSERT_EQ(setxattr(file_for(tid).c_str(), vorn::kTraceIdentityAttribute, identity.data(), identity.size(), 0), 0);

        EXPECT_EQ(open_as_thread(tid, "[]\n"), file_for(tid));
        EXPECT_EQ(read_file(file_for(tid)), "[]\n");
        if (c.kept) {
            EXPECT_EQ(read_file(file_for(tid, ".2")), "theirs");
            EXPECT_EQ(read_file(host_dir() + "/stl_" + std::to_string(tid) + ".2.times"), "their times");
            EXPECT_FALSE(fs::exists(times));
        } else {
            EXPECT_FALSE(fs::exists(file_for(tid, ".2"))) << "an ended process's file is emptied";
        }
    }
}

// The paths of the calling process's descriptors open on a file below `dir`.
int descriptors_below(const std::string& dir) {
    int count = 0;
    DIR* fds = opendir("/proc/self/fd");
    while (const dirent* entry = readdir(fds)) {
        char target[4096];
        const std::string link = std::string("/proc/self/fd/") + entry->d_name;
        const ssize_t length = readlink(link.c_str(), target, sizeof target);
        if (length > 0 && std::string(target, static_cast<std::size_t>(length)).starts_with(dir)) ++count;
    }
    closedir(fds);
    return count;
}

TEST_F(TraceLogFile, a_forked_child_keeps_none_of_its_parents_trace_files_open) {
    constexpr int kThreads = 4;
    std::latch opened(kThreads + 1), finish(1);
    std::vector<std::string> names(kThreads);
    std::vector<std::jthread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            JsonStlLogger scope("worker", "f", 1, 1, "%s", "m");
            names[static_cast<std::size_t>(i)] = vorn::get_log_file_name();
            opened.arrive_and_wait();
            finish.wait();
        });
    }
    opened.arrive_and_wait();
    const std::string directory = fs::canonical(host_dir()).string();
    int to_parent[2], to_child[2];
    ASSERT_EQ(pipe2(to_parent, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(to_child, O_CLOEXEC), 0);
    std::fflush(nullptr);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(to_child[1]);
        const char count = static_cast<char>(descriptors_below(directory));
        static_cast<void>(write(to_parent[1], &count, 1));
        char byte;
        static_cast<void>(read(to_child[0], &byte, 1));  // lives on until the parent's threads have ended
        _exit(0);
    }
    close(to_parent[1]);
    close(to_child[0]);
    char count = -1;
    EXPECT_EQ(read(to_parent[0], &count, 1), 1);
    EXPECT_EQ(count, 0) << "the child holds its parent's trace files";

    finish.count_down();
    threads.clear();
    for (const std::string& name : names) {
        const vorn::UniqueFd probe(open(name.c_str(), O_RDONLY | O_CLOEXEC));
        EXPECT_EQ(flock(probe.get(), LOCK_EX | LOCK_NB), 0) << "the lock outlived the parent's thread: " << name;
    }
    close(to_child[1]);
    close(to_parent[0]);
    EXPECT_EQ(waitpid(child, nullptr, 0), child);
}

// Another writer holds the usual name of the calling thread's file.
struct UsualNameHeld {
    explicit UsualNameHeld(const std::string& path) {
        fs::create_directories(fs::path(path).parent_path());
        std::ofstream(path) << "theirs";
        fd = vorn::UniqueFd(open(path.c_str(), O_RDWR | O_CLOEXEC));
        EXPECT_EQ(flock(fd.get(), LOCK_EX | LOCK_NB), 0);
    }
    vorn::UniqueFd fd;
};

TEST_F(TraceLogFile, thousands_of_taken_sibling_names_are_passed_in_a_few_probes) {
    run_in_thread([&] {
        const std::int64_t tid = vorn::current_thread_id();
        const UsualNameHeld held(default_file());
        constexpr int kTaken = 3000;
        for (int n = 2; n <= kTaken + 1; ++n) std::ofstream(file_for(tid, "." + std::to_string(n)));
        const std::uint64_t before = vorn::sibling_name_probes();
        for (int i = 0; i < 5; ++i) {
            JsonStlLogger scope("main", "f", 1, 1, "%s", "m");
            scope.log("%s", "x");
        }
        EXPECT_LT(vorn::sibling_name_probes() - before, 40u) << "one short search for the whole thread";
        EXPECT_EQ(vorn::get_log_file_name(), file_for(tid, "." + std::to_string(kTaken + 2)));
        EXPECT_EQ(read_file(default_file()), "theirs");
    });
}

TEST_F(TraceLogFile, with_no_sibling_name_to_be_had_the_thread_names_no_file) {
    run_in_thread([&] {
        // The usual name just fits a file name's 255 bytes; every sibling's is too long.
        const std::string tid = std::to_string(vorn::current_thread_id());
        const std::string prefix(255 - tid.size() - 4, 'p');
        ScopedEnv long_prefix("VORN_LOG_PREFIX", prefix.c_str());
        const UsualNameHeld held(host_dir() + "/" + prefix + tid + ".log");
        {
            JsonStlLogger scope("main", "f", 1, 1, "%s", "m");
            EXPECT_EQ(vorn::get_log_file_name(), "") << "not the other writer's file";
            const std::uint64_t before = vorn::sibling_name_probes();
            scope.log("%s", "lost");
            EXPECT_LE(vorn::sibling_name_probes() - before, 1u) << "the retry looks no further than once";
        }
        EXPECT_EQ(read_file(host_dir() + "/" + prefix + tid + ".log"), "theirs");
    });
}

TEST_F(TraceLogFile, trace_descriptors_are_never_the_standard_streams) {
    run_in_forked_child([&] {
        for (int fd = 0; fd < 3; ++fd) close(fd);  // a daemon's way
        bool ok = true;
        run_in_thread([&] {
            JsonStlLogger scope("main", "f", 1, 1, "%s", "m");
            for (int fd = 0; fd < 3; ++fd) ok = ok && fcntl(fd, F_GETFD) < 0;
            ok = ok && fs::exists(default_file());
        });
        return ok;
    });
}

TEST_F(TraceLogFile, directories_below_the_root_are_made_and_entered_without_following_links) {
    const std::string elsewhere = dir.path() + "/elsewhere";
    const struct {
        const char* name;
        std::function<void(const std::string&)> plant;  // given the root
        bool link;
    } cases[] = {
        {"vorn is a link", [&](const std::string& root) { fs::create_directory_symlink(elsewhere, root + "/vorn"); }, true},
        {"host is a link",
         [&](const std::string& root) {
             fs::create_directory(root + "/vorn");
             fs::create_directory_symlink(elsewhere, root + "/vorn/" + host_name());
         },
         true},
        {"vorn is a file", [](const std::string& root) { std::ofstream(root + "/vorn") << "x"; }, false},
    };
    int index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::create_directories(elsewhere + "/" + host_name());
        const std::string root = dir.path() + "/root" + std::to_string(index++);
        fs::create_directory(root);
        c.plant(root);
        ScopedEnv root_env("VORN_LOG_DIR", root.c_str());
        run_in_thread([&] {
            const std::string directory = root + "/vorn/" + host_name();
            std::string message;
            try {
                JsonStlLogger scope("main", "f", 1, 1, "%s", "m");
            } catch (const fs::filesystem_error& error) {
                message = error.what();
            }
            EXPECT_EQ(vorn::get_log_file_name(), "");
            EXPECT_NE(message.find("cannot create directories"), std::string::npos) << message;
            EXPECT_NE(message.find("[" + directory + "]"), std::string::npos) << message;
            if (!c.link) {
                try {
                    fs::create_directories(directory);
                } catch (const fs::filesystem_error& error) {
                    EXPECT_EQ(message, error.what()) << "the library's own message";
                }
            }
        });
        const auto planted = std::distance(fs::recursive_directory_iterator(elsewhere), {});
        EXPECT_EQ(planted, 1) << "only the empty host directory put there";
        fs::remove_all(elsewhere);
    }
}

TEST_F(TraceLogFile, a_planted_file_that_is_not_our_own_regular_file_is_neither_emptied_nor_written) {
    const struct {
        const char* name;
        std::function<void(const std::string&)> plant;
        bool needs_root;
    } cases[] = {
        {"another user's file",
         [](const std::string& path) {
             std::ofstream(path) << "theirs";
             ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
         },
         true},
        {"a FIFO", [](const std::string& path) { ASSERT_EQ(mkfifo(path.c_str(), 0666), 0); }, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.needs_root && geteuid() != 0) continue;
        run_in_thread([&] {
            fs::create_directories(host_dir());
            c.plant(default_file());
            { JsonStlLogger scope("main", "f", 1, 1, "%s", "m"); }
            EXPECT_EQ(vorn::get_log_file_name(), default_file());
            if (fs::is_regular_file(default_file())) {
                EXPECT_EQ(read_file(default_file()), "theirs");
            }
            EXPECT_FALSE(fs::exists(file_for(vorn::current_thread_id(), ".2"))) << "no sibling either";
        });
    }
}

TEST(SafeHostName, makes_one_harmless_path_component) {
    const struct {
        const char* raw;
        const char* safe;
    } cases[] = {
        {"build-7.example.org", "build-7.example.org"}, {"a/b/c", "a_b_c"}, {"/", "_"}, {"../etc", ".._etc"},
        {".", "_"}, {"..", "__"}, {"...", "..."}, {".hidden", ".hidden"}, {"", ""},
    };
    for (const auto& c : cases) {
        std::string name = c.raw;
        vorn::make_host_name_safe(name.data());
        EXPECT_EQ(name, c.safe) << c.raw;
    }
}

}  // namespace
