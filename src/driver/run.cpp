// The run, in its order: take the directory's turn, recover what an earlier
// run left unfinished, list the directory, claim the first merged file, and
// split it exactly once.
#include "driver/run.h"

#include <algorithm>
#include <optional>
#include <string>

#include "console/console.h"
#include "console/failure.h"
#include "console/messages.h"
#include "distribute/exactly_once.h"
#include "distribute/recovery.h"
#include "driver/listing.h"
#include "platform/files.h"
#include "platform/turns.h"
#include "textfile/names.h"
#include "textfile/text_stream.h"

namespace {

// Opens the merged file, never through a link, and claims it. Only the run
// that holds the claim, while the name still leads to that same file, may
// distribute it: with runs on one directory taking turns, this is a second
// guard. The listing itself, matching the pattern, is no merged file either.
std::optional<ClaimedFile> claim_merged_file(const platform::Directory& directory, const std::string& name,
                                             const OwnFiles& own_files) {
    std::optional<TextStream> stream = text_open_in(directory, name, "ra", platform::Links::refused);
    if (!stream || !text_claim_exclusively(*stream)) return std::nullopt;
    const std::optional<platform::FileStatus> claimed = text_file_status(*stream);
    if (!claimed || !platform::is_still(directory, name, claimed->id, platform::Links::refused) ||
        std::find(own_files.begin(), own_files.end(), claimed->id) != own_files.end()) {
        return std::nullopt;
    }
    return ClaimedFile{name, directory.text + name, std::move(*stream), *claimed, own_files};
}

// The files of the run's own that it holds: its turn, and its listing once made.
OwnFiles held_files(const platform::File& turn, const Listed& listed) {
    OwnFiles held;
    if (const std::optional<platform::FileStatus> status = platform::file_status(turn)) held.push_back(status->id);
    if (listed.listing) held.push_back(*listed.listing);
    return held;
}

// Whether the listed file is one a run may take: one that was listed whole,
// as a name cut short may name another file, even a hidden one; one that was
// asked for; and never an SDF file, which a pattern such as "*" also lists.
bool may_be_taken(const Listed& listed, const std::string& extension) {
    return !listed.file_name.empty() && platform::matches_listing_pattern(listed.file_name, extension) &&
           !has_sdf_extension(listed.file_name);
}

std::optional<Failure> split_listed_file(const platform::Directory& directory, const std::string& extension,
                                         const Listed& listed, const OwnFiles& own_files, Console& console) {
    const std::string& name = *listed.name;
    const std::string merged_path = directory.text + name;
    // The file the listing stands for, by its name as it stands in the folder.
    const std::string& file_name = listed.file_name.empty() ? name : listed.file_name;
    print(console, messages::input_report, {name, decimal(file_length(directory, file_name))});
    if (!may_be_taken(listed, extension)) return Failure{FailedStep::opening, merged_path};
    std::optional<ClaimedFile> merged = claim_merged_file(directory, file_name, own_files);
    if (!merged) return Failure{FailedStep::opening, merged_path};
    merged->path = merged_path;
    return split_exactly_once(directory, *merged, listed.sdf_names, console);
}

// The run acts on the directory it opened and holds, whatever its path may
// name meanwhile. A directory that cannot be opened is reported, never taken
// for one that holds nothing; nor is an empty argument taken for the root.
std::optional<Failure> split_first_merged_file(const std::string& directory_argument, const std::string& extension,
                                               Console& console) {
    // Appended, not added: GCC 12 warns of a false overlap in `string + string&&`.
    const std::string directory_text = std::string(directory_argument).append(platform::directory_separator);
    const std::optional<platform::Directory> directory =
        directory_argument.empty() ? std::nullopt : platform::open_directory(directory_text);
    if (!directory) return Failure{FailedStep::opening, directory_text};
    // Held to the end of the run: runs on one directory take turns.
    std::optional<platform::File> turn = platform::wait_for_directory_turn(*directory);
    if (!turn) return Failure{FailedStep::opening, std::string(directory_text).append(platform::directory_turn_name)};
    Listed listed;
    std::optional<Failure> failure = recover_interrupted_run(*directory, held_files(*turn, listed));
    if (!failure) failure = list_directory(*directory, extension, listed);
    if (!failure && listed.name) {
        failure = split_listed_file(*directory, extension, listed, held_files(*turn, listed), console);
    }
    // What ending the turn reports changes nothing of the run's work.
    static_cast<void>(platform::end_directory_turn(*directory, *turn));
    return failure;
}

}  // namespace

int run(std::span<const platform::Argument> arguments, Console& console) {
    print(console, messages::banner, {messages::version});
    if (arguments.size() < 2) {
        print(console, messages::usage);
        return exit_normal;
    }
    // Before anything is touched: what a look-alike names may be another file.
    for (const platform::Argument& argument : arguments.first(2)) {
        if (!argument.exact) {
            print(console, messages::error_opening, {argument.text});
            return exit_failed;
        }
    }
    if (const std::optional<Failure> failure = split_first_merged_file(arguments[0].text, arguments[1].text, console)) {
        print(console, message_for(failure->step), {failure->subject});
        return exit_failed;
    }
    return exit_normal;
}
