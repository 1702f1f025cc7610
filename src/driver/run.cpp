// The run: list the directory, pick the first merged file, distribute it, delete it.
#include "driver/run.h"

#include <cstdint>
#include <optional>
#include <string>

#include "console/console.h"
#include "console/messages.h"
#include "distribute/distribute.h"
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

// Whether the file is the listing of this run, by whatever name it was listed.
bool is_the_listing(const platform::FileId& file) {
    const std::optional<platform::FileStatus> listing = platform::regular_file_status(listing_path);
    return listing && listing->id == file;
}

// Only the run that holds the merged file's lock, while its path still names
// that same file, may distribute it. A second run started at the same time,
// or one that opened the file just before an earlier run deleted or replaced
// it, must leave it alone, or its records would be written twice. The
// listing itself, matching the pattern, is no merged file either.
bool claim_merged_file(TextStream& merged, const std::string& merged_path) {
    if (!text_lock_exclusively(merged)) return false;
    const std::optional<platform::FileStatus> at_path = platform::regular_file_status(merged_path);
    const std::optional<platform::FileId> opened = text_file_id(merged);
    return at_path && opened && at_path->id == *opened && !is_the_listing(*opened);
}

// Deleted while the file is still open and locked, so that no other run can
// claim it between the close and the deletion.
std::optional<Failure> delete_merged_file(TextStream& merged, const std::string& merged_path, Console& console) {
    print(console, messages::deleting, {merged_path});
    // What the deletion reports is not trusted either way: whether the file
    // is gone is asked once it is closed. It was only read, so its close has
    // nothing to report.
    static_cast<void>(platform::remove_file(merged_path));
    static_cast<void>(text_close(merged));
    // A merged file left in place would be distributed again by the next run.
    if (platform::path_exists(merged_path)) return Failure{FailedStep::deleting, merged_path};
    return std::nullopt;
}

std::optional<Failure> split_first_listed_file(const std::string& directory_text, const std::string& extension,
                                               Console& console) {
    const std::optional<std::string> listed_name = first_listed_name();
    if (!listed_name) return Failure{FailedStep::opening, listing_path};

    const std::string merged_path = directory_text + *listed_name;
    print(console, messages::input_report, {*listed_name, decimal(file_length(merged_path))});
    // Only a file that was asked for is taken: a name cut short may name
    // another file, and on Windows a listed name may match by its short name.
    if (!platform::matches_listing_pattern(*listed_name, extension)) return Failure{FailedStep::opening, merged_path};
    std::optional<TextStream> merged = text_open(merged_path, "ra");
    if (!merged || !claim_merged_file(*merged, merged_path)) return Failure{FailedStep::opening, merged_path};

    const Distribution distribution = distribute_records(*merged, merged_path, directory_text, console);
    if (distribution.failure || distribution.sdf_files_opened == 0) {
        static_cast<void>(text_close(*merged));  // only read: nothing to report
        return distribution.failure;
    }
    return delete_merged_file(*merged, merged_path, console);
}

// Lists the directory into a listing of this run's own, and splits the first
// file listed. Nothing when the run ends normally.
std::optional<Failure> split_first_merged_file(const std::string& directory_text, const std::string& extension,
                                               Console& console) {
    switch (platform::write_listing(directory_text, extension, listing_path)) {
    case platform::Listing::written: break;
    case platform::Listing::not_opened: return Failure{FailedStep::opening, listing_path};
    case platform::Listing::not_written: return Failure{FailedStep::writing, listing_path};
    case platform::Listing::no_interpreter: return Failure{FailedStep::opening, platform::interpreter_program()};
    }
    if (static_cast<std::uint64_t>(file_length(listing_path)) <= nothing_listed_length) return std::nullopt;
    return split_first_listed_file(directory_text, extension, console);
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
