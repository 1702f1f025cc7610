// Background runs of the command. posix_spawn keeps the start cheap and
// exact in time, which the tests that race or kill runs depend on.
#include "started_command.h"

#include <csignal>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace testing_support {

namespace {

// Releases the spawn attributes however the start ends.
struct FileActions {
    FileActions() { posix_spawn_file_actions_init(&actions); }
    ~FileActions() { posix_spawn_file_actions_destroy(&actions); }
    FileActions(const FileActions&) = delete;
    FileActions& operator=(const FileActions&) = delete;
    posix_spawn_file_actions_t actions;
};

}  // namespace

StartedCommand start_command(const std::vector<std::string>& arguments,
                             const std::filesystem::path& working_directory,
                             const std::filesystem::path& output_path) {
    // The program's path is made absolute before the change of directory.
    const std::string program = std::filesystem::absolute(VRTL_SDF_BINARY).string();
    FileActions file_actions;
    posix_spawn_file_actions_addchdir_np(&file_actions.actions, working_directory.c_str());
    posix_spawn_file_actions_addopen(&file_actions.actions, STDOUT_FILENO, output_path.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<std::string> argument_copies = arguments;
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (std::string& argument : argument_copies) argv.push_back(argument.data());
    argv.push_back(nullptr);

    StartedCommand command;
    if (posix_spawn(&command.pid, program.c_str(), &file_actions.actions, nullptr, argv.data(), environ) != 0) {
        throw std::runtime_error("cannot start " + program);
    }
    return command;
}

void kill_command(const StartedCommand& command) { kill(command.pid, SIGKILL); }

int wait_for_command(const StartedCommand& command, std::chrono::seconds time_allowed) {
    const auto deadline = std::chrono::steady_clock::now() + time_allowed;
    int status = 0;
    while (waitpid(command.pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill_command(command);
            waitpid(command.pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace testing_support
