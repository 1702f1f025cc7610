// The seam's files and directories on POSIX systems. Every file of the data
// directory is reached through the directory's descriptor (the *at calls),
// never by a path.
#include <algorithm>
#include <cerrno>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/files.h"
#include "platform/posix.h"
#include "platform/turns.h"

namespace platform {

const std::string_view directory_separator = "/";
const FileNameRules file_name_rules = FileNameRules::posix;

namespace {

int open_flags(Access access) {
    switch (access) {
    case Access::read:
    case Access::sync: return O_RDONLY;
    case Access::create: return O_WRONLY | O_CREAT;
    case Access::append: return O_WRONLY | O_CREAT | O_APPEND;
    case Access::rewrite: return O_WRONLY;
    case Access::own_new: return O_WRONLY | O_CREAT | O_EXCL;
    }
    return -1;
}

// Files of the command's own are written by their owner only.
mode_t creation_mode(Access access) { return access == Access::own_new ? 0644 : 0666; }

std::optional<FileStatus> regular_status(int fd) {
    struct stat status {};
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
    return status_of(status);
}

// The target of the symbolic link at name, when the link belongs to the user
// the run runs as; nothing for anyone else's link. The link is looked at
// before and after its target is read, so that the target is the one of the
// link whose owner was checked.
std::optional<std::string> own_link_target(int at, const char* name) {
    struct stat before {};
    if (fstatat(at, name, &before, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(before.st_mode) ||
        before.st_uid != geteuid()) {
        return std::nullopt;
    }
    std::string target(static_cast<std::size_t>(std::max<off_t>(before.st_size, 0)) + 1, '\0');
    const ssize_t length = readlinkat(at, name, target.data(), target.size());
    struct stat after {};
    if (length <= 0 || static_cast<std::size_t>(length) >= target.size() ||
        fstatat(at, name, &after, AT_SYMLINK_NOFOLLOW) != 0 || after.st_ino != before.st_ino ||
        after.st_dev != before.st_dev) {
        return std::nullopt;
    }
    target.resize(static_cast<std::size_t>(length));
    return target;
}

constexpr int common_open_flags = O_CLOEXEC | O_NONBLOCK | O_NOCTTY;

// Opens the file that the link at name leads to, as far as links are
// followed: never creating one, so that nothing is made where it points.
int open_through_link(int at, const char* name, int flags, Links links) {
    std::optional<std::string> target;
    if (links == Links::followed) target = own_link_target(at, name);
    if (!target) {
        errno = ELOOP;
        return -1;
    }
    // A link to a link is a chain that someone else may have made.
    return retrying([&] { return openat(at, target->c_str(), (flags & ~(O_CREAT | O_EXCL)) | O_NOFOLLOW); });
}

// Opens name relative to the directory descriptor at (AT_FDCWD for a path).
// O_NONBLOCK keeps the open of a FIFO from waiting for a peer; on a regular
// file it changes nothing. Sets through_link when name is a symbolic link,
// which its own open tells at no cost for a plain name.
int open_name(int at, const char* name, Access access, Links links, bool& through_link) {
    const int flags = open_flags(access) | common_open_flags;
    const int fd = retrying([&] { return openat(at, name, flags | O_NOFOLLOW, creation_mode(access)); });
    through_link = fd == -1 && errno == ELOOP;
    return through_link ? open_through_link(at, name, flags, links) : fd;
}

// Opens name to append to it, creating the file only where nothing is at
// the name, and exclusively, so that created tells a file this open made. An
// existing file is opened without O_CREAT first, which costs one call where
// most runs find their file.
int open_to_append(int at, const char* name, Links links, bool& through_link, bool& created) {
    constexpr int flags = O_WRONLY | O_APPEND | common_open_flags;
    // A name that comes and goes between the two opens is tried again, a few times.
    for (int tries = 0; tries < 100; ++tries) {
        int fd = retrying([&] { return openat(at, name, flags | O_NOFOLLOW); });
        through_link = fd == -1 && errno == ELOOP;
        if (through_link) return open_through_link(at, name, flags, links);
        if (fd != -1 || errno != ENOENT) return fd;
        fd = retrying([&] { return openat(at, name, flags | O_CREAT | O_EXCL | O_NOFOLLOW, 0666); });
        created = fd != -1;
        if (fd != -1 || errno != EEXIST) return fd;
    }
    return -1;
}

// Opens name and gives the file with its status; nothing when the open fails
// or no regular file is there. A file opened to append that other runs may
// reach by another name, through a link, is written only in its turn.
std::optional<OpenedFile> open_at(int at, const char* name, Access access, Links links) {
    bool through_link = false;
    bool created = false;
    const int fd = access == Access::append ? open_to_append(at, name, links, through_link, created)
                                            : open_name(at, name, access, links, through_link);
    if (fd == -1) return std::nullopt;
    File file(fd, access == Access::append ? Writes::at_end : Writes::at_position);
    struct stat status {};
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
    // A file of the command's own is read back by the run that made it, or the next.
    constexpr mode_t owner_reads_and_writes = S_IRUSR | S_IWUSR;
    if (access == Access::own_new && (status.st_mode & owner_reads_and_writes) != owner_reads_and_writes &&
        fchmod(fd, (status.st_mode & 07777) | owner_reads_and_writes) != 0) {
        return std::nullopt;
    }
    const bool shared = through_link || status.st_nlink > 1;
    const bool in_turn = access == Access::append && shared;
    if (in_turn && (!wait_for_file_turn(file) || fstat(fd, &status) != 0)) return std::nullopt;
    OpenedFile opened{std::move(file), status_of(status), created, in_turn};
    // Emptying waits until the file is known to be a regular one.
    if (access == Access::create) {
        if (!truncate_file(opened.file, 0)) return std::nullopt;
        opened.status.size = 0;
    }
    return opened;
}

}  // namespace

std::optional<Directory> open_directory(const std::string& directory_text) {
    // Each component is opened in the one before: only passed through, and
    // the last one read. So a path of any length is walked as the system
    // would walk it, symbolic links included.
    std::optional<File> walked;  // none: the working directory
    bool readable = false;
    const auto open_next = [&](const char* component, int flags) {
        const int at = walked ? fd_of(*walked) : AT_FDCWD;
        const int fd = retrying([&] { return openat(at, component, flags | O_DIRECTORY | O_CLOEXEC); });
        if (fd != -1) walked = File(fd);
        readable = (flags & O_PATH) == 0;
        return fd != -1;
    };
    if (directory_text.starts_with('/') && !open_next("/", O_PATH)) return std::nullopt;
    std::string_view rest = directory_text;
    while (!rest.empty()) {
        const std::string component(rest.substr(0, rest.find('/')));
        rest.remove_prefix(std::min(rest.size(), component.size() + 1));
        const bool last = rest.find_first_not_of('/') == std::string_view::npos;
        if (!component.empty() && !open_next(component.c_str(), last ? O_RDONLY : O_PATH)) return std::nullopt;
    }
    if (!readable && !open_next(".", O_RDONLY)) return std::nullopt;
    return Directory{std::move(*walked), directory_text};
}

std::optional<OpenedFile> open_in(const Directory& directory, std::string_view name, Access access, Links links) {
    if (!is_plain(name)) return std::nullopt;
    return open_at(fd_of(directory.handle), name_text(name).c_str(), access, links);
}

std::optional<OpenedFile> open_path(const std::string& path, Access access) {
    return open_at(AT_FDCWD, path.c_str(), access, Links::followed);
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

bool sync_file(File& file) {
    const int result = retrying([&] { return fsync(fd_of(file)); });
    return result == 0 || errno == EINVAL;  // EINVAL: the file system cannot sync this
}

void start_write_back([[maybe_unused]] File& file) {
    // Only Linux has the call; elsewhere the final sync does all the work.
#if VRTL_SDF_HAVE_SYNC_FILE_RANGE
    // Its result changes nothing: the final sync reports what must be reported.
    static_cast<void>(sync_file_range(fd_of(file), 0, 0, SYNC_FILE_RANGE_WRITE));
#endif
}

std::optional<FileStatus> status_in(const Directory& directory, std::string_view name, Links links) {
    if (!is_plain(name)) return std::nullopt;
    const int at = fd_of(directory.handle);
    const std::string plain = name_text(name);
    struct stat status {};
    if (fstatat(at, plain.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
    if (S_ISLNK(status.st_mode)) {
        const std::optional<std::string> target =
            links == Links::followed ? own_link_target(at, plain.c_str()) : std::nullopt;
        if (!target || fstatat(at, target->c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
    }
    if (!S_ISREG(status.st_mode)) return std::nullopt;
    return status_of(status);
}

bool is_own_file(const File& file) {
    struct stat status {};
    return fstat(fd_of(file), &status) == 0 && S_ISREG(status.st_mode) && status.st_nlink == 1 &&
           status.st_uid == geteuid() && (status.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

std::optional<FileStatus> file_status(const File& file) { return regular_status(fd_of(file)); }

bool name_taken(const Directory& directory, std::string_view name) {
    struct stat status {};
    return is_plain(name) && fstatat(fd_of(directory.handle), name_text(name).c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0;
}

bool has_a_name(const File& file) {
    struct stat status {};
    return fstat(fd_of(file), &status) != 0 || status.st_nlink > 0;
}

bool remove_held(const Directory& directory, std::string_view name, File& held) {
    // Only while the name still leads to the file held: never one put in its place.
    const std::optional<FileStatus> status = file_status(held);
    if (status && is_still(directory, name, status->id, Links::refused)) static_cast<void>(remove_name(directory, name));
    const bool gone = !name_taken(directory, name);
    return close_file(held) && gone;
}

bool remove_name(const Directory& directory, std::string_view name) {
    if (!is_plain(name)) return false;
    // Not what unlinkat reports counts, but whether the name is gone.
    static_cast<void>(unlinkat(fd_of(directory.handle), name_text(name).c_str(), 0));
    return !name_taken(directory, name);
}

bool move_unless_taken(const Directory& directory, std::string_view from, std::string_view to) {
    if (!is_plain(from) || !is_plain(to)) return false;
    const int at = fd_of(directory.handle);
    // A link fails where to is taken: a file that arrived meanwhile stays.
    if (linkat(at, name_text(from).c_str(), at, name_text(to).c_str(), 0) != 0) return false;
    static_cast<void>(unlinkat(at, name_text(from).c_str(), 0));  // what counts is whether it is gone
    return !name_taken(directory, from);
}

struct DirectoryPass {
    DIR* stream;
};

void DirectoryPassEnd::operator()(DirectoryPass* pass) const {
    closedir(pass->stream);
    delete pass;
}

DirectoryReading read_directory(const Directory& directory) {
    // A descriptor of its own: the stream takes it over, and reads from the start.
    const int fd = fcntl(fd_of(directory.handle), F_DUPFD_CLOEXEC, 0);
    if (fd == -1) return nullptr;
    DIR* stream = fdopendir(fd);
    if (!stream) {
        close(fd);
        return nullptr;
    }
    rewinddir(stream);
    return DirectoryReading(new DirectoryPass{stream});
}

bool next_entry(DirectoryReading& reading, DirectoryEntry& entry) {
    for (;;) {
        const dirent* found = readdir(reading->stream);
        if (!found) return false;
        const std::string_view name = found->d_name;
        if (name == "." || name == "..") continue;
        entry.name = name;
        return true;
    }
}

bool sync_directory(const Directory& directory) {
    const int result = retrying([&] { return fsync(fd_of(directory.handle)); });
    return result == 0 || errno == EINVAL;
}

bool sync_file_system(const Directory& directory) {
#if VRTL_SDF_HAVE_SYNCFS
    return syncfs(fd_of(directory.handle)) == 0;
#else
    static_cast<void>(directory);
    sync();
    return true;
#endif
}

}  // namespace platform
