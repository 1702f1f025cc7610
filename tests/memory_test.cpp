// The command's memory stays bounded, however long a line or a file is.
//
// The peak is the child's maximum resident set as wait4 reports it. That
// figure includes the test process as it was when it forked, so the tests
// make their large files in pieces and hold nothing large at the fork.
#include <fstream>

#include <gtest/gtest.h>

#include "build_kind.h"
#include "console_texts.h"
#include "large_merged.h"
#include "run_binary.h"
#include "support.h"

namespace {

using namespace testing_support;
namespace fs = std::filesystem;

constexpr long memory_allowed_kib = 16 * 1024;

#define SKIP_WHEN_SANITIZED()                                                                      \
    if (sanitized_build) GTEST_SKIP() << "a sanitizer's shadow memory says nothing of the command's own"

constexpr std::size_t megabyte = 1 << 20;
constexpr std::size_t record_megabytes = 64;

// The bytes of the long record, one megabyte at a time.
std::string long_record_piece(std::size_t index) { return std::string(megabyte, static_cast<char>('a' + index % 26)); }

TEST(Memory, RecordOfSixtyFourMegabytesInOneLine) {
    SKIP_WHEN_SANITIZED();
    ScratchDir scratch;
    const fs::path data = scratch.path() / "data";
    fs::create_directory(data);
    {
        std::ofstream merged(data / "in.mrg", std::ios::binary);
        merged << "A       01";
        for (std::size_t i = 0; i < record_megabytes; ++i) merged << long_record_piece(i);
        merged << "\r\nB       01b\r\n";
    }
    const long long merged_size = static_cast<long long>(fs::file_size(data / "in.mrg"));

    const Result result = run_command({.arguments = {"data", "mrg"}, .working_directory = scratch.path()});

    EXPECT_EQ(escaped(result.output), escaped(banner + report("in.mrg", merged_size) + created("A.sdf") + count(1) +
                                              created("B.sdf") + count(1) + deleting("data/in.mrg")));
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_LT(result.peak_resident_kib, memory_allowed_kib);
    RecordProperty("peak_resident_kib", static_cast<int>(result.peak_resident_kib));

    ASSERT_EQ(fs::file_size(data / "A.sdf"), record_megabytes * megabyte + 2);
    std::ifstream sdf(data / "A.sdf", std::ios::binary);
    std::string piece(megabyte, '\0');
    for (std::size_t i = 0; i < record_megabytes; ++i) {
        sdf.read(piece.data(), static_cast<std::streamsize>(piece.size()));
        ASSERT_TRUE(piece == long_record_piece(i)) << "megabyte " << i << " of the record differs";
    }
    piece.resize(2);
    sdf.read(piece.data(), 2);
    EXPECT_EQ(piece, "\r\n");
    EXPECT_EQ(read_file(data / "B.sdf"), "b\r\n");
}

// Just over a gigabyte, in runs long enough to keep the console short.
const MergedLayout gigabyte_layout{
    .names = {"ALPHA", "BETA", "GAMMA", "DELTA"}, .lines = 9600000, .lines_per_run = 1200000};

TEST(Memory, MergedFileOfAGigabyte) {
    SKIP_WHEN_SANITIZED();
    ScratchDir scratch;
    const fs::path data = scratch.path() / "data";
    fs::create_directory(data);
    if (!has_room_for_split(data, gigabyte_layout)) GTEST_SKIP() << "the file system lacks room for the merged file and its SDF files";
    write_merged_file(data / "in.mrg", gigabyte_layout);

    const Result result = run_command({.arguments = {"data", "mrg"}, .working_directory = scratch.path()});

    EXPECT_EQ(escaped(result.output),
              escaped(banner + report("in.mrg", merged_length(gigabyte_layout)) + console_of_runs(gigabyte_layout) +
                      deleting("data/in.mrg")));
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_LT(result.peak_resident_kib, memory_allowed_kib);
    RecordProperty("peak_resident_kib", static_cast<int>(result.peak_resident_kib));
    EXPECT_EQ(split_difference(data, gigabyte_layout, Expected::whole), "");
}

// A journal of a gigabyte, most of it a hole, as a crash or a full disk
// might leave one: read a piece at a time, it is found unfinished and goes.
TEST(Memory, JournalOfAGigabyte) {
    SKIP_WHEN_SANITIZED();
    ScratchDir scratch;
    const fs::path data = scratch.path() / "data";
    fs::create_directory(data);
    write_file((data / "in.mrg").string(), "A       01x\r\n");
    const fs::path journal = data / ".vrtl_sdf.journal";
    write_file(journal.string(), "vrtl_sdf journal 2\nmerged 1 13 1 6 in.mrg\n");
    fs::permissions(journal, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    fs::resize_file(journal, std::uintmax_t{1} << 30);

    const Result result = run_command({.arguments = {"data", "mrg"}, .working_directory = scratch.path()});

    EXPECT_EQ(result.exit_code, 0);
    EXPECT_LT(result.peak_resident_kib, memory_allowed_kib);
    EXPECT_TRUE(holds_exactly(data, {{"A.sdf", "x\r\n"}}));
}

}  // namespace
