// The listing, and the SDF files found in the same pass.
#include "driver/listing.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "platform/process.h"
#include "platform/turns.h"
#include "textfile/names.h"
#include "textfile/text_stream.h"

namespace {

constexpr std::int32_t listing_line_limit = 20;
// A listing this short holds no name worth taking: at most 4 characters and CR LF.
constexpr std::uint64_t nothing_listed_length = 6;

// The first name of the listing, read through the file that holds the
// listing's turn; empty when the listing yields no line. Nothing on a read
// error.
std::optional<std::string> first_listed_name(platform::File& listing_turn) {
    TextStream listing = text_stream_for_reading(std::move(listing_turn));
    std::string name;
    if (!text_read_line(name, listing_line_limit, listing)) name.clear();
    listing_turn = text_release(listing);
    if (text_error(listing)) return std::nullopt;
    trim_trailing_blanks(name);
    return name;
}

// Whether a listing of "*." + extension holds the entry: as a shell's glob,
// or as Windows matches a long name. A name that only its short (8.3) name
// would match is no file anyone asked for.
bool is_listed(const platform::DirectoryEntry& entry, const std::string& extension) {
    return entry.listed && platform::matches_listing_pattern(entry.name, extension);
}

// One pass over the directory: the names a listing takes, in its order, and
// the names of the SDF files. A directory that cannot be read lists nothing.
std::vector<std::string> names_in(const platform::Directory& directory, const std::string& extension,
                                  SdfNames& sdf_names) {
    std::vector<std::string> names;
    platform::DirectoryReading reading = platform::read_directory(directory);
    platform::DirectoryEntry entry;
    while (reading && platform::next_entry(reading, entry)) {
        if (is_listed(entry, extension)) names.push_back(entry.name);
        if (has_sdf_extension(entry.name)) sdf_names.add(entry.name);
    }
    if (platform::listing_sorted) std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

std::optional<Failure> list_directory(const platform::Directory& directory, const std::string& extension,
                                      Listed& listed) {
    // The turn ends when its file goes, whichever way this function returns.
    std::optional<platform::File> listing_turn = platform::wait_for_listing_turn(listing_path);
    if (!listing_turn) return Failure{FailedStep::opening, listing_path};
    // Made, or emptied, before the directory is read, as a shell's redirection
    // would be: a listing of the current directory holds the listing itself.
    std::optional<platform::File> listing = platform::open_listing(listing_path);
    if (!listing) return Failure{FailedStep::opening, listing_path};
    std::string text;
    const std::vector<std::string> names = names_in(directory, extension, listed.sdf_names);
    for (const std::string& name : names) {
        text += name;
        text += "\r\n";
    }
    const bool written = platform::write_all(*listing, text);
    if (!platform::close_file(*listing) || !written) return Failure{FailedStep::writing, listing_path};

    const std::optional<platform::FileStatus> status = platform::file_status(*listing_turn);
    if (!status) return Failure{FailedStep::reading, listing_path};
    listed.listing = status->id;
    if (static_cast<std::uint64_t>(status->size) <= nothing_listed_length) return std::nullopt;
    listed.name = first_listed_name(*listing_turn);
    if (!listed.name) return Failure{FailedStep::reading, listing_path};
    if (!names.empty() && names.front().size() < listing_line_limit && trimmed(names.front()) == *listed.name) {
        listed.file_name = names.front();
    }
    return std::nullopt;
}
