// Runs the built command as a user would, in the background or to its end,
// and takes what it shows.
#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace testing_support {

struct Invocation {
    std::vector<std::string> arguments;  // on Windows in UTF-8, given to the command in UTF-16 as a console does
    std::filesystem::path working_directory;
    std::filesystem::path output_file{};  // standard output goes to this file; when empty it is taken
    std::optional<long> file_size_limit{};  // bytes, as a shell's ulimit -f would set
    bool unprivileged = false;            // run as the user nobody, given the working directory, when the tests run as root
    bool on_terminal = false;             // standard output on a terminal instead of a pipe
    bool without_standard_streams = false;  // started with standard input and output closed
    bool with_console = false;  // Windows: a console of its own (a pseudo console), standard output still a pipe
    std::optional<unsigned> umask{};  // POSIX: the file mode creation mask it starts with
    std::vector<std::string> environment{};  // NAME=value settings added to the command's environment
    std::chrono::seconds time_allowed = std::chrono::seconds(60);  // then it counts as hung and is killed
};

struct Result {
    int exit_code = -1;  // -1 when the command did not end by itself
    std::string output;  // what it showed, unless it went to a file
    long peak_resident_kib = 0;  // the most memory the command held resident at once
};

// A command running in the background: each platform's process and the
// reading end of its output. Released unwaited for, the command is killed.
struct RunningCommand;
struct CommandRelease {
    void operator()(RunningCommand* command) const;
};
using StartedCommand = std::unique_ptr<RunningCommand, CommandRelease>;

// Starts the command and returns at once, so that tests may race or kill runs.
StartedCommand start_command(const Invocation& invocation);

// The system's number of the running command: what it started names it as its parent.
unsigned long process_id(const StartedCommand& command);

void kill_command(const StartedCommand& command);

// Waits for the command to end, taking its output meanwhile; one still
// running when its time is up is killed.
Result wait_for_command(const StartedCommand& command);

inline Result run_command(const Invocation& invocation) { return wait_for_command(start_command(invocation)); }

// Keeps the command from writing the file at path until the result is
// released, each platform's way: on POSIX read-only, with the run made as a
// user that this binds; on Windows read-only and held by a reader that lets
// no one write it (Wine run as root writes read-only files all the same).
std::shared_ptr<void> keep_from_writing(const std::string& path, Invocation& invocation);

}  // namespace testing_support
