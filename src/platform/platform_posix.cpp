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
    switch (access) {
    case Access::read: return O_RDONLY;
    case Access::create: return O_WRONLY | O_CREAT;
    case Access::append: return O_WRONLY | O_CREAT | O_APPEND;
    }
    return -1;
}

FileId id_of(const struct stat& status) {
    return FileId{static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino)};
}

FileStatus status_of(const struct stat& status) {
    const std::int64_t modified = static_cast<std::int64_t>(status.st_mtim.tv_sec) * 1'000'000'000 + status.st_mtim.tv_nsec;
    return FileStatus{static_cast<std::int64_t>(status.st_size), id_of(status), modified};
}

// Opens path with flags, and gives the file with its status; nothing when
// the open fails or path names no regular file. O_NONBLOCK keeps the open of
// a FIFO from waiting for a peer; on a regular file it changes nothing.
std::optional<OpenedFile> open_regular(const std::string& path, int flags, Writes writes = Writes::at_position) {
    const int fd = retrying([&] { return open(path.c_str(), flags | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0666); });
    if (fd == -1) return std::nullopt;
    File file(fd, writes);
    struct stat status {};
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
    return OpenedFile{std::move(file), status_of(status)};
}

}  // namespace

std::optional<OpenedFile> open_file_with_status(const std::string& path, Access access) {
    std::optional<OpenedFile> opened =
        open_regular(path, open_flags(access), access == Access::append ? Writes::at_end : Writes::at_position);
    // Truncation waits until the file is known to be a regular one.
    if (opened && access == Access::create) {
        if (!truncate_file(opened->file, 0)) return std::nullopt;
        opened->status.size = 0;
    }
    return opened;
}

std::optional<std::size_t> read_some(File& file, std::span<char> buffer) {
    const ssize_t count = retrying([&] { return read(fd_of(file), buffer.data(), buffer.size()); });
    if (count < 0) return std::nullopt;
    return static_cast<std::size_t>(count);
}

std::optional<std::size_t> read_at(File& file, std::int64_t offset, std::span<char> buffer) {
    const ssize_t count =
        retrying([&] { return pread(fd_of(file), buffer.data(), buffer.size(), static_cast<off_t>(offset)); });
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

std::optional<FileStatus> regular_file_status(const std::string& path) {
    struct stat status {};
    if (stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
    return status_of(status);
}

std::optional<FileStatus> file_status(const File& file) {
    struct stat status {};
    if (fstat(fd_of(file), &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
    return status_of(status);
}

bool has_a_name(const File& file) {
    struct stat status {};
    return fstat(fd_of(file), &status) != 0 || status.st_nlink > 0;
}

bool path_exists(const std::string& path) {
    struct stat status {};
    return lstat(path.c_str(), &status) == 0;
}

bool remove_own_file(const std::string& path) { return unlink(path.c_str()) == 0 || !path_exists(path); }

std::vector<std::string> directory_entries(const std::string& directory_text) {
    std::vector<std::string> names;
    if (DIR* directory = opendir(directory_text.c_str())) {
        while (const dirent* entry = readdir(directory)) names.emplace_back(entry->d_name);
        closedir(directory);
    }
    return names;
}

namespace {

bool synced(File& file) {
    const int result = retrying([&] { return fsync(fd_of(file)); });
    return result == 0 || errno == EINVAL;  // EINVAL: the file system cannot sync this
}

std::optional<File> open_directory(const std::string& directory_text) {
    const int fd = retrying([&] { return open(directory_text.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
    if (fd == -1) return std::nullopt;
    return File(fd);
}

// The whole file system that holds the directory, for a file that can no
// longer be reached by its name.
bool sync_file_system(const std::string& directory_text) {
    std::optional<File> directory = open_directory(directory_text);
#if VRTL_SDF_HAVE_SYNCFS
    return directory && syncfs(fd_of(*directory)) == 0;
#else
    sync();
    return directory.has_value();
#endif
}

}  // namespace

void start_write_back([[maybe_unused]] File& file) {
    // Only Linux has the call; elsewhere the final sync does all the work.
#if VRTL_SDF_HAVE_SYNC_FILE_RANGE
    // Its result changes nothing: sync_file later reports what must be reported.
    static_cast<void>(sync_file_range(fd_of(file), 0, 0, SYNC_FILE_RANGE_WRITE));
#endif
}

// Opened for reading only: a reader may have made the file read-only since
// it was written, and fsync needs no write access.
bool sync_written_file(const std::string& directory_text, const std::string& name, const FileId& id) {
    std::optional<OpenedFile> opened = open_regular(directory_text + name, O_RDONLY);
    if (!opened || opened->status.id != id) return sync_file_system(directory_text);
    const bool done = synced(opened->file);
    return close_file(opened->file) && done;
}

bool sync_directory(const std::string& directory_text) {
    std::optional<File> directory = open_directory(directory_text);
    if (!directory) return false;
    const bool done = synced(*directory);
    return close_file(*directory) && done;
}

bool cut_back_file(const std::string& path, const FileId& id, std::int64_t length) {
    std::optional<OpenedFile> opened = open_regular(path, O_WRONLY);
    if (!opened || opened->status.id != id) return false;
    const bool done = truncate_file(opened->file, length) && synced(opened->file);
    return close_file(opened->file) && done;
}

bool write_own_file_durably(const std::string& directory_text, const std::string& name, std::string_view bytes) {
    const int fd = retrying([&] {
        return open((directory_text + name).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
    });
    if (fd == -1) return false;
    File file(fd);
    const bool written = write_all(file, bytes) && synced(file);
    return close_file(file) && written && sync_directory(directory_text);
}

DirectoryTurn wait_for_directory_turn(const std::string& directory_text) {
    // The directory itself carries the lock: no file of the command's own
    // is left in it, and a run that dies gives up its turn with its descriptors.
    std::optional<File> directory = open_directory(directory_text);
    if (!directory) return {DirectoryTurn::State::no_directory, File()};
    if (retrying([&] { return flock(fd_of(*directory), LOCK_EX); }) != 0) return {DirectoryTurn::State::failed, File()};
    return {DirectoryTurn::State::held, std::move(*directory)};
}

std::optional<File> wait_for_listing_turn(const std::string& path) {
    std::optional<OpenedFile> listing = open_regular(path, O_RDONLY | O_CREAT | O_NOFOLLOW);
    if (!listing || retrying([&] { return flock(fd_of(listing->file), LOCK_EX); }) != 0) return std::nullopt;
    return std::move(listing->file);
}

Removal remove_file_read(const std::string& path, const std::string& aside_path, const FileStatus& as_read, File&) {
    // Moved aside first, so that what is removed is exactly what was looked
    // at: a file renamed onto path meanwhile is put back, never removed.
    if (rename(path.c_str(), aside_path.c_str()) != 0) {
        return errno == ENOENT ? Removal::gone : Removal::not_removed;
    }
    const std::optional<FileStatus> aside = regular_file_status(aside_path);
    const bool is_the_file_read = aside && aside->id == as_read.id;
    if (is_the_file_read && *aside == as_read) {
        // Not what unlink reports counts, but whether the file is gone.
        static_cast<void>(unlink(aside_path.c_str()));
        if (!path_exists(aside_path)) return Removal::removed;
    }
    if (!put_back(aside_path, path)) return Removal::left_aside;
    if (!is_the_file_read) return Removal::replaced;
    return *aside == as_read ? Removal::not_removed : Removal::changed;
}

bool put_back(const std::string& aside_path, const std::string& path) {
    // A link fails where path is taken: a file that arrived meanwhile stays.
    if (link(aside_path.c_str(), path.c_str()) != 0) return false;
    static_cast<void>(unlink(aside_path.c_str()));
    return !path_exists(aside_path);
}

namespace {

std::string listing_pattern(std::string_view extension) { return "*." + std::string(extension); }

// As a shell's glob: a name that starts with "." matches no pattern that does not.
bool matches(const std::string& pattern, const std::string& name) {
    return fnmatch(pattern.c_str(), name.c_str(), FNM_PERIOD) == 0;
}

}  // namespace

Listing write_listing(const std::string& directory_text, const std::string& extension,
                      const std::string& listing_path) {
    // Made before the directory is read, as a shell's redirection would be:
    // a listing of the current directory always holds the listing file itself.
    // Never reached through a symbolic link, and emptied first.
    std::optional<OpenedFile> opened = open_regular(listing_path, O_WRONLY | O_CREAT | O_NOFOLLOW);
    if (!opened || !truncate_file(opened->file, 0)) return Listing::not_opened;
    const std::string pattern = listing_pattern(extension);
    std::vector<std::string> names;
    for (std::string& name : directory_entries(directory_text)) {
        if (matches(pattern, name)) names.push_back(std::move(name));
    }
    std::sort(names.begin(), names.end());

    std::string listing;
    for (const std::string& name : names) listing += name + "\r\n";
    const bool written = write_all(opened->file, listing);
    return close_file(opened->file) && written ? Listing::written : Listing::not_written;
}

std::string interpreter_program() { return {}; }

bool matches_listing_pattern(std::string_view name, std::string_view extension) {
    return matches(listing_pattern(extension), std::string(name));
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
