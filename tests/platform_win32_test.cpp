// The Windows side of the seam where it does more than pass a call on: the
// lock, deletion through the interpreter, files that may not be read, and appends.
#include <windows.h>

#include <algorithm>
#include <thread>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "support.h"

using testing_support::read_file;
using testing_support::ScratchDir;
using testing_support::write_file;

namespace {

TEST(Win32Files, HeldAndLockedFileIsDeletedOnceClosed) {
    ScratchDir scratch;
    const std::string path = scratch / "in.mrg";
    write_file(path, "A       01x\r\n");
    std::optional<platform::OpenedFile> merged = platform::open_file_with_status(path, platform::Access::read);
    ASSERT_TRUE(merged);
    ASSERT_TRUE(platform::lock_exclusively(merged->file));

    EXPECT_EQ(platform::remove_file_read(path, scratch / ".aside", merged->status, merged->file),
              platform::Removal::removed);
    EXPECT_TRUE(platform::close_file(merged->file));
    EXPECT_FALSE(platform::path_exists(path));
}

// The journal never shows in the interpreter's listing.
TEST(Win32Files, OwnFilesAreHidden) {
    ScratchDir scratch;
    ASSERT_TRUE(platform::write_own_file_durably(scratch.path().string() + "\\", ".journal", "x"));
    EXPECT_NE(GetFileAttributesA((scratch / ".journal").c_str()) & FILE_ATTRIBUTE_HIDDEN, 0u);
}

TEST(Win32Files, SecondLockFailsWithoutWaiting) {
    ScratchDir scratch;
    const std::string path = scratch / "in.mrg";
    write_file(path, "data");
    std::optional<platform::File> first = platform::open_file(path, platform::Access::read);
    std::optional<platform::File> second = platform::open_file(path, platform::Access::read);
    ASSERT_TRUE(first && second);
    EXPECT_TRUE(platform::lock_exclusively(*first));
    EXPECT_FALSE(platform::lock_exclusively(*second));
    EXPECT_TRUE(platform::close_file(*first));
    EXPECT_TRUE(platform::lock_exclusively(*second)) << "the lock ends with its file";
}

TEST(Win32Files, StatusOfAFileThatMayNotBeReadIsKnown) {
    ScratchDir scratch;
    const std::string path = scratch / "a.sdf";
    write_file(path, "old\r\n");
    // Held without any sharing: no one else may open it to read.
    const HANDLE exclusive = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(exclusive, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(platform::open_file(path, platform::Access::read));

    const std::optional<platform::FileStatus> status = platform::regular_file_status(path);
    CloseHandle(exclusive);
    ASSERT_TRUE(status);
    EXPECT_EQ(status->size, 5);
}

TEST(Win32Files, DirectoriesAndDevicesHaveNoStatus) {
    ScratchDir scratch;
    EXPECT_FALSE(platform::regular_file_status(scratch.path().string()));
    EXPECT_FALSE(platform::regular_file_status(scratch / "NUL.sdf"));
    EXPECT_FALSE(platform::regular_file_status(scratch / "absent"));
    EXPECT_FALSE(platform::open_file(scratch / "NUL", platform::Access::create));
}

// Two writers appending at once, here two threads with a file each as two
// processes would have: every byte lands, none over another's.
TEST(Win32Files, ConcurrentAppendsLoseNothing) {
    if (GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr) {
        GTEST_SKIP() << "Wine appends by looking up the end and writing there: two steps, whatever the access";
    }
    ScratchDir scratch;
    const std::string path = scratch / "a.sdf";
    constexpr std::size_t writes = 20000;
    constexpr std::size_t piece_size = 16;
    const auto append = [&](char letter) {
        std::optional<platform::File> file = platform::open_file(path, platform::Access::append);
        const std::string piece(piece_size, letter);
        for (std::size_t i = 0; file && i < writes; ++i) ASSERT_TRUE(platform::write_all(*file, piece));
        ASSERT_TRUE(file && platform::close_file(*file));
    };
    std::thread first(append, 'a');
    std::thread second(append, 'b');
    first.join();
    second.join();
    const std::string written = read_file(path).value_or("");
    EXPECT_EQ(std::count(written.begin(), written.end(), 'a'), writes * piece_size);
    EXPECT_EQ(std::count(written.begin(), written.end(), 'b'), writes * piece_size);
}

}  // namespace
