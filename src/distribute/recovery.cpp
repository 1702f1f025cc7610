// Recovery after a run that a crash, a kill or a power loss cut short. The
// rules it cites are numbered in exactly_once.h.
#include "distribute/recovery.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "distribute/distribute.h"
#include "distribute/exactly_once.h"
#include "distribute/journal.h"
#include "distribute/merged_walk.h"
#include "textfile/names.h"
#include "textfile/text_stream.h"

namespace {

// An SDF file as the proof finds it: touched, its length now as length_after.
struct CheckedFile {
    TouchedFile file;
    std::int64_t next = 0;  // where the distribution's next byte for it lies
    bool shown = true;      // every byte checked so far is the distribution's
    bool unreadable = false;
};

struct Proof {
    MergedWalk walk;
    const platform::Directory& directory;
    const Journal& journal;
    OwnFiles refused{};  // the run's own files and the file walked: the distribution writes to none

    std::map<platform::FileId, CheckedFile> files{};
    CheckedFile* current = nullptr;    // the batch's file; none when the distribution wrote nowhere
    platform::File sdf{};              // the batch's file, open for reading
    std::string expected{};
    std::string found{};
};

// Opens the file that a batch of the distribution wrote to, as the
// distribution itself would have chosen it, without ever creating one.
void start_checked_batch(Proof& proof) {
    static_cast<void>(platform::close_file(proof.sdf));  // only read: nothing to report
    proof.current = nullptr;
    const std::string& file_name = proof.walk.file_name;
    if (!is_plain_file_name(file_name)) return;
    std::optional<platform::OpenedFile> opened =
        platform::open_in(proof.directory, file_name, platform::Access::read);
    // A file that cannot be read is shown to hold nothing of the distribution's
    // only when it holds nothing past its length before.
    const std::optional<platform::FileStatus> status =
        opened ? opened->status : platform::status_in(proof.directory, file_name);
    if (!status || std::find(proof.refused.begin(), proof.refused.end(), status->id) != proof.refused.end()) return;
    // A file the journal does not know was never written by the run (rule 2).
    const std::optional<JournaledFile> first_opened = journaled(proof.journal, status->id);
    if (!first_opened) return;
    const auto [entry, added] = proof.files.try_emplace(status->id);
    if (added) {
        const std::int64_t before = first_opened->length;
        entry->second = CheckedFile{
            TouchedFile{file_name, status->id, before, status->size, first_opened->created}, before,
            status->size >= before && (opened || status->size == before)};
    }
    proof.current = &entry->second;
    if (opened) proof.sdf = std::move(opened->file);
}

// Compares what the distribution stores for a piece of a record with what
// the batch's file holds there, as far as it holds anything.
void compare(Proof& proof, std::string_view record) {
    CheckedFile& checked = *proof.current;
    proof.expected.clear();
    text_stored_form(record, proof.expected);
    const std::int64_t held = std::max<std::int64_t>(0, checked.file.length_after - checked.next);
    const auto compared =
        static_cast<std::size_t>(std::min<std::int64_t>(held, static_cast<std::int64_t>(proof.expected.size())));
    if (checked.shown && compared > 0) {
        proof.found.resize(compared);
        const std::optional<std::size_t> count = platform::read_at(proof.sdf, checked.next, proof.found);
        checked.unreadable = !count;
        checked.shown = count == compared && std::string_view(proof.expected).substr(0, compared) == proof.found;
    }
    checked.next += static_cast<std::int64_t>(proof.expected.size());
}

// Goes through the merged file as the distribution does, comparing instead
// of writing. False on a read error.
bool compare_with_distribution(Proof& proof) {
    for (;;) {
        const MergedPart next = next_part(proof.walk);
        switch (next.part) {
        case Part::end: return true;
        case Part::read_error: return false;
        case Part::record_start:
        case Part::short_line:
            if (next.starts_batch) start_checked_batch(proof);
            if (next.part == Part::short_line) continue;
            break;
        case Part::record_rest: break;
        }
        if (proof.current) compare(proof, next.record);
    }
}

// What the proof found for the file at a name.
struct Proven {
    std::optional<Failure> unread{};       // the merged file or an SDF file could not be read
    std::vector<TouchedFile> touched{};    // every file the distribution writes to, when all is shown
    std::optional<std::string> foreign{};  // else an SDF file that holds other bytes
};

Proven prove_by_content(const platform::Directory& directory, const Journal& journal, const OwnFiles& held,
                        std::string_view name) {
    const Failure merged_unread{FailedStep::reading, directory.text + std::string(name)};
    std::optional<TextStream> merged = text_open_in(directory, name, "ra");
    if (!merged) return {.unread = merged_unread};
    Proof proof{.walk = MergedWalk{*merged, directory.text + std::string(name)},
                .directory = directory,
                .journal = journal,
                .refused = own_files_of(directory, held, journal)};
    if (const std::optional<platform::FileStatus> walked = text_file_status(*merged)) proof.refused.push_back(walked->id);
    Proven proven;
    if (!compare_with_distribution(proof)) proven.unread = merged_unread;
    static_cast<void>(platform::close_file(proof.sdf));  // only read: nothing to report
    static_cast<void>(text_close(*merged));
    for (auto& [id, checked] : proof.files) {
        if (checked.unreadable) proven.unread = Failure{FailedStep::reading, checked.file.name};
        // Bytes past all that the distribution writes are not its own either.
        if (!checked.shown || checked.next < checked.file.length_after) proven.foreign = checked.file.name;
        proven.touched.push_back(std::move(checked.file));
    }
    return proven;
}

// The file at name, left by a crash, decides: rule 5.
std::optional<Failure> recover_for(const platform::Directory& directory, const Journal& journal, const OwnFiles& held,
                                   std::string_view name, const platform::FileStatus& status) {
    const Proven proven = prove_by_content(directory, journal, held, name);
    if (proven.unread) return proven.unread;
    if (!proven.foreign) return put_back(directory, proven.touched);
    // Not shown, so nothing is cut: those bytes may be the only copy of
    // records. For the file the run read, another program wrote to the SDF
    // file or the file changed in place, and an operator decides.
    if (is_journaled_merged_file(journal, status)) return Failure{FailedStep::opening, *proven.foreign};
    return std::nullopt;
}

// Rule 4: every record was on stable storage when the removal began; the
// file read goes wherever it still stands as it was read, and nothing else.
std::optional<Failure> finish_removal(const platform::Directory& directory, const Journal& journal) {
    bool removed_any = false;
    for (const std::string_view name : {aside_name, std::string_view(journal.merged_name)}) {
        const std::optional<platform::FileStatus> status = platform::status_in(directory, name, platform::Links::refused);
        if (!status || !is_journaled_merged_file_unchanged(journal, *status)) continue;
        if (!platform::remove_name(directory, name)) {
            return Failure{FailedStep::deleting, directory.text + journal.merged_name};
        }
        removed_any = true;
    }
    if (removed_any && !platform::sync_directory(directory)) return Failure{FailedStep::writing, directory.text};
    return std::nullopt;
}

std::optional<Failure> recover(const platform::Directory& directory, const Journal& journal, const OwnFiles& held) {
    if (journal.finished) return finish_removal(directory, journal);
    const std::string merged_path = directory.text + journal.merged_name;
    if (platform::name_taken(directory, aside_name)) {
        const std::optional<platform::FileStatus> aside = platform::status_in(directory, aside_name);
        if (!aside) return Failure{FailedStep::opening, directory.text + std::string(aside_name)};
        if (is_journaled_merged_file_unchanged(journal, *aside)) {
            // Rule 3 held when it moved: only its removal is left. A crash
            // while its name was given back leaves it under that name too.
            return finish_removal(directory, journal);
        }
        if (std::optional<Failure> failure = recover_for(directory, journal, held, aside_name, *aside)) return failure;
        if (!give_back_name(directory, journal.merged_name)) return Failure{FailedStep::deleting, merged_path};
        return std::nullopt;
    }
    // Gone: the distribution had finished, or its file was taken away; what
    // it wrote stays.
    const std::optional<platform::FileStatus> merged = platform::status_in(directory, journal.merged_name);
    if (!merged) return std::nullopt;
    return recover_for(directory, journal, held, journal.merged_name, *merged);
}

}  // namespace

std::optional<Failure> recover_interrupted_run(const platform::Directory& directory, const OwnFiles& held) {
    FoundJournal found = read_journal(directory);
    const Failure journal_failed{FailedStep::opening, directory.text + std::string(journal_name)};
    switch (found.state) {
    case FoundJournal::State::none: return std::nullopt;
    case FoundJournal::State::refused: return journal_failed;
    case FoundJournal::State::unreadable: return Failure{FailedStep::reading, journal_failed.subject};
    case FoundJournal::State::unfinished: break;  // rule 2: no SDF file was touched after it
    case FoundJournal::State::found:
        if (std::optional<Failure> failure = recover(directory, found.journal, held)) return failure;
        break;
    }
    if (!remove_journal(directory, found.journal)) return Failure{FailedStep::deleting, journal_failed.subject};
    return std::nullopt;
}
