// A write error puts the trace stream into its failed state for good.

#include "trace/log_stream.h"

#include <gtest/gtest.h>

#include <fcntl.h>

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

}  // namespace
