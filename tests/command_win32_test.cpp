// The whole command on Windows: arguments, paths it must not follow, and a
// deletion that nothing else can turn against the data.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <functional>
#include <memory>

#include <gtest/gtest.h>

#include "console_texts.h"
#include "meanwhile_win32.h"
#include "run_binary.h"
#include "support.h"
#include "test_platform.h"

using namespace testing_support;

namespace {

const std::string record_a = "A       01x\r\n";
const std::string record_b = "B       01y\r\n";

// The run acts on exactly the paths it computed, from the arguments as
// typed, whatever the environment holds (X is "b", so "%X%" expanded would
// name another file) and whatever another program does meanwhile.
struct PathCase {
    const char* name;
    std::vector<std::string> arguments;  // in UTF-8
    Files before;  // below the working directory
    std::string output;
    int exit_code;
    Files after;  // below the working directory, work1d.tmp included
    bool with_console = false;
    std::vector<std::string> environment{};  // NAME=value, besides X=b
    std::function<void(const std::filesystem::path&)> before_run{};
    // What another program does while the run pauses: by default once it has
    // checked the merged file for the last time, before it deletes it; what it
    // gives is held to the end of the run.
    std::function<std::shared_ptr<void>(const std::filesystem::path&)> meanwhile{};
    const char* paused_at = "checked";
};

void PrintTo(const PathCase& test, std::ostream* out) { *out << test.name; }

class PathTest : public testing::TestWithParam<PathCase> {};

TEST_P(PathTest, ActsOnThePathsAsComputed) {
    const PathCase& test = GetParam();
    ScratchDir scratch;
    for (const auto& [name, bytes] : test.before) {
        std::filesystem::create_directories((scratch.path() / name).parent_path());
        // Through the ANSI functions: std::filesystem reads narrow names otherwise.
        write_file(scratch.path().string() + "/" + name, bytes);
    }
    if (test.before_run) test.before_run(scratch.path());
    Invocation invocation{.arguments = test.arguments, .working_directory = scratch.path(),
                          .with_console = test.with_console, .environment = {"X=b"}};
    invocation.environment.insert(invocation.environment.end(), test.environment.begin(), test.environment.end());

    std::shared_ptr<void> held;
    const Result result = test.meanwhile ? run_pausing_at(test.paused_at, invocation, [&] {
        held = test.meanwhile(scratch.path());
    })
                                               : run_command(invocation);
    held.reset();

    EXPECT_EQ(escaped(result.output), escaped(test.output));
    EXPECT_EQ(result.exit_code, test.exit_code);
    EXPECT_TRUE(holds_exactly(scratch.path(), test.after));
    if (test.before_run || test.meanwhile) remove_with_links(scratch);
}

const std::string split_of_record_a =
    banner + report("in.mrg", 13) + created("A.sdf") + count(1) + deleting("data\\in.mrg");

// The merged file goes away, and a link to another directory takes its name.
std::shared_ptr<void> swap_in_directory_link(const std::filesystem::path& root) {
    std::filesystem::rename(root / "data/in.mrg", root / "data/moved.mrg");
    make_link(root / "data/in.mrg", "../other", SYMBOLIC_LINK_FLAG_DIRECTORY);
    return nullptr;
}

// A viewer or a backup agent: it reads the merged file and lets others delete it.
std::shared_ptr<void> hold_reader(const std::filesystem::path& root) {
    const HANDLE reader = CreateFileW((root / "data/in.mrg").c_str(), GENERIC_READ, share_all, nullptr, OPEN_EXISTING,
                                      0, nullptr);
    EXPECT_NE(reader, INVALID_HANDLE_VALUE);
    return std::shared_ptr<void>(reader, CloseHandle);
}

// The file read is deleted, never what its name leads to by then: on Windows
// through the run's handle. Wine reopens a handle by the name, finds the link,
// and the run puts everything back; the files of the link show below it.
PathCase directory_link_case() {
    PathCase test{.name = "directory_link_swapped_in_before_deletion", .arguments = {"data", "mrg"},
                  .before = {{"data/in.mrg", record_a}, {"other/keep.sdf", "kept\r\n"}}, .output = split_of_record_a,
                  .exit_code = 0,
                  .after = {{"data\\A.sdf", "x\r\n"}, {"other\\keep.sdf", "kept\r\n"}, {"work1d.tmp", "in.mrg\r\n"}},
                  .meanwhile = swap_in_directory_link};
    if (under_wine) {
        test.output += error("deleting", "data\\in.mrg");
        test.exit_code = 99;
        test.after = {{"data\\moved.mrg", record_a}, {"data\\in.mrg\\keep.sdf", "kept\r\n"},
                      {"other\\keep.sdf", "kept\r\n"}, {"work1d.tmp", "in.mrg\r\n"}};
    }
    return test;
}

// The lock file of the turn goes at the end of the run: never the file a
// link there leads to. Wine shows a link to a file as that file.
PathCase lock_link_case() {
    PathCase test{.name = "lock_file_linked_outside", .arguments = {"data", "mrg"},
                  .before = {{"data/in.mrg", record_a}, {"outside.txt", "mine\r\n"}},
                  .output = banner + error("opening", "data\\.vrtl_sdf.lock"), .exit_code = 99,
                  .after = {{"data\\in.mrg", record_a}, {"outside.txt", "mine\r\n"}},
                  .before_run = [](const std::filesystem::path& root) {
                      make_link(root / "data/.vrtl_sdf.lock", "../outside.txt", 0);
                  }};
    if (under_wine) test.after["data\\.vrtl_sdf.lock"] = "mine\r\n";
    return test;
}

enum class LinkKind { symbolic, hard };

// work1d.tmp as another name of keep.txt: the listing never reaches that
// file, however the link is made. Windows shows a symbolic link as no file,
// Wine as the file it leads to.
PathCase listing_link_case(const char* name, LinkKind kind) {
    PathCase test{.name = name, .arguments = {"data", "mrg"},
                  .before = {{"data/in.mrg", record_a}, {"keep.txt", "mine\r\n"}},
                  .output = banner + error("opening", "work1d.tmp"), .exit_code = 99,
                  .after = {{"data\\in.mrg", record_a}, {"keep.txt", "mine\r\n"}, {"work1d.tmp", "mine\r\n"}}};
    if (kind == LinkKind::hard) {
        test.before_run = [](const std::filesystem::path& root) {
            ASSERT_TRUE(CreateHardLinkW((root / "work1d.tmp").c_str(), (root / "keep.txt").c_str(), nullptr));
        };
    } else {
        test.before_run = [](const std::filesystem::path& root) { make_link(root / "work1d.tmp", "keep.txt", 0); };
        if (!under_wine) test.after.erase("work1d.tmp");
    }
    return test;
}

// The data folder reached through a link that leads elsewhere from a moment
// of the run on: mid-distribution, or once the merged file is checked for
// the last time. The run goes on in the folder it opened.
PathCase retargeted_case(const char* name, const char* paused_at) {
    PathCase test{.name = name, .arguments = {"via", "mrg"},
                  .before = {{"real/in.mrg", record_a + record_b}, {"other/keep.sdf", "kept\r\n"}},
                  .output = banner + report("in.mrg", 26) + created("A.sdf") + count(1) + created("B.sdf") + count(1) +
                            deleting("via\\in.mrg"),
                  .exit_code = 0,
                  .after = {{"real\\A.sdf", "x\r\n"}, {"real\\B.sdf", "y\r\n"}, {"other\\keep.sdf", "kept\r\n"},
                            {"work1d.tmp", "in.mrg\r\n"}},
                  .before_run = [](const std::filesystem::path& root) {
                      make_link(root / "via", "real", SYMBOLIC_LINK_FLAG_DIRECTORY);
                  },
                  .meanwhile = [](const std::filesystem::path& root) -> std::shared_ptr<void> {
                      relink(root / "via", "other", SYMBOLIC_LINK_FLAG_DIRECTORY);
                      return nullptr;
                  },
                  .paused_at = paused_at};
    // Wine shows a link to a folder as that folder.
    if (under_wine) test.after["via\\keep.sdf"] = "kept\r\n";
    return test;
}

// The journal's name made a link to a file outside while the run works: the
// run removes its journal only while the name is the journal, never through
// a link. Windows lets no one take the name of a file the run holds.
PathCase journal_relinked_case() {
    PathCase test{.name = "journal_made_a_link_while_the_run_works", .arguments = {"data", "mrg"},
                  .before = {{"data/in.mrg", record_a}, {"outside.txt", "mine\r\n"}},
                  .output = split_of_record_a, .exit_code = 0,
                  .after = {{"data\\A.sdf", "x\r\n"}, {"outside.txt", "mine\r\n"}, {"work1d.tmp", "in.mrg\r\n"}},
                  .meanwhile = [](const std::filesystem::path& root) -> std::shared_ptr<void> {
                      relink(root / "data/.vrtl_sdf.journal", "../outside.txt", 0);
                      return nullptr;
                  },
                  .paused_at = "appending"};
    if (under_wine) test.after["data\\.vrtl_sdf.journal"] = "mine\r\n";
    return test;
}

// A merged file named as a device: Wine gives no path of it at all, so that
// the run cannot see that no link leads to it, and refuses it.
PathCase device_named_case() {
    PathCase test{.name = "merged_file_named_as_a_device", .arguments = {"data", "mrg"}, .before = {{"data/.keep", ""}},
                  .output = banner + report("con.mrg", 13) + created("A.sdf") + count(1) + deleting("data\\con.mrg"),
                  .exit_code = 0,
                  .after = {{"data\\.keep", ""}, {"data\\A.sdf", "x\r\n"}, {"work1d.tmp", "con.mrg\r\n"}},
                  .before_run = [](const std::filesystem::path& root) { write_literally(root / "data/con.mrg", record_a); }};
    if (under_wine) {
        test.output = banner + report("con.mrg", 13) + error("opening", "data\\con.mrg");
        test.exit_code = 99;
        test.after = {{"data\\.keep", ""}, {"work1d.tmp", "con.mrg\r\n"}};
    }
    return test;
}

// A merged file that is a link to the day's file is refused, never split and
// removed while its target stays for the next run to split again.
PathCase merged_link_case() {
    PathCase test{.name = "merged_file_that_is_a_link", .arguments = {"data", "mrg"},
                  .before = {{"data/day.mrg", record_a}},
                  .output = banner + report("0-latest.mrg", 13) + error("opening", "data\\0-latest.mrg"),
                  .exit_code = 99,
                  .after = {{"data\\day.mrg", record_a}, {"work1d.tmp", "0-latest.mrg\r\nday.mrg\r\n"}},
                  .before_run = [](const std::filesystem::path& root) {
                      make_link(root / "data/0-latest.mrg", "day.mrg", 0);
                  }};
    if (under_wine) test.after["data\\0-latest.mrg"] = record_a;
    return test;
}

// Where a command interpreter would be looked for: it leaves planted.ran behind when it runs.
const std::string planted_program = read_file(PLANTED_PROGRAM).value_or("");

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
                 banner + error("opening", "data\" & echo X> pwned.txt & rem \"\\"), 99, {{"data\\in.mrg", record_a}}},
        PathCase{"ansi_letter_in_an_argument", {"data", "\u00e9rg"}, {{"data/in.\xe9rg", record_a}},
                 banner + report("in.\xe9rg", 13) + created("A.sdf") + count(1) + deleting("data\\in.\xe9rg"), 0,
                 {{"data\\A.sdf", "x\r\n"}, {"work1d.tmp", "in.\xe9rg\r\n"}}},
        // Look-alikes that best fit would turn into "racun", "data\..\out" and "mrg".
        PathCase{"look_alike_directory", {"ra\u010dun", "mrg"}, {{"racun/in.mrg", record_a}},
                 banner + error("opening", "ra?un"), 99, {{"racun\\in.mrg", record_a}}},
        PathCase{"fullwidth_backslash", {"data\uff3c..\uff3cout", "mrg"}, {{"out/in.mrg", record_a}},
                 banner + error("opening", "data?..?out"), 99, {{"out\\in.mrg", record_a}}},
        PathCase{"look_alike_extension", {"data", "mr\u011f"}, {{"data/in.mrg", record_a}},
                 banner + error("opening", "mr?"), 99, {{"data\\in.mrg", record_a}}},
        // The listing is what dir /b lists without a user's own switches.
        PathCase{.name = "dircmd_changes_nothing", .arguments = {"data", "mrg"},
                 .before = {{"data/a.mrg", record_a}, {"data/b.mrg", record_b}, {"data/.hidden.mrg", record_b}},
                 .output = banner + report("a.mrg", 13) + created("A.sdf") + count(1) + deleting("data\\a.mrg"),
                 .exit_code = 0,
                 .after = {{"data\\A.sdf", "x\r\n"}, {"data\\b.mrg", record_b}, {"data\\.hidden.mrg", record_b},
                           {"work1d.tmp", "a.mrg\r\nb.mrg\r\n"}},
                 .environment = {"DIRCMD=/a /s /o-n"},
                 .before_run = [](const std::filesystem::path& root) {
                     SetFileAttributesW((root / "data/.hidden.mrg").c_str(), FILE_ATTRIBUTE_HIDDEN);
                 }},
        PathCase{.name = "planted_interpreter_never_runs", .arguments = {"data", "mrg"},
                 .before = {{"data/in.mrg", record_a}, {"cmd.exe", planted_program}}, .output = split_of_record_a,
                 .exit_code = 0,
                 .after = {{"data\\A.sdf", "x\r\n"}, {"cmd.exe", planted_program}, {"work1d.tmp", "in.mrg\r\n"}},
                 .environment = {"COMSPEC=C:\\no\\such\\cmd.exe", "PATH="}},
        directory_link_case(),
        PathCase{.name = "reader_sharing_deletion", .arguments = {"data", "mrg"}, .before = {{"data/in.mrg", record_a}},
                 .output = split_of_record_a, .exit_code = 0,
                 .after = {{"data\\A.sdf", "x\r\n"}, {"work1d.tmp", "in.mrg\r\n"}}, .meanwhile = hold_reader},
        lock_link_case(),
        listing_link_case("listing_linked_elsewhere", LinkKind::symbolic),
        listing_link_case("listing_with_a_second_name", LinkKind::hard),
        // An SDF file is never taken for a merged file, in any letter case.
        PathCase{"sdf_file_is_never_a_merged_file", {"data", "SDF"}, {{"data/M.SDF", record_a}},
                 banner + report("M.SDF", 13) + error("opening", "data\\M.SDF"), 99,
                 {{"data\\M.SDF", record_a}, {"work1d.tmp", "M.SDF\r\n"}}},
        merged_link_case(),
        retargeted_case("data_folder_retargeted_while_records_are_written", "appending"),
        retargeted_case("data_folder_retargeted_at_the_deletion", "checked"),
        journal_relinked_case(),
        // The first 19 characters of a name listed first, which are all a run
        // reads back, name a hidden file: it is never taken.
        PathCase{.name = "hidden_file_behind_the_cut", .arguments = {"data", "mrg"},
                 .before = {{"data/abcdefghijklmno.mrgx.mrg", record_a}, {"data/abcdefghijklmno.mrg", record_b}},
                 .output = banner + report("abcdefghijklmno.mrg", 13) + error("opening", "data\\abcdefghijklmno.mrg"),
                 .exit_code = 99,
                 .after = {{"data\\abcdefghijklmno.mrgx.mrg", record_a}, {"data\\abcdefghijklmno.mrg", record_b},
                           {"work1d.tmp", "abcdefghijklmno.mrgx.mrg\r\n"}},
                 .before_run = [](const std::filesystem::path& root) {
                     SetFileAttributesW((root / "data/abcdefghijklmno.mrg").c_str(), FILE_ATTRIBUTE_HIDDEN);
                 }},
        // Its short (8.3) name ends in .MRG, its long name does not: never listed.
        PathCase{"listed_by_its_long_name_only", {"data", "mrg"}, {{"data/a.mrg_old", record_a}, {"data/b.mrg", record_b}},
                 banner + report("b.mrg", 13) + created("B.sdf") + count(1) + deleting("data\\b.mrg"), 0,
                 {{"data\\a.mrg_old", record_a}, {"data\\B.sdf", "y\r\n"}, {"work1d.tmp", "b.mrg\r\n"}}},
        // The file listed is the file opened, though the Win32 path functions
        // would take its name for a device, or for one without its trailing dot.
        device_named_case(),
        PathCase{.name = "merged_file_with_a_trailing_dot", .arguments = {"data", "*"}, .before = {{"data/.keep", ""}},
                 .output = banner + report("in.mrg.", 13) + created("A.sdf") + count(1) + deleting("data\\in.mrg."),
                 .exit_code = 0,
                 .after = {{"data\\.keep", ""}, {"data\\A.sdf", "x\r\n"}, {"work1d.tmp", "in.mrg.\r\n"}},
                 .before_run = [](const std::filesystem::path& root) { write_literally(root / "data/in.mrg.", record_a); }},
        // Nothing is ever made through a link, so no file lands outside the folder.
        PathCase{.name = "sdf_file_linked_to_nothing_outside", .arguments = {"data", "mrg"},
                 .before = {{"data/in.mrg", "S       01r\r\n"}, {"outside/keep", "kept\r\n"}},
                 .output = banner + report("in.mrg", 13) + created("S.sdf") + error("opening", "S.sdf"), .exit_code = 99,
                 .after = {{"data\\in.mrg", "S       01r\r\n"}, {"outside\\keep", "kept\r\n"}, {"work1d.tmp", "in.mrg\r\n"}},
                 .before_run = [](const std::filesystem::path& root) {
                     make_link(root / "data/S.sdf", "../outside/S.sdf", 0);
                 }},
        PathCase{.name = "listing_linked_to_nothing_outside", .arguments = {"data", "mrg"},
                 .before = {{"data/in.mrg", record_a}, {"outside/keep", "kept\r\n"}},
                 .output = banner + error("opening", "work1d.tmp"), .exit_code = 99,
                 .after = {{"data\\in.mrg", record_a}, {"outside\\keep", "kept\r\n"}},
                 .before_run = [](const std::filesystem::path& root) {
                     make_link(root / "work1d.tmp", "outside/list.txt", 0);
                 }},
        // A journal with a second name is no file this command could have written.
        PathCase{.name = "journal_with_a_second_name", .arguments = {"data", "mrg"},
                 .before = {{"data/in.mrg", record_a}, {"data/.vrtl_sdf.journal", "vrtl_sdf journal 2\n"}},
                 .output = banner + error("opening", "data\\.vrtl_sdf.journal"), .exit_code = 99,
                 .after = {{"data\\in.mrg", record_a}, {"data\\.vrtl_sdf.journal", "vrtl_sdf journal 2\n"},
                           {"other", "vrtl_sdf journal 2\n"}},
                 .before_run = [](const std::filesystem::path& root) {
                     ASSERT_TRUE(CreateHardLinkW((root / "other").c_str(), (root / "data/.vrtl_sdf.journal").c_str(),
                                                 nullptr));
                 }}),
    [](const testing::TestParamInfo<PathCase>& info) { return std::string(info.param.name); });

// A producer still writing the merged file would lose what it writes after
// the run read past it; the file is left for a run after the producer is done.
TEST(Command, MergedFileOpenForWritingIsNotTaken) {
    ScratchDir scratch;
    std::filesystem::create_directory(scratch.path() / "data");
    const std::string merged = scratch / "data/in.mrg";
    write_file(merged, record_a);
    const HANDLE producer = CreateFileA(merged.c_str(), GENERIC_WRITE, share_all, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(producer, INVALID_HANDLE_VALUE);

    const Result result = run_command({.arguments = {"data", "mrg"}, .working_directory = scratch.path()});

    CloseHandle(producer);
    EXPECT_EQ(escaped(result.output),
              escaped(banner + report("in.mrg", 0) + error("opening", path_in("data", "in.mrg"))));
    EXPECT_EQ(result.exit_code, 99);
    EXPECT_TRUE(holds_exactly(scratch.path() / "data", {{"in.mrg", record_a}}));
}

// A run killed while it deletes the merged file leaves nothing running, and
// the next run finds the work done: every record once.
TEST(Command, RunKilledWhileDeletingLeavesNothingBehind) {
    ScratchDir scratch;
    std::filesystem::create_directory(scratch.path() / "data");
    write_files(scratch.path() / "data", {{"in.mrg", record_a + record_b}, {"A.sdf", "old\r\n"}});
    const Pause pause("deleting");
    const StartedCommand killed = start_command(
        {.arguments = {"data", "mrg"}, .working_directory = scratch.path(), .environment = {pause.setting()}});
    ASSERT_TRUE(pause.reached());

    kill_command(killed);
    EXPECT_EQ(programs_started_by(process_id(killed)), 0);
    wait_for_command(killed);
    const Result rerun = run_command({.arguments = {"data", "mrg"}, .working_directory = scratch.path()});

    EXPECT_EQ(escaped(rerun.output), escaped(banner));
    EXPECT_EQ(rerun.exit_code, 0);
    EXPECT_TRUE(holds_exactly(scratch.path() / "data", {{"A.sdf", "old\r\nx\r\n"}, {"B.sdf", "y\r\n"}}));
}

// A journal that others may write is no file of the run's own, though a run
// made it: it is refused, and nothing is put back as it says.
TEST(Command, JournalThatOthersMayWriteIsRefused) {
    ScratchDir scratch;
    std::filesystem::create_directory(scratch.path() / "data");
    write_files(scratch.path() / "data", {{"in.mrg", record_a}});
    const Pause pause("appending");
    const StartedCommand killed = start_command(
        {.arguments = {"data", "mrg"}, .working_directory = scratch.path(), .environment = {pause.setting()}});
    ASSERT_TRUE(pause.reached());
    kill_command(killed);
    wait_for_command(killed);
    const std::filesystem::path journal = scratch.path() / "data/.vrtl_sdf.journal";
    PSECURITY_DESCRIPTOR everyone = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA("D:(A;;FA;;;WD)", SDDL_REVISION_1, &everyone, nullptr));
    BOOL listed = FALSE, defaulted = FALSE;
    PACL writers = nullptr;
    GetSecurityDescriptorDacl(everyone, &listed, &writers, &defaulted);
    ASSERT_EQ(SetNamedSecurityInfoW(const_cast<wchar_t*>(journal.c_str()), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                    nullptr, nullptr, writers, nullptr), ERROR_SUCCESS);
    LocalFree(everyone);
    const std::string journaled = read_file(journal.string()).value_or("");

    const Result rerun = run_command({.arguments = {"data", "mrg"}, .working_directory = scratch.path()});

    EXPECT_EQ(escaped(rerun.output), escaped(banner + error("opening", path_in("data", ".vrtl_sdf.journal"))));
    EXPECT_EQ(rerun.exit_code, 99);
    EXPECT_TRUE(holds_exactly(scratch.path() / "data", {{"in.mrg", record_a}, {"A.sdf", ""}, {".vrtl_sdf.journal", journaled}}));
}

}  // namespace
