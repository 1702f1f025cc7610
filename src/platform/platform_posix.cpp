// The seam on POSIX systems.
#include "platform/platform.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

const std::string_view directory_separator = "/";
const FileNameRules file_name_rules = FileNameRules::posix;

namespace {

int fd_of(const File& file) { return static_cast<int>(file.handle()); }

// Makes the call again for as long as a signal interrupts it, and gives what
// the last call gave.
template <typename SystemCall>
auto retrying(SystemCall call) {
    decltype(call()) result;
    do {
        result = call();
    } while (result == -1 && errno == EINTR);
    return result;
}

int open_flags(Access access) {
    // O_NONBLOCK keeps the open of a FIFO from waiting for a peer; the file
    // is refused anyway when it turns out not to be a regular file, and on a
    // regular file the flag changes nothing.
    constexpr int common = O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
    switch (access) {
    case Access::read: return O_RDONLY | common;
    case Access::create: return O_WRONLY | O_CREAT | common;
    case Access::append: return O_WRONLY | O_CREAT | O_APPEND | common;
    }
    return -1;
}

FileId id_of(const struct stat& status) {
    return FileId{static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino)};
}

}  // namespace

std::optional<OpenedFile> open_file_with_status(const std::string& path, Access access) {
    const int fd = retrying([&] { return open(path.c_str(), open_flags(access), 0666); });
    if (fd == -1) return std::nullopt;
    File file(fd, access == Access::append ? Writes::at_end : Writes::at_position);
    struct stat status {};
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
    std::int64_t size = static_cast<std::int64_t>(status.st_size);
    // Truncation waits until the file is known to be a regular one.
    if (access == Access::create) {
        if (!truncate_file(file, 0)) return std::nullopt;
        size = 0;
    }
    return OpenedFile{std::move(file), FileStatus{size, id_of(status)}};
}

std::optional<std::size_t> read_some(File& file, std::span<char> buffer) {
    const ssize_t count = retrying([&] { return read(fd_of(file), buffer.data(), buffer.size()); });
    if (count < 0) return std::nullopt;
    return static_cast<std::size_t>(count);
}

bool write_all(File& file, std::span<const char> bytes) {
    while (!bytes.empty()) {
        const ssize_t count = retrying([&] { return write(fd_of(file), bytes.data(), bytes.size()); });
        if (count < 0) return false;
        bytes = bytes.subspan(static_cast<std::size_t>(count));
    }
    return true;
}

std::optional<std::int64_t> end_position(File& file) {
    const off_t end = lseek(fd_of(file), 0, SEEK_END);
    if (end == -1) return std::nullopt;
    return static_cast<std::int64_t>(end);
}

bool truncate_file(File& file, std::int64_t length) {
    return retrying([&] { return ftruncate(fd_of(file), static_cast<off_t>(length)); }) == 0;
}

bool close_file(File& file) {
    if (!file.is_open()) return true;
    // The descriptor is gone after close() whatever it reports, EINTR included.
    return close(static_cast<int>(file.release())) == 0;
}

bool lock_exclusively(File& file) {
    return retrying([&] { return flock(fd_of(file), LOCK_EX | LOCK_NB); }) == 0;
}

std::optional<FileId> file_id(const File& file) {
    struct stat status {};
    if (fstat(fd_of(file), &status) != 0) return std::nullopt;
    return id_of(status);
}

std::optional<FileStatus> regular_file_status(const std::string& path) {
    struct stat status {};
    if (stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
    return FileStatus{static_cast<std::int64_t>(status.st_size), id_of(status)};
}

bool path_exists(const std::string& path) {
    struct stat status {};
    return lstat(path.c_str(), &status) == 0;
}

bool remove_file(const std::string& path) { return unlink(path.c_str()) == 0; }

namespace {

bool sync_path(const std::string& path, int flags) {
    const int fd = retrying([&] { return open(path.c_str(), flags | O_CLOEXEC | O_NONBLOCK | O_NOCTTY); });
    if (fd == -1) return false;
    File file(fd);
    const int result = retrying([&] { return fsync(fd); });
    const bool synced = result == 0 || errno == EINVAL;  // EINVAL: the file system cannot sync this
    return close_file(file) && synced;
}

}  // namespace

void start_write_back([[maybe_unused]] File& file) {
    // Only Linux has the call; elsewhere the final sync does all the work.
#if VRTL_SDF_HAVE_SYNC_FILE_RANGE
    // Its result changes nothing: sync_file later reports what must be reported.
    static_cast<void>(sync_file_range(fd_of(file), 0, 0, SYNC_FILE_RANGE_WRITE));
#endif
}

// Opened for writing: the command has just written the file, so that access
// is the one it is sure to have.
bool sync_file(const std::string& path) { return sync_path(path, O_WRONLY); }

bool sync_directory(const std::string& directory_text) {
    return sync_path(directory_text, O_RDONLY | O_DIRECTORY);
}

namespace {

// The listing file of this run: a regular file, never one reached through a
// symbolic link, emptied before anything is written to it.
std::optional<File> open_listing_file(const std::string& path) {
    const int fd = retrying(
        [&] { return open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0666); });
    if (fd == -1) return std::nullopt;
    File file(fd);
    struct stat status {};
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || !truncate_file(file, 0)) return std::nullopt;
    return file;
}

std::string listing_pattern(std::string_view extension) { return "*." + std::string(extension); }

}  // namespace

Listing write_listing(const std::string& directory_text, const std::string& extension,
                      const std::string& listing_path) {
    // Made before the directory is read, as a shell's redirection would be:
    // a listing of the current directory always holds the listing file itself.
    std::optional<File> file = open_listing_file(listing_path);
    if (!file) return Listing::not_opened;
    std::vector<std::string> names;
    if (DIR* directory = opendir(directory_text.c_str())) {
        while (const dirent* entry = readdir(directory)) {
            if (matches_listing_pattern(entry->d_name, extension)) names.emplace_back(entry->d_name);
        }
        closedir(directory);
    }
    std::sort(names.begin(), names.end());

    std::string listing;
    for (const std::string& name : names) listing += name + "\r\n";
    const bool written = write_all(*file, listing);
    return close_file(*file) && written ? Listing::written : Listing::not_written;
}

std::string interpreter_program() { return {}; }

bool matches_listing_pattern(std::string_view name, std::string_view extension) {
    // As a shell's glob: a name that starts with "." matches no pattern that does not.
    return fnmatch(listing_pattern(extension).c_str(), std::string(name).c_str(), FNM_PERIOD) == 0;
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
