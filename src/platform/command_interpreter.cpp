// Command lines for a Windows command interpreter.
#include "platform/command_interpreter.h"

#include <algorithm>

namespace platform {

namespace {

constexpr std::string_view interpreter_name = "cmd.exe";

// Appended piece by piece: GCC 12 at -O3 warns (-Wrestrict, wrongly) of the
// overlap in "\"" + std::string(text).
std::string quoted(std::string_view text) {
    std::string result;
    result.reserve(text.size() + 2);
    result += '"';
    result += text;
    result += '"';
    return result;
}

std::string_view without_quotes(std::string_view text) {
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"') return text.substr(1, text.size() - 2);
    return text;
}

}  // namespace

std::string listing_command(std::string_view directory_text, std::string_view extension,
                            std::string_view listing_path) {
    return "dir " + quoted(std::string(directory_text) + "*." + std::string(extension)) + " /b > " +
           std::string(listing_path);
}

std::string deletion_command(std::string_view path) { return "del " + quoted(path) + " > nul"; }

std::vector<std::string> interpreter_candidates(const std::optional<std::string>& comspec,
                                                std::string_view path_list) {
    std::vector<std::string> candidates;
    if (comspec && !comspec->empty()) candidates.push_back(*comspec);
    candidates.emplace_back(interpreter_name);
    while (!path_list.empty()) {
        const std::size_t end = path_list.find(';');
        const std::string_view directory = without_quotes(path_list.substr(0, end));
        path_list.remove_prefix(end == std::string_view::npos ? path_list.size() : end + 1);
        if (directory.empty()) continue;
        const bool ends_in_separator = directory.back() == '\\' || directory.back() == '/';
        candidates.push_back(std::string(directory) + (ends_in_separator ? "" : "\\") + std::string(interpreter_name));
    }
    return candidates;
}

bool taken_literally(std::string_view text) {
    return std::none_of(text.begin(), text.end(), [](char c) {
        return c == '%' || c == '!' || c == '"' || static_cast<unsigned char>(c) < 0x20;
    });
}

bool matches_like_dir(std::string_view name, std::string_view pattern) {
    const auto folded = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; };
    const std::size_t n = name.size();
    const std::size_t p = pattern.size();
    // matches[i * (p + 1) + j]: whether name from i on matches pattern from j
    // on; filled from the ends, so that no pattern takes more than n * p steps.
    std::vector<bool> matches((n + 1) * (p + 1), false);
    const auto at = [&](std::size_t i, std::size_t j) { return matches[i * (p + 1) + j]; };
    for (std::size_t i = n + 1; i-- > 0;) {
        for (std::size_t j = p + 1; j-- > 0;) {
            const bool name_left = i < n;
            bool match = false;
            if (j == p) {
                match = !name_left;
            } else if (pattern[j] == '*') {
                match = at(i, j + 1) || (name_left && at(i + 1, j));
            } else if (pattern[j] == '?') {
                match = (name_left && at(i + 1, j + 1)) || ((!name_left || name[i] == '.') && at(i, j + 1));
            } else if (pattern[j] == '.') {
                match = (name_left && name[i] == '.' && at(i + 1, j + 1)) || (!name_left && at(i, j + 1));
            } else {
                match = name_left && folded(name[i]) == folded(pattern[j]) && at(i + 1, j + 1);
            }
            matches[i * (p + 1) + j] = match;
        }
    }
    return at(0, 0);
}

std::string interpreter_command_line(std::string_view interpreter, std::string_view command_text) {
    // /D: an AutoRun command could change the directory before the command
    // runs. /V:OFF: "!" stays a plain character. /U: what is redirected to a
    // file is UTF-16, whatever the console's code page.
    return std::string(interpreter) + " /D /V:OFF /U /c " + std::string(command_text);
}

}  // namespace platform
