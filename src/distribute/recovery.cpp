// Undoing a distribution, and settling one that a crash left unfinished.
#include "distribute/recovery.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <string_view>

#include "distribute/records.h"
#include "platform/platform.h"
#include "textfile/names.h"
#include "textfile/text_stream.h"

namespace {

// An SDF file as the check of an unfinished distribution finds it.
struct CheckedFile {
    WrittenFile file;       // length_after: its length now
    std::int64_t next = 0;  // where the distribution's next byte for it lies
    bool shown = true;      // every byte checked so far is the distribution's
};

struct Check {
    TextStream& merged;
    const std::string& directory_text;
    const Journal& journal;
    std::optional<platform::FileStatus> merged_status;

    std::map<platform::FileId, CheckedFile> files{};
    std::string current_name{};  // the run's SDF file name
    CheckedFile* current = nullptr;  // the run's file; none when the run wrote nowhere
    platform::File sdf{};  // the run's file, open for reading
    std::string line{};
    std::string piece{};
    std::string found{};
};

// Opens the file a run of the distribution wrote to, as the distribution
// itself would have chosen it.
void start_checked_run(Check& check, std::string_view sdf_name) {
    static_cast<void>(platform::close_file(check.sdf));  // only read: nothing to report
    check.current = nullptr;
    check.current_name = sdf_name;
    check.current_name += sdf_extension;
    if (!is_plain_file_name(check.current_name)) return;
    const std::string path = check.directory_text + check.current_name;
    std::optional<platform::OpenedFile> opened = platform::open_file_with_status(path, platform::Access::read);
    // A file that cannot be read is shown to hold nothing of the distribution's
    // only when it holds nothing past its length before.
    const std::optional<platform::FileStatus> status = opened ? opened->status : platform::regular_file_status(path);
    if (!status || (check.merged_status && status->id == check.merged_status->id)) return;
    const auto [entry, added] = check.files.try_emplace(status->id);
    if (added) {
        const std::int64_t before = length_before(check.journal, status->id).value_or(0);
        entry->second = CheckedFile{WrittenFile{check.current_name, status->id, before, status->size}, before,
                                    status->size >= before && (opened || status->size == before)};
    }
    check.current = &entry->second;
    if (opened) check.sdf = std::move(opened->file);
}

// Compares bytes the distribution writes with those the run's file holds
// there, as far as it holds any.
void compare(Check& check, std::string_view bytes) {
    CheckedFile& checked = *check.current;
    const std::int64_t held = std::max<std::int64_t>(0, checked.file.length_after - checked.next);
    const auto compared = static_cast<std::size_t>(std::min<std::int64_t>(held, static_cast<std::int64_t>(bytes.size())));
    if (checked.shown && compared > 0) {
        check.found.resize(compared);
        const std::optional<std::size_t> count = platform::read_at(check.sdf, checked.next, check.found);
        checked.shown = count == compared && bytes.substr(0, compared) == check.found;
    }
    checked.next += static_cast<std::int64_t>(bytes.size());
}

// A part of a record as the distribution writes it: its line feed as CR LF.
void compare_part(Check& check, std::string_view part) {
    if (!check.current) return;
    const bool ends_line = part.ends_with('\n');
    compare(check, ends_line ? part.substr(0, part.size() - 1) : part);
    if (ends_line) compare(check, "\r\n");
}

// Goes through the merged file as the distribution does, comparing instead
// of writing. False on a read error.
bool check_records(Check& check) {
    for (;;) {
        PieceEnd end = read_piece(check.merged, check.line);
        if (end == PieceEnd::nothing_left) return true;
        if (end == PieceEnd::read_error) return false;
        const std::string_view sdf_name = sdf_name_of(check.line);
        if (!is_file_name_of(check.current_name, sdf_name)) start_checked_run(check, sdf_name);
        if (!holds_record(check.line)) continue;
        compare_part(check, std::string_view(check.line).substr(header_width));
        while (end == PieceEnd::limit) {
            end = read_continuation(check.merged, check.piece);
            if (end == PieceEnd::read_error) return false;
            compare_part(check, check.piece);
        }
    }
}

// Puts back what an unfinished distribution of the merged file wrote.
std::optional<Failure> undo_unfinished(const std::string& directory_text, const Journal& journal,
                                       const std::string& merged_path) {
    std::optional<TextStream> merged = text_open(merged_path, "ra");
    if (!merged) return Failure{FailedStep::opening, merged_path};
    Check check{.merged = *merged,
                .directory_text = directory_text,
                .journal = journal,
                .merged_status = text_file_status(*merged)};
    const bool read = check_records(check);
    static_cast<void>(platform::close_file(check.sdf));  // only read: nothing to report
    static_cast<void>(text_close(*merged));
    if (!read) return Failure{FailedStep::reading, merged_path};

    std::vector<WrittenFile> written;
    for (auto& [id, checked] : check.files) {
        // Bytes past all that the distribution writes are not its own either.
        if (!checked.shown || checked.next < checked.file.length_after) {
            return Failure{FailedStep::opening, checked.file.name};
        }
        written.push_back(std::move(checked.file));
    }
    if (const std::optional<std::string> name = undo_distribution(directory_text, written, journal)) {
        return Failure{FailedStep::opening, *name};
    }
    return std::nullopt;
}

bool is_the_merged_file(const std::string& path, const Journal& journal) {
    const std::optional<platform::FileStatus> status = platform::regular_file_status(path);
    return status && status->id == journal.merged.id;
}

// The run ended while the merged file stood aside for its deletion. When it
// is as the run read it, every SDF file was complete and on stable storage
// by then, and every name of it goes. Anything else goes back to the path.
std::optional<Failure> settle_aside(const std::string& directory_text, const Journal& journal, bool& finished) {
    const std::string aside_path = directory_text + std::string(aside_name);
    const std::string merged_path = directory_text + journal.merged_name;
    const std::optional<platform::FileStatus> aside = platform::regular_file_status(aside_path);
    finished = aside && *aside == journal.merged;
    bool done = false;
    if (finished) {
        done = platform::remove_own_file(aside_path) &&
               (!is_the_merged_file(merged_path, journal) || platform::remove_own_file(merged_path));
    } else {
        const bool back_already = aside && is_the_merged_file(merged_path, journal) && aside->id == journal.merged.id;
        done = back_already ? platform::remove_own_file(aside_path) : platform::put_back(aside_path, merged_path);
    }
    if (!done || !platform::sync_directory(directory_text)) return Failure{FailedStep::deleting, merged_path};
    return std::nullopt;
}

std::optional<Failure> settle(const std::string& directory_text, const Journal& journal) {
    if (platform::path_exists(directory_text + std::string(aside_name))) {
        bool finished = false;
        if (std::optional<Failure> failure = settle_aside(directory_text, journal, finished)) return failure;
        if (finished) return std::nullopt;
    }
    // Gone, or another file in its place: the distribution had finished, or
    // its file was taken away; either way what it wrote stays.
    const std::string merged_path = directory_text + journal.merged_name;
    if (!is_the_merged_file(merged_path, journal)) return std::nullopt;
    return undo_unfinished(directory_text, journal, merged_path);
}

}  // namespace

std::optional<std::string> undo_distribution(const std::string& directory_text,
                                             const std::vector<WrittenFile>& written, const Journal& journal) {
    bool removed_any = false;
    for (const WrittenFile& file : written) {
        const std::string path = directory_text + file.name;
        const std::optional<platform::FileStatus> now = platform::regular_file_status(path);
        if (!now || now->id != file.id || now->size != file.length_after) return file.name;
        const bool created = !length_before(journal, file.id);
        if (created) {
            if (!platform::remove_own_file(path)) return file.name;
            removed_any = true;
        } else if (now->size != file.length_before && !platform::cut_back_file(path, file.id, file.length_before)) {
            return file.name;
        }
    }
    if (removed_any && !platform::sync_directory(directory_text)) return directory_text;
    return std::nullopt;
}

std::optional<Failure> settle_interrupted_distribution(const std::string& directory_text) {
    const FoundJournal found = read_journal(directory_text);
    const std::string journal_path = directory_text + std::string(journal_name);
    switch (found.state) {
    case FoundJournal::State::none: return std::nullopt;
    case FoundJournal::State::unreadable: return Failure{FailedStep::opening, journal_path};
    case FoundJournal::State::unfinished: break;
    case FoundJournal::State::found:
        if (std::optional<Failure> failure = settle(directory_text, found.journal)) return failure;
        break;
    }
    if (!remove_journal(directory_text)) return Failure{FailedStep::deleting, journal_path};
    return std::nullopt;
}
