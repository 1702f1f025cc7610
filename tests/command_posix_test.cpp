// The whole command on what only a POSIX system offers: file-size limits,
// permissions, closed standard streams, terminals, paths of any length.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "console_texts.h"
#include "run_binary.h"
#include "support.h"

using namespace testing_support;

namespace {

TEST(Command, LongPathsHaveNoLimit) {
    ScratchDir scratch;
    std::string directory = "data";
    for (int i = 0; i < 6; ++i) directory += "/" + std::string(60, static_cast<char>('a' + i));
    std::filesystem::create_directories(scratch.path() / directory);
    const std::string merged = std::string(100, 'm') + ".mrg";
    write_file(scratch / (directory + "/" + merged), "A       01x\r\n");

    const Result result = run_command({.arguments = {directory, "mrg"}, .working_directory = scratch.path()});

    EXPECT_EQ(result.exit_code, 99);
    EXPECT_EQ(escaped(result.output), escaped(banner + report(merged.substr(0, 19), 0) +
                                               error("opening", directory + "/" + merged.substr(0, 19))));
    std::filesystem::rename(scratch / (directory + "/" + merged), scratch / (directory + "/m.mrg"));
    const Result renamed = run_command({.arguments = {directory, "mrg"}, .working_directory = scratch.path()});
    EXPECT_EQ(renamed.exit_code, 0);
    EXPECT_EQ(read_file(scratch / (directory + "/A.sdf")), "x\r\n");
    EXPECT_FALSE(std::filesystem::exists(scratch / (directory + "/m.mrg")));
}

TEST(Command, FailedWriteKeepsTheMergedFile) {
    ScratchDir scratch;
    std::filesystem::create_directory(scratch.path() / "data");
    std::string merged;
    for (int i = 0; i < 1000; ++i) merged += "A       01" + std::string(100, 'r') + "\r\n";
    write_file(scratch / "data/in.mrg", merged);
    write_file(scratch / "data/A.sdf", "old\r\n");

    const Result result = run_command(
        {.arguments = {"data", "mrg"}, .working_directory = scratch.path(), .file_size_limit = 20000});

    EXPECT_EQ(escaped(result.output),
              escaped(banner + report("in.mrg", 112000) + appended("A.sdf") + error("writing", "A.sdf")));
    EXPECT_EQ(result.exit_code, 99);
    EXPECT_EQ(read_file(scratch / "data/in.mrg"), merged);
    EXPECT_EQ(read_file(scratch / "data/A.sdf"), "old\r\n") << "a failed run leaves its SDF file as it was";
}

// Permissions bind only an unprivileged user; when the tests run as root,
// these runs are made as the user nobody.
class UnprivilegedCommand : public testing::Test {
protected:
    void SetUp() override { std::filesystem::create_directory(scratch.path() / "data"); }
    Result run() {
        return run_command({.arguments = {"data", "mrg"}, .working_directory = scratch.path(), .unprivileged = true});
    }
    ScratchDir scratch;
};

TEST_F(UnprivilegedCommand, UnreadableSdfFileWithDataIsAppendedToNeverEmptied) {
    write_file(scratch / "data/in.mrg", "A       01new\r\n");
    write_file(scratch / "data/A.sdf", "old\r\n");
    chmod((scratch / "data/A.sdf").c_str(), 0200);

    const Result result = run();

    EXPECT_EQ(escaped(result.output),
              escaped(banner + report("in.mrg", 15) + appended("A.sdf") + count(1) + deleting("data/in.mrg")));
    EXPECT_EQ(result.exit_code, 0);
    chmod((scratch / "data/A.sdf").c_str(), 0600);
    EXPECT_EQ(read_file(scratch / "data/A.sdf"), "old\r\nnew\r\n");
}

// A run learns the length of its SDF file from the open; when the open is
// refused, the message still says whether the file holds data.
TEST_F(UnprivilegedCommand, ReadOnlySdfFileIsReportedByWhatItHolds) {
    for (const std::string held : {"old\r\n", ""}) {
        SCOPED_TRACE(escaped(held));
        write_file(scratch / "data/in.mrg", "A       01new\r\n");
        write_file(scratch / "data/A.sdf", held);
        chmod((scratch / "data/A.sdf").c_str(), 0444);

        const Result result = run();

        const std::string run_start = held.empty() ? created("A.sdf") : appended("A.sdf");
        EXPECT_EQ(escaped(result.output), escaped(banner + report("in.mrg", 15) + run_start + error("opening", "A.sdf")));
        EXPECT_EQ(result.exit_code, 99);
        EXPECT_EQ(read_file(scratch / "data/A.sdf"), held);
        EXPECT_EQ(read_file(scratch / "data/in.mrg"), "A       01new\r\n");
    }
}

// A listing that cannot be rewritten is never taken in place of this run's own.
TEST_F(UnprivilegedCommand, ListingThatCannotBeWrittenEndsTheRun) {
    write_file(scratch / "data/old.mrg", "A       01old\r\n");
    write_file(scratch / "work1d.tmp", "old.mrg\r\n");
    chmod((scratch / "work1d.tmp").c_str(), 0444);

    const Result result = run_command(
        {.arguments = {"data", "new"}, .working_directory = scratch.path(), .unprivileged = true});

    EXPECT_EQ(escaped(result.output), escaped(banner + error("opening", "work1d.tmp")));
    EXPECT_EQ(result.exit_code, 99);
    EXPECT_EQ(read_file(scratch / "work1d.tmp"), "old.mrg\r\n");
    EXPECT_EQ(read_file(scratch / "data/old.mrg"), "A       01old\r\n");
}

// Where the merged file could not be deleted, the journal cannot be written
// either: the run ends before it writes anything.
TEST_F(UnprivilegedCommand, ReadOnlyDirectoryChangesNothing) {
    write_file(scratch / "data/in.mrg", "A       01new\r\n");
    write_file(scratch / "data/A.sdf", "old\r\n");
    chmod((scratch / "data").c_str(), 0555);

    const Result result = run();

    EXPECT_EQ(escaped(result.output),
              escaped(banner + report("in.mrg", 15) + error("writing", "data/.vrtl_sdf.journal")));
    EXPECT_EQ(result.exit_code, 99);
    EXPECT_TRUE(holds_exactly(scratch.path() / "data", {{"A.sdf", "old\r\n"}, {"in.mrg", "A       01new\r\n"}}));
}

TEST(Command, ClosedStandardStreamsNeverReachAnSdfFile) {
    ScratchDir scratch;
    std::filesystem::create_directory(scratch.path() / "data");
    std::string merged = "A       01x\r\n";
    for (int i = 0; i < 5000; ++i) merged += "A\r\n";  // enough "?" to fill the console's buffer
    write_file(scratch / "data/in.mrg", merged + "B       01y\r\n");

    const Result result = run_command(
        {.arguments = {"data", "mrg"}, .working_directory = scratch.path(), .without_standard_streams = true});

    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(read_file(scratch / "data/A.sdf"), "x\r\n");
    EXPECT_EQ(read_file(scratch / "data/B.sdf"), "y\r\n");
}

TEST(Command, TerminalSeesTheSameBytes) {
    ScratchDir scratch;
    std::filesystem::create_directory(scratch.path() / "data");
    write_file(scratch / "data/in.mrg", "A       01x\r\n");
    if (!std::filesystem::exists("/dev/ptmx")) GTEST_SKIP() << "no terminals here";

    const Result result =
        run_command({.arguments = {"data", "mrg"}, .working_directory = scratch.path(), .on_terminal = true});

    EXPECT_EQ(escaped(result.output),
              escaped(banner + report("in.mrg", 13) + created("A.sdf") + count(1) + deleting("data/in.mrg")));
    EXPECT_EQ(result.exit_code, 0);
}

}  // namespace
