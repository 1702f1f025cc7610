// The command lines handed to the Windows command interpreter, and where it is looked for.
#include <tuple>

#include <gtest/gtest.h>

#include "platform/command_interpreter.h"

namespace {

TEST(CommandLines, QuotePathsAndPattern) {
    EXPECT_EQ(platform::listing_command("my data\\", "mrg", "work1d.tmp"), "dir \"my data\\*.mrg\" /b > work1d.tmp");
    EXPECT_EQ(platform::deletion_command("my data\\in.mrg"), "del \"my data\\in.mrg\" > nul");
    EXPECT_EQ(platform::interpreter_command_line("C:\\windows\\system32\\cmd.exe", "del \"x\" > nul"),
              "C:\\windows\\system32\\cmd.exe /D /V:OFF /U /c del \"x\" > nul");
}

// Whatever the interpreter would read otherwise than as it stands goes to the file API instead.
TEST(CommandLines, PathsTakenLiterallyHoldNothingTheInterpreterExpands) {
    const std::vector<std::pair<std::string, bool>> cases = {
        {"my data & more (1)^\\*.m?g", true}, {"a%X%.mrg", false},   {"a!X!.mrg", false},
        {"data\" & echo x", false},             {"data\nx", false},
    };
    for (const auto& [text, literal] : cases) EXPECT_EQ(platform::taken_literally(text), literal) << text;
}

// A listed name is taken only when its long name matches: never by a short
// name ("X~1.MRG" for "x.mrgx"), never when cut short.
TEST(CommandLines, ListedNamesMatchAsDirMatchesLongNames) {
    const std::vector<std::tuple<std::string, std::string, bool>> cases = {
        {"in.mrg", "*.mrg", true},       {"IN.Mrg", "*.mRG", true},      {"a.b.mrg", "*.mrg", true},
        {"in.mrg", "*.m?g", true},       {"a.mr", "*.mr?", true},        {"readme", "*.", true},
        {"x.mrgx", "*.mrg", false},      {"exchange.mrg_old", "*.mrg", false},
        {"export-2026-12-08-0", "*.mrg", false}, {"in.mrg", "*.m?", false},
    };
    for (const auto& [name, pattern, matches] : cases) {
        EXPECT_EQ(platform::matches_like_dir(name, pattern), matches) << name << " against " << pattern;
    }
}

struct CandidatesCase {
    const char* name;
    std::optional<std::string> comspec;
    std::string path_list;
    std::vector<std::string> candidates;
};

TEST(InterpreterCandidates, ComspecFirstThenCurrentDirectoryThenPath) {
    const std::vector<CandidatesCase> cases = {
        {"comspec_and_path", "C:\\sys\\cmd.exe", "C:\\a;C:\\b\\", {"C:\\sys\\cmd.exe", "cmd.exe", "C:\\a\\cmd.exe", "C:\\b\\cmd.exe"}},
        {"no_comspec", std::nullopt, "C:\\a", {"cmd.exe", "C:\\a\\cmd.exe"}},
        {"empty_comspec", "", "", {"cmd.exe"}},
        {"empty_and_quoted_entries", std::nullopt, ";\"C:\\with blank\";;C:/x/", {"cmd.exe", "C:\\with blank\\cmd.exe", "C:/x/cmd.exe"}},
    };
    for (const CandidatesCase& test : cases) {
        EXPECT_EQ(platform::interpreter_candidates(test.comspec, test.path_list), test.candidates) << test.name;
    }
}

}  // namespace
