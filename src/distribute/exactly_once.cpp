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
#include "textfile/names.h"

namespace {

// A run that fails once its distribution has begun leaves every SDF file as
// it found it. The journal goes only when that is done (rule 6).
Failure put_back_after(const platform::Directory& directory, const Distribution& distribution,
                       const Journal& journal, Failure failure) {
    if (!put_back(directory, distribution.touched, journal)) {
        static_cast<void>(remove_journal(directory));  // one left over is recovered as nothing to put back
    }
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

// Deletes exactly the file that was read, and only as it was read (rule 4).
// When it cannot, every SDF file is put back, so that the next run takes the
// merged file whole; but what was written stays when the file read is gone
// for good and no copy of it took its place, since its records are then
// nowhere else.
std::optional<Failure> delete_merged_file(const platform::Directory& directory, ClaimedFile& merged,
                                          const platform::FileStatus& as_read, const Distribution& distribution,
                                          const Journal& journal, Console& console) {
    const std::string path = directory.text + merged.name;
    print(console, messages::deleting, {path});
    platform::File read = text_release(merged.stream);
    platform::Removal removal = platform::remove_file_read(directory, merged.name, aside_name, as_read, read);
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
        // next run, which puts back for a merged file a power loss brought back.
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
    case platform::Removal::left_aside: break;  // given a name above
    }
    static_cast<void>(remove_journal(directory));  // one left over is recovered as finished
    return std::nullopt;
}

// Distributes the merged file, and what it grows by while the run is at it,
// until every byte is read and every record on stable storage. Gives the
// merged file's status as the run read it to its end.
std::optional<Failure> distribute_to_the_end(const platform::Directory& directory, ClaimedFile& merged,
                                             Distribution& distribution, platform::FileStatus& as_read,
                                             Console& console) {
    MergedWalk walk{merged.stream, directory.text + merged.name};
    for (;;) {
        distribute_records(walk, directory, console, distribution);
        if (distribution.failure) return distribution.failure;
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

// The SDF files that distributing the merged file writes, each name ended by
// a NUL, as the distribution spells them; nothing when the merged file names
// more than at_most of them or cannot be read as it was claimed.
std::optional<std::string> sdf_names_in(const platform::Directory& directory, const ClaimedFile& merged,
                                        std::size_t at_most) {
    std::optional<TextStream> stream = text_open_in(directory, merged.name, "ra", platform::Links::refused);
    const std::optional<platform::FileStatus> opened = stream ? text_file_status(*stream) : std::nullopt;
    if (!opened || opened->id != merged.as_claimed.id) return std::nullopt;
    MergedWalk walk{*stream, directory.text + merged.name};
    std::set<std::string> named;
    std::string names;
    for (MergedPart next = next_part(walk); next.part != Part::end; next = next_part(walk)) {
        if (next.part == Part::read_error) return std::nullopt;
        if (next.part == Part::record_rest) continue;
        std::string name(next.sdf_name);
        name += sdf_extension;
        if (!is_plain_file_name(name) || !named.insert(name).second) continue;
        if (named.size() > at_most) return std::nullopt;
        names += name;
        names += '\0';
    }
    static_cast<void>(text_close(*stream));  // only read: nothing to report
    return names;
}

// The SDF files the journal records (rule 2): every one the distribution may
// write to. They are those the merged file names, where reading it once more
// costs less than looking at every SDF file of the directory, and it names
// no more files than the directory holds; else every SDF file of the
// directory. So the journal's cost grows with what the run touches, and
// never with the folder beyond one look at each of its SDF files.
std::string sdf_files_to_journal(const platform::Directory& directory, const ClaimedFile& merged,
                                 std::string_view directory_sdf_names) {
    const auto in_directory =
        static_cast<std::size_t>(std::count(directory_sdf_names.begin(), directory_sdf_names.end(), '\0'));
    if (merged.as_claimed.size < static_cast<std::int64_t>(in_directory) * bytes_read_for_a_file_looked_at) {
        if (std::optional<std::string> named = sdf_names_in(directory, merged, in_directory)) return *named;
    }
    return std::string(directory_sdf_names);
}

}  // namespace

std::optional<Failure> split_exactly_once(const platform::Directory& directory, ClaimedFile& merged,
                                          std::string_view sdf_names, Console& console) {
    const std::optional<Journal> written_journal = write_journal(
        directory, merged.name, merged.as_claimed, sdf_files_to_journal(directory, merged, sdf_names));
    if (!written_journal) {  // rule 2
        static_cast<void>(remove_journal(directory));
        return Failure{FailedStep::writing, directory.text + std::string(journal_name)};
    }
    const Journal& journal = *written_journal;
    Distribution distribution;
    if (merged.listing) distribution.own_files.push_back(*merged.listing);
    const std::optional<platform::FileStatus> written = platform::status_in(directory, journal_name, platform::Links::refused);
    if (written) distribution.own_files.push_back(written->id);
    platform::FileStatus as_read;
    if (std::optional<Failure> failure = distribute_to_the_end(directory, merged, distribution, as_read, console)) {
        static_cast<void>(text_close(merged.stream));  // only read: nothing to report
        return put_back_after(directory, distribution, journal, *failure);
    }
    if (distribution.sdf_files_opened == 0) {
        static_cast<void>(text_close(merged.stream));  // only read: nothing to report
        static_cast<void>(remove_journal(directory));  // nothing was written
        return std::nullopt;
    }
    return delete_merged_file(directory, merged, as_read, distribution, journal, console);
}

std::optional<std::string> put_back(const platform::Directory& directory, const std::vector<TouchedFile>& touched,
                                    const Journal& journal) {
    bool removed_any = false;
    for (const TouchedFile& file : touched) {
        const std::optional<platform::FileStatus> now = platform::status_in(directory, file.name);
        if (!now || now->id != file.id || now->size != file.length_after) return file.name;
        const bool made_by_run = file.length_before == 0 && !journaled_length(journal, file.id);
        if (made_by_run) {
            if (!platform::is_still(directory, file.name, file.id, platform::Links::refused) ||
                !platform::remove_name(directory, file.name)) {
                return file.name;
            }
            removed_any = true;
        } else if (now->size != file.length_before &&
                   !platform::cut_back_file(directory, file.name, file.id, file.length_before)) {
            return file.name;
        }
    }
    if (removed_any && !platform::sync_directory(directory)) return directory.text;
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
