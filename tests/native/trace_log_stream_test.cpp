// A write error puts the trace stream into its failed state for good, and
// leaves the file as it was before the write that failed.

#include "trace/log_stream.h"

#include <gtest/gtest.h>

#include <csignal>
#include <string>

#include <fcntl.h>
#include <sys/resource.h>

#include "test_support.h"

namespace {

TEST(log_stream, a_write_error_fails_the_stream_for_good) {
    vorn::LogStream stream(vorn::UniqueFd(open("/dev/full", O_WRONLY | O_CLOEXEC)));
    ASSERT_TRUE(stream.is_open());
    stream.replace_tail(0, "x", 1);  // ENOSPC
    EXPECT_TRUE(stream.failed());
    EXPECT_TRUE(stream.is_open()) << "still open, so nobody reopens it";
    const std::uint64_t before = vorn::trace_write_calls();
    stream.replace_tail(0, "y", 1);
    EXPECT_EQ(vorn::trace_write_calls(), before) << "later writes have no effect";
}

// Lowers the file-size limit of this process, with SIGXFSZ ignored so that
// crossing it fails the write instead of killing the process; restores both.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &saved_);
        old_handler_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit lowered = saved_;
        lowered.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &lowered);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, old_handler_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit saved_{};
    void (*old_handler_)(int) = nullptr;
};

TEST(log_stream, a_write_cut_short_by_the_size_limit_is_undone_whole) {
    vorn::testing::TempDir dir;
    const std::string path = dir.path() + "/trace.log";
    const std::string closed = "[\n  {}\n]\n";
    const std::string next_element = ",\n  {" + std::string(100, 'x') + "}\n]\n";
    const struct {
        const char* what;
        std::uint64_t tail;
        std::string data;
        std::string after;
    } cases[] = {
        {"an append", 0, "more", closed},
        {"a write over the final bracket", 2, next_element, closed},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        vorn::LogStream stream = vorn::LogStream::open_truncated(path);
        stream.replace_tail(0, "[\n  {}\n", 7);
        stream.replace_tail(0, "]\n", 2);
        {
            // Room for part of the write only: it is cut short, then fails.
            const FileSizeLimit limit(closed.size() + 3);
            stream.replace_tail(c.tail, (c.data + std::string(4096, 'y')).data(), c.data.size() + 4096);
        }
        EXPECT_TRUE(stream.failed());
        EXPECT_EQ(vorn::testing::read_file(path), c.after);
    }
}

TEST(log_stream, a_tail_longer_than_the_file_or_than_two_bytes_fails_without_writing) {
    vorn::testing::TempDir dir;
    const std::string path = dir.path() + "/trace.log";
    for (const std::uint64_t tail : {4u, 3u}) {
        vorn::LogStream stream = vorn::LogStream::open_truncated(path);
        stream.replace_tail(0, "abc", 3);
        stream.replace_tail(tail, "xyz", 3);
        EXPECT_TRUE(stream.failed()) << tail;
        EXPECT_EQ(vorn::testing::read_file(path), "abc");
    }
}

}  // namespace
