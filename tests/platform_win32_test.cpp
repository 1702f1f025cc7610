// The Windows side of the seam where it does more than pass a call on: the
// claim, deletion of the file held, files that may not be read, and appends.
#include <windows.h>

#include <algorithm>
#include <thread>

#include <gtest/gtest.h>

#include "platform/files.h"
#include "platform/turns.h"
#include "support.h"

using testing_support::read_file;
using testing_support::ScratchDir;
using testing_support::write_file;

namespace {

platform::Directory held(const ScratchDir& scratch) { return *platform::open_directory(scratch.path().string() + "\\"); }

TEST(Win32Files, HeldAndClaimedFileIsDeletedOnceClosed) {
    ScratchDir scratch;
    write_file(scratch / "in.mrg", "A       01x\r\n");
    const platform::Directory directory = held(scratch);
    std::optional<platform::OpenedFile> merged = platform::open_in(directory, "in.mrg", platform::Access::read);
    ASSERT_TRUE(merged);
    ASSERT_TRUE(platform::claim_exclusively(merged->file));

    EXPECT_EQ(platform::prepare_removal(directory, "in.mrg", ".aside", merged->status, merged->file),
              platform::Removal::ready);
    EXPECT_EQ(platform::remove_prepared(directory, "in.mrg", ".aside", merged->file), platform::Removal::removed);
    EXPECT_TRUE(platform::close_file(merged->file));
    EXPECT_FALSE(platform::name_taken(directory, "in.mrg"));
}

// A run's directory cannot be renamed or removed while the run holds it.
TEST(Win32Files, HeldDirectoryStaysWhereItIs) {
    ScratchDir scratch;
    std::filesystem::create_directory(scratch.path() / "data");
    const std::string data = scratch / "data";
    const std::string moved = scratch / "moved";
    {
        const std::optional<platform::Directory> held = platform::open_directory(data + "\\");
        ASSERT_TRUE(held);
        EXPECT_FALSE(MoveFileA(data.c_str(), moved.c_str()));
    }
    EXPECT_TRUE(MoveFileA(data.c_str(), moved.c_str())) << "once the run is done, it may";
}

TEST(Win32Files, SecondClaimFailsWithoutWaiting) {
    ScratchDir scratch;
    const std::string path = scratch / "in.mrg";
    write_file(path, "data");
    std::optional<platform::OpenedFile> first = platform::open_path(path, platform::Access::read);
    std::optional<platform::OpenedFile> second = platform::open_path(path, platform::Access::read);
    ASSERT_TRUE(first && second);
    EXPECT_TRUE(platform::claim_exclusively(first->file));
    EXPECT_FALSE(platform::claim_exclusively(second->file));
    EXPECT_TRUE(platform::close_file(first->file));
    EXPECT_TRUE(platform::claim_exclusively(second->file)) << "the claim ends with its file";
}

TEST(Win32Files, StatusOfAFileThatMayNotBeReadIsKnown) {
    ScratchDir scratch;
    const std::string path = scratch / "a.sdf";
    write_file(path, "old\r\n");
    // Held without any sharing: no one else may open it to read.
    const HANDLE exclusive = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(exclusive, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(platform::open_path(path, platform::Access::read));

    const std::optional<platform::FileStatus> status = platform::status_in(held(scratch), "a.sdf");
    CloseHandle(exclusive);
    ASSERT_TRUE(status);
    EXPECT_EQ(status->size, 5);
}

TEST(Win32Files, DirectoriesAndDevicesHaveNoStatus) {
    ScratchDir scratch;
    std::filesystem::create_directory(scratch.path() / "sub");
    const platform::Directory directory = held(scratch);
    EXPECT_FALSE(platform::status_in(directory, "sub"));
    EXPECT_FALSE(platform::status_in(directory, "NUL.sdf"));
    EXPECT_FALSE(platform::status_in(directory, "absent"));
    EXPECT_FALSE(platform::open_path(scratch / "NUL", platform::Access::create));
}

// Two writers appending at once, here two threads with a file each as two
// processes would have: each waits at the open for the file's turn, so that
// every byte lands, none over another's, even where an append is two steps
// (find the end, write there), as under Wine.
TEST(Win32Files, ConcurrentAppendsLoseNothing) {
    ScratchDir scratch;
    const std::string path = scratch / "a.sdf";
    constexpr std::size_t writes = 20000;
    constexpr std::size_t piece_size = 16;
    const auto append = [&](char letter) {
        std::optional<platform::OpenedFile> opened = platform::open_path(path, platform::Access::append);
        ASSERT_TRUE(opened);
        const std::string piece(piece_size, letter);
        for (std::size_t i = 0; i < writes; ++i) ASSERT_TRUE(platform::write_all(opened->file, piece));
        ASSERT_TRUE(platform::close_file(opened->file));
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
