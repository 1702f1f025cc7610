// The generator of large merged files, for the tests and the benchmarks:
// seeded, and made and checked a piece at a time, so that neither time nor
// memory grows with more than the file's length.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace testing_support {

// Lines of one length, in runs of lines_per_run lines. Each run names
// another SDF file than the one before: the first runs take the names in
// turn, the later ones are drawn from the seed. Record i holds its number in
// ten digits, then printable bytes drawn from the seed: never a blank, CR, LF
// or 0x1A.
struct MergedLayout {
    std::vector<std::string> names;  // at least two SDF names of at most 8 characters, without ".sdf"
    std::int64_t lines = 0;
    std::int64_t lines_per_run = 0;
    std::size_t record_length = 100;  // bytes of a record, from 10 to 32768, CR LF not counted
    std::uint64_t seed = 1;
};

// The index-th number of a sequence that looks random and depends on nothing
// but the seed.
std::uint64_t seeded_number(std::uint64_t seed, std::uint64_t index);

void write_merged_file(const std::string& path, const MergedLayout& layout);

std::int64_t merged_length(const MergedLayout& layout);

// Whether the file system of directory holds room for the merged file of the
// layout and its SDF files beside it, with a margin.
bool has_room_for_split(const std::string& directory, const MergedLayout& layout);

// The console lines of the runs, from the first run to the last, as a run of
// the command into a directory without SDF files reports them.
std::string console_of_runs(const MergedLayout& layout);

enum class Expected { whole, prefix };

// Compares the directory of a split with the SDF files that the runs of the
// layout write: the whole of each, or a prefix of each that exists (what a
// run stopped midway may have written). Any other entry but the merged file
// in.mrg is a difference. Empty when they agree, else where and how they differ.
std::string split_difference(const std::filesystem::path& directory, const MergedLayout& layout, Expected expected);

}  // namespace testing_support
