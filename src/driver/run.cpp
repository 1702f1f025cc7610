// The run: take the directory's turn, settle what an earlier run left
// unfinished, list the directory, pick the first merged file, distribute it,
// delete it.
#include "driver/run.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>

#include "console/console.h"
#include "console/messages.h"
#include "distribute/distribute.h"
#include "distribute/journal.h"
#include "distribute/recovery.h"
#include "platform/platform.h"
#include "textfile/names.h"
#include "textfile/text_stream.h"

namespace {

const std::string listing_path = "work1d.tmp";
constexpr std::int32_t listing_line_limit = 20;
// A listing this short holds no name worth taking: at most 4 characters and CR LF.
constexpr std::uint64_t nothing_listed_length = 6;

// The merged file a run has claimed.
struct MergedFile {
    std::string path;
    TextStream stream;
    platform::FileStatus as_read;  // as it was when it was opened
};

// The first name of the listing; empty when the listing yields no line. The
// listing is only read, so its close has nothing to report.
std::optional<std::string> first_listed_name() {
    std::optional<TextStream> listing = text_open(listing_path, "ra");
    if (!listing) return std::nullopt;
    std::string name;
    if (!text_read_line(name, listing_line_limit, *listing)) name.clear();
    static_cast<void>(text_close(*listing));
    trim_trailing_blanks(name);
    return name;
}

// Lists the directory into a listing of this run's own and reads its first
// name. Runs that share the current directory take turns from the writing
// of the listing to that read, so that none takes another's listing. Nothing
// when nothing was listed.
std::optional<Failure> list_first_name(const std::string& directory_text, const std::string& extension,
                                       std::optional<std::string>& listed_name) {
    // The turn ends when its file goes, whichever way this function returns.
    const std::optional<platform::File> turn = platform::wait_for_listing_turn(listing_path);
    if (!turn) return Failure{FailedStep::opening, listing_path};
    switch (platform::write_listing(directory_text, extension, listing_path)) {
    case platform::Listing::written: break;
    case platform::Listing::not_opened: return Failure{FailedStep::opening, listing_path};
    case platform::Listing::not_written: return Failure{FailedStep::writing, listing_path};
    case platform::Listing::no_interpreter: return Failure{FailedStep::opening, platform::interpreter_program()};
    }
    if (static_cast<std::uint64_t>(file_length(listing_path)) <= nothing_listed_length) return std::nullopt;
    listed_name = first_listed_name();
    if (!listed_name) return Failure{FailedStep::opening, listing_path};
    return std::nullopt;
}

// Whether the file is the listing of this run, by whatever name it was listed.
bool is_the_listing(const platform::FileId& file) {
    const std::optional<platform::FileStatus> listing = platform::regular_file_status(listing_path);
    return listing && listing->id == file;
}

// Opens the merged file and claims it. Only the run that holds the merged
// file's lock, while its path still names that same file, may distribute
// it: with runs on one directory taking turns, this is a second guard. The
// listing itself, matching the pattern, is no merged file either.
std::optional<MergedFile> claim_merged_file(const std::string& merged_path) {
    std::optional<TextStream> stream = text_open(merged_path, "ra");
    if (!stream || !text_lock_exclusively(*stream)) return std::nullopt;
    const std::optional<platform::FileStatus> at_path = platform::regular_file_status(merged_path);
    const std::optional<platform::FileStatus> opened = text_file_status(*stream);
    if (!at_path || !opened || at_path->id != opened->id || is_the_listing(opened->id)) return std::nullopt;
    return MergedFile{merged_path, std::move(*stream), *opened};
}

// A run that fails once its distribution has begun leaves every SDF file as
// it found it. The journal goes only when that is done: should anything be
// left, or a crash come meanwhile, the next run settles it.
Failure undone(const std::string& directory_text, const Distribution& distribution, const Journal& journal,
               Failure failure) {
    if (!undo_distribution(directory_text, distribution.written, journal)) {
        static_cast<void>(remove_journal(directory_text));  // one left over is settled as nothing to undo
    }
    return failure;
}

// Whether the file now at path begins with every byte of the file read: a
// copy of it that grew, put in its place.
bool begins_with_file_read(const std::string& path, platform::File& read, std::int64_t length) {
    std::optional<platform::File> now = platform::open_file(path, platform::Access::read);
    if (!now) return false;
    char ours[4096];
    char theirs[4096];
    for (std::int64_t offset = 0; offset < length;) {
        const std::optional<std::size_t> count = platform::read_at(read, offset, ours);
        if (!count || *count == 0) return false;
        const std::optional<std::size_t> same = platform::read_at(*now, offset, {theirs, *count});
        if (!same || *same != *count || !std::equal(ours, ours + *count, theirs)) return false;
        offset += static_cast<std::int64_t>(*count);
    }
    return true;
}

// Deletes exactly the file that was read, and only when nothing in it was
// left unread. When it cannot, the distribution is undone, so that the next
// run takes the merged file whole; but what the distribution wrote stays
// when the file read is gone for good and no copy of it took its place,
// since its records are then nowhere else.
std::optional<Failure> delete_merged_file(const std::string& directory_text, MergedFile& merged,
                                          const Distribution& distribution, const Journal& journal, Console& console) {
    print(console, messages::deleting, {merged.path});
    const std::string aside_path = directory_text + std::string(aside_name);
    platform::File read = text_release(merged.stream);
    const platform::Removal removal = platform::remove_file_read(merged.path, aside_path, merged.as_read, read);
    const bool only_copy = !platform::has_a_name(read) &&
                           !(removal == platform::Removal::replaced &&
                             begins_with_file_read(merged.path, read, merged.as_read.size));
    static_cast<void>(platform::close_file(read));  // only read: nothing to report
    switch (removal) {
    case platform::Removal::removed:
        // Should the deletion not reach the disk, the journal lets the next
        // run settle the merged file that a power loss brings back.
        if (!platform::sync_directory(directory_text)) return std::nullopt;
        break;
    case platform::Removal::gone:
    case platform::Removal::replaced:
        if (!only_copy) return undone(directory_text, distribution, journal, {FailedStep::reading, merged.path});
        break;
    case platform::Removal::changed:
        return undone(directory_text, distribution, journal, {FailedStep::reading, merged.path});
    case platform::Removal::not_removed:
        return undone(directory_text, distribution, journal, {FailedStep::deleting, merged.path});
    case platform::Removal::left_aside:
        // Every record is written; the next run finishes the deletion.
        return Failure{FailedStep::deleting, merged.path};
    }
    static_cast<void>(remove_journal(directory_text));  // one left over is settled as finished
    return std::nullopt;
}

std::optional<Failure> split_listed_file(const std::string& directory_text, const std::string& extension,
                                         const std::string& listed_name, Console& console) {
    const std::string merged_path = directory_text + listed_name;
    print(console, messages::input_report, {listed_name, decimal(file_length(merged_path))});
    // Only a file that was asked for is taken: a name cut short may name
    // another file, and on Windows a listed name may match by its short name.
    if (!platform::matches_listing_pattern(listed_name, extension)) return Failure{FailedStep::opening, merged_path};
    std::optional<MergedFile> merged = claim_merged_file(merged_path);
    if (!merged) return Failure{FailedStep::opening, merged_path};

    // Before the first byte reaches an SDF file, what it takes to undo the
    // distribution is on stable storage.
    const Journal journal = journal_before_distribution(directory_text, listed_name, merged->as_read);
    if (!write_journal(directory_text, journal)) {
        static_cast<void>(remove_journal(directory_text));
        return Failure{FailedStep::writing, directory_text + std::string(journal_name)};
    }
    const Distribution distribution = distribute_records(merged->stream, merged_path, directory_text, console);
    if (distribution.failure || distribution.sdf_files_opened == 0) {
        static_cast<void>(text_close(merged->stream));  // only read: nothing to report
        if (distribution.failure) return undone(directory_text, distribution, journal, *distribution.failure);
        static_cast<void>(remove_journal(directory_text));  // nothing was written
        return std::nullopt;
    }
    return delete_merged_file(directory_text, *merged, distribution, journal, console);
}

std::optional<Failure> split_first_merged_file(const std::string& directory_text, const std::string& extension,
                                               Console& console) {
    // Held to the end of the run: runs on one directory take turns.
    const platform::DirectoryTurn turn = platform::wait_for_directory_turn(directory_text);
    switch (turn.state) {
    case platform::DirectoryTurn::State::held:
        if (std::optional<Failure> failure = settle_interrupted_distribution(directory_text)) return failure;
        break;
    case platform::DirectoryTurn::State::no_directory: break;  // nothing will be listed
    case platform::DirectoryTurn::State::failed: return Failure{FailedStep::opening, directory_text};
    }
    std::optional<std::string> listed_name;
    if (std::optional<Failure> failure = list_first_name(directory_text, extension, listed_name)) return failure;
    if (!listed_name) return std::nullopt;
    return split_listed_file(directory_text, extension, *listed_name, console);
}

}  // namespace

int run(std::span<const std::string> arguments, Console& console) {
    print(console, messages::banner, {messages::version});
    if (arguments.size() < 2) {
        print(console, messages::usage);
        return exit_normal;
    }
    const std::string directory_text = arguments[0] + std::string(platform::directory_separator);
    const std::string& extension = arguments[1];

    if (const std::optional<Failure> failure = split_first_merged_file(directory_text, extension, console)) {
        print(console, message_for(failure->step), {failure->subject});
        return exit_failed;
    }
    return exit_normal;
}
