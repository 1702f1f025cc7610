// The whole command on Windows: device names, and finding the interpreter.
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

TEST(Interpreter, NoneFoundLeavesNothingListed) {
    ScratchDir scratch;
    std::filesystem::create_directory(scratch.path() / "data");
    write_file(scratch / "data/old.mrg", "A       01x\r\n");
    write_file(scratch / "work1d.tmp", "old.mrg\r\n");
    const EnvironmentChange no_comspec("COMSPEC", nullptr);
    const EnvironmentChange no_path("PATH", "");

    const Result result = run_command({.arguments = {"data", "new"}, .working_directory = scratch.path()});

    EXPECT_EQ(escaped(result.output), escaped(banner));
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(read_file(scratch / "work1d.tmp"), "");
    EXPECT_EQ(read_file(scratch / "data/old.mrg"), "A       01x\r\n");
}

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
