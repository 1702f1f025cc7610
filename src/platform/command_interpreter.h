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
// quoted). The first is the one a user would look for when none starts.
std::vector<std::string> interpreter_candidates(const std::optional<std::string>& comspec,
                                                std::string_view path_list);

// Whether the interpreter takes text as it is between double quotes. It
// expands "%NAME%" there, and "!NAME!" where delayed expansion is on; a '"'
// ends the quoting, and a line end the command. Paths that hold any of these
// are never handed to it.
[[nodiscard]] bool taken_literally(std::string_view text);

// Whether name matches pattern as the interpreter's dir matches a long name:
// "*" stands for any characters, "?" for one character or for none before a
// "." or the end, and a "." also for none where the name has ended, as in
// "*." for names without an extension. Letters compare without regard to case;
// only ASCII letters are folded here, so a caller folds other letters of its
// code page first.
[[nodiscard]] bool matches_like_dir(std::string_view name, std::string_view pattern);

// The line that starts interpreter on command_text and ends it afterwards,
// with no AutoRun command first and no delayed expansion, whatever the
// registry holds, and with its redirected output in UTF-16.
std::string interpreter_command_line(std::string_view interpreter, std::string_view command_text);

}  // namespace platform
