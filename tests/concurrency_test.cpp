// Runs that overlap or die: two runs started together on one directory, and
// runs killed at random moments. Whatever happens, every record of the merged
// file ends up in its SDF file exactly once, or the merged file is still there
// as it was.
#include <chrono>
#include <cstdlib>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "build_kind.h"
#include "console_texts.h"
#include "large_merged.h"
#include "run_binary.h"
#include "support.h"

namespace {

using namespace testing_support;
namespace fs = std::filesystem;

// A split of the directory "data" in scratch, its console going to the file output there.
Invocation split_in(const ScratchDir& scratch, const char* output) {
    return {.arguments = {"data", "mrg"}, .working_directory = scratch.path(), .output_file = scratch / output};
}

// Long enough that two runs started together overlap.
const MergedLayout racing_layout{.names = {"NORTH", "SOUTH", "EAST"}, .lines = 40000, .lines_per_run = 4000};

TEST(Concurrency, RunsStartedTogetherDistributeEachMergedFileOnce) {
    ScratchDir source;
    write_merged_file(source / "in.mrg", racing_layout);
    constexpr int pairs = 6;
    for (int pair = 0; pair < pairs; ++pair) {
        SCOPED_TRACE("pair " + std::to_string(pair));
        ScratchDir scratch;
        const fs::path data = scratch.path() / "data";
        fs::create_directory(data);
        fs::copy_file(source / "in.mrg", data / "in.mrg");

        const StartedCommand first = start_command(split_in(scratch, "first.out"));
        const StartedCommand second = start_command(split_in(scratch, "second.out"));
        const int exit_codes[] = {wait_for_command(first).exit_code, wait_for_command(second).exit_code};

        for (const auto& [exit_code, output] : {std::pair{exit_codes[0], scratch / "first.out"},
                                                std::pair{exit_codes[1], scratch / "second.out"}}) {
            // The loser finds the file locked or gone, or, as the runs share
            // work1d.tmp, finds nothing listed at all.
            const std::string shown = read_file(output).value_or("");
            if (exit_code == 99) {
                EXPECT_NE(shown.find("\r\nERROR opening : "), std::string::npos) << escaped(shown);
            } else {
                EXPECT_EQ(exit_code, 0) << escaped(shown);
            }
        }
        // Both may have lost the race for the listing; a run alone finishes the work.
        if (fs::exists(data / "in.mrg")) {
            EXPECT_EQ(run_command(split_in(scratch, "third.out")).exit_code, 0);
        }
        EXPECT_FALSE(fs::exists(data / "in.mrg"));
        EXPECT_EQ(split_difference(data, racing_layout, Expected::whole), "");
    }
}

// Seeded from VRTL_SDF_TEST_SEED when it is set, so that a failure can be repeated.
std::uint64_t test_seed() {
    if (const char* seed = std::getenv("VRTL_SDF_TEST_SEED")) return std::strtoull(seed, nullptr, 10);
    return std::random_device{}();
}

// Tens of megabytes, in runs that append to the same SDF files again; a
// quarter of that under the much slower sanitizers.
const std::int64_t killed_lines = sanitized_build ? 50000 : 200000;
const MergedLayout killed_layout{
    .names = {"ALPHA", "BETA", "GAMMA", "DELTA"}, .lines = killed_lines, .lines_per_run = killed_lines / 16};

TEST(Concurrency, RunKilledAtAnyMomentLosesNothing) {
    const std::uint64_t seed = test_seed();
    SCOPED_TRACE("seed " + std::to_string(seed) + " (VRTL_SDF_TEST_SEED repeats it)");
    std::mt19937_64 random(seed);

    ScratchDir source;
    write_merged_file(source / "in.mrg", killed_layout);
    const std::string merged = *read_file(source / "in.mrg");

    // A run left alone tells how long a whole run takes.
    std::chrono::steady_clock::duration whole_run;
    {
        ScratchDir scratch;
        fs::create_directory(scratch.path() / "data");
        fs::copy_file(source / "in.mrg", scratch.path() / "data/in.mrg");
        const auto start = std::chrono::steady_clock::now();
        const int exit_code = run_command(split_in(scratch, "out")).exit_code;
        whole_run = std::chrono::steady_clock::now() - start;
        ASSERT_EQ(exit_code, 0);
        EXPECT_EQ(escaped(*read_file(scratch / "out")),
                  escaped(banner + report("in.mrg", merged_length(killed_layout)) + console_of_runs(killed_layout) +
                          deleting("data/in.mrg")));
        EXPECT_EQ(split_difference(scratch.path() / "data", killed_layout, Expected::whole), "");
    }

    // Some kills land after the end, so that the last steps are struck too.
    const int trials = sanitized_build ? 10 : 30;
    std::uniform_int_distribution<std::int64_t> moment(0, whole_run.count() * 3 / 2);
    int merged_kept = 0;
    for (int trial = 0; trial < trials; ++trial) {
        const auto delay = std::chrono::steady_clock::duration(moment(random));
        SCOPED_TRACE("trial " + std::to_string(trial) + ", killed after " +
                     std::to_string(std::chrono::duration_cast<std::chrono::microseconds>(delay).count()) + " us");
        ScratchDir scratch;
        const fs::path data = scratch.path() / "data";
        fs::create_directory(data);
        fs::copy_file(source / "in.mrg", data / "in.mrg");

        const StartedCommand command = start_command(split_in(scratch, "out"));
        std::this_thread::sleep_for(delay);
        kill_command(command);
        wait_for_command(command);

        if (fs::exists(data / "in.mrg")) {
            ++merged_kept;
            EXPECT_TRUE(read_file(data / "in.mrg") == merged) << "the merged file was changed";
            EXPECT_EQ(split_difference(data, killed_layout, Expected::prefix), "");
        } else {
            EXPECT_EQ(split_difference(data, killed_layout, Expected::whole), "");
        }
        if (HasFailure()) break;
    }
    RecordProperty("trials_with_the_merged_file_kept", merged_kept);
    RecordProperty("whole_run_us", static_cast<int>(std::chrono::duration_cast<std::chrono::microseconds>(whole_run).count()));
}

}  // namespace
