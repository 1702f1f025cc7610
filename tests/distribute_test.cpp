// Record distribution: runs, names, create or append, and the records' bytes.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include <gtest/gtest.h>

#include "distribute/distribute.h"
#include "support.h"

using testing_support::escaped;
using testing_support::files_below;
using testing_support::read_file;
using testing_support::ScratchDir;
using testing_support::write_file;

namespace {

// A merged line: the name padded to 8 characters, two header characters, the record, CR LF.
std::string line(std::string name, std::string_view record) {
    name.resize(8, ' ');
    return name + "01" + std::string(record) + "\r\n";
}

std::string created(std::string_view name) { return "  Kreiram datoteko " + std::string(name) + " .... "; }
std::string appended(std::string_view name) { return "  APPEND v datoteko " + std::string(name) + " .... "; }
std::string count(int records) { return "  " + std::to_string(records) + " zapisov. \r\n"; }

using Files = std::map<std::string, std::string>;

struct Outcome {
    std::string console;
    Files files;  // every file of the directory but the merged one
    std::int64_t sdf_files_opened = 0;
    std::optional<FailedStep> failed_step;
    std::string failure_subject;
};

// Distributes merged, read from "in.mrg" in a directory that holds the files
// before, and gives what came of it.
Outcome distribute(const std::string& merged, const Files& before = {},
                   const std::function<void(const ScratchDir&)>& prepare = {}) {
    ScratchDir directory;
    ScratchDir console_directory;
    for (const auto& [name, bytes] : before) write_file(directory / name, bytes);
    if (prepare) prepare(directory);
    write_file(directory / "in.mrg", merged);

    Console console{*text_open(console_directory / "console", "wa"), Showing::held};
    std::optional<TextStream> stream = text_open(directory / "in.mrg", "ra");
    const Distribution distribution =
        distribute_records(*stream, directory / "in.mrg", directory.path().string() + "/", console);
    text_close(*stream);
    close_console(console);

    Outcome outcome;
    outcome.console = *read_file(console_directory / "console");
    outcome.files = files_below(directory.path());
    EXPECT_EQ(escaped(outcome.files["in.mrg"]), escaped(merged)) << "the merged file changed";
    outcome.files.erase("in.mrg");
    outcome.sdf_files_opened = distribution.sdf_files_opened;
    if (distribution.failure) {
        outcome.failed_step = distribution.failure->step;
        outcome.failure_subject = distribution.failure->subject;
    }
    return outcome;
}

struct Case {
    const char* name;
    std::string merged;
    Files before;
    std::string console;
    Files after;
    std::int64_t sdf_files_opened;
};

void PrintTo(const Case& test, std::ostream* out) { *out << test.name; }

class DistributeTest : public testing::TestWithParam<Case> {};

TEST_P(DistributeTest, WritesEachRunAndReportsIt) {
    const Case& test = GetParam();
    const Outcome outcome = distribute(test.merged, test.before);
    EXPECT_EQ(escaped(outcome.console), escaped(test.console));
    EXPECT_EQ(outcome.sdf_files_opened, test.sdf_files_opened);
    EXPECT_FALSE(outcome.failed_step);
    ASSERT_EQ(outcome.files.size(), test.after.size());
    for (const auto& [name, bytes] : test.after) {
        EXPECT_EQ(escaped(outcome.files.at(name)), escaped(bytes)) << name;
    }
}

const std::string long_record(10000, 'R');
const std::string record_filling_the_limit(4009 - 10, 'F');

INSTANTIATE_TEST_SUITE_P(
    Runs, DistributeTest,
    testing::Values(
        Case{"empty_merged_file", "", {}, "", {}, 0},
        Case{"two_runs",
             line("A", "a1") + line("A", "a2") + line("A", "a3") + line("B", "b1") + line("B", "b2"),
             {},
             created("A.sdf") + count(3) + created("B.sdf") + count(2),
             {{"A.sdf", "a1\r\na2\r\na3\r\n"}, {"B.sdf", "b1\r\nb2\r\n"}},
             2},
        Case{"name_seen_again_appends",
             line("A", "1") + line("B", "2") + line("A", "3"),
             {},
             created("A.sdf") + count(1) + created("B.sdf") + count(1) + appended("A.sdf") + count(1),
             {{"A.sdf", "1\r\n3\r\n"}, {"B.sdf", "2\r\n"}},
             3},
        Case{"existing_records_are_kept",
             line("A", "new"),
             {{"A.sdf", "old\r\n"}},
             appended("A.sdf") + count(1),
             {{"A.sdf", "old\r\nnew\r\n"}},
             1},
        Case{"existing_empty_file_is_created",
             line("A", "new"),
             {{"A.sdf", ""}},
             created("A.sdf") + count(1),
             {{"A.sdf", "new\r\n"}},
             1},
        Case{"letter_case_starts_a_new_run",
             line("abc", "1") + line("ABC", "2"),
             {},
             created("abc.sdf") + count(1) + created("ABC.sdf") + count(1),
             {{"abc.sdf", "1\r\n"}, {"ABC.sdf", "2\r\n"}},
             2}),
    [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    TrickyData, DistributeTest,
    testing::Values(
        Case{"trailing_blanks_of_the_name", "ORDERS  01x\r\n", {}, created("ORDERS.sdf") + count(1),
             {{"ORDERS.sdf", "x\r\n"}}, 1},
        Case{"high_byte_ends_the_name", "ABC\xc8    01x\r\n", {}, created("ABC.sdf") + count(1),
             {{"ABC.sdf", "x\r\n"}}, 1},
        Case{"blank_name", "        01x\r\n", {}, created(".sdf") + count(1), {{".sdf", "x\r\n"}}, 1},
        Case{"record_bytes_pass_unchanged",
             line("A", std::string("\x1b\xff\r\t\0z", 6)),
             {},
             created("A.sdf") + count(1),
             {{"A.sdf", std::string("\x1b\xff\r\t\0z\r\n", 8)}},
             1},
        Case{"ten_characters_make_an_empty_record", "A       0\r\n", {}, created("A.sdf") + count(1),
             {{"A.sdf", ""}}, 1},
        Case{"short_lines_are_marked_but_select_their_file",
             line("A", "1") + "\r\n" + "A       \r\n" + line("A", "2"),
             {},
             created("A.sdf") + count(1) + created(".sdf") + "?" + count(0) + appended("A.sdf") + "?" + count(1),
             {{"A.sdf", "1\r\n2\r\n"}, {".sdf", ""}},
             3},
        Case{"nul_bytes_are_record_data_and_count",
             std::string("A\0\0\0\0\0\0\0\0\r\n", 11) + std::string("AB\0CDEFG01x\0y\r\n", 15),
             {},
             created("A.sdf") + count(1) + created("AB.sdf") + count(1),
             {{"A.sdf", ""}, {"AB.sdf", std::string("x\0y\r\n", 5)}},
             2},
        Case{"last_line_without_terminator_is_kept", line("A", "1") + "A       01last", {},
             created("A.sdf") + count(2), {{"A.sdf", "1\r\nlast\r\n"}}, 1},
        Case{"short_last_line_without_terminator", "A       0", {}, created("A.sdf") + count(1),
             {{"A.sdf", ""}}, 1},
        Case{"eof_byte_ends_the_last_line", line("A", "1") + "B       01cut\x1a" + line("C", "never"), {},
             created("A.sdf") + count(1) + created("B.sdf") + count(1), {{"A.sdf", "1\r\n"}, {"B.sdf", "cut\r\n"}}, 2},
        Case{"long_line_is_one_record",
             line("A", long_record) + line("A", "next"),
             {},
             created("A.sdf") + count(2),
             {{"A.sdf", long_record + "\r\nnext\r\n"}},
             1},
        Case{"last_line_filling_the_read_limit",
             "A       01" + record_filling_the_limit,
             {},
             created("A.sdf") + count(1),
             {{"A.sdf", record_filling_the_limit + "\r\n"}},
             1},
        Case{"long_last_line_without_terminator",
             "A       01" + long_record,
             {},
             created("A.sdf") + count(1),
             {{"A.sdf", long_record + "\r\n"}},
             1}),
    [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

struct RefusedCase {
    const char* name;
    std::string merged;
    std::function<void(const ScratchDir&)> prepare;
    std::string console;
    std::string refused;
};

void PrintTo(const RefusedCase& test, std::ostream* out) { *out << test.name; }

class RefusedSdfFileTest : public testing::TestWithParam<RefusedCase> {};

TEST_P(RefusedSdfFileTest, FailsToOpenAndWritesNothing) {
    const RefusedCase& test = GetParam();
    const Outcome outcome = distribute(line("A", "kept") + test.merged, {}, test.prepare);
    EXPECT_EQ(escaped(outcome.console), escaped(created("A.sdf") + count(1) + test.console));
    EXPECT_EQ(outcome.failed_step, FailedStep::opening);
    EXPECT_EQ(outcome.failure_subject, test.refused);
    EXPECT_EQ(outcome.files, (Files{{"A.sdf", "kept\r\n"}}));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RefusedSdfFileTest,
    testing::Values(
        RefusedCase{"slash", line("X/Y", "r"), {}, created("X/Y.sdf"), "X/Y.sdf"},
        RefusedCase{"parent", line("../Y", "r"), {}, created("../Y.sdf"), "../Y.sdf"},
        RefusedCase{"backslash", line("X\\Y", "r"), {}, created("X\\Y.sdf"), "X\\Y.sdf"},
        RefusedCase{"existing_subdirectory", line("X/Y", "r"),
                    [](const ScratchDir& d) { mkdir((d / "X").c_str(), 0755); }, created("X/Y.sdf"), "X/Y.sdf"},
        RefusedCase{"directory", line("D", "r"), [](const ScratchDir& d) { mkdir((d / "D.sdf").c_str(), 0755); },
                    created("D.sdf"), "D.sdf"},
        RefusedCase{"fifo", line("F", "r"), [](const ScratchDir& d) { mkfifo((d / "F.sdf").c_str(), 0644); },
                    created("F.sdf"), "F.sdf"},
        RefusedCase{"symlink_to_a_device", line("N", "r"),
                    [](const ScratchDir& d) { symlink("/dev/null", (d / "N.sdf").c_str()); }, created("N.sdf"),
                    "N.sdf"},
        RefusedCase{"link_to_the_merged_file", line("M", "r"),
                    [](const ScratchDir& d) { symlink("in.mrg", (d / "M.sdf").c_str()); }, appended("M.sdf"),
                    "M.sdf"}),
    [](const testing::TestParamInfo<RefusedCase>& info) { return std::string(info.param.name); });

TEST(Distribute, ReadErrorLeavesTheSdfFileAsTheRunFoundIt) {
    // A merged file whose data breaks off with an I/O error: a mapped page of
    // lines, read through /proc/self/mem, followed by an unmapped one.
    const long page = sysconf(_SC_PAGESIZE);
    char* pages = static_cast<char*>(mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(pages, MAP_FAILED);
    munmap(pages + page, page);
    const std::string record(100, 'r');
    const std::string whole_line = line("A", record);
    const std::size_t whole_lines = static_cast<std::size_t>(page) / whole_line.size();
    std::string data;
    for (std::size_t i = 0; i < whole_lines; ++i) data += whole_line;
    data += "A       01";  // a last line that the error cuts short
    data.resize(static_cast<std::size_t>(page), 'x');
    std::copy(data.begin(), data.end(), pages);

    const int memory = open("/proc/self/mem", O_RDONLY | O_CLOEXEC);
    if (memory == -1 || lseek(memory, reinterpret_cast<off_t>(pages), SEEK_SET) == -1) {
        GTEST_SKIP() << "no /proc/self/mem";
    }
    TextStream merged;
    merged.file = platform::File(memory);

    ScratchDir directory;
    ScratchDir console_directory;
    Console console{*text_open(console_directory / "console", "wa"), Showing::held};
    const Distribution distribution =
        distribute_records(merged, "merged", directory.path().string() + "/", console);
    close_console(console);
    munmap(pages, page);

    ASSERT_TRUE(distribution.failure);
    EXPECT_EQ(distribution.failure->step, FailedStep::reading);
    EXPECT_EQ(distribution.failure->subject, "merged");
    EXPECT_EQ(escaped(*read_file(console_directory / "console")), escaped(created("A.sdf")));
    EXPECT_EQ(read_file(directory / "A.sdf").value_or("<absent>"), "");
}

}  // namespace
