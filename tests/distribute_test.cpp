// Record distribution: runs, names, create or append, and the records' bytes.
#include <filesystem>

#include <gtest/gtest.h>

#include "distribute_support.h"
#include "test_platform.h"

using namespace testing_support;

namespace {

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
    const Outcome outcome = distribute(test.merged, test.before, test.after);
    EXPECT_EQ(escaped(outcome.console), escaped(test.console));
    EXPECT_EQ(outcome.sdf_files_opened, test.sdf_files_opened);
    EXPECT_FALSE(outcome.failed_step);
}

// Runs of "abc" and "ABC" are two runs; where names fold case they share one file.
Case letter_case_case() {
    const std::string merged = line("abc", "1") + line("ABC", "2");
    const std::string first_run = created("abc.sdf") + count(1);
    if (test_platform.names_fold_case) {
        return Case{"letter_case_starts_a_new_run_in_the_same_file", merged, {},
                    first_run + appended("ABC.sdf") + count(1), {{"abc.sdf", "1\r\n2\r\n"}}, 2};
    }
    return Case{"letter_case_starts_a_new_run_in_another_file", merged, {}, first_run + created("ABC.sdf") + count(1),
                {{"abc.sdf", "1\r\n"}, {"ABC.sdf", "2\r\n"}}, 2};
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
        letter_case_case()),
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

TEST_P(RefusedSdfFileTest, FailsToOpenAndWritesNothing) {
    const RefusedCase& test = GetParam();
    const Outcome outcome = distribute(line("A", "kept") + test.merged, {}, {{"A.sdf", "kept\r\n"}}, test.prepare);
    EXPECT_EQ(escaped(outcome.console), escaped(created("A.sdf") + count(1) + test.console));
    EXPECT_EQ(outcome.failed_step, FailedStep::opening);
    EXPECT_EQ(outcome.failure_subject, test.refused);
}

INSTANTIATE_TEST_SUITE_P(
    Names, RefusedSdfFileTest,
    testing::Values(
        RefusedCase{"slash", line("X/Y", "r"), {}, created("X/Y.sdf"), "X/Y.sdf"},
        RefusedCase{"parent", line("../Y", "r"), {}, created("../Y.sdf"), "../Y.sdf"},
        RefusedCase{"backslash", line("X\\Y", "r"), {}, created("X\\Y.sdf"), "X\\Y.sdf"},
        RefusedCase{"existing_subdirectory", line("X/Y", "r"),
                    [](const ScratchDir& d) { std::filesystem::create_directory(d / "X"); }, created("X/Y.sdf"),
                    "X/Y.sdf"},
        RefusedCase{"directory", line("D", "r"),
                    [](const ScratchDir& d) { std::filesystem::create_directory(d / "D.sdf"); }, created("D.sdf"),
                    "D.sdf"}),
    refused_case_name);

}  // namespace
