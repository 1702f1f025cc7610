// The DOS text layer on what only a POSIX system offers.
#include <fcntl.h>

#include <gtest/gtest.h>

#include "textfile/text_stream.h"

namespace {

TEST(TextWrite, FailedWriteIsReportedAndStopsTheStream) {
    const int fd = open("/dev/full", O_WRONLY | O_CLOEXEC);
    if (fd == -1) GTEST_SKIP() << "no /dev/full";
    TextStream stream = text_stream_for_writing(platform::File(fd));
    EXPECT_EQ(text_write(std::string(5000, 'z'), stream), -1);
    EXPECT_TRUE(stream.error);
    EXPECT_EQ(text_write("more", stream), -1);
    EXPECT_EQ(text_close(stream), -1);
}

}  // namespace
