// The whole command on what only a POSIX system offers: permissions, closed
// standard streams, terminals, paths of any length, locks on a directory, and
// runs at once whose race the fault injector makes wide.
#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include <gtest/gtest.h>

#include "console_texts.h"
#include "fault_environment.h"
#include "run_binary.h"
#include "runs_at_once.h"
#include "support.h"

using namespace testing_support;

namespace {

// A data path longer than the system's limit on a path: the command reaches
// its directory one component at a time, and every file in it through it.
TEST(Command, DataPathLongerThanThePathLimit) {
    ScratchDir scratch;
    std::string directory = "data";
    int at = open(scratch.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (std::string component = "data"; at != -1; component = std::string(200, 'd')) {
        if (component != "data") directory += "/" + component;
        const int parent = at;
        at = mkdirat(parent, component.c_str(), 0755) == 0 ? openat(parent, component.c_str(), O_RDONLY | O_DIRECTORY) : -1;
        close(parent);
        if (directory.size() > PATH_MAX) break;
    }
    ASSERT_NE(at, -1);
    const int merged = openat(at, "in.mrg", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_EQ(write(merged, "A       01x\r\n", 13), 13);
    close(merged);

    const Result result = run_command({.arguments = {directory, "mrg"}, .working_directory = scratch.path()});

    EXPECT_EQ(escaped(result.output), escaped(banner + report("in.mrg", 13) + created("A.sdf") + count(1) +
                                              deleting(directory + "/in.mrg")));
    EXPECT_EQ(result.exit_code, 0);
    char written[8] = {};
    const int sdf = openat(at, "A.sdf", O_RDONLY | O_CLOEXEC);
    EXPECT_EQ(read(sdf, written, sizeof written), 3);
    EXPECT_EQ(std::string(written), "x\r\n");
    close(sdf);
    close(at);
    // Deeper than a path can name: removed by a tool that walks it from the top.
    EXPECT_EQ(std::system(("rm -rf '" + scratch / "data" + "'").c_str()), 0);
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
        // The last case's file is read-only, to its owner too when not root.
        std::filesystem::remove(scratch / "data/A.sdf");
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

// Where the merged file could not be deleted, the directory's turn cannot
// be taken either, or, when another made the turn's file, the journal cannot
// be written; and a directory that cannot be read is reported, never taken
// for one that holds nothing. Nothing is touched.
TEST_F(UnprivilegedCommand, DirectoryThatCannotBeWrittenOrReadChangesNothing) {
    struct Refusal {
        mode_t mode;
        bool turn_file_made_by_another;
        std::string output;
    };
    const Files merged_and_sdf = {{"A.sdf", "old\r\n"}, {"in.mrg", "A       01new\r\n"}};
    const std::vector<Refusal> cases = {
        {0555, false, banner + error("opening", "data/.vrtl_sdf.lock")},
        {0555, true, banner + report("in.mrg", 15) + error("writing", "data/.vrtl_sdf.journal")},
        {0311, false, banner + error("opening", "data/")}};
    for (const Refusal& refusal : cases) {
        SCOPED_TRACE(refusal.output);
        write_files(scratch.path() / "data", merged_and_sdf);
        if (refusal.turn_file_made_by_another) write_file(scratch / "data/.vrtl_sdf.lock", "");
        chmod((scratch / "data").c_str(), refusal.mode);

        const Result result = run();

        chmod((scratch / "data").c_str(), 0755);
        std::filesystem::remove(scratch / "data/.vrtl_sdf.lock");
        EXPECT_EQ(escaped(result.output), escaped(refusal.output));
        EXPECT_EQ(result.exit_code, 99);
        EXPECT_TRUE(holds_exactly(scratch.path() / "data", merged_and_sdf));
    }
}

// A umask that takes away the owner's write or read does not lock the next
// run out of the listing it made, nor keep a run from reading it back.
TEST_F(UnprivilegedCommand, UmaskThatTakesAwayWritingLocksNoRunOut) {
    // Each umask its own SDF files: one that takes the owner's write away makes them read-only.
    for (const auto& [mask, names] : {std::pair{0222u, "AB"}, std::pair{0477u, "CD"}}) {
        std::filesystem::remove(scratch / "work1d.tmp");  // made anew under this umask
        for (const char letter : std::string_view(names)) {
            const std::string name(1, letter);
            const std::string merged = scratch / ("data/" + name + ".mrg");
            write_file(merged, name + "       01x\r\n");
            Invocation invocation{.arguments = {"data", "mrg"}, .working_directory = scratch.path(), .unprivileged = true};
            invocation.umask = mask;
            EXPECT_EQ(run_command(invocation).exit_code, 0) << name << " under umask " << mask;
            EXPECT_FALSE(std::filesystem::exists(merged)) << name << " under umask " << mask;
        }
    }
}

// The usual guard against a scheduler's overlapping runs: the run takes its
// own turn on a file of its own, never on the directory an operator locks.
TEST(Command, OperatorsLockOnTheDirectoryHoldsNoRunUp) {
    ScratchDir scratch;
    std::filesystem::create_directory(scratch.path() / "data");
    write_file(scratch / "data/in.mrg", "A       01x\r\n");
    const int directory = open((scratch / "data").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_EQ(flock(directory, LOCK_EX), 0);

    const Result result = run_command({.arguments = {"data", "mrg"},
                                       .working_directory = scratch.path(),
                                       .time_allowed = std::chrono::seconds(10)});

    close(directory);
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_TRUE(holds_exactly(scratch.path() / "data", {{"A.sdf", "x\r\n"}}));
}

// A run waiting on the turn's file when its holder removes it and another
// run makes the next one: the turn is the one at the name, never the old.
TEST(Command, WaitingRunTakesTheTurnOfTheFileAtItsName) {
    ScratchDir scratch;
    std::filesystem::create_directory(scratch.path() / "data");
    write_file(scratch / "data/in.mrg", "A       01x\r\n");
    const std::string turn = scratch / "data/.vrtl_sdf.lock";
    const auto hold_turn = [&] {
        const int fd = open(turn.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
        return fd != -1 && flock(fd, LOCK_EX) == 0 ? fd : -1;
    };
    const int ending = hold_turn();
    const StartedCommand waiting = start_command({.arguments = {"data", "mrg"}, .working_directory = scratch.path()});
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::filesystem::remove(turn);
    const int next = hold_turn();
    close(ending);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));

    EXPECT_TRUE(std::filesystem::exists(scratch / "data/in.mrg")) << "the run went on without its turn";
    close(next);
    EXPECT_EQ(wait_for_command(waiting).exit_code, 0);
    EXPECT_TRUE(holds_exactly(scratch.path() / "data", {{"A.sdf", "x\r\n"}}));
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

// Waits until the file at path holds data: a run has begun writing it.
void wait_for_data_in(const std::filesystem::path& path) {
    const auto given_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (std::error_code absent; std::chrono::steady_clock::now() < given_up;) {
        if (const auto size = std::filesystem::file_size(path, absent); !absent && size > 0) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// The rows that only POSIX poses: races made wide by the fault injector's
// pauses, and SDF files that directories share through links.
INSTANTIATE_TEST_SUITE_P(
    Paused, RunsAtOnceTest,
    testing::Values(
        // Each run pauses after writing its listing: another that
        // wrote its own meanwhile would be read in its place.
        AtOnceCase{"two_directories_from_one_current_directory",
                   {{"north/n.mrg", racing(6)}, {"south/s.mrg", racing(7)}},
                   {{"north", "mrg"}, {"south", "mrg"}},
                   fault_environment("pause_after_write", "work1d.tmp")},
        // Each run pauses after each write to the shared file: the
        // other's records would land between its writes.
        AtOnceCase{"two_directories_sharing_an_sdf_file",
                   {{"north/n.mrg", racing(8, 1500)}, {"south/s.mrg", racing(9, 1500)}},
                   {{"north", "mrg"}, {"south", "mrg"}},
                   fault_environment("pause_after_write", "shared/NORTH.sdf"),
                   AtOnceCase::Shared{"shared/NORTH.sdf", {"north/NORTH.sdf", "south/NORTH.sdf"}}},
        // Runs of one record each, whose every write is whole, beside
        // runs of many writes, which may not let them in between.
        AtOnceCase{"sdf_file_with_two_names",
                   {{"north/n.mrg", {.names = {"NORTH", "SOUTH"}, .lines = 40, .lines_per_run = 1, .seed = 13}},
                    {"south/s.mrg", racing(14, 600)}},
                   {{"north", "mrg"}, {"south", "mrg"}},
                   fault_environment("pause_after_write", "north/NORTH.sdf"),
                   AtOnceCase::Shared{"north/NORTH.sdf", {"north/NORTH.sdf", "south/NORTH.sdf"}, true}},
        // The second name is made while the first run writes through the first.
        AtOnceCase{"link_made_while_a_run_writes",
                   {{"north/n.mrg", racing(10, 1500)}, {"south/s.mrg", racing(11, 1500)}},
                   {{"north", "mrg"}, {"south", "mrg"}},
                   fault_environment("pause_after_write", "north/NORTH.sdf"),
                   AtOnceCase::Shared{"north/NORTH.sdf", {"north/NORTH.sdf", "south/NORTH.sdf"}},
                   [](const std::filesystem::path& scratch) {
                       wait_for_data_in(scratch / "north/NORTH.sdf");
                       std::filesystem::create_hard_link(scratch / "north/NORTH.sdf", scratch / "south/NORTH.sdf");
                   }},
        // Someone removes the turn's name while the first run holds it: the journal keeps them apart.
        AtOnceCase{"turn_removed_while_a_run_holds_it",
                   {{"data/in.mrg", racing(12, 1500)}},
                   {{"data", "mrg"}, {"data", "mrg"}},
                   fault_environment("pause_after_write", "data/NORTH.sdf"),
                   std::nullopt,
                   [](const std::filesystem::path& scratch) {
                       wait_for_data_in(scratch / "data/NORTH.sdf");
                       std::filesystem::remove(scratch / "data/.vrtl_sdf.lock");
                   }}),
    at_once_case_name);

}  // namespace
