// The forward half of the exactly-once protocol: journal, distribution,
// sync, checked deletion, and the putting back of a run that failed. The
// rules it keeps are numbered in exactly_once.h.
#include "distribute/exactly_once.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <set>

#include "console/messages.h"
#include "distribute/merged_walk.h"
#include "platform/turns.h"
#include "textfile/names.h"

namespace {

std::string journal_path(const platform::Directory& directory) { return directory.text + std::string(journal_name); }

// A run that fails once its distribution has begun leaves every SDF file as
// it found it. The journal goes only when that is done (rule 6).
Failure put_back_after(const platform::Directory& directory, const Distribution& distribution, Journal& journal,
                       Failure failure) {
    // Where a file could not be put back, the journal stays for the next run;
    // one left over once all is put back is recovered as nothing to put back.
    const std::optional<Failure> not_put_back = put_back(directory, distribution.touched);
    if (!not_put_back) static_cast<void>(remove_journal(directory, journal));
    return failure;
}

// Rule 3: once the merged file moves, its records live only in the SDF files.
std::optional<Failure> make_durable(const platform::Directory& directory, const std::vector<TouchedFile>& touched) {
    for (const TouchedFile& file : touched) {
        if (!platform::sync_written_file(directory, file.name, file.id)) return Failure{FailedStep::writing, file.name};
    }
    if (!touched.empty() && !platform::sync_directory(directory)) return Failure{FailedStep::writing, directory.text};
    return std::nullopt;
}

enum class Reading { to_the_end, grew, changed };

// Whether the run has read every byte of the merged file as it stands now. A
// 0x1A ends the text for good, whatever follows it.
Reading reading_of(const TextStream& merged, const platform::FileStatus& now) {
    if (text_ended_by_end_of_text(merged) || now.size == text_bytes_read(merged)) return Reading::to_the_end;
    return now.size > text_bytes_read(merged) ? Reading::grew : Reading::changed;
}

// Whether the file now at name begins with every byte of the file read: a
// copy of it that grew, put in its place.
bool begins_with_file_read(const platform::Directory& directory, std::string_view name, platform::File& read,
                           std::int64_t length) {
    std::optional<platform::OpenedFile> now = platform::open_in(directory, name, platform::Access::read);
    if (!now) return false;
    std::array<char, 4096> ours;
    std::array<char, 4096> theirs;
    for (std::int64_t offset = 0; offset < length;) {
        const std::optional<std::size_t> count = platform::read_at(read, offset, ours);
        if (!count || *count == 0) return false;
        const std::optional<std::size_t> same = platform::read_at(now->file, offset, {theirs.data(), *count});
        if (!same || *same != *count || !std::equal(ours.begin(), ours.begin() + *count, theirs.begin())) return false;
        offset += static_cast<std::int64_t>(*count);
    }
    return true;
}

// Removes the file read once it is known to be ready (rule 4): the journal
// says so first, and takes it back when the file cannot go. A journal that
// cannot take it back stays as it is, for the next run, and nothing is put
// back: every record is on stable storage, and that run finishes the removal.
std::optional<Failure> remove_ready_file(const platform::Directory& directory, const std::string& name,
                                         platform::File& read, const platform::FileStatus& as_read, Journal& journal,
                                         platform::Removal& removal) {
    const bool marked = mark_finished(journal, as_read);
    removal = marked ? platform::remove_prepared(directory, name, aside_name, read)
                     : platform::cancel_removal(directory, name, aside_name);
    if (removal != platform::Removal::removed && !unmark_finished(journal)) {
        return Failure{FailedStep::writing, journal_path(directory)};
    }
    return std::nullopt;
}

// Deletes exactly the file that was read, and only as it was read (rule 4).
// When it cannot, every SDF file is put back, so that the next run takes the
// merged file whole; but what was written stays when the file read is gone
// for good and no copy of it took its place, since its records are then
// nowhere else.
std::optional<Failure> delete_merged_file(const platform::Directory& directory, ClaimedFile& merged,
                                          const platform::FileStatus& as_read, const Distribution& distribution,
                                          Journal& journal, Console& console) {
    const std::string& path = merged.path;
    print(console, messages::deleting, {path});
    platform::File read = text_release(merged.stream);
    platform::Removal removal = platform::prepare_removal(directory, merged.name, aside_name, as_read, read);
    if (removal == platform::Removal::ready) {
        if (std::optional<Failure> failure = remove_ready_file(directory, merged.name, read, as_read, journal, removal)) {
            return failure;
        }
    }
    if (removal == platform::Removal::left_aside) {
        // Its name was taken meanwhile: what stands aside gets another, so
        // that no record stays hidden; the journal stays until it has one.
        if (!give_back_name(directory, merged.name)) return Failure{FailedStep::deleting, path};
        removal = !platform::has_a_name(read)                  ? platform::Removal::replaced
                  : platform::file_status(read) == as_read ? platform::Removal::not_removed
                                                            : platform::Removal::changed;
    }
    const bool only_copy = !platform::has_a_name(read) &&
                           !(removal == platform::Removal::replaced &&
                             begins_with_file_read(directory, merged.name, read, as_read.size));
    static_cast<void>(platform::close_file(read));  // only read: nothing to report
    switch (removal) {
    case platform::Removal::removed:
        // Should the removal not reach the disk, the journal stays for the
        // next run, which finds it marked finished.
        if (!platform::sync_directory(directory)) return std::nullopt;
        break;
    case platform::Removal::gone:
    case platform::Removal::replaced:
        if (!only_copy) return put_back_after(directory, distribution, journal, {FailedStep::reading, path});
        break;
    case platform::Removal::changed:
        return put_back_after(directory, distribution, journal, {FailedStep::reading, path});
    case platform::Removal::not_removed:
        return put_back_after(directory, distribution, journal, {FailedStep::deleting, path});
    case platform::Removal::aside_taken:
        return put_back_after(directory, distribution, journal,
                              {FailedStep::deleting, directory.text + std::string(aside_name)});
    case platform::Removal::ready:
    case platform::Removal::left_aside: break;  // removed or given a name above
    }
    static_cast<void>(remove_journal(directory, journal));  // one left over is recovered as finished
    return std::nullopt;
}

// Distributes the merged file, and what it grows by while the run is at it,
// until every byte is read and every record on stable storage. Gives the
// merged file's status as the run read it to its end.
std::optional<Failure> distribute_to_the_end(const platform::Directory& directory, ClaimedFile& merged,
                                             Distribution& distribution, platform::FileStatus& as_read,
                                             Console& console) {
    MergedWalk walk{merged.stream, merged.path};
    for (;;) {
        if (std::optional<Failure> failure = distribute_records(walk, directory, console, distribution)) {
            return failure;
        }
        if (distribution.sdf_files_opened == 0) return std::nullopt;
        if (std::optional<Failure> failure = make_durable(directory, distribution.touched)) return failure;
        const std::optional<platform::FileStatus> now = text_file_status(merged.stream);
        const Reading reading = now ? reading_of(merged.stream, *now) : Reading::changed;
        if (reading == Reading::to_the_end) {
            as_read = *now;
            return std::nullopt;
        }
        // A last line whose line end the run supplied may go on in what was
        // added: the run cannot take the file as it is now.
        if (reading == Reading::changed || walk.completed_last_line) return Failure{FailedStep::reading, walk.path};
        text_read_on(merged.stream);
    }
}

// Looking at an SDF file for the journal costs about what reading this many
// bytes of the merged file does (measured: 3 us a file, 0.5 ns a byte).
constexpr std::int64_t bytes_read_for_a_file_looked_at = 6000;

// The SDF files that distributing the merged file writes, as the
// distribution spells them; nothing when the merged file names more than
// at_most of them or cannot be read as it was claimed. Short lines name
// their files too: they open them.
std::optional<SdfNames> sdf_names_in(const platform::Directory& directory, const ClaimedFile& merged,
                                     std::size_t at_most) {
    std::optional<TextStream> stream = text_open_in(directory, merged.name, "ra", platform::Links::refused);
    const std::optional<platform::FileStatus> opened = stream ? text_file_status(*stream) : std::nullopt;
    if (!opened || opened->id != merged.as_claimed.id) return std::nullopt;
    MergedWalk walk{*stream, merged.path};
    std::set<std::string> named;
    SdfNames names;
    for (MergedPart next = next_part(walk); next.part != Part::end; next = next_part(walk)) {
        if (next.part == Part::read_error) return std::nullopt;
        const std::string& name = walk.file_name;
        if (!next.starts_batch || !is_plain_file_name(name) || !named.insert(name).second) continue;
        if (named.size() > at_most) return std::nullopt;
        names.add(name);
    }
    static_cast<void>(text_close(*stream));  // only read: nothing to report
    return names;
}

// The SDF files the journal's first part records (rule 2): those the merged
// file names, where reading it once more costs less than looking at every
// SDF file of the directory, and it names no more files than the directory
// holds; else every SDF file of the directory. So the journal's cost grows
// with what the run touches, and never with the folder beyond one look at
// each of its SDF files. A file that neither holds, made meanwhile, is
// recorded when the run first opens it.
SdfNames sdf_files_to_journal(const platform::Directory& directory, const ClaimedFile& merged,
                              const SdfNames& directory_sdf_names) {
    const std::size_t in_directory = directory_sdf_names.count();
    if (merged.as_claimed.size < static_cast<std::int64_t>(in_directory) * bytes_read_for_a_file_looked_at) {
        if (std::optional<SdfNames> named = sdf_names_in(directory, merged, in_directory)) return *named;
    }
    return directory_sdf_names;
}

}  // namespace

OwnFiles own_files_of(const platform::Directory& directory, const OwnFiles& held, const Journal& journal) {
    OwnFiles own = held;
    for (const std::optional<platform::FileStatus>& status :
         {platform::file_status(journal.file), platform::status_in(directory, aside_name, platform::Links::refused)}) {
        if (status) own.push_back(status->id);
    }
    return own;
}

std::optional<Failure> split_exactly_once(const platform::Directory& directory, ClaimedFile& merged,
                                          const SdfNames& sdf_names, Console& console) {
    std::optional<Journal> journal =
        write_journal(directory, merged.name, merged.as_claimed, sdf_files_to_journal(directory, merged, sdf_names));
    if (!journal) return Failure{FailedStep::writing, journal_path(directory)};  // rule 2
    Distribution distribution{.own_files = own_files_of(directory, merged.own_files, *journal),
                              .journal = &*journal,
                              .journal_path = journal_path(directory)};
    platform::FileStatus as_read;
    if (std::optional<Failure> failure = distribute_to_the_end(directory, merged, distribution, as_read, console)) {
        static_cast<void>(text_close(merged.stream));  // only read: nothing to report
        return put_back_after(directory, distribution, *journal, *failure);
    }
    if (distribution.sdf_files_opened == 0) {
        static_cast<void>(text_close(merged.stream));  // only read: nothing to report
        static_cast<void>(remove_journal(directory, *journal));  // nothing was written
        return std::nullopt;
    }
    return delete_merged_file(directory, merged, as_read, distribution, *journal, console);
}

std::optional<Failure> put_back(const platform::Directory& directory, const std::vector<TouchedFile>& touched) {
    bool removed_any = false;
    for (const TouchedFile& file : touched) {
        const Failure kept{FailedStep::opening, file.name};
        const std::optional<platform::FileStatus> now = platform::status_in(directory, file.name);
        if (!now || now->id != file.id || now->size != file.length_after) return kept;
        if (file.created) {
            if (!platform::is_still(directory, file.name, file.id, platform::Links::refused) ||
                !platform::remove_name(directory, file.name)) {
                return kept;
            }
            removed_any = true;
        } else if (now->size != file.length_before &&
                   !platform::cut_back_file(directory, file.name, file.id, file.length_before)) {
            return kept;
        }
    }
    if (removed_any && !platform::sync_directory(directory)) return Failure{FailedStep::writing, directory.text};
    return std::nullopt;
}

bool give_back_name(const platform::Directory& directory, const std::string& name) {
    // A crash between the link that gives the name and the removal of the
    // aside name leaves the file under both.
    if (const std::optional<platform::FileStatus> aside = platform::status_in(directory, aside_name)) {
        if (platform::is_still(directory, name, aside->id)) return platform::remove_name(directory, aside_name);
    }
    if (platform::move_unless_taken(directory, aside_name, name)) return true;
    const std::size_t dot = std::min(name.rfind('.'), name.size());
    for (char number = '1'; number <= '9'; ++number) {
        const std::string other = name.substr(0, dot) + "." + number + name.substr(dot);
        if (platform::move_unless_taken(directory, aside_name, other)) return true;
    }
    return false;
}
