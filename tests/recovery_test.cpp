// Recovery after a crash, in process: the directory as a run left it when it
// died, its journal written as that run wrote it, then what happened before
// the next run; recovery must put back exactly what it can show to be the
// distribution's, and otherwise change nothing.
#include <filesystem>
#include <functional>

#include <gtest/gtest.h>

#include "distribute/exactly_once.h"
#include "distribute/journal.h"
#include "distribute/recovery.h"
#include "distribute_support.h"
#include "test_platform.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

const std::string merged = line("A", "a1") + line("B", "b1") + line("A", "a2");
const Files before_the_run = {{"in.mrg", merged}, {"B.sdf", "old\r\n"}};
const Files all_written = {{"in.mrg", merged}, {"A.sdf", "a1\r\na2\r\n"}, {"B.sdf", "old\r\nb1\r\n"}};

struct RecoveryCase {
    const char* name;
    Files crashed;  // what the crashed run had written, over the files before it; those it made, it journaled
    std::function<void(const fs::path&)> meanwhile = {};  // what changed after the crash
    std::optional<std::string> refused = {};  // the SDF file named when recovery keeps the journal
    std::optional<Files> after = {};  // the files after recovery; nothing: as before the run
    bool removal_begun = false;       // the crash came after the journal was marked finished
    Files first_opened = {};          // files another program wrote to between the journal and the run's first open
};

void PrintTo(const RecoveryCase& test, std::ostream* out) { *out << test.name; }

class RecoveryTest : public testing::TestWithParam<RecoveryCase> {};

const std::string journal_file(journal_name);

void edit_journal(const fs::path& directory, const std::function<void(std::string&)>& edit) {
    std::string text = *read_file((directory / journal_file).string());
    edit(text);
    write_file((directory / journal_file).string(), text);
}

Files with_merged(Files files, const std::string& bytes) {
    files["in.mrg"] = bytes;
    return files;
}

void deliver_again(const fs::path& directory, const std::string& bytes) {
    write_file((directory / "in.mrg.new").string(), bytes);
    fs::rename(directory / "in.mrg.new", directory / "in.mrg");
}

TEST_P(RecoveryTest, PutsBackOnlyWhatItShows) {
    const RecoveryCase& test = GetParam();
    ScratchDir scratch;
    write_files(scratch.path(), before_the_run);
    const std::optional<platform::Directory> directory = platform::open_directory(path_in(scratch.path().string(), ""));
    ASSERT_TRUE(directory);
    const std::optional<platform::FileStatus> claimed = platform::status_in(*directory, "in.mrg");
    std::optional<Journal> journal = claimed ? write_journal(*directory, "in.mrg", *claimed, {{"B.sdf\0", 6}}) : std::nullopt;
    ASSERT_TRUE(journal);
    for (const auto& [name, bytes] : test.crashed) {
        if (!name.ends_with(".sdf")) continue;
        const bool made = !before_the_run.contains(name);
        if (made || test.first_opened.contains(name)) write_file((scratch.path() / name).string(), made ? "" : test.first_opened.at(name));
        ASSERT_TRUE(record_first_open(*journal, *platform::status_in(*directory, name), name, made));
    }
    if (test.removal_begun) {
        ASSERT_TRUE(mark_finished(*journal, *claimed));
    }
    journal.reset();  // the crash lets it go
    write_files(scratch.path(), test.crashed);
    if (test.meanwhile) test.meanwhile(scratch.path());
    Files left = files_in(scratch.path());
    left.erase(journal_file);

    const std::optional<Failure> failure = recover_interrupted_run(*directory, {});

    EXPECT_EQ(failure ? failure->subject : "none", test.refused.value_or("none"));
    EXPECT_EQ(fs::exists(scratch.path() / journal_file), test.refused.has_value()) << "the journal stays only when refused";
    fs::remove(scratch.path() / journal_file);
    EXPECT_TRUE(holds_exactly(scratch.path(), test.refused ? left : test.after.value_or(before_the_run)));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RecoveryTest,
    testing::Values(
        RecoveryCase{"torn_last_record_is_put_back", {{"A.sdf", "a1\r\n"}, {"B.sdf", "old\r\nb"}}},
        RecoveryCase{"foreign_bytes_past_a_recorded_length", {{"A.sdf", "a1\r\n"}, {"B.sdf", "old\r\nzz\r\n"}}, {},
                     "B.sdf"},
        RecoveryCase{"sdf_file_cut_below_its_recorded_length", {{"B.sdf", "ol"}}, {}, "B.sdf"},
        // The crash came before the run opened A.sdf, which another program made since.
        RecoveryCase{"sdf_file_the_run_never_wrote", {},
                     [](const fs::path& d) { write_file((d / "A.sdf").string(), "theirs\r\n"); }, std::nullopt,
                     Files{{"in.mrg", merged}, {"B.sdf", "old\r\n"}, {"A.sdf", "theirs\r\n"}}},
        // Removed, and a new delivery at its name on the index it freed: the
        // records written stay, the delivery is left whole.
        RecoveryCase{"new_delivery_after_the_removal_began", all_written,
                     [](const fs::path& d) { write_file((d / "in.mrg").string(), line("A", "next")); }, std::nullopt,
                     with_merged(all_written, line("A", "next")), true},
        // Put back to where the run found it, not to where the journal began.
        RecoveryCase{.name = "sdf_file_written_by_another_before_the_first_open",
                     .crashed = {{"B.sdf", "old\r\nzz\r\nb"}},
                     .after = Files{{"in.mrg", merged}, {"B.sdf", "old\r\nzz\r\n"}},
                     .first_opened = {{"B.sdf", "old\r\nzz\r\n"}}},
        RecoveryCase{"bytes_past_what_the_distribution_writes", {{"A.sdf", "a1\r\na2\r\nmore\r\n"}, {"B.sdf", "old\r\nb1\r\n"}},
                     {}, "A.sdf"},
        RecoveryCase{"merged_file_changed_in_place", {{"A.sdf", "a1\r\n"}},
                     [](const fs::path& d) { write_file((d / "in.mrg").string(), line("A", "zz") + line("B", "b1")); },
                     "A.sdf"},
        // A copy of the same bytes renamed into place is distributed again whole, once.
        RecoveryCase{"redelivered_copy", all_written, [](const fs::path& d) { deliver_again(d, merged); }},
        // A delivery renamed onto the merged file's name in the moment before
        // it moved aside: the records written are the only copy, and stay.
        RecoveryCase{"another_file_at_the_aside_name", all_written,
                     [](const fs::path& d) {
                         fs::remove(d / "in.mrg");
                         write_file((d / std::string(aside_name)).string(), line("OTHER", "o1"));
                     },
                     std::nullopt,
                     Files{{"in.mrg", line("OTHER", "o1")}, {"A.sdf", "a1\r\na2\r\n"}, {"B.sdf", "old\r\nb1\r\n"}}},
        // A journal whose writing did not finish: no SDF file was touched after it.
        RecoveryCase{"empty_journal", {}, [](const fs::path& d) { edit_journal(d, [](std::string& j) { j.clear(); }); }},
        RecoveryCase{"journal_cut_short", {},
                     [](const fs::path& d) { edit_journal(d, [](std::string& j) { j.resize(j.rfind("end")); }); }},
        // Trusted, the journal would say B.sdf held 4 bytes, and the fifth is none of the distribution's.
        RecoveryCase{"journal_with_a_wrong_checksum", {},
                     [](const fs::path& d) {
                         edit_journal(d, [](std::string& j) { j.replace(j.find(" 5 5 B.sdf"), 10, " 4 5 B.sdf"); });
                     }}),
    [](const testing::TestParamInfo<RecoveryCase>& info) { return std::string(info.param.name); });

}  // namespace
