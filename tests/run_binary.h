// Runs the built command as a user would, and takes what it shows.
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace testing_support {

struct Invocation {
    std::vector<std::string> arguments;
    std::filesystem::path working_directory;
    std::optional<long> file_size_limit{};  // bytes, as a shell's ulimit -f would set
    bool unprivileged = false;            // run as the user nobody when the tests run as root
    bool on_terminal = false;             // standard output on a terminal instead of a pipe
    bool without_standard_streams = false;  // started with standard input and output closed
    bool with_console = false;  // Windows: a console of its own (a pseudo console), standard output still a pipe
    std::vector<std::string> environment{};  // NAME=value settings added to the command's environment
    std::chrono::seconds time_allowed = std::chrono::seconds(60);  // then it counts as hung and is killed
};

struct Result {
    int exit_code = -1;  // -1 when the command did not end by itself
    std::string output;
    long peak_resident_kib = 0;  // the most memory the command held resident at once
};

Result run_command(const Invocation& invocation);

// Hands a tree to the user nobody, so that an unprivileged run may work in it.
void give_to_unprivileged_user(const std::filesystem::path& root);

}  // namespace testing_support
