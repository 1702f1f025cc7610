// Fuzz target: the journal's reader, on any bytes at the journal's name,
// against the model of the journal's format.
//
// Input: the journal's bytes as they are. The reader must neither crash nor
// take memory that grows with the file, and it finds, refuses or counts as
// unfinished exactly what the model does: it accepts only what the writer
// could have written.
#include <algorithm>
#include <cstdint>
#include <span>
#include <string>

#include <sys/stat.h>

#include "distribute/journal.h"
#include "fuzz_support.h"
#include "models.h"

namespace {

std::string shown(const std::vector<model::JournalEntry>& entries) {
    std::string text;
    for (const model::JournalEntry& entry : entries) {
        text += std::to_string(entry.index) + " " + std::to_string(entry.length) + "\n";
    }
    return text;
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
    case FoundJournal::State::unfinished: break;
    }
    return model::Journal::State::unfinished;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> input(data, size);
    fuzzing::set_current_input(input);
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const std::string directory_path = fuzzing::scratch_root() + "/directory";
    fuzzing::make_empty_directory(directory_path);
    const std::string journal_path = directory_path + "/" + std::string(journal_name);
    fuzzing::write_file(journal_path, bytes);
    chmod(journal_path.c_str(), 0644);
    const std::optional<platform::Directory> directory = platform::open_directory(directory_path + "/");
    fuzzing::expect_true("the directory opens", directory.has_value());

    const FoundJournal found = read_journal(*directory);
    model::Journal expected = model::read_journal(bytes);
    fuzzing::expect_equal("what is found", shown(expected.state), shown(state_of(found.state)));
    if (expected.state != model::Journal::State::found) return 0;
    const Journal& journal = found.journal;
    fuzzing::expect_equal("the merged file's name", expected.merged_name, journal.merged_name);
    fuzzing::expect_equal("the merged file",
                          std::to_string(expected.merged_index) + " " + std::to_string(expected.merged_size) + " " +
                              std::to_string(expected.merged_modified),
                          std::to_string(journal.merged_index) + " " + std::to_string(journal.merged_size) + " " +
                              std::to_string(journal.merged_modified));
    std::vector<model::JournalEntry> entries;
    for (const JournaledFile& file : journal.sdf_files) entries.push_back({file.index, file.length});
    std::stable_sort(expected.sdf_files.begin(), expected.sdf_files.end(),
                     [](const auto& a, const auto& b) { return a.index < b.index; });
    fuzzing::expect_equal("the SDF files", shown(expected.sdf_files), shown(entries));
    return 0;
}
