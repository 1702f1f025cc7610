// Runs of the command started together, as one table: concurrency_test.cpp
// holds the test and the rows that every platform poses, and each platform's
// command tests add the rows that only it can pose.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "large_merged.h"

namespace testing_support {

struct Placed {
    std::string path;  // below the working directory
    MergedLayout layout;
};

struct AtOnceCase {
    const char* name;
    std::vector<Placed> merged;
    std::vector<std::vector<std::string>> runs;  // the arguments of each run, all started together
    std::vector<std::string> fault{};  // for the injector, in every run: a race made wide
    // An SDF file that directories share, below the working directory: it
    // exists empty, and each link names it in a directory of the runs.
    struct Shared {
        std::string file;
        std::vector<std::string> links;
        bool hard_links = false;  // names of the file itself, it among them
    };
    std::optional<Shared> shared{};
    // Done once every run but the last has started, before the last starts.
    std::function<void(const std::filesystem::path& scratch)> before_the_last_run{};
};

inline void PrintTo(const AtOnceCase& test, std::ostream* out) { *out << test.name; }

class RunsAtOnceTest : public testing::TestWithParam<AtOnceCase> {};

inline std::string at_once_case_name(const testing::TestParamInfo<AtOnceCase>& info) { return info.param.name; }

// Long enough that runs started together overlap.
inline MergedLayout racing(std::uint64_t seed, std::int64_t lines = 30000) {
    return {.names = {"NORTH", "SOUTH", "EAST"}, .lines = lines, .lines_per_run = lines / 10, .seed = seed};
}

}  // namespace testing_support
