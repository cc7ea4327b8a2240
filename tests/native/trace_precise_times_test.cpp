// The companion file of precise times beside each trace file: its bytes, its
// agreement with the trace file, its lifecycle (fork, sibling names, growth)
// and every way it can fail without touching the program or its trace.

#include "trace/json_stl_logger.h"
#include "trace/log_file.h"
#include "trace/precise_times_file.h"
#include "trace/precise_times_seam.h"
#include "trace/process_identity.h"
#include "trace/clock.h"
#include "trace/thread_id.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "test_support.h"

namespace {

using vorn::JsonStlLogger;
using vorn::testing::read_file;
using vorn::testing::run_in_thread;
using vorn::testing::timestamps_of;

constexpr std::uint64_t kChunk = 64 * 1024;
constexpr std::uint64_t kFirstChunkEntries = (kChunk - 64) / 8;

// A companion as read from disk; `valid` is false when there is none or its
// header is cut short.
struct Companion {
    bool valid = false;
    std::uint64_t size = 0;
    std::string magic;
    std::uint32_t version = 0, header_size = 0;
    std::int64_t pid = 0, tid = 0, origin = 0;
    std::uint64_t start = 0, count = 0, reserved = 0;
    std::vector<std::int64_t> entries;  // the first `count` (as far as the file holds them)
};

template <typename T>
T field(const std::string& bytes, std::size_t offset) {
    T value{};
    std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

Companion read_companion(const std::string& path) {
    const std::string bytes = read_file(path);
    Companion c;
    c.size = bytes.size();
    if (bytes.size() < 64) return c;
    c.valid = true;
    c.magic = bytes.substr(0, 8);
    c.version = field<std::uint32_t>(bytes, 8);
    c.header_size = field<std::uint32_t>(bytes, 12);
    c.pid = field<std::int64_t>(bytes, 16);
    c.start = field<std::uint64_t>(bytes, 24);
    c.tid = field<std::int64_t>(bytes, 32);
    c.origin = field<std::int64_t>(bytes, 40);
    c.count = field<std::uint64_t>(bytes, 48);
    c.reserved = field<std::uint64_t>(bytes, 56);
    for (std::uint64_t k = 0; k < c.count && 64 + 8 * (k + 1) <= bytes.size(); ++k) {
        c.entries.push_back(field<std::int64_t>(bytes, 64 + 8 * k));
    }
    return c;
}

std::string companion_of(const std::string& trace_path) { return vorn::precise_times_path(trace_path); }

// Every entry is the record's millisecond at full resolution, and there is
// one per timed record of the file.
void expect_entries_match_the_file(const Companion& c, const std::string& trace_text) {
    const std::vector<std::uint64_t> ms = timestamps_of(trace_text);
    ASSERT_EQ(c.count, ms.size());
    ASSERT_EQ(c.entries.size(), ms.size());
    for (std::size_t k = 0; k < ms.size(); ++k) {
        ASSERT_GE(c.entries[k], 0);
        ASSERT_EQ(static_cast<std::uint64_t>(c.entries[k]) / 1000000, ms[k]) << "entry " << k;
    }
}

// A fresh directory for each test; `trace` runs its calls on a new thread
// and returns that thread's trace file path.
class PreciseTimes : public ::testing::Test {
protected:
    vorn::testing::TempDir dir;
    vorn::testing::ScopedEnv log_dir{"VORN_LOG_DIR", dir.path().c_str()};
    vorn::testing::ScopedEnv prefix{"VORN_LOG_PREFIX", nullptr};

    std::string trace(const std::function<void()>& fn) {
        std::string path;
        run_in_thread([&] {
            fn();
            path = vorn::get_log_file_name();
        });
        return path;
    }
    std::string host_dir() const { return dir.path() + "/vorn/" + vorn::testing::host_name(); }
    std::string companion_for(std::int64_t tid, const std::string& sibling = "") const {
        return host_dir() + "/stl_" + std::to_string(tid) + sibling + ".times";
    }
};

void a_scope_a_record_and_a_child_scope() {
    JsonStlLogger a("main", "job.py", 10, 1, "%s", "load");
    a.log("%s", "x");
    JsonStlLogger b("main", "job.py", 20, 1, "%s", "parse");
}

TEST(PreciseTimesPath, is_the_trace_files_name_with_times_for_log) {
    EXPECT_EQ(vorn::precise_times_path("d/stl_123.log"), "d/stl_123.times");
    EXPECT_EQ(vorn::precise_times_path("stl_123.2.log"), "stl_123.2.times");
    EXPECT_EQ(vorn::precise_times_path("stl_123.logx"), "");
}

// Step by step: the header is there from the first record, each record adds
// its entry and then the count, the file runs on past the entries while the
// thread lives and is cut to them when it ends.
TEST_F(PreciseTimes, each_timed_record_adds_one_entry_and_the_thread_end_cuts_the_file) {
    std::string path;
    std::int64_t tid = 0;
    path = trace([&] {
        tid = vorn::current_thread_id();
        const auto companion = [] { return read_companion(companion_of(vorn::get_log_file_name())); };
        std::optional<JsonStlLogger> a;
        a.emplace("main", "job.py", 10, 1, "%s", "load");
        EXPECT_EQ(companion().count, 1u) << "enter";
        EXPECT_EQ(companion().size, kChunk) << "reserved ahead";
        a->log("%s", "x");
        EXPECT_EQ(companion().count, 2u) << "instant record";
        a.reset();
        EXPECT_EQ(companion().count, 3u) << "exit";
        const std::string text = read_file(vorn::get_log_file_name());
        expect_entries_match_the_file(companion(), text);
    });
    const Companion c = read_companion(companion_of(path));
    ASSERT_TRUE(c.valid);
    EXPECT_EQ(c.size, 64u + 8 * 3);
    EXPECT_EQ(c.magic, "VORNTIME");
    EXPECT_EQ(c.version, 1u);
    EXPECT_EQ(c.header_size, 64u);
    EXPECT_EQ(c.pid, vorn::process_identity().pid);
    EXPECT_EQ(c.start, vorn::process_identity().start);
    EXPECT_EQ(c.tid, tid);
    EXPECT_EQ(c.origin, vorn::clock_origin_ms());
    EXPECT_EQ(c.reserved, 0u);
    expect_entries_match_the_file(c, read_file(path));
    EXPECT_EQ(companion_of(path), companion_for(tid));
}

// Records at the top level (a logger of another thread), nested scopes and
// more entries than the first chunk holds: every entry lines up with its
// record's millisecond, in file order.
TEST_F(PreciseTimes, entries_are_the_clock_readings_behind_the_files_milliseconds) {
    std::optional<JsonStlLogger> elsewhere;
    run_in_thread([&] { elsewhere.emplace("e", "e.py", 5, 1, "%s", "E"); });
    const struct {
        const char* what;
        std::function<void()> calls;
        std::uint64_t timed_records;
    } cases[] = {
        {"nested scopes and a record", a_scope_a_record_and_a_child_scope, 5},
        {"top-level records around a scope",
         [&] {
             elsewhere->log("%s", "r");
             a_scope_a_record_and_a_child_scope();
             elsewhere->log("%s", "r");
         },
         7},
        {"more entries than one chunk (the growth path)",
         [] {
             JsonStlLogger a("main", "job.py", 10, 1, "%s", "load");
             for (std::uint64_t i = 0; i < 2 * kFirstChunkEntries; ++i) a.log("%s", "x");
         },
         2 * kFirstChunkEntries + 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = trace(c.calls);
        const Companion companion = read_companion(companion_of(path));
        EXPECT_EQ(companion.count, c.timed_records);
        EXPECT_EQ(companion.size, 64 + 8 * c.timed_records);
        expect_entries_match_the_file(companion, read_file(path));
    }
}

// A forked child writes companions of its own and keeps no descriptor of
// its parent's; the parent's companion goes on untouched.
TEST_F(PreciseTimes, a_forked_child_writes_its_own_companion_and_drops_the_parents) {
    trace([&] {
        JsonStlLogger a("main", "job.py", 10, 1, "%s", "parent");
        a.log("%s", "x");
        const std::string parents = companion_of(vorn::get_log_file_name());
        const std::string before = read_file(parents);
        vorn::testing::run_in_forked_child([&] {
            for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
                std::error_code ignored;
                if (std::filesystem::read_symlink(entry.path(), ignored) == parents) return false;
            }
            { JsonStlLogger child("child", "c.py", 1, 1, "%s", "child"); }
            const std::string own = vorn::get_log_file_name();
            const Companion c = read_companion(companion_of(own));
            return own != "" && companion_of(own) != parents && c.pid == getpid() && c.tid == getpid() &&
                   c.count == 2;
        });
        EXPECT_EQ(read_file(parents), before);
        a.log("%s", "y");
        EXPECT_EQ(read_companion(parents).count, 3u);
    });
}

enum class Ending { exits, killed };

// A child process that writes one scope with `records` records on its only
// thread (whose id is the child's pid), then closes the scope and exits, or
// is killed with the scope open.
pid_t fork_writer(std::uint64_t records, Ending ending) {
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child != 0) return child;
    {
        JsonStlLogger a("main", "job.py", 10, 1, "%s", "load");
        for (std::uint64_t i = 0; i < records; ++i) a.log("%s", "x");
        if (ending == Ending::killed) kill(getpid(), SIGKILL);
    }
    _exit(0);
}

// A killed process keeps the time of every record that reached its trace
// file: the mapping's pages outlive it in the page cache.
TEST_F(PreciseTimes, a_killed_process_keeps_every_time_its_trace_file_holds) {
    const pid_t child = fork_writer(kFirstChunkEntries + 100, Ending::killed);
    ASSERT_GE(child, 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    const std::string path = host_dir() + "/stl_" + std::to_string(child) + ".log";
    const Companion c = read_companion(companion_of(path));
    EXPECT_EQ(c.size, 2 * kChunk) << "not cut: nobody was left to cut it";
    expect_entries_match_the_file(c, read_file(path));
}

// A trace file under a sibling name (another live writer holds the usual
// one) has its companion under the matching name.
TEST_F(PreciseTimes, a_sibling_trace_file_has_the_sibling_companion) {
    const std::string path = trace([&] {
        std::filesystem::create_directories(host_dir());
        const std::string usual = host_dir() + "/stl_" + std::to_string(vorn::current_thread_id()) + ".log";
        const int other_writer = open(usual.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        ASSERT_EQ(flock(other_writer, LOCK_EX | LOCK_NB), 0);
        a_scope_a_record_and_a_child_scope();
        close(other_writer);
    });
    ASSERT_TRUE(path.ends_with(".2.log"));
    EXPECT_TRUE(std::filesystem::exists(path.substr(0, path.size() - 4) + ".times"));
    expect_entries_match_the_file(read_companion(companion_of(path)), read_file(path));
}

// The worked example's trace, whatever happened to the companion.
void expect_the_trace_is_whole(const std::string& path) {
    const std::string text = read_file(path);
    EXPECT_EQ(timestamps_of(text).size(), 5u);
    EXPECT_TRUE(text.ends_with("\n  }\n]\n"));
}

// Swaps the reservation call for the life of the object.
class ScopedAllocate {
public:
    explicit ScopedAllocate(vorn::AllocateCall call) : old_(vorn::precise_times_allocate.exchange(call)) {}
    ~ScopedAllocate() { vorn::precise_times_allocate.store(old_); }
    ScopedAllocate(const ScopedAllocate&) = delete;
    ScopedAllocate& operator=(const ScopedAllocate&) = delete;

private:
    vorn::AllocateCall old_;
};

int disk_full(int, int, off_t, off_t) {
    errno = ENOSPC;
    return -1;
}
int quota_after_the_first_chunk(int fd, int mode, off_t offset, off_t length) {
    if (offset > 0) {
        errno = EDQUOT;
        return -1;
    }
    return ::fallocate(fd, mode, offset, length);
}

// A companion that cannot be made leaves the trace as it would be without
// it, and leaves whatever was at the companion's name alone.
TEST_F(PreciseTimes, a_companion_that_cannot_be_made_changes_nothing_else) {
    const std::string elsewhere = dir.path() + "/elsewhere";
    const struct {
        const char* what;
        std::function<void(const std::string& name)> prepare;
        vorn::AllocateCall allocate;
        std::function<bool(const std::string& name)> left;  // what is at the name afterwards
    } cases[] = {
        {"a directory at the name", [](const std::string& name) { std::filesystem::create_directories(name); },
         &::fallocate, [](const std::string& name) { return std::filesystem::is_directory(name); }},
        {"a link at the name, not followed",
         [&](const std::string& name) {
             std::ofstream(elsewhere) << "theirs";
             std::filesystem::create_symlink(elsewhere, name);
         },
         &::fallocate,
         [&](const std::string& name) { return std::filesystem::is_symlink(name) && read_file(elsewhere) == "theirs"; }},
        {"a FIFO at the name", [](const std::string& name) { mkfifo(name.c_str(), 0600); }, &::fallocate,
         [](const std::string& name) { return std::filesystem::is_fifo(name); }},
        {"a full disk, no file left behind", [](const std::string&) {}, &disk_full,
         [](const std::string& name) { return !std::filesystem::exists(std::filesystem::symlink_status(name)); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all(host_dir());
        std::filesystem::remove(elsewhere);
        std::string name;
        const std::string path = trace([&] {
            std::filesystem::create_directories(host_dir());
            name = companion_for(vorn::current_thread_id());
            c.prepare(name);
            const ScopedAllocate allocate(c.allocate);
            a_scope_a_record_and_a_child_scope();
        });
        expect_the_trace_is_whole(path);
        EXPECT_TRUE(c.left(name));
    }
}

// Growth that fails (the disk fills, the quota is reached, the file-size
// limit) keeps the entries made so far, cut to them; the trace goes on.
TEST_F(PreciseTimes, a_companion_that_cannot_grow_keeps_its_entries_and_the_trace_goes_on) {
    const std::uint64_t records = kFirstChunkEntries + 10;
    const std::string path = trace([&] {
        const ScopedAllocate allocate(&quota_after_the_first_chunk);
        JsonStlLogger a("main", "job.py", 10, 1, "%s", "load");
        for (std::uint64_t i = 0; i < records; ++i) a.log("%s", "x");
    });
    const std::vector<std::uint64_t> ms = timestamps_of(read_file(path));
    ASSERT_EQ(ms.size(), records + 2);
    const Companion c = read_companion(companion_of(path));
    EXPECT_EQ(c.count, kFirstChunkEntries);
    EXPECT_EQ(c.size, kChunk);
    for (std::uint64_t k = 0; k < c.count; ++k) ASSERT_EQ(static_cast<std::uint64_t>(c.entries[k]) / 1000000, ms[k]);
}

// The file-size limit: the companion's first reservation is refused (with
// SIGXFSZ ignored, as Python has it); the trace, below the limit, is whole.
TEST_F(PreciseTimes, the_file_size_limit_leaves_the_trace_whole) {
    vorn::testing::run_in_forked_child([&] {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{8192, 8192};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return false;
        a_scope_a_record_and_a_child_scope();
        const std::string path = vorn::get_log_file_name();
        const std::string text = read_file(path);
        return timestamps_of(text).size() == 5 && !std::filesystem::exists(companion_of(path));
    });
}

// Someone else cuts, removes or replaces the companion while the thread
// writes: the stores that follow must not kill the program (a store into a
// cut mapping faults), the trace is whole, and a file that took the
// companion's name is never written.
TEST_F(PreciseTimes, a_companion_cut_removed_or_replaced_under_a_writer_only_ends_its_times) {
    const struct {
        const char* what;
        void (*act)(const std::string& name);
        bool (*left)(const std::string& name);
    } cases[] = {
        {"cut to nothing", [](const std::string& name) { truncate(name.c_str(), 0); },
         [](const std::string& name) { return read_file(name).empty(); }},
        {"cut inside the first chunk", [](const std::string& name) { truncate(name.c_str(), 8192); },
         [](const std::string& name) { return std::filesystem::file_size(name) == 8192; }},
        {"removed", [](const std::string& name) { std::filesystem::remove(name); },
         [](const std::string& name) { return !std::filesystem::exists(name); }},
        {"replaced",
         [](const std::string& name) {
             std::ofstream(name + ".new") << "theirs";
             std::filesystem::rename(name + ".new", name);
         },
         [](const std::string& name) { return read_file(name) == "theirs"; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        vorn::testing::run_in_forked_child([&] {
            std::string name;
            run_in_thread([&] {
                std::optional<JsonStlLogger> a;
                a.emplace("main", "job.py", 10, 1, "%s", "load");
                name = companion_of(vorn::get_log_file_name());
                c.act(name);
                // Past the first chunk, so that the first page and a later one
                // are both stored into after the act.
                for (std::uint64_t i = 0; i < kFirstChunkEntries + 600; ++i) a->log("%s", "x");
            });
            const std::string text = read_file(name.substr(0, name.size() - 6) + ".log");
            return timestamps_of(text).size() == kFirstChunkEntries + 602 && text.ends_with("\n  }\n]\n") &&
                   c.left(name);
        });
    }
}

// The same from outside, racing: a child process writes while this one
// cuts its companion over and over. The child must finish its
// trace and exit normally.
TEST_F(PreciseTimes, a_writing_process_survives_its_companion_being_cut_in_a_loop) {
    const pid_t child = fork_writer(60000, Ending::exits);
    ASSERT_GE(child, 0);
    const std::string name = companion_for(child);  // the child's only thread has its pid as id
    int status = 0;
    std::uint64_t cuts = 0;
    for (std::uint64_t round = 0; waitpid(child, &status, WNOHANG) == 0; ++round) {
        if (truncate(name.c_str(), static_cast<off_t>(round % 2 == 0 ? 0 : 4096)) == 0) ++cuts;
    }
    EXPECT_GT(cuts, 0u);
    ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    const std::string text = read_file(host_dir() + "/stl_" + std::to_string(child) + ".log");
    EXPECT_EQ(timestamps_of(text).size(), 60002u);
    EXPECT_TRUE(text.ends_with("\n  }\n]\n"));
}

// A SIGBUS that is not about our mappings goes to whoever had SIGBUS before
// us. Checked in a fresh process (this binary again, running only the
// helper below), where a handler of the program's own is installed before
// the first companion installs ours.
constexpr char kChainChild[] = "VORN_TEST_SIGBUS_CHAIN_CHILD";
constexpr int kForeignFaultExit = 7;

void programs_own_handler(int, siginfo_t* info, void*) {
    _exit(info->si_code > 0 ? kForeignFaultExit : 1);
}

TEST(PreciseTimesFaults, chain_child) {
    if (std::getenv(kChainChild) == nullptr) GTEST_SKIP() << "runs as the child of the test below";
    alarm(20);  // a fault that is never passed on would recur forever
    struct sigaction own{};
    own.sa_sigaction = &programs_own_handler;
    own.sa_flags = SA_SIGINFO;
    sigaction(SIGBUS, &own, nullptr);
    vorn::testing::TempDir dir;
    vorn::testing::ScopedEnv log_dir("VORN_LOG_DIR", dir.path().c_str());
    std::optional<JsonStlLogger> a;
    a.emplace("main", "job.py", 10, 1, "%s", "load");
    truncate(vorn::precise_times_path(vorn::get_log_file_name()).c_str(), 0);
    a->log("%s", "ours: a fault the program never sees");
    // A fault of the program's own: a page of its own mapping past its file's end.
    const std::string own_file = dir.path() + "/own";
    const int fd = open(own_file.c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_EQ(ftruncate(fd, 4096), 0);
    auto* page = static_cast<volatile char*>(mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
    ASSERT_EQ(ftruncate(fd, 0), 0);
    page[0] = 1;
    _exit(2);  // not reached
}

TEST(PreciseTimesFaults, a_fault_outside_our_mappings_reaches_the_handler_installed_before_ours) {
    std::fflush(nullptr);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        setenv(kChainChild, "1", 1);
        execl("/proc/self/exe", "trace_tests", "--gtest_filter=PreciseTimesFaults.chain_child", nullptr);
        _exit(3);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    EXPECT_EQ(WEXITSTATUS(status), kForeignFaultExit);
}

// With no handler before ours, a foreign fault gets the default action.
TEST(PreciseTimesFaults, a_fault_outside_our_mappings_gets_the_default_action) {
    vorn::testing::TempDir dir;
    vorn::testing::ScopedEnv log_dir("VORN_LOG_DIR", dir.path().c_str());
    run_in_thread([] { JsonStlLogger a("main", "job.py", 10, 1, "%s", "installs the handler"); });
    std::fflush(nullptr);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        alarm(20);  // a fault that is never passed on would recur forever
        const rlimit no_core{0, 0};
        setrlimit(RLIMIT_CORE, &no_core);
        const std::string own_file = dir.path() + "/own";
        const int fd = open(own_file.c_str(), O_RDWR | O_CREAT, 0600);
        if (ftruncate(fd, 4096) != 0) _exit(1);
        auto* page = static_cast<volatile char*>(mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
        if (ftruncate(fd, 0) != 0) _exit(1);
        page[0] = 1;
        _exit(2);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGBUS);
}

}  // namespace
