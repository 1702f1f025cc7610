// The seam's promises that the layers above rely on, on every platform.
#include <gtest/gtest.h>

#include "platform/files.h"
#include "support.h"

using testing_support::read_file;
using testing_support::ScratchDir;
using testing_support::write_file;

namespace {

TEST(PlatformFiles, AppendedWritesLandAtTheEndThatOthersLeft) {
    ScratchDir scratch;
    const std::string path = scratch / "a.sdf";
    write_file(path, "old\r\n");
    std::optional<platform::OpenedFile> ours = platform::open_path(path, platform::Access::append);
    std::optional<platform::OpenedFile> theirs = platform::open_path(path, platform::Access::create);
    ASSERT_TRUE(ours && theirs);
    ASSERT_TRUE(platform::write_all(theirs->file, std::string_view("theirs, longer\r\n")));
    ASSERT_TRUE(platform::write_all(ours->file, std::string_view("ours\r\n")));
    EXPECT_TRUE(platform::close_file(ours->file));
    EXPECT_TRUE(platform::close_file(theirs->file));
    EXPECT_EQ(read_file(path), "theirs, longer\r\nours\r\n");
}

// A failed run cuts its SDF file back through the file it appends to, which
// then goes on appending at the new end.
TEST(PlatformFiles, AppendedFileIsCutBack) {
    ScratchDir scratch;
    const std::string path = scratch / "a.sdf";
    write_file(path, "old\r\n");
    std::optional<platform::OpenedFile> opened = platform::open_path(path, platform::Access::append);
    ASSERT_TRUE(opened);
    platform::File& file = opened->file;
    ASSERT_TRUE(platform::write_all(file, std::string_view("torn")));
    EXPECT_TRUE(platform::truncate_file(file, 5));
    ASSERT_TRUE(platform::write_all(file, std::string_view("new\r\n")));
    EXPECT_TRUE(platform::close_file(file));
    EXPECT_EQ(read_file(path), "old\r\nnew\r\n");
}

}  // namespace
