// Runs the built command in a child process. fork keeps the start cheap and
// prompt, which the tests that race or kill runs depend on, and lets the child
// take the limit and the user of the invocation before it becomes the command.
// The child's peak memory counts the test process as it was at the fork; a
// spawn that shared the test's memory would count the test's own peak.
#include "run_binary.h"

#include <csignal>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace testing_support {

struct RunningCommand {
    pid_t pid;
    int output;  // the reading end of its standard output; -1 when that goes to a file, or once it has ended
    std::chrono::steady_clock::time_point deadline;
    bool waited_for = false;
};

namespace {

constexpr uid_t nobody = 65534;

// Opens the channel for the child's standard output: its reading end (-1 for
// a file) and the end the child writes to. No other child inherits either.
std::pair<int, int> output_channel(const Invocation& invocation) {
    if (!invocation.output_file.empty()) {
        const int file = open(invocation.output_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (file == -1) throw std::runtime_error("cannot open " + invocation.output_file.string());
        return {-1, file};
    }
    int ends[2];
    if (invocation.on_terminal) {
        termios raw{};
        cfmakeraw(&raw);  // no LF to CR LF of its own: the bytes arrive as written
        if (openpty(&ends[0], &ends[1], nullptr, &raw, nullptr) != 0) throw std::runtime_error("openpty");
        fcntl(ends[0], F_SETFD, FD_CLOEXEC);
        fcntl(ends[1], F_SETFD, FD_CLOEXEC);
    } else if (pipe2(ends, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe");
    }
    return {ends[0], ends[1]};
}

// The user nobody may not reach the build tree (a checkout below /root, say),
// so an unprivileged run starts a copy of the command in its working
// directory, and the whole tree is handed to nobody. The path is absolute: the
// child changes its directory before it starts the command.
std::string program_for(const Invocation& invocation) {
    if (!invocation.unprivileged || geteuid() != 0) return std::filesystem::absolute(VRTL_SDF_BINARY).string();
    const std::filesystem::path copy = std::filesystem::absolute(invocation.working_directory / ".vrtl_sdf");
    std::filesystem::copy_file(VRTL_SDF_BINARY, copy, std::filesystem::copy_options::overwrite_existing);
    lchown(invocation.working_directory.c_str(), nobody, nobody);
    for (const auto& entry : std::filesystem::recursive_directory_iterator(invocation.working_directory)) {
        lchown(entry.path().c_str(), nobody, nobody);
    }
    return copy.string();
}

// In the child, a copy of the test process: takes the streams, the directory,
// the limit, the environment and the user of the invocation, then becomes the
// command.
[[noreturn]] void become_command(const Invocation& invocation, int output, char* const argv[]) {
    if (invocation.without_standard_streams) {
        close(STDIN_FILENO);
        close(STDOUT_FILENO);
    } else {
        dup2(output, STDOUT_FILENO);
    }
    if (chdir(invocation.working_directory.c_str()) != 0) _exit(126);
    if (invocation.file_size_limit) {
        const rlimit limit{static_cast<rlim_t>(*invocation.file_size_limit),
                           static_cast<rlim_t>(*invocation.file_size_limit)};
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    for (const std::string& setting : invocation.environment) putenv(const_cast<char*>(setting.c_str()));
    if (invocation.umask) umask(static_cast<mode_t>(*invocation.umask));
    if (invocation.unprivileged && geteuid() == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(nobody) != 0 || setuid(nobody) != 0) _exit(126);
    }
    execv(argv[0], argv);
    _exit(127);
}

}  // namespace

void CommandRelease::operator()(RunningCommand* command) const {
    if (!command->waited_for) {
        kill(command->pid, SIGKILL);
        waitpid(command->pid, nullptr, 0);
    }
    if (command->output != -1) close(command->output);
    delete command;
}

StartedCommand start_command(const Invocation& invocation) {
    std::vector<std::string> arguments = invocation.arguments;
    arguments.insert(arguments.begin(), program_for(invocation));
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    const auto [reading, writing] = output_channel(invocation);
    const pid_t child = fork();
    if (child == 0) become_command(invocation, writing, argv.data());
    close(writing);
    if (child == -1) {
        if (reading != -1) close(reading);
        throw std::runtime_error("fork");
    }
    return StartedCommand(new RunningCommand{child, reading, std::chrono::steady_clock::now() + invocation.time_allowed});
}

unsigned long process_id(const StartedCommand& command) { return static_cast<unsigned long>(command->pid); }

void kill_command(const StartedCommand& command) {
    if (!command->waited_for) kill(command->pid, SIGKILL);
}

Result wait_for_command(const StartedCommand& command) {
    RunningCommand& running = *command;
    const auto milliseconds_left = [&] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(running.deadline - std::chrono::steady_clock::now())
            .count();
    };
    Result result;
    // The output until the command has gone, when a terminal gives EIO.
    while (running.output != -1 && milliseconds_left() > 0) {
        pollfd ready{running.output, POLLIN, 0};
        if (poll(&ready, 1, static_cast<int>(milliseconds_left())) <= 0) continue;
        char bytes[4096];
        const ssize_t count = read(running.output, bytes, sizeof bytes);
        if (count > 0) {
            result.output.append(bytes, static_cast<std::size_t>(count));
        } else {
            close(running.output);
            running.output = -1;
        }
    }
    int status = 0;
    rusage usage{};
    bool ended = false;
    for (;;) {
        ended = wait4(running.pid, &status, WNOHANG, &usage) == running.pid;
        if (ended || milliseconds_left() <= 0) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (!ended) {  // hung
        kill(running.pid, SIGKILL);
        wait4(running.pid, &status, 0, &usage);
    }
    running.waited_for = true;
    if (ended && WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
    result.peak_resident_kib = usage.ru_maxrss;
    return result;
}

std::shared_ptr<void> keep_from_writing(const std::string& path, Invocation& invocation) {
    chmod(path.c_str(), 0444);
    invocation.unprivileged = true;
    return nullptr;
}

}  // namespace testing_support
