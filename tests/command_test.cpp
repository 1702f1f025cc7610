// The whole command, run as a user runs it: console output, exit code,
// work1d.tmp and every file of the directory, byte for byte.
#include <gtest/gtest.h>

#include "console_texts.h"
#include "run_binary.h"
#include "support.h"
#include "test_platform.h"

using testing_support::appended;
using testing_support::banner;
using testing_support::count;
using testing_support::created;
using testing_support::deleting;
using testing_support::error;
using testing_support::escaped;
using testing_support::Files;
using testing_support::holds_exactly;
using testing_support::Invocation;
using testing_support::path_in;
using testing_support::read_file;
using testing_support::report;
using testing_support::Result;
using testing_support::run_command;
using testing_support::keep_from_writing;
using testing_support::ListingOrder;
using testing_support::ScratchDir;
using testing_support::test_platform;
using testing_support::usage;
using testing_support::write_file;
using testing_support::write_files;

namespace {

const std::string orders = "ORDERS  01o1\r\nORDERS  01o2\r\nITEMS   02i1\r\nCUSTOMER03c1\r\nCUSTOMER03c2\r\n";

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
    write_files(scratch.path() / "data", test.before);

    const Result result = run_command({.arguments = test.arguments, .working_directory = scratch.path()});

    EXPECT_EQ(escaped(result.output), escaped(test.output));
    EXPECT_EQ(result.exit_code, test.exit_code);
    EXPECT_EQ(read_file(scratch / "work1d.tmp"), test.listing);
    EXPECT_TRUE(holds_exactly(scratch.path() / "data", test.after));
}

std::string name_of(const testing::TestParamInfo<Case>& info) { return info.param.name; }

// "B.mrg" comes before "a.mrg" by byte value, after it when letter case is ignored.
Case listing_order_case() {
    const Files before = {{"B.mrg", "B       01b\r\n"}, {"a.mrg", "A       01a\r\n"}};
    if (test_platform.listing_order == ListingOrder::by_byte_value) {
        return Case{"first_listed_by_byte_value", {"data", "mrg"}, before, {},
                    banner + report("B.mrg", 13) + created("B.sdf") + count(1) + deleting(path_in("data", "B.mrg")), 0,
                    {{"B.sdf", "b\r\n"}, {"a.mrg", "A       01a\r\n"}}, "B.mrg\r\na.mrg\r\n"};
    }
    return Case{"first_listed_ignoring_case", {"data", "mrg"}, before, {},
                banner + report("a.mrg", 13) + created("A.sdf") + count(1) + deleting(path_in("data", "a.mrg")), 0,
                {{"A.sdf", "a\r\n"}, {"B.mrg", "B       01b\r\n"}}, "a.mrg\r\nB.mrg\r\n"};
}

// A name with an extension of four letters that no pattern of the extension
// given lists.
Case nothing_listed_for(const char* name, const char* extension) {
    return Case{name, {"data", extension}, {{"notes.docx", orders}}, {}, banner, 0, {{"notes.docx", orders}}, ""};
}

// Runs of "abc" and "ABC": two files, or, where names fold case, one file
// that the second run appends to.
Case letter_case_case() {
    const std::string merged = "abc     01x\r\nABC     01y\r\n";
    const std::string console_start = banner + report("in.mrg", 26) + created("abc.sdf") + count(1);
    const std::string deleted = deleting(path_in("data", "in.mrg"));
    if (test_platform.names_fold_case) {
        return Case{"letter_case_folds_into_one_file", {"data", "mrg"}, {{"in.mrg", merged}}, {},
                    console_start + appended("ABC.sdf") + count(1) + deleted, 0, {{"abc.sdf", "x\r\ny\r\n"}},
                    "in.mrg\r\n"};
    }
    return Case{"letter_case_makes_two_files", {"data", "mrg"}, {{"in.mrg", merged}}, {},
                console_start + created("ABC.sdf") + count(1) + deleted, 0,
                {{"abc.sdf", "x\r\n"}, {"ABC.sdf", "y\r\n"}}, "in.mrg\r\n"};
}

INSTANTIATE_TEST_SUITE_P(
    CommandLine, CommandTest,
    testing::Values(
        Case{"no_argument", {}, {{"in.mrg", orders}}, {}, banner + usage, 0, {{"in.mrg", orders}}, std::nullopt},
        Case{"one_argument", {"data"}, {{"in.mrg", orders}}, {}, banner + usage, 0, {{"in.mrg", orders}}, std::nullopt},
        Case{"third_argument_ignored",
             {"data", "mrg", "extra"},
             {{"in.mrg", "A       01x\r\n"}},
             {},
             banner + report("in.mrg", 13) + created("A.sdf") + count(1) + deleting(path_in("data", "in.mrg")),
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
                 created("CUSTOMER.sdf") + count(2) + deleting(path_in("data", "in.mrg")),
             0,
             {{"ORDERS.sdf", "o1\r\no2\r\n"}, {"ITEMS.sdf", "i0\r\ni1\r\n"}, {"CUSTOMER.sdf", "c1\r\nc2\r\n"}},
             "in.mrg\r\n"},
        Case{"only_the_first_listed_file",
             {"data", "mrg"},
             {{"b.mrg", "B       01b\r\n"}, {"a.mrg", "A       01a\r\n"}, {"c.txt", "C       01c\r\n"}},
             {},
             banner + report("a.mrg", 13) + created("A.sdf") + count(1) + deleting(path_in("data", "a.mrg")),
             0,
             {{"A.sdf", "a\r\n"}, {"b.mrg", "B       01b\r\n"}, {"c.txt", "C       01c\r\n"}},
             "a.mrg\r\nb.mrg\r\n"},
        listing_order_case(),
        letter_case_case(),
        Case{"nothing_matches", {"data", "mrg"}, {{"in.txt", orders}}, {}, banner, 0, {{"in.txt", orders}}, ""},
        // No wildcard of the extension runs past a name's final dot, as a
        // batch file's "%EXT%" with the variable unset would let it.
        nothing_listed_for("empty_extension", ""),
        nothing_listed_for("extension_of_one_wildcard", "?"),
        nothing_listed_for("extension_of_three_wildcards", "???"),
        nothing_listed_for("extension_of_a_dot", "."),
        // Wine counts these names as hidden, and a POSIX shell's glob leaves them out.
        Case{"hidden_files_do_not_match", {"data", "mrg"}, {{".in.mrg", orders}}, {}, banner, 0, {{".in.mrg", orders}}, ""},
        // A path that names no directory is reported, never taken for an empty one.
        Case{"no_such_directory", {"absent", "mrg"}, {}, {}, banner + error("opening", path_in("absent", "")), 99, {},
             std::nullopt},
        Case{"directory_that_is_a_file", {"data/in.mrg", "mrg"}, {{"in.mrg", orders}}, {},
             banner + error("opening", path_in("data/in.mrg", "")), 99, {{"in.mrg", orders}}, std::nullopt},
        Case{"empty_directory_argument", {"", "mrg"}, {{"in.mrg", orders}}, {},
             banner + error("opening", path_in("", "")), 99, {{"in.mrg", orders}}, std::nullopt},
        Case{"pattern_in_the_extension",
             {"data", "m?g"},
             {{"in.mrg", "A       01x\r\n"}},
             {},
             banner + report("in.mrg", 13) + created("A.sdf") + count(1) + deleting(path_in("data", "in.mrg")),
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
        // No line: nothing was distributed, so the file stays for whoever put it there.
        Case{"merged_file_starting_with_eof_byte_is_kept", {"data", "mrg"}, {{"in.mrg", "\x1a" "A       01x\r\n"}}, {},
             banner + report("in.mrg", 14), 0, {{"in.mrg", "\x1a" "A       01x\r\n"}}, "in.mrg\r\n"},
        Case{"short_lines_only",
             {"data", "mrg"},
             {{"in.mrg", "A\r\nA\r\n"}},
             {},
             banner + report("in.mrg", 6) + created("A.sdf") + "??" + count(0) + deleting(path_in("data", "in.mrg")),
             0,
             {{"A.sdf", ""}},
             "in.mrg\r\n"},
        Case{"last_line_without_terminator_is_distributed",
             {"data", "mrg"},
             {{"in.mrg", "A       01x\r\nB       01last"}},
             {},
             banner + report("in.mrg", 27) + created("A.sdf") + count(1) + created("B.sdf") + count(1) +
                 deleting(path_in("data", "in.mrg")),
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
                 deleting(path_in("data", "abcdefghijklmno.mrg")),
             0,
             {{"A.sdf", "x\r\n"}},
             "abcdefghijklmno.mrg\r\n"},
        Case{"longer_name_is_cut",
             {"data", "mrg"},
             {{"abcdefghijklmnop.mrg", "A       01x\r\n"}},
             {},
             banner + report("abcdefghijklmnop.mr", 0) + error("opening", path_in("data", "abcdefghijklmnop.mr")),
             99,
             {{"abcdefghijklmnop.mrg", "A       01x\r\n"}},
             "abcdefghijklmnop.mrg\r\n"},
        // The cut names another file, which was never asked for.
        Case{"cut_name_of_another_file_is_not_taken",
             {"data", "mrg"},
             {{"abcdefghijklmnop.mrg", "A       01x\r\n"}, {"abcdefghijklmnop.mr", "B       01y\r\n"}},
             {},
             banner + report("abcdefghijklmnop.mr", 13) + error("opening", path_in("data", "abcdefghijklmnop.mr")),
             99,
             {{"abcdefghijklmnop.mrg", "A       01x\r\n"}, {"abcdefghijklmnop.mr", "B       01y\r\n"}},
             "abcdefghijklmnop.mrg\r\n"},
        Case{"matching_directory_listed_first",
             {"data", "mrg"},
             {{"b.mrg", "A       01x\r\n"}},
             {"a.mrg"},
             banner + report("a.mrg", 0) + error("opening", path_in("data", "a.mrg")),
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
        // Only a lone short name counts as nothing listed.
        Case{"four_character_name_before_another_is_taken", {"data", "bc"},
             {{"a.bc", "A       01x\r\n"}, {"bb.bc", "B       01y\r\n"}}, {},
             banner + report("a.bc", 13) + created("A.sdf") + count(1) + deleting(path_in("data", "a.bc")), 0,
             {{"A.sdf", "x\r\n"}, {"bb.bc", "B       01y\r\n"}}, "a.bc\r\nbb.bc\r\n"},
        Case{"five_character_name_is_processed",
             {"data", "bc"},
             {{"ab.bc", "A       01x\r\n"}},
             {},
             banner + report("ab.bc", 13) + created("A.sdf") + count(1) + deleting(path_in("data", "ab.bc")),
             0,
             {{"A.sdf", "x\r\n"}},
             "ab.bc\r\n"}),
    name_of);

INSTANTIATE_TEST_SUITE_P(
    Refusals, CommandTest,
    testing::Values(
        // The run of A was written already: it is undone, A.sdf being new.
        Case{"sdf_file_that_cannot_be_opened_changes_nothing",
             {"data", "mrg"},
             {{"in.mrg", "A       01x\r\nB       01y\r\n"}},
             {"B.sdf"},
             banner + report("in.mrg", 26) + created("A.sdf") + count(1) + created("B.sdf") + error("opening", "B.sdf"),
             99,
             {{"in.mrg", "A       01x\r\nB       01y\r\n"}},
             "in.mrg\r\n"},
        Case{"name_reaching_out_of_the_directory",
             {"data", "mrg"},
             {{"in.mrg", "../x    01y\r\n"}},
             {},
             banner + report("in.mrg", 13) + created("../x.sdf") + error("opening", "../x.sdf"),
             99,
             {{"in.mrg", "../x    01y\r\n"}},
             "in.mrg\r\n"},
        // A pattern that lists SDF files never takes one for a merged file.
        Case{"sdf_file_is_never_a_merged_file",
             {"data", "sdf"},
             {{"M.sdf", "M       01x\r\n"}},
             {},
             banner + report("M.sdf", 13) + error("opening", path_in("data", "M.sdf")),
             99,
             {{"M.sdf", "M       01x\r\n"}},
             "M.sdf\r\n"},
        // "*.*" lists the SDF file, which is not taken, and never the run's own lock.
        Case{"pattern_that_lists_sdf_files",
             {"data", "*"},
             {{"A.sdf", "x\r\n"}, {"in.mrg", orders}},
             {},
             banner + report("A.sdf", 3) + error("opening", path_in("data", "A.sdf")),
             99,
             {{"A.sdf", "x\r\n"}, {"in.mrg", orders}},
             "A.sdf\r\nin.mrg\r\n"}),
    name_of);

TEST(Command, BlanksInTheDirectoryAndTheNames) {
    ScratchDir scratch;
    std::filesystem::create_directory(scratch.path() / "my data");
    write_file(scratch / "my data/in put.mrg", "A B     01x\r\n");

    const Result result = run_command({.arguments = {"my data", "mrg"}, .working_directory = scratch.path()});

    EXPECT_EQ(escaped(result.output), escaped(banner + report("in put.mrg", 13) + created("A B.sdf") + count(1) +
                                              deleting(path_in("my data", "in put.mrg"))));
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_TRUE(holds_exactly(scratch.path() / "my data", {{"A B.sdf", "x\r\n"}}));
}

// A listing left by an earlier run is never taken for a new one: it is
// replaced, or the run ends where it cannot be.
TEST(Command, StaleListingIsNeverTaken) {
    for (const bool writable : {true, false}) {
        SCOPED_TRACE(writable ? "writable" : "kept from writing");
        ScratchDir scratch;
        std::filesystem::create_directory(scratch.path() / "data");
        write_file(scratch / "data/gone.mrg", "A       01x\r\n");
        write_file(scratch / "work1d.tmp", "gone.mrg\r\n");
        Invocation invocation{.arguments = {"data", "new"}, .working_directory = scratch.path()};
        std::shared_ptr<void> kept = writable ? nullptr : keep_from_writing(scratch / "work1d.tmp", invocation);

        const Result result = run_command(invocation);

        kept.reset();
        EXPECT_EQ(escaped(result.output), escaped(writable ? banner : banner + error("opening", "work1d.tmp")));
        EXPECT_EQ(result.exit_code, writable ? 0 : 99);
        EXPECT_EQ(read_file(scratch / "work1d.tmp"), writable ? "" : "gone.mrg\r\n");
        EXPECT_EQ(read_file(scratch / "data/gone.mrg"), "A       01x\r\n");
    }
}

// The listing of the current directory holds the listing itself, which is
// never taken for a merged file.
TEST(Command, ListingIsNeverTakenForAMergedFile) {
    ScratchDir scratch;
    const Result result = run_command({.arguments = {".", "tmp"}, .working_directory = scratch.path()});
    EXPECT_EQ(escaped(result.output),
              escaped(banner + report("work1d.tmp", 12) + error("opening", path_in(".", "work1d.tmp"))));
    EXPECT_EQ(result.exit_code, 99);
    EXPECT_EQ(read_file(scratch / "work1d.tmp"), "work1d.tmp\r\n");
}

}  // namespace
