// Wildcard patterns as Windows matches long file names, tested on every host.
#include <tuple>

#include <gtest/gtest.h>

#include "platform/wildcard_pattern.h"

namespace {

// A listed name is taken only when its long name matches: never by a short
// name ("X~1.MRG" for "x.mrgx"), never when cut short. Windows translates a
// pattern before it matches (FindFirstFile): "*" before a dot, and in "*.",
// stops at the name's final dot; "?" matches one character or none before a
// dot or the end; a dot before a wildcard also matches a name's end; "*.*",
// with or without a trailing dot, matches every name. So "dir *." lists the
// names without an extension, and "*.???" those with at most three letters.
TEST(WildcardPattern, ListedNamesMatchAsLongNamesDo) {
    const std::vector<std::tuple<std::string, std::string, bool>> cases = {
        {"in.mrg", "*.mrg", true},       {"IN.Mrg", "*.mRG", true},      {"a.b.mrg", "*.mrg", true},
        {"in.mrg", "*.m?g", true},       {"a.mr", "*.mr?", true},        {"readme", "*.", true},
        {"x.mrgx", "*.mrg", false},      {"exchange.mrg_old", "*.mrg", false},
        {"export-2026-12-08-0", "*.mrg", false}, {"in.mrg", "*.m?", false},
        {"notes.docx", "*.", false},     {"a.b", "*.", false},           {"notes.docx", "*.?", false},
        {"a.b", "*.?", true},            {"a", "*.?", true},             {"notes.docx", "*.???", false},
        {"a.doc", "*.???", true},        {"a.do", "*.???", true},        {"notes.docx", "*..", false},
        {"a.", "*..", true},             {"notes.docx", "*.*", true},    {"notes.docx", "*.*.", true},
        {".hidden", "*.", false},
    };
    for (const auto& [name, pattern, matches] : cases) {
        EXPECT_EQ(platform::matches_wildcard_pattern(name, pattern), matches) << name << " against " << pattern;
    }
}

}  // namespace
