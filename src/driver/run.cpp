// The run, in its order: take the directory's turn, recover what an earlier
// run left unfinished, list the directory, claim the first merged file, and
// split it exactly once.
#include "driver/run.h"

#include <cstdint>
#include <optional>
#include <string>

#include "console/console.h"
#include "console/failure.h"
#include "console/messages.h"
#include "distribute/exactly_once.h"
#include "distribute/recovery.h"
#include "platform/platform.h"
#include "textfile/names.h"
#include "textfile/text_stream.h"

namespace {

const std::string listing_path = "work1d.tmp";
constexpr std::int32_t listing_line_limit = 20;
// A listing this short holds no name worth taking: at most 4 characters and CR LF.
constexpr std::uint64_t nothing_listed_length = 6;

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

// What the listing gave: its first name, when it listed one, and the
// listing file itself, which is never taken for a merged file.
struct Listed {
    std::optional<std::string> name;
    std::optional<platform::FileId> listing;
};

// Lists the directory into a listing of this run's own and reads its first
// name. Runs that share the current directory take turns from the writing
// of the listing to that read, so that none takes another's listing.
std::optional<Failure> list_first_name(const platform::Directory& directory, const std::string& extension,
                                       Listed& listed) {
    // The turn ends when its file goes, whichever way this function returns.
    const std::optional<platform::File> turn = platform::wait_for_listing_turn(listing_path);
    if (!turn) return Failure{FailedStep::opening, listing_path};
    switch (platform::write_listing(directory, extension, listing_path)) {
    case platform::Listing::written: break;
    case platform::Listing::not_opened: return Failure{FailedStep::opening, listing_path};
    case platform::Listing::not_written: return Failure{FailedStep::writing, listing_path};
    }
    if (const std::optional<platform::FileStatus> listing = platform::file_status(*turn)) listed.listing = listing->id;
    if (static_cast<std::uint64_t>(file_length(listing_path)) <= nothing_listed_length) return std::nullopt;
    listed.name = first_listed_name();
    if (!listed.name) return Failure{FailedStep::opening, listing_path};
    return std::nullopt;
}

// Opens the merged file, never through a link, and claims it. Only the run
// that holds the claim, while the name still leads to that same file, may
// distribute it: with runs on one directory taking turns, this is a second
// guard. The listing itself, matching the pattern, is no merged file either.
std::optional<ClaimedFile> claim_merged_file(const platform::Directory& directory, const std::string& name,
                                             const std::optional<platform::FileId>& listing) {
    std::optional<TextStream> stream = text_open_in(directory, name, "ra", platform::Links::refused);
    if (!stream || !text_claim_exclusively(*stream)) return std::nullopt;
    const std::optional<platform::FileStatus> claimed = text_file_status(*stream);
    if (!claimed || !platform::is_still(directory, name, claimed->id, platform::Links::refused) ||
        claimed->id == listing) {
        return std::nullopt;
    }
    return ClaimedFile{name, std::move(*stream), *claimed, listing};
}

// Whether the listed name is one a run may take: one that was asked for, as
// a name cut short may name another file, and on Windows a listed name may
// match by its short name; and never an SDF file, which a pattern such as "*"
// also lists.
bool may_be_taken(const std::string& name, const std::string& extension) {
    return platform::matches_listing_pattern(name, extension) && !has_sdf_extension(name);
}

std::optional<Failure> split_listed_file(const platform::Directory& directory, const std::string& extension,
                                         const Listed& listed, Console& console) {
    const std::string& name = *listed.name;
    const std::string merged_path = directory.text + name;
    print(console, messages::input_report, {name, decimal(file_length(directory, name))});
    if (!may_be_taken(name, extension)) return Failure{FailedStep::opening, merged_path};
    std::optional<ClaimedFile> merged = claim_merged_file(directory, name, listed.listing);
    if (!merged) return Failure{FailedStep::opening, merged_path};
    return split_exactly_once(directory, *merged, console);
}

// The run acts on the directory it opened and holds, whatever its path may
// name meanwhile. A directory that cannot be opened is reported, never taken
// for one that holds nothing; nor is an empty argument taken for the root.
std::optional<Failure> split_first_merged_file(const std::string& directory_argument, const std::string& extension,
                                               Console& console) {
    const std::string directory_text = directory_argument + std::string(platform::directory_separator);
    const std::optional<platform::Directory> directory =
        directory_argument.empty() ? std::nullopt : platform::open_directory(directory_text);
    if (!directory) return Failure{FailedStep::opening, directory_text};
    // Held to the end of the run: runs on one directory take turns.
    std::optional<platform::File> turn = platform::wait_for_directory_turn(*directory);
    if (!turn) return Failure{FailedStep::opening, directory_text + std::string(platform::directory_turn_name)};
    std::optional<Failure> failure = recover_interrupted_run(*directory);
    Listed listed;
    if (!failure) failure = list_first_name(*directory, extension, listed);
    if (!failure && listed.name) failure = split_listed_file(*directory, extension, listed, console);
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
