// Writes a merged file for the benchmarks with the tests' generator: seeded
// and deterministic, so that every tool is measured on the same bytes.
//
// Usage: make_merged OUTPUT BYTES NAMES RECORDS_PER_RUN RECORD_LENGTH [SEED]
#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "large_merged.h"

namespace {

using testing_support::MergedLayout;

std::optional<std::uint64_t> number(std::string_view text) {
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
    return value;
}

// Names of 4 to 8 characters, unique by their leading number. The generator
// pads them with blanks to the width of the name field, so that the trim is
// exercised.
std::vector<std::string> numbered_names(std::uint64_t count, std::uint64_t seed) {
    std::vector<std::string> names;
    for (std::uint64_t i = 0; i < count; ++i) {
        char name[8];
        std::snprintf(name, sizeof name, "T%03u", static_cast<unsigned>(i));
        names.emplace_back(name);
        const std::uint64_t letters = testing_support::seeded_number(seed, 5 * i) % 5;
        for (std::uint64_t k = 1; k <= letters; ++k) {
            names.back() += static_cast<char>('A' + testing_support::seeded_number(seed, 5 * i + k) % 26);
        }
    }
    return names;
}

std::optional<MergedLayout> parse(int argc, char* argv[]) {
    if (argc != 6 && argc != 7) return std::nullopt;
    std::uint64_t values[] = {0, 0, 0, 0, 1};
    for (int i = 2; i < argc; ++i) {
        const std::optional<std::uint64_t> value = number(argv[i]);
        if (!value) return std::nullopt;
        values[i - 2] = *value;
    }
    const auto [bytes, names, records_per_run, record_length, seed] = values;
    if (names < 2 || names > 999 || records_per_run == 0 || record_length < 10 || record_length > 32768 ||
        std::max(bytes, records_per_run) > std::numeric_limits<std::int64_t>::max()) {
        return std::nullopt;
    }
    return MergedLayout{.names = numbered_names(names, seed),
                        .lines = static_cast<std::int64_t>(bytes / (record_length + 12)),
                        .lines_per_run = static_cast<std::int64_t>(records_per_run),
                        .record_length = record_length,
                        .seed = seed};
}

}  // namespace

int main(int argc, char* argv[]) {
    const std::optional<MergedLayout> layout = parse(argc, argv);
    if (!layout) {
        std::fputs("usage: make_merged OUTPUT BYTES NAMES RECORDS_PER_RUN RECORD_LENGTH [SEED]\n"
                   "  NAMES from 2 to 999; RECORDS_PER_RUN at least 1; RECORD_LENGTH from 10 to 32768\n",
                   stderr);
        return 2;
    }
    try {
        testing_support::write_merged_file(argv[1], *layout);
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "make_merged: %s\n", failure.what());
        return 1;
    }
    return 0;
}
