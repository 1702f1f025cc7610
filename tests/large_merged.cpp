// Large merged files and their SDF files.
#include "large_merged.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "console_texts.h"

namespace testing_support {

namespace {

constexpr std::size_t piece = 1 << 20;
constexpr std::size_t number_width = 10;

std::int64_t run_count(const MergedLayout& layout) {
    return (layout.lines + layout.lines_per_run - 1) / layout.lines_per_run;
}

const std::string& name_of_run(const MergedLayout& layout, std::int64_t run) {
    return layout.names[static_cast<std::size_t>(run) % layout.names.size()];
}

// Record i followed by CR LF.
void append_record(std::string& out, std::int64_t i, std::size_t record_length) {
    char digits[number_width];
    std::fill(std::begin(digits), std::end(digits), '0');
    char number[24];
    const auto end = std::to_chars(std::begin(number), std::end(number), i).ptr;
    const auto length = static_cast<std::size_t>(end - number);
    std::memcpy(digits + number_width - length, number, length);
    out.append(digits, number_width);
    out.append(record_length - number_width, static_cast<char>('a' + i % 26));
    out += "\r\n";
}

// Calls take(i) for every line i of the SDF file that the layout gives name, in order.
template <typename Take>
void for_each_line_of(const MergedLayout& layout, std::string_view name, Take take) {
    for (std::int64_t run = 0; run < run_count(layout); ++run) {
        if (name_of_run(layout, run) != name) continue;
        const std::int64_t end = std::min(layout.lines, (run + 1) * layout.lines_per_run);
        for (std::int64_t i = run * layout.lines_per_run; i < end; ++i) take(i);
    }
}

}  // namespace

void write_merged_file(const std::string& path, const MergedLayout& layout) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::string pending;
    std::string header;
    for (std::int64_t i = 0; i < layout.lines; ++i) {
        if (i % layout.lines_per_run == 0) {
            header = name_of_run(layout, i / layout.lines_per_run);
            header.resize(8, ' ');
            header += "01";
        }
        pending += header;
        append_record(pending, i, layout.record_length);
        if (pending.size() >= piece) {
            out.write(pending.data(), static_cast<std::streamsize>(pending.size()));
            pending.clear();
        }
    }
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
    std::vector<std::string> started;
    for (std::int64_t run = 0; run < run_count(layout); ++run) {
        const std::string sdf_name = name_of_run(layout, run) + ".sdf";
        const bool first = std::find(started.begin(), started.end(), sdf_name) == started.end();
        console += first ? created(sdf_name) : appended(sdf_name);
        started.push_back(sdf_name);
        console += count(std::min(layout.lines, (run + 1) * layout.lines_per_run) - run * layout.lines_per_run);
    }
    return console;
}

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
    for_each_line_of(layout, name, [&](std::int64_t i) {
        if (!difference.empty() || file_ended) return;
        append_record(wanted, i, layout.record_length);
        if (wanted.size() >= piece) compare();
    });
    if (difference.empty() && !file_ended) compare();
    if (difference.empty() && !file_ended && in.peek() != std::char_traits<char>::eof()) {
        difference = path + " goes on after byte " + std::to_string(offset);
    }
    return difference;
}

}  // namespace testing_support
