// The whole command, run as a user runs it: console output, exit code,
// work1d.tmp and every file of the directory, byte for byte.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "run_binary.h"
#include "support.h"

using testing_support::escaped;
using testing_support::files_below;
using testing_support::Invocation;
using testing_support::read_file;
using testing_support::Result;
using testing_support::run_command;
using testing_support::ScratchDir;
using testing_support::write_file;

namespace {

const std::string banner = "Vortel SDF datotek 1.2                    \tVse pravice pridrzane.   \r\n";
const std::string usage = "\r\n Napaka! Format komande je :   vrtl_sdf <out-in-path> <extenzija>\r\n";

std::string report(std::string_view name, long long length) {
    return "Ime vhodne datoteke je " + std::string(name) + ", dolzina je " + std::to_string(length) + " bytov. \r\n";
}
std::string created(std::string_view name) { return "  Kreiram datoteko " + std::string(name) + " .... "; }
std::string appended(std::string_view name) { return "  APPEND v datoteko " + std::string(name) + " .... "; }
std::string count(int records) { return "  " + std::to_string(records) + " zapisov. \r\n"; }
std::string deleting(std::string_view path) { return "\r\nBrisem obdelano datoteko " + std::string(path) + ".\r\n"; }
std::string error(std::string_view what, std::string_view name) {
    return "\r\nERROR " + std::string(what) + " : " + std::string(name) + " \r\n";
}

const std::string orders = "ORDERS  01o1\r\nORDERS  01o2\r\nITEMS   02i1\r\nCUSTOMER03c1\r\nCUSTOMER03c2\r\n";

using Files = std::map<std::string, std::string>;

struct Case {
    const char* name;
    std::vector<std::string> arguments;
    Files before;                      // below the directory "data" of the working directory
    std::vector<std::string> folders;  // made below "data" before the run
    std::string output;
    int exit_code;
    Files after;
    std::optional<std::string> listing;  // work1d.tmp; nothing when it must not exist
};

void PrintTo(const Case& test, std::ostream* out) { *out << test.name; }

class CommandTest : public testing::TestWithParam<Case> {};

TEST_P(CommandTest, RunsAsAUserSeesIt) {
    const Case& test = GetParam();
    ScratchDir scratch;
    std::filesystem::create_directory(scratch.path() / "data");
    for (const std::string& folder : test.folders) std::filesystem::create_directories(scratch.path() / "data" / folder);
    for (const auto& [name, bytes] : test.before) write_file(scratch / ("data/" + name), bytes);

    const Result result = run_command({.arguments = test.arguments, .working_directory = scratch.path()});

    EXPECT_EQ(escaped(result.output), escaped(test.output));
    EXPECT_EQ(result.exit_code, test.exit_code);
    EXPECT_EQ(read_file(scratch / "work1d.tmp"), test.listing);
    const Files after = files_below(scratch.path() / "data");
    EXPECT_EQ(after.size(), test.after.size());
    for (const auto& [name, bytes] : test.after) {
        EXPECT_EQ(escaped(after.count(name) ? after.at(name) : "<absent>"), escaped(bytes)) << name;
    }
}

std::string name_of(const testing::TestParamInfo<Case>& info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(
    CommandLine, CommandTest,
    testing::Values(
        Case{"no_argument", {}, {{"in.mrg", orders}}, {}, banner + usage, 0, {{"in.mrg", orders}}, std::nullopt},
        Case{"one_argument", {"data"}, {{"in.mrg", orders}}, {}, banner + usage, 0, {{"in.mrg", orders}}, std::nullopt},
        Case{"third_argument_ignored",
             {"data", "mrg", "extra"},
             {{"in.mrg", "A       01x\r\n"}},
             {},
             banner + report("in.mrg", 13) + created("A.sdf") + count(1) + deleting("data/in.mrg"),
             0,
             {{"A.sdf", "x\r\n"}},
             "in.mrg\r\n"}),
    name_of);

INSTANTIATE_TEST_SUITE_P(
    Runs, CommandTest,
    testing::Values(
        Case{"typical",
             {"data", "mrg"},
             {{"in.mrg", orders}, {"ITEMS.sdf", "i0\r\n"}},
             {},
             banner + report("in.mrg", 70) + created("ORDERS.sdf") + count(2) + appended("ITEMS.sdf") + count(1) +
                 created("CUSTOMER.sdf") + count(2) + deleting("data/in.mrg"),
             0,
             {{"ORDERS.sdf", "o1\r\no2\r\n"}, {"ITEMS.sdf", "i0\r\ni1\r\n"}, {"CUSTOMER.sdf", "c1\r\nc2\r\n"}},
             "in.mrg\r\n"},
        Case{"only_the_first_listed_file",
             {"data", "mrg"},
             {{"b.mrg", "B       01b\r\n"}, {"a.mrg", "A       01a\r\n"}, {"c.txt", "C       01c\r\n"}},
             {},
             banner + report("a.mrg", 13) + created("A.sdf") + count(1) + deleting("data/a.mrg"),
             0,
             {{"A.sdf", "a\r\n"}, {"b.mrg", "B       01b\r\n"}, {"c.txt", "C       01c\r\n"}},
             "a.mrg\r\nb.mrg\r\n"},
        Case{"nothing_matches", {"data", "mrg"}, {{"in.txt", orders}}, {}, banner, 0, {{"in.txt", orders}}, ""},
        Case{"hidden_files_do_not_match", {"data", "mrg"}, {{".in.mrg", orders}}, {}, banner, 0, {{".in.mrg", orders}}, ""},
        Case{"no_such_directory", {"absent", "mrg"}, {}, {}, banner, 0, {}, ""},
        Case{"pattern_in_the_extension",
             {"data", "m?g"},
             {{"in.mrg", "A       01x\r\n"}},
             {},
             banner + report("in.mrg", 13) + created("A.sdf") + count(1) + deleting("data/in.mrg"),
             0,
             {{"A.sdf", "x\r\n"}},
             "in.mrg\r\n"},
        Case{"empty_merged_file_is_kept",
             {"data", "mrg"},
             {{"in.mrg", ""}},
             {},
             banner + report("in.mrg", 0),
             0,
             {{"in.mrg", ""}},
             "in.mrg\r\n"},
        Case{"short_lines_only",
             {"data", "mrg"},
             {{"in.mrg", "A\r\nA\r\n"}},
             {},
             banner + report("in.mrg", 6) + created("A.sdf") + "??" + count(0) + deleting("data/in.mrg"),
             0,
             {{"A.sdf", ""}},
             "in.mrg\r\n"},
        Case{"last_line_without_terminator_is_distributed",
             {"data", "mrg"},
             {{"in.mrg", "A       01x\r\nB       01last"}},
             {},
             banner + report("in.mrg", 27) + created("A.sdf") + count(1) + created("B.sdf") + count(1) +
                 deleting("data/in.mrg"),
             0,
             {{"A.sdf", "x\r\n"}, {"B.sdf", "last\r\n"}},
             "in.mrg\r\n"}),
    name_of);

INSTANTIATE_TEST_SUITE_P(
    ListedNames, CommandTest,
    testing::Values(
        Case{"nineteen_characters_used_whole",
             {"data", "mrg"},
             {{"abcdefghijklmno.mrg", "A       01x\r\n"}},
             {},
             banner + report("abcdefghijklmno.mrg", 13) + created("A.sdf") + count(1) +
                 deleting("data/abcdefghijklmno.mrg"),
             0,
             {{"A.sdf", "x\r\n"}},
             "abcdefghijklmno.mrg\r\n"},
        Case{"longer_name_is_cut",
             {"data", "mrg"},
             {{"abcdefghijklmnop.mrg", "A       01x\r\n"}},
             {},
             banner + report("abcdefghijklmnop.mr", 0) + error("opening", "data/abcdefghijklmnop.mr"),
             99,
             {{"abcdefghijklmnop.mrg", "A       01x\r\n"}},
             "abcdefghijklmnop.mrg\r\n"},
        Case{"matching_directory_listed_first",
             {"data", "mrg"},
             {{"b.mrg", "A       01x\r\n"}},
             {"a.mrg"},
             banner + report("a.mrg", 0) + error("opening", "data/a.mrg"),
             99,
             {{"b.mrg", "A       01x\r\n"}},
             "a.mrg\r\nb.mrg\r\n"},
        Case{"four_character_name_counts_as_nothing_listed",
             {"data", "bc"},
             {{"a.bc", "A       01x\r\n"}},
             {},
             banner,
             0,
             {{"a.bc", "A       01x\r\n"}},
             "a.bc\r\n"},
        Case{"five_character_name_is_processed",
             {"data", "bc"},
             {{"ab.bc", "A       01x\r\n"}},
             {},
             banner + report("ab.bc", 13) + created("A.sdf") + count(1) + deleting("data/ab.bc"),
             0,
             {{"A.sdf", "x\r\n"}},
             "ab.bc\r\n"}),
    name_of);

INSTANTIATE_TEST_SUITE_P(
    Refusals, CommandTest,
    testing::Values(
        Case{"sdf_file_that_cannot_be_opened_keeps_the_merged_file",
             {"data", "mrg"},
             {{"in.mrg", "A       01x\r\nB       01y\r\n"}},
             {"B.sdf"},
             banner + report("in.mrg", 26) + created("A.sdf") + count(1) + created("B.sdf") + error("opening", "B.sdf"),
             99,
             {{"A.sdf", "x\r\n"}, {"in.mrg", "A       01x\r\nB       01y\r\n"}},
             "in.mrg\r\n"},
        Case{"name_reaching_out_of_the_directory",
             {"data", "mrg"},
             {{"in.mrg", "../x    01y\r\n"}},
             {},
             banner + report("in.mrg", 13) + created("../x.sdf") + error("opening", "../x.sdf"),
             99,
             {{"in.mrg", "../x    01y\r\n"}},
             "in.mrg\r\n"},
        Case{"merged_file_as_its_own_sdf_file",
             {"data", "sdf"},
             {{"M.sdf", "M       01x\r\n"}},
             {},
             banner + report("M.sdf", 13) + appended("M.sdf") + error("opening", "M.sdf"),
             99,
             {{"M.sdf", "M       01x\r\n"}},
             "M.sdf\r\n"}),
    name_of);

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
        testing_support::give_to_unprivileged_user(scratch.path());
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

TEST_F(UnprivilegedCommand, MergedFileThatCannotBeDeletedIsReported) {
    write_file(scratch / "data/in.mrg", "A       01new\r\n");
    write_file(scratch / "data/A.sdf", "old\r\n");
    chmod((scratch / "data").c_str(), 0555);

    const Result result = run();

    EXPECT_EQ(escaped(result.output), escaped(banner + report("in.mrg", 15) + appended("A.sdf") + count(1) +
                                              deleting("data/in.mrg") + error("deleting", "data/in.mrg")));
    EXPECT_EQ(result.exit_code, 99);
    EXPECT_EQ(read_file(scratch / "data/A.sdf"), "old\r\nnew\r\n");
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

TEST(Command, ListingOfTheCurrentDirectoryHoldsItself) {
    ScratchDir scratch;
    for (const std::string& run_start : {created("work1d.t.sdf"), appended("work1d.t.sdf")}) {
        const Result result = run_command({.arguments = {".", "tmp"}, .working_directory = scratch.path()});
        EXPECT_EQ(escaped(result.output), escaped(banner + report("work1d.tmp", 12) + run_start + count(1) +
                                                  deleting("./work1d.tmp")));
        EXPECT_EQ(result.exit_code, 0);
    }
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
