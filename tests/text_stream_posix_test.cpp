// The DOS text layer on what only a POSIX system offers.
#include <fcntl.h>

#include <gtest/gtest.h>

#include "support.h"
#include "textfile/text_stream.h"

using testing_support::escaped;
using testing_support::read_file;
using testing_support::ScratchDir;

namespace {

TEST(TextWrite, FailedWriteIsReportedAndStopsTheStream) {
    const int fd = open("/dev/full", O_WRONLY | O_CLOEXEC);
    if (fd == -1) GTEST_SKIP() << "no /dev/full";
    TextStream stream = text_stream_for_writing(platform::File(fd));
    EXPECT_EQ(text_write(std::string(5000, 'z'), stream), -1);
    EXPECT_TRUE(text_error(stream));
    EXPECT_EQ(text_write("more", stream), -1);
    EXPECT_EQ(text_close(stream), -1);
}

// A stream reopened for the next run must carry nothing over: neither held
// bytes nor the error of its last file.
TEST(TextWrite, ReopenedStreamStartsAfresh) {
    ScratchDir scratch;
    std::optional<TextStream> stream = text_open(scratch / "first", "wa");
    ASSERT_TRUE(stream);
    EXPECT_EQ(text_write("held\n", *stream), 0);
    EXPECT_EQ(text_cut_back(*stream, 0), 0);

    const int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
    if (full == -1) GTEST_SKIP() << "no /dev/full";
    text_reopen_for_writing(*stream, platform::File(full));
    EXPECT_EQ(text_write(std::string(5000, 'z'), *stream), -1);
    EXPECT_EQ(text_close(*stream), -1);

    text_reopen_for_writing(*stream, std::move(platform::open_path(scratch / "second", platform::Access::create)->file));
    EXPECT_EQ(text_write("N\n", *stream), 0);
    EXPECT_EQ(text_close(*stream), 0);
    EXPECT_EQ(text_bytes_written(*stream), 3);
    EXPECT_EQ(escaped(read_file(scratch / "first").value_or("<absent>")), "");
    EXPECT_EQ(escaped(read_file(scratch / "second").value_or("<absent>")), escaped("N\r\n"));
}

}  // namespace
