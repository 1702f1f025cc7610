// The seam to the operating system, what a run takes from its process and
// gives back: the arguments, standard output, process-wide settings, and the
// listing of a directory as this platform's listing command would write it.
// Each platform implements it in a source file of its own (process_posix.cpp,
// process_win32.cpp).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/files.h"

namespace platform {

// Opens the listing file at path for writing, created or emptied, so that a
// listing left by an earlier run never stays; never through a link. Nothing
// when it cannot be, or is no regular file with one name.
[[nodiscard]] std::optional<File> open_listing(const std::string& path);

// Whether a listing holds its names by byte value, as a shell's glob does
// (POSIX), or in the order of the file system, as dir does (Windows).
extern const bool listing_sorted;

// Whether name is one that a listing of "*." + extension may hold, as this
// platform matches names against the pattern.
[[nodiscard]] bool matches_listing_pattern(std::string_view name, std::string_view extension);

// An argument of the command line, in the code page the file functions take
// names in.
struct Argument {
    std::string text;
    // False when a character of it has no form in that code page: text shows
    // it as "?", and a look-alike ("c" for "\u010d") would name another file.
    bool exact = true;
};

// The arguments after the program name, as typed: on Windows from the
// command line in UTF-16, each converted without the system's best fit.
[[nodiscard]] std::vector<Argument> command_line_arguments(int argc, char* argv[]);

// Standard output, and whether it is a console (a character device) that must
// show every message at once.
File standard_output();
bool is_character_device(const File& file);

// Process-wide settings made once at start: a closed pipe or a file-size
// limit must surface as a failed write that the command reports, not as a
// signal that ends the process halfway through a run; and a standard stream
// that was closed is opened on the null device, so that no data file can take
// its place and receive console messages.
void prepare_process();

}  // namespace platform
