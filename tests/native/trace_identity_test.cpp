// The identity attribute on each trace file: what it holds, what a forked
// child's files say, how the command line is cut to fit, and that a file
// system refusing it changes nothing in the trace.

#include "trace/clock.h"
#include "trace/identity_json.h"
#include "trace/json_stl_logger.h"
#include "trace/log_file.h"
#include "trace/thread_id.h"
#include "trace/trace_identity.h"
#include "trace/trace_identity_seam.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>

#include <pthread.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include "test_support.h"

namespace {

using vorn::JsonStlLogger;
using vorn::testing::read_file;
using vorn::testing::run_in_thread;

// The attribute's value; "" when the file has none.
std::string identity_of(const std::string& path) {
    char value[2048];
    const ssize_t length = getxattr(path.c_str(), vorn::kTraceIdentityAttribute, value, sizeof value);
    return length > 0 ? std::string(value, static_cast<std::size_t>(length)) : std::string();
}

// The raw JSON text of a top-level field: digits, a quoted string, or an array.
std::string field(const std::string& json, const std::string& key) {
    const std::regex pattern("[{,]\"" + key + "\":(\"(?:[^\"\\\\]|\\\\.)*\"|\\[[^\\]]*\\]|-?[0-9]+)");
    std::smatch match;
    return std::regex_search(json, match, pattern) ? match[1].str() : std::string("<missing>");
}

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

std::int64_t wall_clock_ms() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// The first "ts_enter" in a trace file's text.
std::int64_t first_ts_enter(const std::string& text) {
    std::smatch match;
    if (!std::regex_search(text, match, std::regex("\"ts_enter\": ([0-9]+)"))) return -1;
    return std::stoll(match[1].str());
}

class TraceIdentity : public ::testing::Test {
protected:
    vorn::testing::TempDir dir;
    vorn::testing::ScopedEnv log_dir{"VORN_LOG_DIR", dir.path().c_str()};
    vorn::testing::ScopedEnv prefix{"VORN_LOG_PREFIX", nullptr};

    // Traces one scope on a new thread of the given name; returns its file.
    std::string trace_on_thread(const char* thread_name) {
        std::string path;
        run_in_thread([&] {
            pthread_setname_np(pthread_self(), thread_name);
            { JsonStlLogger scope("worker", "job.py", 7, 1, "%s", "m"); }
            path = vorn::get_log_file_name();
        });
        return path;
    }
};

TEST_F(TraceIdentity, names_the_process_and_thread_and_the_clock_origin) {
    const std::int64_t before = wall_clock_ms();
    std::int64_t tid = 0;
    std::string path;
    run_in_thread([&] {
        pthread_setname_np(pthread_self(), "vorn-worker\\\"1");
        vorn::set_python_thread_name("request-handler-000123\0after", 28);
        tid = vorn::current_thread_id();
        { JsonStlLogger scope("worker", "job.py", 7, 1, "%s", "m"); }
        path = vorn::get_log_file_name();
    });
    const std::int64_t after = wall_clock_ms();
    const std::string json = identity_of(path);

    EXPECT_TRUE(json.starts_with("{\"version\":1,\"pid\":")) << json;
    EXPECT_LE(json.size(), 1024u);
    EXPECT_EQ(field(json, "pid"), std::to_string(getpid()));
    EXPECT_NE(field(json, "start"), "0");
    EXPECT_EQ(field(json, "ppid"), std::to_string(getppid()));
    EXPECT_EQ(field(json, "tid"), std::to_string(tid));
    EXPECT_EQ(field(json, "thread_name"), quoted("vorn-worker\\\\\\\"1")) << "escaped";
    EXPECT_EQ(field(json, "python_thread_name"), quoted("request-handler-000123")) << "whole, up to its NUL";
    EXPECT_EQ(field(identity_of(trace_on_thread("another")), "python_thread_name"), "<missing>") << "none given";
    EXPECT_EQ(field(json, "host"), quoted(vorn::testing::host_name()));
    // The test binary's own command line, as /proc has it.
    const std::string cmdline = read_file("/proc/self/cmdline");
    EXPECT_TRUE(field(json, "cmdline").starts_with("[" + quoted(cmdline.substr(0, cmdline.find('\0'))))) << json;

    const std::string link = std::filesystem::read_symlink("/proc/self/ns/pid").string();  // "pid:[N]"
    EXPECT_EQ(field(json, "pidns"), link.substr(5, link.size() - 6));
    const std::string boot_id = read_file("/proc/sys/kernel/random/boot_id");
    EXPECT_EQ(field(json, "boot_id"), quoted(boot_id.substr(0, boot_id.find('\n'))));
    EXPECT_TRUE(std::regex_match(field(json, "file_id"), std::regex("\"[0-9a-f]{16}\"")));
    EXPECT_TRUE(json.ends_with(",\"file_id\":" + field(json, "file_id") + "}")) << "new fields after the old ones";
    EXPECT_NE(field(identity_of(trace_on_thread("another")), "file_id"), field(json, "file_id")) << "one per file";

    const std::string origin = field(json, "clock_origin_ms");
    ASSERT_EQ(origin, std::to_string(vorn::clock_origin_ms()));
    // origin + ts_enter is the record's wall-clock time, in Unix milliseconds.
    const std::int64_t entered = std::stoll(origin) + first_ts_enter(read_file(path));
    EXPECT_GE(entered, before - 2);
    EXPECT_LE(entered, after + 2);
}

TEST_F(TraceIdentity, a_forked_childs_files_carry_its_own_pid_and_the_inherited_origin) {
    const std::string parent_json = identity_of(trace_on_thread("parent"));  // reads the parent's identity
    const pid_t parent = getpid();
    vorn::testing::run_in_forked_child([&] {
        const std::string json = identity_of(trace_on_thread("child"));
        return field(json, "pid") == std::to_string(getpid()) && getpid() != parent &&
               field(json, "ppid") == std::to_string(parent) && field(json, "start") != "0" &&
               field(json, "thread_name") == quoted("child") &&
               field(json, "file_id") != field(parent_json, "file_id") &&
               field(json, "clock_origin_ms") == field(parent_json, "clock_origin_ms");
    });
}

int refuse_with(int error) {
    errno = error;
    return -1;
}

TEST_F(TraceIdentity, a_file_system_refusing_the_attribute_gets_the_same_trace) {
    // The same scopes with the attribute set and with it refused, into a
    // file an earlier run left labelled.
    const auto trace_twice_nested = [&] {
        std::string path;
        run_in_thread([&] {
            const std::string left = dir.path() + "/vorn/" + vorn::testing::host_name() + "/stl_" +
                                     std::to_string(vorn::current_thread_id()) + ".log";
            std::filesystem::create_directories(std::filesystem::path(left).parent_path());
            std::ofstream(left) << "old";
            setxattr(left.c_str(), vorn::kTraceIdentityAttribute, "{}", 2, 0);
            {
                JsonStlLogger outer("outer", "a.py", 1, 1, "%s", "x");
                JsonStlLogger inner("inner", "a.py", 2, 1, "%d", 5);
                inner.log("%s", "line");
            }
            path = vorn::get_log_file_name();
        });
        return path;
    };
    const std::string labelled = trace_twice_nested();
    ASSERT_EQ(field(identity_of(labelled), "pid"), std::to_string(getpid())) << "replaces the earlier value";
    const std::string expected = vorn::testing::mask_timestamps(read_file(labelled));

    const struct {
        int error;
        vorn::SetAttributeCall call;
    } refusals[] = {
        {ENOTSUP, [](int, const char*, const void*, std::size_t, int) { return refuse_with(ENOTSUP); }},
        {EPERM, [](int, const char*, const void*, std::size_t, int) { return refuse_with(EPERM); }},
        {ENOSPC, [](int, const char*, const void*, std::size_t, int) { return refuse_with(ENOSPC); }},
        {E2BIG, [](int, const char*, const void*, std::size_t, int) { return refuse_with(E2BIG); }},
    };
    for (const auto& refusal : refusals) {
        const vorn::SetAttributeCall saved = vorn::trace_identity_set_attribute.exchange(refusal.call);
        const std::string path = trace_twice_nested();
        vorn::trace_identity_set_attribute = saved;
        // Without user attributes there is no earlier value either.
        if (refusal.error != ENOTSUP) {
            EXPECT_EQ(identity_of(path), "") << refusal.error;
        }
        EXPECT_EQ(vorn::testing::mask_timestamps(read_file(path)), expected) << refusal.error;
    }
}

TEST(TraceIdentityRecord, the_command_line_is_cut_to_fit) {
    const std::string long_arg(2000, 'a');
    const std::string euros = std::string(230, '-') + std::string(300, '\xE2');  // not UTF-8
    const struct {
        std::string command_line;
        bool complete;
        std::string expected;  // the start of the "cmdline" array
        bool whole;            // expected is the whole array
    } cases[] = {
        {std::string("python3.14\0app.py\0--x\0", 22), true, R"(["python3.14","app.py","--x"])", true},
        {std::string("py\0\0x", 5), true, R"(["py","","x"])", true},  // an empty argument; no final NUL
        {"python3.14" + std::string(1, '\0') + long_arg + std::string(1, '\0') + "y", true, R"(["python3.14"])", true},
        {long_arg, false, "[\"aaaa", false},  // only the first argument, cut
        {std::string("p\0", 2) + long_arg.substr(0, 100), false, R"(["p"])", true},  // a partial last argument
        {std::string("p\0", 2) + euros, true, R"(["p"])", true},
        {std::string(1000, '\x01'), true, "[\"\\u0001", false},  // cut between escapes
    };
    for (const auto& c : cases) {
        vorn::TraceIdentity identity;
        identity.thread_name = "t";
        identity.host = "vm";
        identity.command_line = c.command_line.data();
        identity.command_line_length = c.command_line.size();
        identity.command_line_complete = c.complete;
        identity.pidns = 4026531836;
        identity.boot_id = "6d7d518c-23d7-4801-8980-40adb116a25d";
        identity.file_id = 0x0123456789abcdefu;
        char out[vorn::kTraceIdentityBufferBytes];
        const std::string json(out, vorn::compose_trace_identity(identity, out));
        SCOPED_TRACE(json);
        ASSERT_LE(json.size(), vorn::kTraceIdentityMaxBytes);
        EXPECT_TRUE(json.ends_with(R"(],"host":"vm","clock_origin_ms":0,"pidns":4026531836,)"
                                   R"("boot_id":"6d7d518c-23d7-4801-8980-40adb116a25d","file_id":"0123456789abcdef"})"));
        const std::string array = field(json, "cmdline");
        EXPECT_TRUE(c.whole ? array == c.expected : array.starts_with(c.expected)) << array;
        if (!c.whole) {
            EXPECT_GT(json.size(), vorn::kTraceIdentityMaxBytes - 7) << "the cut fills the room";
            EXPECT_TRUE(array.ends_with("\"]")) << "closed";
        }
    }
}

TEST(TraceIdentityRecord, a_hostile_host_and_command_line_still_fit_and_read_back) {
    const std::string host(255, '\x01');  // six bytes each, escaped
    const std::string command_line = std::string(",\"pid\":9,\"start\":9,") + '\0' + std::string(3000, '"');
    vorn::TraceIdentity identity;
    identity.pid = 4242;
    identity.start = 987654;
    identity.thread_name = "\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"";
    const std::string python_name(300, '\x01');
    identity.python_thread_name = python_name.c_str();
    identity.host = host.c_str();
    identity.command_line = command_line.data();
    identity.command_line_length = command_line.size();
    identity.pidns = 4026531836;
    identity.boot_id = "6d7d518c-23d7-4801-8980-40adb116a25d";
    identity.file_id = 0xfedcba9876543210u;
    char out[vorn::kTraceIdentityBufferBytes];
    const std::string json(out, vorn::compose_trace_identity(identity, out));
    ASSERT_LE(json.size(), vorn::kTraceIdentityMaxBytes);
    EXPECT_TRUE(json.ends_with(R"(,"file_id":"fedcba9876543210"})")) << json;
    EXPECT_EQ(field(json, "cmdline"), R"([",\"pid\":9,\"start\":9,"])") << "the long argument dropped whole";
    EXPECT_EQ(field(json, "python_thread_name").size(), 2 + 33 * 6u) << "cut between escapes";

    vorn::TraceFileWriter writer;
    ASSERT_TRUE(vorn::parse_trace_file_writer(json.data(), json.size(), writer));
    EXPECT_EQ(writer.pid, 4242);
    EXPECT_EQ(writer.start, 987654u) << "not the look-alike inside the command line";
    EXPECT_EQ(writer.pidns, 4026531836u);
    EXPECT_STREQ(writer.boot_id, "6d7d518c-23d7-4801-8980-40adb116a25d");
    for (const std::string& other : {std::string(R"({"version":2,"pid":1,"start":1})"), std::string(R"({"version":1,"pid":1})"),
                                    json.substr(0, json.find(",\"start\""))}) {
        EXPECT_FALSE(vorn::parse_trace_file_writer(other.data(), other.size(), writer)) << other;
    }
}

}  // namespace
