// Command lines for a Windows command interpreter.
#include "platform/command_interpreter.h"

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

std::string interpreter_command_line(std::string_view interpreter, std::string_view command_text) {
    return std::string(interpreter) + " /c " + std::string(command_text);
}

}  // namespace platform
