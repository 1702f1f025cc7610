// The generator of large merged files, and the SDF files it leads to.
#include "large_merged.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <stdexcept>
#include <string_view>

#include "console_texts.h"

namespace testing_support {

namespace {

constexpr std::size_t piece = 1 << 20;
constexpr std::size_t number_width = 10;
constexpr std::size_t pool_size = 1 << 16;

// What each number drawn from the seed decides, each from a sequence of its own.
enum class Draw : std::uint64_t { pool_byte, run_name, record_start };

std::uint64_t drawn(const MergedLayout& layout, Draw what, std::uint64_t index) {
    return seeded_number(layout.seed * 3 + static_cast<std::uint64_t>(what), index);
}

// The bytes that records are cut from.
std::string record_pool(const MergedLayout& layout) {
    constexpr std::string_view alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789;.,-";
    std::string pool(pool_size, ' ');
    for (std::size_t i = 0; i < pool_size; ++i) pool[i] = alphabet[drawn(layout, Draw::pool_byte, i) % alphabet.size()];
    return pool;
}

// Record i followed by CR LF.
void append_record(std::string& out, const MergedLayout& layout, const std::string& pool, std::int64_t i) {
    out.append(number_width, '0');
    std::size_t digit = out.size();
    for (std::int64_t rest = i; rest > 0; rest /= 10) out[--digit] = static_cast<char>('0' + rest % 10);
    const std::size_t filler = layout.record_length - number_width;
    out.append(pool, drawn(layout, Draw::record_start, static_cast<std::uint64_t>(i)) % (pool_size - filler + 1), filler);
    out += "\r\n";
}

// Calls take(name, first line, end line) for every run, in order. The first
// runs take the names in turn, so that each is written when there are runs
// enough.
template <typename Take>
void for_each_run(const MergedLayout& layout, Take take) {
    if (layout.names.size() < 2 || layout.lines_per_run < 1 || layout.record_length < number_width ||
        layout.record_length > pool_size / 2) {
        throw std::invalid_argument("a merged layout needs two names, runs of a line and records of 10 to 32768 bytes");
    }
    const std::size_t names = layout.names.size();
    std::size_t name = 0;
    std::size_t run = 0;
    for (std::int64_t first = 0; first < layout.lines; first += layout.lines_per_run, ++run) {
        name = run < names ? run : (name + 1 + drawn(layout, Draw::run_name, run) % (names - 1)) % names;
        take(layout.names[name], first, std::min(layout.lines, first + layout.lines_per_run));
    }
}

}  // namespace

std::uint64_t seeded_number(std::uint64_t seed, std::uint64_t index) {
    // The index-th step of SplitMix64, taken directly.
    std::uint64_t z = seed + (index + 1) * 0x9e3779b97f4a7c15ULL;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

void write_merged_file(const std::string& path, const MergedLayout& layout) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    const std::string pool = record_pool(layout);
    std::string pending;
    for_each_run(layout, [&](std::string header, std::int64_t first, std::int64_t end) {
        header.resize(8, ' ');
        header += "01";
        for (std::int64_t i = first; i < end; ++i) {
            pending += header;
            append_record(pending, layout, pool, i);
            if (pending.size() >= piece) {
                out.write(pending.data(), static_cast<std::streamsize>(pending.size()));
                pending.clear();
            }
        }
    });
    out.write(pending.data(), static_cast<std::streamsize>(pending.size()));
    out.close();
    if (!out) throw std::runtime_error("cannot write " + path);
}

std::int64_t merged_length(const MergedLayout& layout) {
    return layout.lines * static_cast<std::int64_t>(10 + layout.record_length + 2);
}

bool has_room_for_split(const std::string& directory, const MergedLayout& layout) {
    constexpr std::uintmax_t margin = std::uintmax_t{64} << 20;
    std::error_code error;
    const std::filesystem::space_info space = std::filesystem::space(directory, error);
    return !error && space.available >= 2 * static_cast<std::uintmax_t>(merged_length(layout)) + margin;
}

std::string console_of_runs(const MergedLayout& layout) {
    std::string console;
    std::set<std::string> started;
    for_each_run(layout, [&](const std::string& name, std::int64_t first, std::int64_t end) {
        const std::string sdf_name = name + ".sdf";
        console += started.insert(sdf_name).second ? created(sdf_name) : appended(sdf_name);
        console += count(end - first);
    });
    return console;
}

namespace {

// Compares the file at path with the SDF file that the layout gives name: the
// whole of it, or a prefix of it. Empty when they agree, else where and how
// they differ.
std::string sdf_difference(const std::string& path, const MergedLayout& layout, std::string_view name,
                           Expected expected) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return path + " cannot be read";
    std::string wanted;
    std::string found;
    std::int64_t offset = 0;
    bool file_ended = false;
    std::string difference;
    // Compares what is wanted so far with the file's next bytes.
    const auto compare = [&] {
        found.resize(wanted.size());
        in.read(found.data(), static_cast<std::streamsize>(found.size()));
        found.resize(static_cast<std::size_t>(in.gcount()));
        const auto mismatch = std::mismatch(found.begin(), found.end(), wanted.begin());
        if (mismatch.first != found.end()) {
            difference = path + " differs at byte " + std::to_string(offset + (mismatch.first - found.begin()));
        } else if (found.size() < wanted.size()) {
            file_ended = true;
            if (expected == Expected::whole) {
                difference = path + " ends at byte " + std::to_string(offset + static_cast<std::int64_t>(found.size()));
            }
        }
        offset += static_cast<std::int64_t>(found.size());
        wanted.clear();
    };
    const std::string pool = record_pool(layout);
    for_each_run(layout, [&](const std::string& run_name, std::int64_t first, std::int64_t end) {
        for (std::int64_t i = first; i < end && run_name == name && difference.empty() && !file_ended; ++i) {
            append_record(wanted, layout, pool, i);
            if (wanted.size() >= piece) compare();
        }
    });
    if (difference.empty() && !file_ended) compare();
    if (difference.empty() && !file_ended && in.peek() != std::char_traits<char>::eof()) {
        difference = path + " goes on after byte " + std::to_string(offset);
    }
    return difference;
}

}  // namespace

std::string split_difference(const std::filesystem::path& directory, const MergedLayout& layout, Expected expected) {
    std::set<std::string> written;  // the SDF names that runs take
    for_each_run(layout, [&](const std::string& name, std::int64_t, std::int64_t) { written.insert(name); });
    std::string differences;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
        const std::string file = entry.path().filename().string();
        const bool sdf_file = file.ends_with(".sdf") && written.contains(file.substr(0, file.size() - 4));
        if (file != "in.mrg" && !sdf_file) differences += "unexpected entry " + file + "\n";
    }
    for (const std::string& name : written) {
        const std::filesystem::path sdf = directory / (name + ".sdf");
        if (expected == Expected::prefix && !std::filesystem::exists(sdf)) continue;
        const std::string difference = sdf_difference(sdf.string(), layout, name, expected);
        if (!difference.empty()) differences += difference + "\n";
    }
    return differences;
}

}  // namespace testing_support
