// The whole command on Windows: device names, the interpreter, and paths it must not read.
#include <windows.h>

#include <gtest/gtest.h>

#include "console_texts.h"
#include "run_binary.h"
#include "support.h"
#include "test_platform.h"

using namespace testing_support;

namespace {

// Sets an environment variable for the test's lifetime; the command started
// meanwhile inherits it.
class EnvironmentChange {
public:
    EnvironmentChange(const char* name, const char* value) : name_(name) {
        char saved[4096];
        const DWORD length = GetEnvironmentVariableA(name, saved, sizeof saved);
        if (length > 0 && length < sizeof saved) saved_ = std::string(saved, length);
        SetEnvironmentVariableA(name, value);
    }
    ~EnvironmentChange() { SetEnvironmentVariableA(name_, saved_ ? saved_->c_str() : nullptr); }
    EnvironmentChange(const EnvironmentChange&) = delete;
    EnvironmentChange& operator=(const EnvironmentChange&) = delete;

private:
    const char* name_;
    std::optional<std::string> saved_;
};

Result split_one_record(const ScratchDir& scratch) {
    std::filesystem::create_directory(scratch.path() / "data");
    write_file(scratch / "data/in.mrg", "A       01x\r\n");
    return run_command({.arguments = {"data", "mrg"}, .working_directory = scratch.path()});
}

const std::string one_record_split =
    banner + report("in.mrg", 13) + created("A.sdf") + count(1) + deleting(path_in("data", "in.mrg"));

TEST(Interpreter, FoundAlongThePathWhenComspecNamesNoProgram) {
    const std::vector<std::pair<const char*, const char*>> settings = {
        {"absent_program", "C:\\no\\such\\cmd.exe"},
        {"unset", nullptr},
    };
    for (const auto& [name, comspec] : settings) {
        SCOPED_TRACE(name);
        ScratchDir scratch;
        const EnvironmentChange change("COMSPEC", comspec);
        const Result result = split_one_record(scratch);
        EXPECT_EQ(escaped(result.output), escaped(one_record_split));
        EXPECT_EQ(result.exit_code, 0);
        EXPECT_EQ(read_file(scratch / "data/A.sdf"), "x\r\n");
        EXPECT_FALSE(std::filesystem::exists(scratch.path() / "data/in.mrg"));
    }
}

// No interpreter could be started: the run fails, naming the program a user
// would look for, and takes nothing, neither the stale listing nor the file.
TEST(Interpreter, NoneStartedEndsTheRun) {
    const std::vector<std::pair<const char*, std::string>> settings = {
        {nullptr, "cmd.exe"},
        {"C:\\no\\such\\cmd.exe", "C:\\no\\such\\cmd.exe"},
    };
    for (const auto& [comspec, program] : settings) {
        SCOPED_TRACE(program);
        ScratchDir scratch;
        std::filesystem::create_directory(scratch.path() / "data");
        write_file(scratch / "data/old.mrg", "A       01x\r\n");
        write_file(scratch / "work1d.tmp", "old.mrg\r\n");
        const EnvironmentChange change_comspec("COMSPEC", comspec);
        const EnvironmentChange no_path("PATH", "");

        const Result result = run_command({.arguments = {"data", "mrg"}, .working_directory = scratch.path()});

        EXPECT_EQ(escaped(result.output), escaped(banner + error("opening", program)));
        EXPECT_EQ(result.exit_code, 99);
        EXPECT_EQ(read_file(scratch / "work1d.tmp"), "");
        EXPECT_EQ(read_file(scratch / "data/old.mrg"), "A       01x\r\n");
    }
}

const std::string record_a = "A       01x\r\n";
const std::string record_b = "B       01y\r\n";

// The run acts on exactly the paths it computed, whatever the environment
// holds: X is set to "b", so "%X%" read by the interpreter would name another file.
struct PathCase {
    const char* name;
    std::vector<std::string> arguments;
    Files before;  // below the working directory
    std::string output;
    int exit_code;
    Files after;  // below the working directory, work1d.tmp included
    bool with_console = false;
};

void PrintTo(const PathCase& test, std::ostream* out) { *out << test.name; }

class PathTest : public testing::TestWithParam<PathCase> {};

TEST_P(PathTest, ActsOnThePathsAsComputed) {
    const PathCase& test = GetParam();
    ScratchDir scratch;
    const EnvironmentChange change("X", "b");
    for (const auto& [name, bytes] : test.before) {
        std::filesystem::create_directories((scratch.path() / name).parent_path());
        // Through the ANSI functions: std::filesystem reads narrow names otherwise.
        write_file(scratch.path().string() + "/" + name, bytes);
    }

    const Result result = run_command(
        {.arguments = test.arguments, .working_directory = scratch.path(), .with_console = test.with_console});

    EXPECT_EQ(escaped(result.output), escaped(test.output));
    EXPECT_EQ(result.exit_code, test.exit_code);
    EXPECT_TRUE(holds_exactly(scratch.path(), test.after));
}

INSTANTIATE_TEST_SUITE_P(
    Paths, PathTest,
    testing::Values(
        PathCase{"percent_in_the_directory", {"d%X%", "mrg"}, {{"d%X%/in.mrg", record_a}, {"db/in.mrg", record_b}},
                 banner + report("in.mrg", 13) + created("A.sdf") + count(1) + deleting("d%X%\\in.mrg"), 0,
                 {{"d%X%\\A.sdf", "x\r\n"}, {"db\\in.mrg", record_b}, {"work1d.tmp", "in.mrg\r\n"}}},
        PathCase{"percent_in_the_merged_name", {"data", "mrg"},
                 {{"data/a%X%.mrg", record_a}, {"data/ab.mrg", record_b}},
                 banner + report("a%X%.mrg", 13) + created("A.sdf") + count(1) + deleting("data\\a%X%.mrg"), 0,
                 {{"data\\A.sdf", "x\r\n"}, {"data\\ab.mrg", record_b}, {"work1d.tmp", "a%X%.mrg\r\nab.mrg\r\n"}}},
        // Letters of the ANSI code page 1252 that Wine's console code page 437
        // writes otherwise ("\xe9" as "\x82") or not at all ("\x9a").
        PathCase{"ansi_letters_with_a_console", {"data", "mrg"}, {{"data/\x9a\xe9.mrg", record_a}},
                 banner + report("\x9a\xe9.mrg", 13) + created("A.sdf") + count(1) + deleting("data\\\x9a\xe9.mrg"), 0,
                 {{"data\\A.sdf", "x\r\n"}, {"work1d.tmp", "\x9a\xe9.mrg\r\n"}}, true},
        // No Windows path holds '"': no such directory, and no second command runs.
        PathCase{"quote_in_the_directory", {"data\" & echo X> pwned.txt & rem \"", "mrg"}, {{"data/in.mrg", record_a}},
                 banner + error("opening", "data\" & echo X> pwned.txt & rem \"\\"), 99, {{"data\\in.mrg", record_a}}}),
    [](const testing::TestParamInfo<PathCase>& info) { return std::string(info.param.name); });

// A listing that cannot be emptied is never taken in place of this run's own.
// Read-only, and held by a program that lets no one else write it: Wine run
// as root writes read-only files all the same.
TEST(Command, ListingThatCannotBeEmptiedEndsTheRun) {
    ScratchDir scratch;
    std::filesystem::create_directory(scratch.path() / "data");
    write_file(scratch / "data/old.mrg", "A       01x\r\n");
    write_file(scratch / "work1d.tmp", "old.mrg\r\n");
    const std::string listing = scratch / "work1d.tmp";
    SetFileAttributesA(listing.c_str(), FILE_ATTRIBUTE_READONLY);
    const HANDLE held = CreateFileA(listing.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);

    const Result result = run_command({.arguments = {"data", "new"}, .working_directory = scratch.path()});

    CloseHandle(held);
    SetFileAttributesA(listing.c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(escaped(result.output), escaped(banner + error("opening", "work1d.tmp")));
    EXPECT_EQ(result.exit_code, 99);
    EXPECT_EQ(read_file(scratch / "work1d.tmp"), "old.mrg\r\n");
    EXPECT_EQ(read_file(scratch / "data/old.mrg"), "A       01x\r\n");
}

// Runs on one directory take turns: two started together on one merged file
// both end with 0, and its records land once.
TEST(Command, RunsAtOnceTakeTurns) {
    ScratchDir scratch;
    std::filesystem::create_directory(scratch.path() / "data");
    std::string merged;
    std::string records;
    for (int i = 0; i < 20000; ++i) {
        merged += "A       01record " + std::to_string(i) + "\r\n";
        records += "record " + std::to_string(i) + "\r\n";
    }
    write_file(scratch / "data/in.mrg", merged);

    std::vector<StartedCommand> runs;
    for (const char* output : {"first", "second"}) {
        runs.push_back(start_command(
            {.arguments = {"data", "mrg"}, .working_directory = scratch.path(), .output_file = scratch / output}));
    }
    for (const StartedCommand& run : runs) EXPECT_EQ(wait_for_command(run).exit_code, 0);
    EXPECT_TRUE(holds_exactly(scratch.path() / "data", {{"A.sdf", records}}));
}

// A producer still writing the merged file would lose what it writes after
// the run read past it; the file is left for a run after the producer is done.
TEST(Command, MergedFileOpenForWritingIsNotTaken) {
    ScratchDir scratch;
    std::filesystem::create_directory(scratch.path() / "data");
    const std::string merged = scratch / "data/in.mrg";
    write_file(merged, record_a);
    constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    const HANDLE producer = CreateFileA(merged.c_str(), GENERIC_WRITE, share_all, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(producer, INVALID_HANDLE_VALUE);

    const Result result = run_command({.arguments = {"data", "mrg"}, .working_directory = scratch.path()});

    CloseHandle(producer);
    EXPECT_EQ(escaped(result.output),
              escaped(banner + report("in.mrg", 0) + error("opening", path_in("data", "in.mrg"))));
    EXPECT_EQ(result.exit_code, 99);
    EXPECT_TRUE(holds_exactly(scratch.path() / "data", {{"in.mrg", record_a}}));
}

TEST(Command, DeviceNamesAreNeverSdfFiles) {
    for (const char* device : {"NUL", "con", "PRN", "AUX", "COM1", "LPT1"}) {
        SCOPED_TRACE(device);
        ScratchDir scratch;
        std::filesystem::create_directory(scratch.path() / "data");
        std::string name = device;
        name.resize(8, ' ');
        const std::string merged = "A       01x\r\n" + name + "01y\r\n";
        write_file(scratch / "data/in.mrg", merged);

        const Result result = run_command({.arguments = {"data", "mrg"}, .working_directory = scratch.path()});

        const std::string sdf_name = std::string(device) + ".sdf";
        EXPECT_EQ(escaped(result.output), escaped(banner + report("in.mrg", 26) + created("A.sdf") + count(1) +
                                                  created(sdf_name) + error("opening", sdf_name)));
        EXPECT_EQ(result.exit_code, 99);
        EXPECT_TRUE(holds_exactly(scratch.path() / "data", {{"in.mrg", merged}}));
    }
}

}  // namespace
