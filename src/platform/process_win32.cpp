// The seam's process and listing on Windows: the arguments as typed, in
// UTF-16, and names matched as Windows matches long names.
#include <string>
#include <vector>

#include "platform/process.h"
#include "platform/wildcard_pattern.h"
#include "platform/win32.h"

namespace platform {

// As dir lists them: in the order of the file system.
const bool listing_sorted = false;

std::optional<File> open_listing(const std::string& path) {
    std::optional<File> listing = open_listing_file(path, GENERIC_WRITE);
    if (!listing || !truncate_file(*listing, 0)) return std::nullopt;
    return listing;
}

bool matches_listing_pattern(std::string_view name, std::string_view extension) {
    return matches_wildcard_pattern(upper_case(name), upper_case("*." + std::string(extension)));
}

// The arguments as msvcrt splits the command line for main, by the same
// rules but in UTF-16 (documented among its startup routines).
extern "C" int __wgetmainargs(int* count, wchar_t*** arguments, wchar_t*** environment, int expand_wildcards,
                              int* new_mode);

std::vector<Argument> command_line_arguments(int argc, char* argv[]) {
    int count = 0;
    wchar_t** typed = nullptr;
    wchar_t** environment = nullptr;
    int new_mode = 0;
    std::vector<Argument> arguments;
    if (__wgetmainargs(&count, &typed, &environment, 0, &new_mode) < 0 || typed == nullptr) {
        // Without the command line as typed, no argument is known to be exact.
        for (int i = 1; i < argc; ++i) arguments.push_back(Argument{argv[i], false});
        return arguments;
    }
    for (int i = 1; i < count; ++i) {
        const std::wstring_view argument = typed[i];
        std::string text = ansi_from_wide(argument);
        const bool exact = wide_from_ansi(text) == argument;
        arguments.push_back(Argument{std::move(text), exact});
    }
    return arguments;
}

File standard_output() {
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    return output == nullptr ? File() : File(value_of(output));
}

bool is_character_device(const File& file) { return GetFileType(handle_of(file)) == FILE_TYPE_CHAR; }

// A file system or drive in trouble gives a failed call, never a dialog box
// that waits for a user.
void prepare_process() { SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX); }

}  // namespace platform
