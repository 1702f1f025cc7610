// A merged file of more than 4 GiB: its true length is reported and every
// record is split. Slow and hungry for disk (about 9 GB while it runs), so it
// carries the label "slow" and runs only when asked for.
#include <gtest/gtest.h>

#include "build_kind.h"
#include "console_texts.h"
#include "large_merged.h"
#include "run_binary.h"
#include "support.h"

namespace {

using namespace testing_support;
namespace fs = std::filesystem;

// 4.25 GiB: longer than any 32-bit count, signed or not.
const MergedLayout beyond_four_gib{
    .names = {"EAST", "WEST", "NORTH"}, .lines = 40751000, .lines_per_run = 9000000, .record_length = 100};

TEST(Slow, MergedFileBeyondFourGibibytes) {
    ASSERT_GT(merged_length(beyond_four_gib), std::int64_t{1} << 32);
    ScratchDir scratch;
    const fs::path data = scratch.path() / "data";
    fs::create_directory(data);
    if (!has_room_for_split(data, beyond_four_gib)) GTEST_SKIP() << "the file system lacks room for the merged file and its SDF files";
    write_merged_file(data / "in.mrg", beyond_four_gib);
    ASSERT_EQ(static_cast<std::int64_t>(fs::file_size(data / "in.mrg")), merged_length(beyond_four_gib));

    const Result result = run_command({.arguments = {"data", "mrg"}, .working_directory = scratch.path(),
                                       .time_allowed = std::chrono::minutes(30)});

    EXPECT_EQ(escaped(result.output),
              escaped(banner + report("in.mrg", merged_length(beyond_four_gib)) + console_of_runs(beyond_four_gib) +
                      deleting("data/in.mrg")));
    EXPECT_EQ(result.exit_code, 0);
    if (!sanitized_build) {
        EXPECT_LT(result.peak_resident_kib, 16 * 1024);
    }
    RecordProperty("peak_resident_kib", static_cast<int>(result.peak_resident_kib));
    EXPECT_FALSE(fs::exists(data / "in.mrg"));
    EXPECT_EQ(split_difference(data, beyond_four_gib, Expected::whole), "");
}

}  // namespace
