// Runs the built command in a child process.
#include "run_binary.h"

#include <chrono>
#include <csignal>
#include <stdexcept>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace testing_support {

namespace {

constexpr uid_t nobody = 65534;

// Opens the channel for the child's standard output: its reading end and the
// end the child writes to.
std::pair<int, int> output_channel(bool on_terminal) {
    int reading = -1;
    int writing = -1;
    if (on_terminal) {
        termios raw{};
        cfmakeraw(&raw);  // no LF to CR LF of its own: the bytes arrive as written
        if (openpty(&reading, &writing, nullptr, &raw, nullptr) != 0) throw std::runtime_error("openpty");
    } else {
        int ends[2];
        if (pipe(ends) != 0) throw std::runtime_error("pipe");
        reading = ends[0];
        writing = ends[1];
    }
    return {reading, writing};
}

// The user nobody may not reach the build tree (a checkout below /root, say),
// so an unprivileged run starts a copy of the command that it owns.
std::string program_for(const Invocation& invocation) {
    if (!invocation.unprivileged || geteuid() != 0) return VRTL_SDF_BINARY;
    const std::filesystem::path copy = invocation.working_directory / ".vrtl_sdf";
    std::filesystem::copy_file(VRTL_SDF_BINARY, copy, std::filesystem::copy_options::overwrite_existing);
    lchown(copy.c_str(), nobody, nobody);
    return copy.string();
}

[[noreturn]] void become_command(const Invocation& invocation, std::string program, int output) {
    dup2(output, STDOUT_FILENO);
    if (invocation.without_standard_streams) {
        close(STDIN_FILENO);
        close(STDOUT_FILENO);
    }
    if (chdir(invocation.working_directory.c_str()) != 0) _exit(126);
    if (invocation.file_size_limit) {
        const rlimit limit{static_cast<rlim_t>(*invocation.file_size_limit),
                           static_cast<rlim_t>(*invocation.file_size_limit)};
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    for (const std::string& setting : invocation.environment) putenv(const_cast<char*>(setting.c_str()));
    if (invocation.unprivileged && geteuid() == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(nobody) != 0 || setuid(nobody) != 0) _exit(126);
    }
    std::vector<char*> argv;
    argv.push_back(program.data());
    std::vector<std::string> arguments = invocation.arguments;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
}

}  // namespace

Result run_command(const Invocation& invocation) {
    std::string program = program_for(invocation);
    const auto [reading, writing] = output_channel(invocation.on_terminal);
    const pid_t child = fork();
    if (child == -1) throw std::runtime_error("fork");
    if (child == 0) {
        close(reading);
        become_command(invocation, std::move(program), writing);
    }
    close(writing);

    Result result;
    const auto deadline = std::chrono::steady_clock::now() + invocation.time_allowed;
    bool hung = false;
    for (;;) {
        pollfd ready{reading, POLLIN, 0};
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            hung = true;
            kill(child, SIGKILL);
            break;
        }
        if (poll(&ready, 1, static_cast<int>(left.count())) <= 0) continue;
        char bytes[4096];
        const ssize_t count = read(reading, bytes, sizeof bytes);
        if (count <= 0) break;  // a terminal gives EIO once the child has gone
        result.output.append(bytes, static_cast<std::size_t>(count));
    }
    close(reading);
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    if (!hung && WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
    result.peak_resident_kib = usage.ru_maxrss;
    return result;
}

void give_to_unprivileged_user(const std::filesystem::path& root) {
    if (geteuid() != 0) return;
    lchown(root.c_str(), nobody, nobody);
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        lchown(entry.path().c_str(), nobody, nobody);
    }
}

}  // namespace testing_support
