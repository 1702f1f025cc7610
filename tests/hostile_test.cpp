// The whole command in a folder that others write: the data directory moved
// while a run works in it, a merged file that another run claimed, and
// hostile paths, links and planted files. Nothing outside the directory is
// ever touched, and no run hangs.
#include <sys/file.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
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

}  // namespace
