// The command lines handed to a Windows command interpreter, and where that
// interpreter is looked for. Plain text work, so it is built and tested on
// every host.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// Lists the names that match "*." + extension in the directory, one per line,
// into listing_path. The pattern is quoted so that blanks in the directory work.
std::string listing_command(std::string_view directory_text, std::string_view extension,
                            std::string_view listing_path);

// Deletes the file at path, quietly.
std::string deletion_command(std::string_view path);

// The programs to try, in order, as the interpreter: the one that COMSPEC
// names when it is set, then "cmd.exe" in the current directory and in each
// directory of the PATH list (directories separated by ";", each possibly
// quoted).
std::vector<std::string> interpreter_candidates(const std::optional<std::string>& comspec,
                                                std::string_view path_list);

// The line that starts interpreter on command_text and ends it afterwards.
std::string interpreter_command_line(std::string_view interpreter, std::string_view command_text);

}  // namespace platform
