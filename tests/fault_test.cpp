// The whole command under faults: a full disk, a file-size limit, failing
// reads, writes, syncs and deletions, and a remount under another device
// number. Each run must end either done or with its message and exit code 99,
// and with every record in its SDF file or still in the merged file.
#include <sys/mount.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

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

}  // namespace
