// The seam's process and listing on POSIX systems: the arguments as given,
// signals that must surface as failed writes, and names matched as a shell's
// glob matches them.
#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix.h"
#include "platform/process.h"

namespace platform {

namespace {

std::string listing_pattern(std::string_view extension) { return "*." + std::string(extension); }

// As a shell's glob: a name that starts with "." matches no pattern that does not.
bool matches(const std::string& pattern, const std::string& name) {
    return fnmatch(pattern.c_str(), name.c_str(), FNM_PERIOD) == 0;
}

}  // namespace

const bool listing_sorted = true;

std::optional<File> open_listing(const std::string& path) {
    const int fd = retrying([&] {
        return open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0666);
    });
    if (fd == -1) return std::nullopt;
    File listing(fd);
    struct stat status {};
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_nlink != 1 || !truncate_file(listing, 0)) {
        return std::nullopt;
    }
    return listing;
}

bool matches_listing_pattern(std::string_view name, std::string_view extension) {
    return matches(listing_pattern(extension), std::string(name));
}

std::vector<Argument> command_line_arguments(int argc, char* argv[]) {
    std::vector<Argument> arguments;
    for (int i = 1; i < argc; ++i) arguments.push_back(Argument{argv[i]});
    return arguments;
}

File standard_output() { return File(STDOUT_FILENO); }

bool is_character_device(const File& file) {
    struct stat status {};
    return fstat(fd_of(file), &status) == 0 && S_ISCHR(status.st_mode);
}

void prepare_process() {
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
    for (int standard = STDIN_FILENO; standard <= STDERR_FILENO; ++standard) {
        if (fcntl(standard, F_GETFD) == -1 && errno == EBADF) {
            const int null_device = open("/dev/null", O_RDWR);
            if (null_device != standard && null_device != -1) close(null_device);
        }
    }
}

}  // namespace platform
