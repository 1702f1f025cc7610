// Fuzz target: the journal's reader, on any bytes at the journal's name,
// against the model of the journal's format; and the writer, whose every
// journal the reader must read back as written.
//
// Input: the journal's bytes as they are. The reader must neither crash nor
// take memory that grows with the file, and it finds, refuses or counts as
// unfinished exactly what the model does: it accepts only what the writer
// could have written. The same bytes, cut at each line feed, are the names
// of SDF files that a journal written anew records, a part of them when it
// begins and the rest as first opened, marked finished when the input's last
// byte is odd.
#include <algorithm>
#include <cstdint>
#include <string>

#include <sys/stat.h>

#include "distribute/journal.h"
#include "fuzz_support.h"
#include "models.h"

namespace {

std::string shown(const std::vector<model::JournalEntry>& entries) {
    std::string text;
    for (const model::JournalEntry& entry : entries) {
        text += std::to_string(entry.index) + " " + std::to_string(entry.length) + (entry.created ? " new" : "") + "\n";
    }
    return text;
}

// Sorted by index, the last entry of an index standing for it.
std::vector<model::JournalEntry> by_index(std::vector<model::JournalEntry> entries) {
    std::vector<model::JournalEntry> sorted;
    std::stable_sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.index < b.index; });
    for (const model::JournalEntry& entry : entries) {
        if (!sorted.empty() && sorted.back().index == entry.index) sorted.pop_back();
        sorted.push_back(entry);
    }
    return sorted;
}

std::vector<model::JournalEntry> entries_of(const Journal& journal) {
    std::vector<model::JournalEntry> entries;
    for (const JournaledFile& file : journal.sdf_files) entries.push_back({file.index, file.length, file.created});
    return entries;
}

const platform::Directory fresh_directory(const std::string& path) {
    fuzzing::make_empty_directory(path);
    std::optional<platform::Directory> directory = platform::open_directory(path + "/");
    fuzzing::expect_true("the directory opens", directory.has_value());
    return std::move(*directory);
}

// Writes a journal of the names in bytes, each made a file of its own
// length first, and reads it back: every name the distribution could write
// to is recorded, as written.
void write_and_read_back(const std::string& bytes) {
    const platform::Directory directory = fresh_directory(fuzzing::scratch_root() + "/written");
    std::vector<std::pair<std::string, bool>> names;  // and whether it goes into the first part
    for (std::size_t at = 0, line = 0; at < bytes.size(); ++line) {
        const std::size_t end = std::min(bytes.find('\n', at), bytes.size());
        std::string name = bytes.substr(at, std::min<std::size_t>(end - at, 200)) + ".sdf";
        at = end + 1;
        if (name.find_first_of(std::string_view("/\0", 2)) != std::string::npos || name == ".sdf" ||
            platform::name_taken(directory, name)) {
            continue;
        }
        fuzzing::write_file(directory.text + name, name);
        names.emplace_back(std::move(name), line % 2 == 0);
    }
    SdfNames first_part;
    for (const auto& [name, first] : names) {
        if (first) first_part.add(name);
    }
    const platform::FileStatus merged{7, {0, 9}, -3};
    std::optional<Journal> journal = write_journal(directory, "in.mrg", merged, first_part);
    fuzzing::expect_true("the journal is written", journal.has_value());
    std::vector<model::JournalEntry> written;
    for (std::size_t i = 0; i < names.size(); ++i) {
        const auto& [name, first] = names[i];
        const platform::FileStatus status = *platform::status_in(directory, name);
        const bool recorded = model::names_a_file_here(name);
        if (!first) {
            const bool created = i % 4 == 1;
            fuzzing::expect_equal("a first open is recorded exactly where it can be", recorded ? "yes" : "no",
                                  record_first_open(*journal, status, name, created) ? "yes" : "no");
            if (recorded) written.push_back({status.id.index, created ? 0 : status.size, created});
        } else if (recorded) {
            written.push_back({status.id.index, status.size, false});
        }
    }
    const bool finished = !bytes.empty() && (bytes.back() & 1) != 0;
    if (finished) fuzzing::expect_true("the mark is written", mark_finished(*journal, {11, {0, 9}, 13}));
    journal.reset();

    const FoundJournal found = read_journal(directory);
    fuzzing::expect_equal("what is found of a journal written", "found",
                          found.state == FoundJournal::State::found ? "found" : "not found");
    fuzzing::expect_equal("the merged file read back", finished ? "in.mrg 9 11 13" : "in.mrg 9 7 -3",
                          found.journal.merged_name + " " + std::to_string(found.journal.merged_index) + " " +
                              std::to_string(found.journal.merged_size) + " " +
                              std::to_string(found.journal.merged_modified));
    fuzzing::expect_equal("the SDF files read back", shown(by_index(written)), shown(entries_of(found.journal)));
    fuzzing::expect_equal("the mark read back", finished ? "finished" : "-", found.journal.finished ? "finished" : "-");
}

const char* shown(model::Journal::State state) {
    switch (state) {
    case model::Journal::State::unfinished: return "unfinished";
    case model::Journal::State::refused: return "refused";
    case model::Journal::State::found: return "found";
    }
    return "?";
}

model::Journal::State state_of(FoundJournal::State state) {
    switch (state) {
    case FoundJournal::State::found: return model::Journal::State::found;
    case FoundJournal::State::refused: return model::Journal::State::refused;
    case FoundJournal::State::none:
    case FoundJournal::State::unreadable:
    case FoundJournal::State::unfinished: break;
    }
    return model::Journal::State::unfinished;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(fuzzing::take_input(data, size).rest());
    write_and_read_back(bytes);

    const platform::Directory directory = fresh_directory(fuzzing::scratch_root() + "/directory");
    const std::string journal_path = directory.text + std::string(journal_name);
    fuzzing::write_file(journal_path, bytes);
    chmod(journal_path.c_str(), 0644);

    const FoundJournal found = read_journal(directory);
    const model::Journal expected = model::read_journal(bytes);
    fuzzing::expect_equal("what is found", shown(expected.state), shown(state_of(found.state)));
    if (expected.state != model::Journal::State::found) return 0;
    const Journal& journal = found.journal;
    fuzzing::expect_equal("the merged file's name", expected.merged_name, journal.merged_name);
    fuzzing::expect_equal("the merged file",
                          std::to_string(expected.merged_index) + " " + std::to_string(expected.merged_size) + " " +
                              std::to_string(expected.merged_modified),
                          std::to_string(journal.merged_index) + " " + std::to_string(journal.merged_size) + " " +
                              std::to_string(journal.merged_modified));
    fuzzing::expect_equal("the SDF files", shown(by_index(expected.sdf_files)), shown(entries_of(journal)));
    fuzzing::expect_equal("the mark", expected.finished ? "finished" : "-", journal.finished ? "finished" : "-");
    return 0;
}
