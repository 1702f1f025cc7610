// The seam's promises that the layers above rely on, on every platform.
#include <gtest/gtest.h>

#include "platform/platform.h"
#include "support.h"

using testing_support::read_file;
using testing_support::ScratchDir;
using testing_support::write_file;

namespace {

TEST(PlatformFiles, AppendedWritesLandAtTheEndThatOthersLeft) {
    ScratchDir scratch;
    const std::string path = scratch / "a.sdf";
    write_file(path, "old\r\n");
    std::optional<platform::File> ours = platform::open_file(path, platform::Access::append);
    std::optional<platform::File> theirs = platform::open_file(path, platform::Access::create);
    ASSERT_TRUE(ours && theirs);
    ASSERT_TRUE(platform::write_all(*theirs, std::string_view("theirs, longer\r\n")));
    ASSERT_TRUE(platform::write_all(*ours, std::string_view("ours\r\n")));
    EXPECT_TRUE(platform::close_file(*ours));
    EXPECT_TRUE(platform::close_file(*theirs));
    EXPECT_EQ(read_file(path), "theirs, longer\r\nours\r\n");
}

// A failed run cuts its SDF file back through the file it appends to, which
// then goes on appending at the new end.
TEST(PlatformFiles, AppendedFileIsCutBack) {
    ScratchDir scratch;
    const std::string path = scratch / "a.sdf";
    write_file(path, "old\r\n");
    std::optional<platform::File> file = platform::open_file(path, platform::Access::append);
    ASSERT_TRUE(file);
    ASSERT_TRUE(platform::write_all(*file, std::string_view("torn")));
    EXPECT_TRUE(platform::truncate_file(*file, 5));
    ASSERT_TRUE(platform::write_all(*file, std::string_view("new\r\n")));
    EXPECT_TRUE(platform::close_file(*file));
    EXPECT_EQ(read_file(path), "old\r\nnew\r\n");
}

}  // namespace
