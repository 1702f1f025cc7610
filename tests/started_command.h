// The built command started in the background, for tests that race two runs
// or kill one midway.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace testing_support {

struct StartedCommand {
    pid_t pid = -1;
};

// Starts the command in working_directory with its standard output going to
// output_path.
StartedCommand start_command(const std::vector<std::string>& arguments,
                             const std::filesystem::path& working_directory,
                             const std::filesystem::path& output_path);

void kill_command(const StartedCommand& command);

// The exit code; -1 when a signal ended the command, or when it had not ended
// after time_allowed and was killed.
int wait_for_command(const StartedCommand& command, std::chrono::seconds time_allowed = std::chrono::seconds(60));

}  // namespace testing_support
