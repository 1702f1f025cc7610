// The whole command under faults: a full disk, failing reads, writes, syncs
// and deletions, a merged file claimed by another run, hostile paths, and a
// crash, a power loss or a torn write at each step. Each run must end either
// done or with its message and exit code 99, and with every record in its SDF
// file or still in the merged file; after a crash, the next run makes it so.
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <thread>

#include <gtest/gtest.h>

#include "console_texts.h"
#include "fault_environment.h"
#include "run_binary.h"
#include "support.h"

namespace {

using namespace testing_support;
namespace fs = std::filesystem;
// ---- Running out of space ----------------------------------------------------

// A run of A fits anywhere; the run of B that follows needs more room than
// either way of running out of space leaves it.
std::string merged_that_outgrows_the_space() {
    std::string merged = "A       01a1\r\nA       01a2\r\n";
    for (int i = 0; i < 1400; ++i) merged += "B       01" + std::string(100, 'b') + "\r\n";
    return merged;
}

constexpr long file_size_limit = 20000;
// The merged file takes about 156 KiB of it, which leaves about 100 KiB.
constexpr const char* small_file_system = "size=256k";

// A file system of its own on a directory, in a mount namespace of the test
// process's own, so that it goes away with the process whatever happens.
class OwnMount {
public:
    // Empty when it is mounted, otherwise why not.
    std::string mount_on(const fs::path& directory, const std::string& source, const char* type,
                         const char* options = nullptr) {
        if (geteuid() != 0) return "mounting needs root";
        if (unshare(CLONE_NEWNS) != 0) return std::string("no mount namespace of its own: ") + std::strerror(errno);
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            return std::string("mounts cannot be made private: ") + std::strerror(errno);
        }
        if (mount(source.c_str(), directory.c_str(), type, 0, options) != 0) {
            return std::string("no ") + type + ": " + std::strerror(errno);
        }
        mounted_ = directory;
        return "";
    }
    void unmount() {
        if (!mounted_.empty()) umount2(mounted_.c_str(), MNT_DETACH);
        mounted_.clear();
    }
    ~OwnMount() { unmount(); }

private:
    fs::path mounted_;
};

enum class Exhaustion { file_size_limit, full_file_system };

// The run fails, and leaves every file as it found it.
struct SpaceCase {
    const char* name;
    Exhaustion exhaustion;
    Files before;  // beside the merged file
    std::string console;  // after the report line
};

void PrintTo(const SpaceCase& test, std::ostream* out) { *out << test.name; }

class SpaceTest : public testing::TestWithParam<SpaceCase> {};

TEST_P(SpaceTest, FailedWriteIsReportedAndNothingIsLost) {
    const SpaceCase& test = GetParam();
    ScratchDir scratch;
    const fs::path data = scratch.path() / "data";
    fs::create_directory(data);
    OwnMount file_system;
    if (test.exhaustion == Exhaustion::full_file_system) {
        const std::string why_not = file_system.mount_on(data, "tmpfs", "tmpfs", small_file_system);
        if (!why_not.empty()) GTEST_SKIP() << "no small file system to fill: " << why_not;
    }
    const std::string merged = merged_that_outgrows_the_space();
    write_file((data / "in.mrg").string(), merged);
    write_files(data, test.before);

    Invocation invocation{.arguments = {"data", "mrg"}, .working_directory = scratch.path()};
    if (test.exhaustion == Exhaustion::file_size_limit) invocation.file_size_limit = file_size_limit;
    const Result result = run_command(invocation);

    EXPECT_EQ(escaped(result.output),
              escaped(banner + report("in.mrg", static_cast<long long>(merged.size())) + test.console));
    EXPECT_EQ(result.exit_code, 99);
    Files after = test.before;
    after["in.mrg"] = merged;
    EXPECT_TRUE(holds_exactly(data, after));
}

const std::string first_run = created("A.sdf") + count(2);

INSTANTIATE_TEST_SUITE_P(
    Cases, SpaceTest,
    testing::Values(SpaceCase{"new_sdf_file_at_file_size_limit",
                              Exhaustion::file_size_limit,
                              {},
                              first_run + created("B.sdf") + error("writing", "B.sdf")},
                    SpaceCase{"new_sdf_file_on_full_file_system",
                              Exhaustion::full_file_system,
                              {},
                              first_run + created("B.sdf") + error("writing", "B.sdf")},
                    SpaceCase{"sdf_file_with_data_at_file_size_limit",
                              Exhaustion::file_size_limit,
                              {{"A.sdf", ""}, {"B.sdf", "old\r\n"}},
                              first_run + appended("B.sdf") + error("writing", "B.sdf")},
                    // The first run fails: nothing before it to keep.
                    SpaceCase{"first_run_at_file_size_limit",
                              Exhaustion::file_size_limit,
                              {{"A.sdf", std::string(file_size_limit - 5, 'o')}},
                              appended("A.sdf") + error("writing", "A.sdf")},
                    SpaceCase{"sdf_file_with_data_on_full_file_system",
                              Exhaustion::full_file_system,
                              {{"A.sdf", "old\r\n"}, {"B.sdf", "old\r\n"}},
                              appended("A.sdf") + count(2) + appended("B.sdf") + error("writing", "B.sdf")}),
    [](const testing::TestParamInfo<SpaceCase>& info) { return std::string(info.param.name); });

// ---- A remount under another device number ------------------------------------

Files with(Files files, const Files& more) {
    for (const auto& [name, bytes] : more) files[name] = bytes;
    return files;
}


// The output of a shell command line, with its exit status.
std::pair<int, std::string> shell(const std::string& command_line) {
    std::string output;
    FILE* pipe = popen(command_line.c_str(), "r");
    if (!pipe) return {-1, ""};
    char piece[256];
    while (std::fgets(piece, sizeof piece, pipe)) output += piece;
    const int status = pclose(pipe);
    while (!output.empty() && output.back() == '\n') output.pop_back();
    return {status, output};
}

// One disk image on two loop devices: mounted through one and then the
// other, its files keep their inodes and change their device number, as
// network, volume-managed and loop file systems do from one mount to the next.
class ImageOnTwoDevices {
public:
    std::string attach(const fs::path& image) {
        if (geteuid() != 0) return "loop devices need root";
        if (shell("truncate -s 8M '" + image.string() + "' && mkfs.ext2 -q '" + image.string() + "' 2>&1").first != 0) {
            return "no mkfs.ext2";
        }
        for (std::string& device : devices_) {
            const auto [status, name] = shell("losetup -f --show '" + image.string() + "' 2>&1");
            if (status != 0) return "no loop device: " + name;
            device = name;
        }
        return "";
    }
    const std::string& device(int i) const { return devices_[i]; }
    ~ImageOnTwoDevices() {
        for (const std::string& device : devices_) {
            if (!device.empty()) shell("losetup -d " + device);
        }
    }

private:
    std::string devices_[2];
};

const std::string three_runs = "A       01a1\r\nA       01a2\r\nB       01b1\r\nC       01c1\r\n";
const Files three_runs_written = {{"A.sdf", "a1\r\na2\r\n"}, {"B.sdf", "b1\r\n"}, {"C.sdf", "c1\r\n"}};

// The merged file names more SDF files than the directory holds, so that its
// journal records every SDF file of the directory.
TEST(Remount, CrashThenTheFileSystemUnderAnotherDeviceNumber) {
    ScratchDir scratch;
    const fs::path data = scratch.path() / "data";
    fs::create_directory(data);
    ImageOnTwoDevices image;
    const std::string why_not = image.attach(scratch.path() / "disk.img");
    if (!why_not.empty()) GTEST_SKIP() << why_not;
    OwnMount first;
    if (const std::string no = first.mount_on(data, image.device(0), "ext2"); !no.empty()) GTEST_SKIP() << no;
    write_files(data, {{"in.mrg", three_runs}, {"B.sdf", "old\r\n"}});
    const Invocation split{.arguments = {"data", "mrg"}, .working_directory = scratch.path()};
    Invocation crashed = split;
    crashed.environment = fault_environment("crash_at=rename:1", "");  // every SDF file written
    ASSERT_EQ(run_command(crashed).exit_code, -1);
    first.unmount();

    OwnMount second;
    ASSERT_EQ(second.mount_on(data, image.device(1), "ext2"), "");
    EXPECT_EQ(run_command(split).exit_code, 0);
    EXPECT_TRUE(holds_exactly(data, with(three_runs_written, {{"B.sdf", "old\r\nb1\r\n"}})));
}

// ---- Faults injected into the command's system calls ---------------------------

Result run_with_fault(const ScratchDir& scratch, const std::string& fault, const std::string& path) {
    return run_command({.arguments = {"data", "mrg"},
                        .working_directory = scratch.path(),
                        .environment = fault_environment(fault, path)});
}

const std::string three_runs_console =
    created("A.sdf") + count(2) + created("B.sdf") + count(1) + created("C.sdf") + count(1);

const std::string refused_second_run = "A       01a1\r\n../x    01y\r\n";

const std::string long_record(10000, 'x');
const std::string long_second_run = "A       01a1\r\nB       01" + long_record + "\r\n";

struct InjectedCase {
    const char* name;
    std::string fault;  // as the injector takes it
    std::string path;   // the file it strikes, as the command spells it
    Files before;       // in the directory, the merged file in.mrg included
    std::string console;  // after the report line
    int exit_code;
    std::optional<Files> after{};  // nothing: every file as it was before
    // When set, the run leaves work over that the next run, without faults,
    // finishes: this is the directory after it.
    std::optional<Files> after_next_run{};
    bool journal_stays = false;  // for the next run to decide; not compared
    bool reported = true;        // the console shows the merged file's report line first
};

void PrintTo(const InjectedCase& test, std::ostream* out) { *out << test.name; }

class InjectedFaultTest : public testing::TestWithParam<InjectedCase> {};

TEST_P(InjectedFaultTest, EndsAsTheUserIsTold) {
    const InjectedCase& test = GetParam();
    ScratchDir scratch;
    fs::create_directory(scratch.path() / "data");
    write_files(scratch.path() / "data", test.before);

    const Result result = run_with_fault(scratch, test.fault, test.path);

    const std::string& merged = test.before.at("in.mrg");
    const std::string report_line = test.reported ? report("in.mrg", static_cast<long long>(merged.size())) : "";
    EXPECT_EQ(escaped(result.output), escaped(banner + report_line + test.console));
    EXPECT_EQ(result.exit_code, test.exit_code);
    if (!test.after_next_run) {
        EXPECT_EQ(fs::remove(scratch.path() / "data/.vrtl_sdf.journal"), test.journal_stays);
        EXPECT_TRUE(holds_exactly(scratch.path() / "data", test.after.value_or(test.before)));
        return;
    }
    EXPECT_EQ(run_command({.arguments = {"data", "mrg"}, .working_directory = scratch.path()}).exit_code, 0);
    EXPECT_TRUE(holds_exactly(scratch.path() / "data", *test.after_next_run));
}

std::string name_of(const testing::TestParamInfo<InjectedCase>& info) { return info.param.name; }

// Whatever fails once writing has begun, every SDF file is put back as it was.
INSTANTIATE_TEST_SUITE_P(
    Reading, InjectedFaultTest,
    testing::Values(
        InjectedCase{"read_error_at_the_start", "read_error_after=0", "data/in.mrg", {{"in.mrg", three_runs}},
                     error("reading", "data/in.mrg"), 99},
        // The error strikes inside the line of C, while the run of B is still open.
        InjectedCase{"read_error_inside_a_line", "read_error_after=45", "data/in.mrg",
                     {{"in.mrg", three_runs}, {"A.sdf", ""}},
                     created("A.sdf") + count(2) + created("B.sdf") + error("reading", "data/in.mrg"), 99},
        InjectedCase{"read_error_inside_a_long_record", "read_error_after=8000", "data/in.mrg",
                     {{"in.mrg", long_second_run}, {"B.sdf", "old\r\n"}},
                     created("A.sdf") + count(1) + appended("B.sdf") + error("reading", "data/in.mrg"), 99},
        InjectedCase{.name = "read_error_on_the_listing", .fault = "read_error_after=0", .path = "work1d.tmp",
                     .before = {{"in.mrg", three_runs}}, .console = error("reading", "work1d.tmp"), .exit_code = 99,
                     .reported = false},
        InjectedCase{.name = "read_error_on_a_journal", .fault = "read_error_after=0", .path = "data/.vrtl_sdf.journal",
                     .before = {{"in.mrg", three_runs}, {".vrtl_sdf.journal", "vrtl_sdf journal 3\n"}},
                     .console = error("reading", "data/.vrtl_sdf.journal"), .exit_code = 99,
                     .after = Files{{"in.mrg", three_runs}}, .journal_stays = true, .reported = false}),
    name_of);

INSTANTIATE_TEST_SUITE_P(
    Writing, InjectedFaultTest,
    testing::Values(
        InjectedCase{"write_error_at_the_first_write", "write_error_after=0", "data/B.sdf",
                     {{"in.mrg", three_runs}, {"A.sdf", "old\r\n"}, {"B.sdf", "old\r\n"}},
                     appended("A.sdf") + count(2) + appended("B.sdf") + error("writing", "B.sdf"), 99},
        // Part of the long record has reached the file when the write fails.
        InjectedCase{"write_error_after_part_of_a_record", "write_error_after=5000", "data/B.sdf",
                     {{"in.mrg", long_second_run}, {"B.sdf", "old\r\n"}},
                     created("A.sdf") + count(1) + appended("B.sdf") + error("writing", "B.sdf"), 99},
        // The records may not have reached the disk.
        InjectedCase{"sync_error", "fsync_error", "data/A.sdf", {{"in.mrg", three_runs}},
                     three_runs_console + error("writing", "A.sdf"), 99},
        InjectedCase{"close_error", "close_error", "data/B.sdf", {{"in.mrg", three_runs}},
                     created("A.sdf") + count(2) + created("B.sdf") + error("writing", "B.sdf"), 99},
        // A reader takes an SDF file away, or makes it read-only, once its
        // run is over: it is brought to the disk all the same.
        InjectedCase{"sdf_file_taken_away_after_its_run", "take_after_close", "data/A.sdf", {{"in.mrg", three_runs}},
                     three_runs_console + deleting("data/in.mrg"), 0,
                     Files{{"A.sdf.taken", "a1\r\na2\r\n"}, {"B.sdf", "b1\r\n"}, {"C.sdf", "c1\r\n"}}},
        InjectedCase{"sdf_file_made_read_only_after_its_run", "read_only_after_close", "data/A.sdf",
                     {{"in.mrg", three_runs}}, three_runs_console + deleting("data/in.mrg"), 0, three_runs_written},
        // A failed run takes back only its own bytes: what another program
        // wrote before the run's first open stays, and a file it wrote to
        // after the run's is not cut at all.
        InjectedCase{"sdf_file_written_by_another_before_the_first_open", "written_before_open", "data/A.sdf",
                     {{"in.mrg", refused_second_run}},
                     appended("A.sdf") + count(1) + created("../x.sdf") + error("opening", "../x.sdf"), 99,
                     Files{{"in.mrg", refused_second_run}, {"A.sdf", "theirs\r\n"}}},
        InjectedCase{"sdf_file_made_by_another_before_the_first_open", "made_before_open", "data/A.sdf",
                     {{"in.mrg", refused_second_run}},
                     created("A.sdf") + count(1) + created("../x.sdf") + error("opening", "../x.sdf"), 99,
                     Files{{"in.mrg", refused_second_run}, {"A.sdf", ""}}},
        InjectedCase{"sdf_file_appended_to_by_another_after_its_run", "appended_after_close", "data/A.sdf",
                     {{"in.mrg", refused_second_run}},
                     created("A.sdf") + count(1) + created("../x.sdf") + error("opening", "../x.sdf"), 99,
                     Files{{"in.mrg", refused_second_run}, {"A.sdf", "a1\r\ntheirs\r\n"}}, std::nullopt, true}),
    name_of);

const std::string aside_path = "data/.vrtl_sdf.deleting";
const std::string added_line = "ADDED   01by its producer\r\n";

INSTANTIATE_TEST_SUITE_P(
    Deleting, InjectedFaultTest,
    testing::Values(
        InjectedCase{"deletion_fails", "rename_error", "data/in.mrg", {{"in.mrg", three_runs}},
                     three_runs_console + deleting("data/in.mrg") + error("deleting", "data/in.mrg"), 99},
        // The file read stays in the directory under two names: the next run
        // finishes the deletion, and distributes nothing twice.
        InjectedCase{"deletion_claims_success_and_leaves_the_file", "unlink_does_nothing", aside_path,
                     {{"in.mrg", three_runs}},
                     three_runs_console + deleting("data/in.mrg") + error("deleting", "data/in.mrg"), 99,
                     std::nullopt, three_runs_written},
        // Another run that opened the file meanwhile must find it locked
        // until it is gone.
        InjectedCase{"deletion_while_the_merged_file_is_locked", "unlink_needs_lock", aside_path,
                     {{"in.mrg", three_runs}}, three_runs_console + deleting("data/in.mrg"), 0, three_runs_written},
        // What counts is that the file is gone.
        InjectedCase{"deletion_reports_failure_after_removing_the_file", "unlink_removes_but_fails", aside_path,
                     {{"in.mrg", three_runs}}, three_runs_console + deleting("data/in.mrg"), 0, three_runs_written},
        // Records added at the last moment are not deleted unread: the next
        // run takes the file whole.
        InjectedCase{"merged_file_appended_to_at_the_last_moment", "append_before_rename", "data/in.mrg",
                     {{"in.mrg", three_runs}},
                     three_runs_console + deleting("data/in.mrg") + error("reading", "data/in.mrg"), 99,
                     Files{{"in.mrg", three_runs + added_line}}},
        InjectedCase{"merged_file_replaced_by_a_grown_copy", "grow_before_rename", "data/in.mrg",
                     {{"in.mrg", three_runs}},
                     three_runs_console + deleting("data/in.mrg") + error("reading", "data/in.mrg"), 99,
                     Files{{"in.mrg", three_runs + added_line}}},
        // Its producer went on writing after the run read it to the end.
        InjectedCase{"merged_file_grown_after_its_end_was_read", "append_after_end", "data/in.mrg",
                     {{"in.mrg", three_runs}},
                     three_runs_console + created("ADDED.sdf") + count(1) + deleting("data/in.mrg"), 0,
                     with(three_runs_written, {{"ADDED.sdf", "by its producer\r\n"}})},
        // Changed once aside, while a new delivery took its name: it gets a
        // name beside it that a listing takes, never stays hidden.
        InjectedCase{"merged_file_changed_aside_and_its_name_taken", "append_and_deliver_at_rename", "data/in.mrg",
                     {{"in.mrg", three_runs}},
                     three_runs_console + deleting("data/in.mrg") + error("reading", "data/in.mrg"), 99,
                     Files{{"in.mrg", "REPLACED01by another run\r\n"}, {"in.1.mrg", three_runs + added_line}}},
        // A new delivery renamed into place stays for the next run; the
        // records of the file read, now nowhere else, stay written.
        InjectedCase{"merged_file_replaced_by_another", "replace_before_rename", "data/in.mrg",
                     {{"in.mrg", three_runs}}, three_runs_console + deleting("data/in.mrg"), 0,
                     with(three_runs_written, {{"in.mrg", "REPLACED01by another run\r\n"}})},
        InjectedCase{"merged_file_deleted_by_another", "vanish_before_rename", "data/in.mrg", {{"in.mrg", three_runs}},
                     three_runs_console + deleting("data/in.mrg"), 0, three_runs_written}),
    name_of);

INSTANTIATE_TEST_SUITE_P(
    Retried, InjectedFaultTest,
    testing::Values(
        InjectedCase{"every_call_interrupted_once", "interrupted", "", {{"in.mrg", three_runs}},
                     three_runs_console + deleting("data/in.mrg"), 0, three_runs_written},
        InjectedCase{"reads_and_writes_of_three_bytes", "short_transfers", "", {{"in.mrg", long_second_run}},
                     created("A.sdf") + count(1) + created("B.sdf") + count(1) + deleting("data/in.mrg"), 0,
                     Files{{"A.sdf", "a1\r\n"}, {"B.sdf", long_record + "\r\n"}}}),
    name_of);

// ---- The data directory moved while a run works in it ----------------------------

// Renamed and replaced while the run pauses after a write: the rest of the
// run goes on in the directory it began in, and nothing into the new one.
TEST(MovedDirectory, RunGoesOnInTheDirectoryItHolds) {
    ScratchDir scratch;
    const fs::path data = scratch.path() / "data";
    fs::create_directory(data);
    std::string merged;
    std::string records;
    for (int i = 0; i < 100; ++i) {
        merged += "A       01" + std::string(100, 'a') + "\r\n";
        records += std::string(100, 'a') + "\r\n";
    }
    merged += "B       01b\r\n";
    write_file((data / "in.mrg").string(), merged);

    const StartedCommand command = start_command({.arguments = {"data", "mrg"},
                                                  .working_directory = scratch.path(),
                                                  .environment = fault_environment("pause_after_write", "data/A.sdf")});
    while (!fs::exists(data / "A.sdf")) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    fs::rename(data, scratch.path() / "data.old");
    fs::create_directory(data);

    EXPECT_EQ(wait_for_command(command).exit_code, 0);
    EXPECT_TRUE(holds_exactly(data, {}));
    EXPECT_TRUE(holds_exactly(scratch.path() / "data.old",
                              {{"A.sdf", records}, {"B.sdf", "b\r\n"}}));
}

// ---- A merged file that another run has claimed ---------------------------------

// Holds the lock on a file as a run that is distributing it does.
class LockHolder {
public:
    explicit LockHolder(const std::string& path) : fd_(open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
        if (fd_ == -1 || flock(fd_, LOCK_EX | LOCK_NB) != 0) throw std::runtime_error("cannot lock " + path);
    }
    ~LockHolder() { close(fd_); }
    LockHolder(const LockHolder&) = delete;
    LockHolder& operator=(const LockHolder&) = delete;

private:
    int fd_;
};

enum class Claim { lock_held, file_deleted_meanwhile, file_replaced_meanwhile };

struct ClaimCase {
    const char* name;
    Claim claim;
    Files after;
};

void PrintTo(const ClaimCase& test, std::ostream* out) { *out << test.name; }

class ClaimedMergedFileTest : public testing::TestWithParam<ClaimCase> {};

TEST_P(ClaimedMergedFileTest, EndsAsAnOpenFailureAndTouchesNothing) {
    const ClaimCase& test = GetParam();
    ScratchDir scratch;
    fs::create_directory(scratch.path() / "data");
    write_files(scratch.path() / "data", {{"in.mrg", three_runs}, {"A.sdf", "old\r\n"}});

    Result result;
    switch (test.claim) {
    case Claim::lock_held: {
        const LockHolder other_run(scratch / "data/in.mrg");
        result = run_command({.arguments = {"data", "mrg"}, .working_directory = scratch.path()});
        break;
    }
    case Claim::file_deleted_meanwhile: result = run_with_fault(scratch, "vanish_before_lock", "data/in.mrg"); break;
    case Claim::file_replaced_meanwhile: result = run_with_fault(scratch, "replace_before_lock", "data/in.mrg"); break;
    }

    EXPECT_EQ(escaped(result.output), escaped(banner + report("in.mrg", static_cast<long long>(three_runs.size())) +
                                              error("opening", "data/in.mrg")));
    EXPECT_EQ(result.exit_code, 99);
    EXPECT_TRUE(holds_exactly(scratch.path() / "data", test.after));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ClaimedMergedFileTest,
    testing::Values(ClaimCase{"lock_held_by_another_run", Claim::lock_held, {{"in.mrg", three_runs}, {"A.sdf", "old\r\n"}}},
                    ClaimCase{"deleted_before_the_lock", Claim::file_deleted_meanwhile, {{"A.sdf", "old\r\n"}}},
                    ClaimCase{"replaced_before_the_lock",
                              Claim::file_replaced_meanwhile,
                              {{"in.mrg", "REPLACED01by another run\r\n"}, {"A.sdf", "old\r\n"}}}),
    [](const testing::TestParamInfo<ClaimCase>& info) { return std::string(info.param.name); });

// ---- Hostile paths ------------------------------------------------------------------

struct HostileCase {
    const char* name;
    std::function<void(const fs::path& data, const fs::path& outside)> prepare;
    std::string console;  // after the banner
    int exit_code;
    Files after;  // the regular files of the directory
    bool needs_root = false;  // to give a file to another user
};

void PrintTo(const HostileCase& test, std::ostream* out) { *out << test.name; }

class HostilePathTest : public testing::TestWithParam<HostileCase> {};

// Everything below root, links and special files included, as names and kinds.
std::map<std::string, fs::file_type> entries_below(const fs::path& root) {
    std::map<std::string, fs::file_type> entries;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        entries[fs::relative(entry.path(), root).string()] = entry.symlink_status().type();
    }
    return entries;
}

TEST_P(HostilePathTest, NeitherHangsNorWritesOutsideTheDirectory) {
    const HostileCase& test = GetParam();
    ScratchDir scratch;
    const fs::path data = scratch.path() / "data";
    const fs::path outside = scratch.path() / "outside";
    fs::create_directory(data);
    fs::create_directories(outside / "folder");
    write_file((outside / "kept").string(), "kept\r\n");
    mkfifo((outside / "pipe").c_str(), 0644);
    if (test.needs_root && geteuid() != 0) GTEST_SKIP() << "giving a file to another user needs root";
    test.prepare(data, outside);
    const auto outside_before = entries_below(outside);

    const Result result = run_command({.arguments = {"data", "mrg"}, .working_directory = scratch.path()});

    EXPECT_EQ(escaped(result.output), escaped(banner + test.console));
    EXPECT_EQ(result.exit_code, test.exit_code);
    EXPECT_TRUE(holds_exactly(data, test.after));
    EXPECT_EQ(entries_below(outside), outside_before);
    EXPECT_EQ(read_file((outside / "kept").string()), "kept\r\n");
}

const std::string one_record = "S       01r\r\n";
const std::string dots = ".       01d1\r\n..      01d2\r\n...     01d3\r\n";

void merged_with(const fs::path& data, const std::string& merged) { write_file((data / "in.mrg").string(), merged); }

// A journal as another user could leave it: its checksum is never reached.
const std::string planted_journal = "vrtl_sdf journal 2\nmerged 1 13 1 23 ../protected/planted.sh\n";
const std::string journal_path = "data/.vrtl_sdf.journal";

void journal_with(const fs::path& data, const std::string& journal) {
    merged_with(data, one_record);
    write_file((data / ".vrtl_sdf.journal").string(), journal);
    chmod((data / ".vrtl_sdf.journal").c_str(), 0644);
}

// An SDF file S.sdf that is a symbolic link to target.
void sdf_link_to(const fs::path& data, const std::string& target) {
    merged_with(data, one_record);
    fs::create_symlink(target, data / "S.sdf");
}

const std::string refused_s = report("in.mrg", 13) + created("S.sdf") + error("opening", "S.sdf");
const std::string refused_s_holding_data = report("in.mrg", 13) + appended("S.sdf") + error("opening", "S.sdf");

INSTANTIATE_TEST_SUITE_P(
    Cases, HostilePathTest,
    testing::Values(
        HostileCase{"merged_file_is_a_fifo",
                    [](const fs::path& data, const fs::path&) { mkfifo((data / "in.mrg").c_str(), 0644); },
                    report("in.mrg", 0) + error("opening", "data/in.mrg"),
                    99,
                    {}},
        HostileCase{"merged_file_is_a_link_to_an_endless_device",
                    [](const fs::path& data, const fs::path&) { fs::create_symlink("/dev/zero", data / "in.mrg"); },
                    report("in.mrg", 0) + error("opening", "data/in.mrg"),
                    99,
                    {}},
        HostileCase{"listing_file_is_a_link_to_a_file_outside",
                    [](const fs::path& data, const fs::path& outside) {
                        merged_with(data, one_record);
                        fs::create_symlink(outside / "kept", data.parent_path() / "work1d.tmp");
                    },
                    error("opening", "work1d.tmp"),
                    99,
                    {{"in.mrg", one_record}}},
        HostileCase{"sdf_file_is_a_fifo",
                    [](const fs::path& data, const fs::path&) {
                        merged_with(data, one_record);
                        mkfifo((data / "S.sdf").c_str(), 0644);
                    },
                    report("in.mrg", 13) + created("S.sdf") + error("opening", "S.sdf"),
                    99,
                    {{"in.mrg", one_record}}},
        HostileCase{"sdf_file_is_a_link_to_a_fifo_outside",
                    [](const fs::path& data, const fs::path& outside) {
                        merged_with(data, one_record);
                        fs::create_symlink(outside / "pipe", data / "S.sdf");
                    },
                    report("in.mrg", 13) + created("S.sdf") + error("opening", "S.sdf"),
                    99,
                    {{"in.mrg", one_record}}},
        HostileCase{"sdf_file_is_a_link_to_a_directory_outside",
                    [](const fs::path& data, const fs::path& outside) {
                        merged_with(data, one_record);
                        fs::create_directory_symlink(outside / "folder", data / "S.sdf");
                    },
                    report("in.mrg", 13) + created("S.sdf") + error("opening", "S.sdf"),
                    99,
                    {{"in.mrg", one_record}}},
        // Dots without a separator name plain files of the directory.
        HostileCase{"names_of_dots_stay_in_the_directory",
                    [](const fs::path& data, const fs::path&) { merged_with(data, dots); },
                    report("in.mrg", static_cast<long long>(dots.size())) + created("..sdf") + count(1) + created("...sdf") + count(1) +
                        created("....sdf") + count(1) + deleting("data/in.mrg"),
                    0,
                    {{"..sdf", "d1\r\n"}, {"...sdf", "d2\r\n"}, {"....sdf", "d3\r\n"}}},
        HostileCase{"name_climbing_out_with_backslashes",
                    [](const fs::path& data, const fs::path&) { merged_with(data, "..\\..\\x 01r\r\n"); },
                    report("in.mrg", 13) + created("..\\..\\x.sdf") + error("opening", "..\\..\\x.sdf"),
                    99,
                    {{"in.mrg", "..\\..\\x 01r\r\n"}}},
        HostileCase{"absolute_name",
                    [](const fs::path& data, const fs::path&) { merged_with(data, "/tmp/x  01r\r\n"); },
                    report("in.mrg", 13) + created("/tmp/x.sdf") + error("opening", "/tmp/x.sdf"),
                    99,
                    {{"in.mrg", "/tmp/x  01r\r\n"}}},
        // A journal is trusted only as this command could have written it.
        HostileCase{"journal_naming_a_path_outside",
                    [](const fs::path& data, const fs::path&) { journal_with(data, planted_journal); },
                    error("opening", journal_path), 99,
                    {{"in.mrg", one_record}, {".vrtl_sdf.journal", planted_journal}}},
        HostileCase{"journal_of_another_user",
                    [](const fs::path& data, const fs::path&) {
                        journal_with(data, "vrtl_sdf journal 2\n");
                        ASSERT_EQ(chown((data / ".vrtl_sdf.journal").c_str(), 65534, 65534), 0);
                    },
                    error("opening", journal_path), 99,
                    {{"in.mrg", one_record}, {".vrtl_sdf.journal", "vrtl_sdf journal 2\n"}}, true},
        HostileCase{"journal_with_two_links",
                    [](const fs::path& data, const fs::path&) {
                        journal_with(data, "vrtl_sdf journal 2\n");
                        fs::create_hard_link(data / ".vrtl_sdf.journal", data / "other");
                    },
                    error("opening", journal_path), 99,
                    {{"in.mrg", one_record}, {".vrtl_sdf.journal", "vrtl_sdf journal 2\n"},
                     {"other", "vrtl_sdf journal 2\n"}}},
        // Links that would lead the records into the command's own files,
        // or out of the directory to a file the run would make there.
        HostileCase{"sdf_file_linked_to_the_journal",
                    [](const fs::path& data, const fs::path&) { sdf_link_to(data, ".vrtl_sdf.journal"); },
                    refused_s_holding_data, 99, {{"in.mrg", one_record}}},
        HostileCase{"sdf_file_linked_to_the_aside_name",
                    [](const fs::path& data, const fs::path&) { sdf_link_to(data, ".vrtl_sdf.deleting"); },
                    refused_s, 99, {{"in.mrg", one_record}}},
        HostileCase{"sdf_file_linked_to_the_lock",
                    [](const fs::path& data, const fs::path&) { sdf_link_to(data, ".vrtl_sdf.lock"); },
                    refused_s, 99, {{"in.mrg", one_record}}},
        HostileCase{"sdf_file_linked_to_a_file_left_at_the_aside_name",
                    [](const fs::path& data, const fs::path&) {
                        sdf_link_to(data, ".vrtl_sdf.deleting");
                        write_file((data / ".vrtl_sdf.deleting").string(), "");
                    },
                    refused_s, 99, {{"in.mrg", one_record}, {".vrtl_sdf.deleting", ""}}},
        // Anyone who may write the folder can plant a link; only the run's own user's is followed.
        HostileCase{"sdf_file_linked_by_another_user_to_a_file_outside",
                    [](const fs::path& data, const fs::path& outside) {
                        sdf_link_to(data, (outside / "kept").string());
                        ASSERT_EQ(lchown((data / "S.sdf").c_str(), 65534, 65534), 0);
                    },
                    refused_s, 99, {{"in.mrg", one_record}}, true},
        HostileCase{"aside_name_taken_by_a_directory",
                    [](const fs::path& data, const fs::path&) {
                        merged_with(data, one_record);
                        fs::create_directory(data / ".vrtl_sdf.deleting");
                    },
                    report("in.mrg", 13) + created("S.sdf") + count(1) + deleting("data/in.mrg") +
                        error("deleting", "data/.vrtl_sdf.deleting"),
                    99, {{"in.mrg", one_record}}},
        HostileCase{"sdf_file_linked_to_the_listing",
                    [](const fs::path& data, const fs::path&) { sdf_link_to(data, "../work1d.tmp"); },
                    refused_s_holding_data, 99, {{"in.mrg", one_record}}},
        HostileCase{"sdf_file_linked_to_nothing_in_another_folder",
                    [](const fs::path& data, const fs::path&) { sdf_link_to(data, "../outside/S.sdf"); },
                    refused_s, 99, {{"in.mrg", one_record}}},
        HostileCase{"listing_file_with_a_second_name",
                    [](const fs::path& data, const fs::path&) {
                        merged_with(data, one_record);
                        fs::create_hard_link(data / "in.mrg", data.parent_path() / "work1d.tmp");
                    },
                    error("opening", "work1d.tmp"), 99, {{"in.mrg", one_record}}},
        HostileCase{"merged_file_that_is_a_symbolic_link",
                    [](const fs::path& data, const fs::path&) {
                        write_file((data / "day.mrg").string(), one_record);
                        fs::create_symlink("day.mrg", data / "0-latest.mrg");
                    },
                    report("0-latest.mrg", 13) + error("opening", "data/0-latest.mrg"), 99, {{"day.mrg", one_record}}}),
    [](const testing::TestParamInfo<HostileCase>& info) { return std::string(info.param.name); });

// ---- A crash at each step that changes a file -------------------------------------

// Runs of a new file, of one that holds data and of one that is empty, a
// record longer than a write, and a short line.
const std::string crashed_merged = "A       01a1\r\nA       01a2\r\nB       01b1\r\nA       01" + std::string(9000, 'L') +
                                   "\r\nC       01c1\r\nB       01b2\r\nB\r\nA       01a3\r\n";
// More SDF files than the merged file names, so that its journal records
// only those it names; the others, X and Y, it never touches, and ADDED only
// where a producer adds a record for it.
const Files crashed_before = {{"in.mrg", crashed_merged}, {"B.sdf", "old\r\n"}, {"C.sdf", ""},
                              {"X.sdf", "x\r\n"},         {"Y.sdf", ""},        {"ADDED.sdf", "theirs\r\n"}};

// Where the crash strikes: in a run; in a run that fails at its deletion,
// while it puts its SDF files back; or in the run after a crash, while it
// recovers. Each is the crash of a run that starts in its own scratch copy.
struct Phase {
    const char* name;
    std::string fault;  // besides the crash, in the crashed run: what makes the phase come
    bool after_a_crash;  // the crashed run follows one killed with every SDF file written
    std::vector<std::string> kinds;  // of the calls it makes
};

const Phase phases[] = {
    {"in_a_run", "", false, {"create", "write", "truncate", "sync", "rename", "unlink"}},
    {"putting_back_a_failed_run", "rename_error", false, {"create", "write", "truncate", "sync", "unlink"}},
    {"in_recovery", "", true, {"create", "write", "truncate", "sync", "rename", "unlink"}},
    // Its producer adds a record as the merged file moves aside: the file goes
    // back to its name, and a later run takes it whole.
    {"giving_a_changed_file_its_name_back", "append_before_rename", false,
     {"create", "write", "truncate", "sync", "rename", "unlink", "link"}},
    // Its producer adds a record once the run has read to the end, for an SDF
    // file that the journal's first part does not record.
    {"growing_by_a_file_the_journal_does_not_list", "append_after_end", false,
     {"create", "write", "truncate", "sync", "rename", "unlink"}},
};

// Whether the producer's record reached the merged file before the crash:
// it is there still, or distributed already.
bool producer_added_a_record(const fs::path& data) {
    for (const char* name : {"in.mrg", ".vrtl_sdf.deleting", "ADDED.sdf"}) {
        if (read_file((data / name).string()).value_or("").find("producer") != std::string::npos) return true;
    }
    return false;
}

struct CrashRun {
    ScratchDir scratch;
    Invocation split{.arguments = {"data", "mrg"}, .working_directory = scratch.path()};

    explicit CrashRun(const Phase& phase) {
        fs::create_directory(scratch.path() / "data");
        write_files(scratch.path() / "data", crashed_before);
        if (!phase.after_a_crash) return;
        Invocation first = split;
        first.environment = fault_environment("crash_at=rename:1", "");  // as the merged file was to move aside
        EXPECT_EQ(run_command(first).exit_code, -1) << "the first crash did not come";
    }

    int run_with(const Phase& phase, const std::string& crash) {
        Invocation crashed = split;
        const std::string fault = phase.fault.empty() || crash.empty() ? phase.fault + crash : phase.fault + "," + crash;
        if (!fault.empty()) crashed.environment = fault_environment(fault, "data/in.mrg");
        return run_command(crashed).exit_code;
    }

    // Runs without faults until the merged file is gone: at most two runs.
    int finish() {
        int exit_code = run_command(split).exit_code;
        if (exit_code == 0 && fs::exists(scratch.path() / "data/in.mrg")) exit_code = run_command(split).exit_code;
        return exit_code;
    }
};

// The directory once the phase's run, without a crash, and the runs after
// it are done.
Files whole_after(const Phase& phase) {
    CrashRun run(phase);
    run.run_with(phase, "");
    EXPECT_EQ(run.finish(), 0);
    return files_in(run.scratch.path() / "data");
}

// How many calls of the kind the crashed run of the phase makes.
long calls_of_a_run(const Phase& phase, const std::string& kind) {
    CrashRun run(phase);
    const std::string counts_path = run.scratch / "counts";
    run.run_with(phase, "count_calls=" + counts_path);
    const std::string counts = "\n" + read_file(counts_path).value_or("");
    const std::size_t at = counts.find("\n" + kind + " ");
    return at == std::string::npos ? 0 : std::atol(counts.c_str() + at + kind.size() + 2);
}

struct CrashCase {
    Phase phase;
    std::string kind;
};

void PrintTo(const CrashCase& test, std::ostream* out) { *out << test.phase.name << " " << test.kind; }

std::vector<CrashCase> crash_cases() {
    std::vector<CrashCase> cases;
    for (const Phase& phase : phases) {
        for (const std::string& kind : phase.kinds) cases.push_back({phase, kind});
    }
    return cases;
}

class CrashTest : public testing::TestWithParam<CrashCase> {};

// Killed before the Nth call of the kind, for every N the run makes, with the
// changes not yet synced kept (a kill) or dropped (a power loss), and killed
// in the Nth write once part of its bytes has moved (a tear): the next run,
// and at most one more, leave every record in its SDF file exactly once.
TEST_P(CrashTest, NextRunMakesItExactlyOnce) {
    const auto& [phase, kind] = GetParam();
    const Files whole = whole_after(phase);
    const Files whole_as_delivered = whole_after(phases[0]);
    const long calls = calls_of_a_run(phase, kind);
    ASSERT_GT(calls, 0) << "no call of " << kind << " " << phase.name;
    std::vector<std::string> crashes = {"crash_at=", "power_off_at="};
    if (kind == "write") crashes.push_back("tear_at=");
    for (const std::string& crash : crashes) {
        for (long n = 1; n <= calls; ++n) {
            const std::string fault = crash + kind + ":" + std::to_string(n);
            SCOPED_TRACE(fault);
            CrashRun run(phase);
            EXPECT_EQ(run.run_with(phase, fault), -1) << "the crash did not come";
            const bool added = producer_added_a_record(run.scratch.path() / "data");
            EXPECT_EQ(run.finish(), 0);
            EXPECT_TRUE(holds_exactly(run.scratch.path() / "data", added ? whole : whole_as_delivered));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, CrashTest, testing::ValuesIn(crash_cases()),
                         [](const testing::TestParamInfo<CrashCase>& info) {
                             return std::string(info.param.phase.name) + "_" + info.param.kind;
                         });

}  // namespace
