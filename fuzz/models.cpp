// Simple models of the DOS text rules and of the record distribution.
#include "models.h"

#include <limits>
#include <type_traits>

namespace model {

namespace {

constexpr char cr = '\r';
constexpr char lf = '\n';
constexpr char end_of_text = '\x1a';

// Trailing characters that do not count in a name: a signed byte of at most 32.
bool counts_in_name(char c) { return static_cast<signed char>(c) > 32; }

std::string sdf_file_name(std::string_view line) {
    std::string name;
    for (std::size_t i = 0; i < 8 && i < line.size() && line[i] != '\0'; ++i) name += line[i];
    while (!name.empty() && !counts_in_name(name.back())) name.pop_back();
    return name + ".sdf";
}

// The lines of a text, each ended by LF; a last line without one gets it.
std::vector<std::string> lines_of(std::string_view text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != lf) continue;
        lines.emplace_back(text.substr(start, i + 1 - start));
        start = i + 1;
    }
    if (start < text.size()) lines.push_back(std::string(text.substr(start)) + lf);
    return lines;
}

// The name a link in the directory leads to, or the name itself.
std::string resolved(const Directory& directory, const std::string& name) {
    const auto found = directory.find(name);
    if (found != directory.end() && found->second.kind == Entry::Kind::link) return found->second.target;
    return name;
}

}  // namespace

// The models build their strings by index into storage of the final size or
// more: std::string's own appending code is shared with the instrumented code
// under test and would make them slow.

std::string readable_data(std::string_view file, Reading reading) {
    if (reading == Reading::bytes) return std::string(file);
    std::string data(file.size(), '\0');
    std::size_t kept = 0;
    for (std::size_t i = 0; i < file.size(); ++i) {
        const char c = file[i];
        if (c == end_of_text) break;
        const bool lf_follows = i + 1 < file.size() && file[i + 1] == lf;
        if (c == cr && lf_follows) continue;
        data[kept++] = c;
    }
    data.resize(kept);
    return data;
}

Reading reading_of_mode(std::string_view mode) {
    return mode.size() >= 2 && mode[1] == 'b' ? Reading::bytes : Reading::text;
}

std::vector<LineRead> line_reads(std::string_view data, std::int32_t limit, std::size_t max_reads) {
    std::vector<LineRead> reads;
    std::size_t position = 0;
    bool at_end = false;
    while (reads.size() < max_reads) {
        LineRead read;
        read.at_end = at_end;
        if (limit <= 0) {
            reads.push_back(read);
            break;
        }
        bool data_ran_out = false;
        const std::size_t start = position;
        while (position - start + 1 < static_cast<std::size_t>(limit)) {
            if (position == data.size()) {
                data_ran_out = true;
                break;
            }
            if (data[position++] == lf) break;
        }
        read.line = data.substr(start, position - start);
        read.delivered = !read.line.empty() || limit == 1;
        if (data_ran_out) at_end = true;
        read.at_end = at_end;
        reads.push_back(read);
        if (at_end || limit == 1) break;
    }
    return reads;
}

std::string stored_text(std::string_view text) {
    std::string stored(2 * text.size(), '\0');
    std::size_t length = 0;
    for (const char c : text) {
        if (c == lf) stored[length++] = cr;
        stored[length++] = c;
    }
    stored.resize(length);
    return stored;
}

namespace {

// The SDF file of the run in progress, as its stream writes it: output is
// held 4096 bytes at a time; when one more byte is to be held, what brings
// the file's end to a multiple of 4096 is written out, and the rest at the
// end of the run; a write that would carry the file past the size limit fails.
struct Run {
    std::string name;
    std::string target;
    std::string bytes_before;
    std::int64_t records = 0;
    std::int64_t written_end = 0;  // the file's length as written so far
    std::int64_t held = 0;
};

constexpr std::int64_t holding = 4096;

bool fits(std::int64_t end, std::optional<std::int64_t> size_limit) { return !size_limit || end <= *size_limit; }

bool write_held(Run& run, std::optional<std::int64_t> size_limit, std::int64_t count) {
    if (count == 0) return true;
    if (!fits(run.written_end + count, size_limit)) return false;
    run.written_end += count;
    run.held -= count;
    return true;
}

bool write_held(Run& run, std::optional<std::int64_t> size_limit) { return write_held(run, size_limit, run.held); }

bool write_record(Run& run, Entry& file, std::string_view stored, std::optional<std::int64_t> size_limit) {
    for (std::size_t i = 0; i < stored.size(); ++i) {
        if (run.held == holding && !write_held(run, size_limit, holding - run.written_end % holding)) return false;
        ++run.held;
    }
    file.bytes += stored;
    return true;
}

}  // namespace

Split split(const Directory& before, const std::string& merged_name, std::optional<std::int64_t> size_limit) {
    Split result;
    result.after = before;
    Directory& files = result.after;
    std::string console;
    const std::string& merged = before.at(merged_name).bytes;
    const auto fail = [&](Failure::Step step, const std::string& name) {
        result.failure = Failure{step, name};
        result.console = stored_text(console);
        return result;
    };

    std::optional<Run> run;
    for (const std::string& line : lines_of(readable_data(merged, Reading::text))) {
        const std::string name = sdf_file_name(line);
        if (!run || name != run->name) {
            if (run) {
                if (!write_held(*run, size_limit)) {
                    files[run->target].bytes = run->bytes_before;
                    return fail(Failure::Step::writing, run->name);
                }
                console += "  " + std::to_string(run->records) + " zapisov. \n";
            }
            const std::string target = resolved(files, name);
            const auto found = files.find(target);
            const bool is_file = found != files.end() && found->second.kind == Entry::Kind::file;
            const bool append = is_file && !found->second.bytes.empty();
            console += (append ? "  APPEND v datoteko " : "  Kreiram datoteko ") + name + " .... ";
            const bool reaches_out = name.find_first_of("/\\") != std::string::npos;
            const bool is_directory = found != files.end() && found->second.kind == Entry::Kind::directory;
            if (reaches_out || is_directory || target == merged_name) return fail(Failure::Step::opening, name);
            if (!append) files[target] = Entry{};
            run = Run{name, target, files[target].bytes, 0, static_cast<std::int64_t>(files[target].bytes.size()), 0};
            ++result.sdf_files_opened;
        }
        if (line.size() < 10) {
            console += "?";
            continue;
        }
        Entry& file = files[run->target];
        if (!write_record(*run, file, stored_text(line.substr(10)), size_limit)) {
            file.bytes = run->bytes_before;
            return fail(Failure::Step::writing, run->name);
        }
        ++run->records;
    }
    if (run) {
        if (!write_held(*run, size_limit)) {
            files[run->target].bytes = run->bytes_before;
            return fail(Failure::Step::writing, run->name);
        }
        console += "  " + std::to_string(run->records) + " zapisov. \n";
    }
    result.console = stored_text(console);
    return result;
}

namespace {

// Reads the journal's text from the front; every read moves on.
struct JournalText {
    std::string_view rest;

    bool literal(std::string_view expected) {
        if (!rest.starts_with(expected)) return false;
        rest.remove_prefix(expected.size());
        return true;
    }
    // Digits, a "-" first where signed, no leading zero, then a blank.
    template <typename Number>
    bool number(Number& value) {
        const std::size_t blank = rest.find(' ');
        if (blank == std::string_view::npos || blank == 0 || blank > 24) return false;
        std::string_view digits = rest.substr(0, blank);
        const bool negative = digits.front() == '-';
        if (negative) digits.remove_prefix(1);
        if (digits.empty() || (digits.front() == '0' && (digits.size() > 1 || negative))) return false;
        if (negative && !std::is_signed_v<Number>) return false;
        std::uint64_t magnitude = 0;
        for (const char c : digits) {
            if (c < '0' || c > '9') return false;
            const auto digit = static_cast<std::uint64_t>(c - '0');
            if (magnitude > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) return false;
            magnitude = magnitude * 10 + digit;
        }
        const auto largest = static_cast<std::uint64_t>(std::numeric_limits<Number>::max());
        if (magnitude > largest + (negative ? 1 : 0)) return false;
        if (!negative) {
            value = static_cast<Number>(magnitude);
        } else {
            value = magnitude > largest ? std::numeric_limits<Number>::min() : static_cast<Number>(-static_cast<Number>(magnitude));
        }
        rest.remove_prefix(blank + 1);
        return true;
    }
    bool name(std::string& value) {
        std::size_t length = 0;
        if (!number(length) || length > 255 || rest.size() <= length || rest[length] != '\n') return false;
        value = rest.substr(0, length);
        rest.remove_prefix(length + 1);
        return true;
    }
};

std::uint64_t journal_sum(std::string_view text) {
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    for (const char c : text) hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3ULL;
    return hash;
}

}  // namespace

bool names_a_file_here(std::string_view name) {
    return !name.empty() && name.size() <= 255 && name != "." && name != ".." &&
           name.find_first_of("/\\") == std::string_view::npos;
}

Journal read_journal(std::string_view bytes) {
    Journal journal;
    JournalText text{bytes};
    if (!(text.literal("vrtl_sdf journal 3\n") || text.literal("vrtl_sdf journal 2\n")) || !text.literal("merged ") ||
        !text.number(journal.merged_index) || !text.number(journal.merged_size) ||
        !text.number(journal.merged_modified) || !text.name(journal.merged_name)) {
        return journal;
    }
    const Journal refused{.state = Journal::State::refused};
    if (!names_a_file_here(journal.merged_name)) return refused;
    std::vector<JournalEntry> part;
    bool part_finished = false;
    std::int64_t part_size = 0;  // of the merged file as read, when the part marks the removal
    std::int64_t part_modified = 0;
    for (;;) {
        const std::size_t summed = bytes.size() - text.rest.size();
        JournalEntry entry;
        std::string name;
        if (text.literal("end ")) {
            std::uint64_t sum = 0;
            if (!text.number(sum) || !text.literal("\n") || sum != journal_sum(bytes.substr(0, summed))) return journal;
            journal.state = Journal::State::found;
            journal.sdf_files.insert(journal.sdf_files.end(), part.begin(), part.end());
            if (part_finished) {
                journal.finished = true;
                journal.merged_size = part_size;
                journal.merged_modified = part_modified;
            }
            part.clear();
            part_finished = false;
        } else if (text.literal("sdf ")) {
            if (!text.number(entry.index) || !text.number(entry.length) || !text.name(name)) return journal;
            if (!names_a_file_here(name) || !name.ends_with(".sdf")) return refused;
            part.push_back(entry);
        } else if (text.literal("new ")) {
            if (!text.number(entry.index) || !text.name(name)) return journal;
            if (!names_a_file_here(name) || !name.ends_with(".sdf")) return refused;
            entry.created = true;
            part.push_back(entry);
        } else if (text.literal("finished ")) {
            if (!text.number(part_size) || !text.number(part_modified) || !text.literal("\n")) return journal;
            part_finished = true;
        } else {
            return journal;
        }
    }
}

}  // namespace model
