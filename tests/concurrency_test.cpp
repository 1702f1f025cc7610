// Runs started together, on every platform: each run ends with 0, and every
// record is in its SDF file exactly once.
#include <algorithm>

#include <gtest/gtest.h>

#include "run_binary.h"
#include "runs_at_once.h"
#include "support.h"

namespace {

using namespace testing_support;
namespace fs = std::filesystem;

// The SDF files that a split of merged alone, into an empty directory, makes.
Files split_alone(const std::string& merged) {
    ScratchDir scratch;
    fs::create_directory(scratch.path() / "data");
    write_file(scratch / "data/in.mrg", merged);
    EXPECT_EQ(run_command({.arguments = {"data", "mrg"}, .working_directory = scratch.path(),
                           .output_file = scratch / "out"}).exit_code, 0);
    return files_in(scratch.path() / "data");
}

// Whether text is made of the lines of every part, each part's lines in
// their order, none torn, none twice: runs of different directories take
// turns on a shared SDF file, so theirs may alternate.
testing::AssertionResult interleaves(const std::string& text, const std::vector<std::string>& parts) {
    std::vector<std::size_t> next(parts.size(), 0);
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = text.find('\n', at) + 1;
        const std::string_view line(text.data() + at, end - at);
        std::size_t part = 0;
        while (part < parts.size() && std::string_view(parts[part]).substr(next[part], line.size()) != line) ++part;
        if (end == 0 || part == parts.size()) return testing::AssertionFailure() << "no part goes on with " << escaped(line);
        next[part] += line.size();
        at = end;
    }
    for (std::size_t part = 0; part < parts.size(); ++part) {
        if (next[part] != parts[part].size()) return testing::AssertionFailure() << "part " << part << " is not whole";
    }
    return testing::AssertionSuccess();
}

// Runs take turns: each SDF file holds the split of each merged file of its
// directory whole, one after the other, in the order the runs took turns.
TEST_P(RunsAtOnceTest, EveryRecordLandsOnceAndEveryRunEndsWithZero) {
    const AtOnceCase& test = GetParam();
    ScratchDir scratch;
    std::map<fs::path, std::vector<Files>> splits;  // by directory, of each merged file there
    for (const Placed& placed : test.merged) {
        const fs::path path = scratch.path() / placed.path;
        fs::create_directories(path.parent_path());
        write_merged_file(path.string(), placed.layout);
        splits[path.parent_path()].push_back(split_alone(*read_file(path.string())));
    }
    std::vector<std::string> shared_parts;  // what each merged file writes to the shared file
    if (test.shared) {
        fs::create_directories((scratch.path() / test.shared->file).parent_path());
        write_file(scratch / test.shared->file, "");
        for (const fs::path link : test.shared->links) {
            const fs::path file = scratch.path() / test.shared->file;
            if (test.shared->hard_links && file != scratch.path() / link) fs::create_hard_link(file, scratch.path() / link);
            if (!test.shared->hard_links && !test.before_the_last_run) {
                fs::create_symlink(fs::relative(file, (scratch.path() / link).parent_path()), scratch.path() / link);
            }
            for (Files& split : splits[(scratch.path() / link).parent_path()]) {
                shared_parts.push_back(split[link.filename().string()]);
                split.erase(link.filename().string());
            }
        }
    }

    std::vector<StartedCommand> started;
    for (std::size_t i = 0; i < test.runs.size(); ++i) {
        if (i + 1 == test.runs.size() && test.before_the_last_run) test.before_the_last_run(scratch.path());
        started.push_back(start_command({.arguments = test.runs[i],
                                         .working_directory = scratch.path(),
                                         .output_file = scratch / ("out" + std::to_string(i)),
                                         .environment = test.fault}));
    }
    for (std::size_t i = 0; i < started.size(); ++i) {
        EXPECT_EQ(wait_for_command(started[i]).exit_code, 0) << escaped(*read_file(scratch / ("out" + std::to_string(i))));
    }

    for (auto& [directory, of_each] : splits) {
        Files found = files_in(directory);
        for (const fs::path link : test.shared ? test.shared->links : std::vector<std::string>{}) {
            if (scratch.path() / link.parent_path() == directory) found.erase(link.filename().string());
        }
        std::sort(of_each.begin(), of_each.end());
        bool one_order_fits = false;
        do {
            Files expected;
            for (const Files& split : of_each) {
                for (const auto& [name, bytes] : split) expected[name] += bytes;
            }
            one_order_fits = one_order_fits || found == expected;
        } while (std::next_permutation(of_each.begin(), of_each.end()));
        EXPECT_TRUE(one_order_fits) << directory << " holds other than the splits, whole and in some order";
    }
    if (test.shared) {
        EXPECT_TRUE(interleaves(*read_file(scratch / test.shared->file), shared_parts));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RunsAtOnceTest,
    testing::Values(AtOnceCase{"two_runs_on_one_merged_file", {{"data/in.mrg", racing(1)}}, {{"data", "mrg"}, {"data", "mrg"}}},
                    AtOnceCase{"different_extensions_on_one_sdf_file",
                               {{"data/in.mrg", racing(2)}, {"data/in.xyz", racing(3)}},
                               {{"data", "mrg"}, {"data", "xyz"}}},
                    AtOnceCase{"four_runs_on_two_merged_files",
                               {{"data/a.mrg", racing(4)}, {"data/b.mrg", racing(5)}},
                               {{"data", "mrg"}, {"data", "mrg"}, {"data", "mrg"}, {"data", "mrg"}}}),
    at_once_case_name);

}  // namespace
