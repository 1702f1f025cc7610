// The seam's turns and checked removal on POSIX systems: flock for claims
// and for the turns of the directory and the listing, record locks for the
// turns of SDF files, and the merged file's removal by way of an aside name.
#include <cerrno>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix.h"
#include "platform/turns.h"

namespace platform {

namespace {

// Locks of the open file where the system has them, so that closing another
// descriptor of the file leaves the turn in place; locks of the process elsewhere.
#if defined(F_OFD_SETLKW)
constexpr int record_lock_waiting = F_OFD_SETLKW;
#else
constexpr int record_lock_waiting = F_SETLKW;
#endif

}  // namespace

bool claim_exclusively(File& file) {
    return retrying([&] { return flock(fd_of(file), LOCK_EX | LOCK_NB); }) == 0;
}

bool wait_to_claim(File& file) { return retrying([&] { return flock(fd_of(file), LOCK_EX); }) == 0; }

// A record lock, not flock: a run that appends to a file that another run
// has claimed to read as its merged file must not wait for that run.
bool wait_for_file_turn(File& file) {
    struct flock whole_file {};
    whole_file.l_type = F_WRLCK;
    whole_file.l_whence = SEEK_SET;
    return retrying([&] { return fcntl(fd_of(file), record_lock_waiting, &whole_file); }) == 0;
}

namespace {

enum class Turn { taken, name_moved_on, failed };

// Opens, creating it when absent, a file of the command's own that carries a
// turn, and waits for the turn: never through a link, and only a regular
// file with one name. One this run makes gets mode less the umask, and at
// least the bits required whatever the umask. The turn counts only while the name still
// leads to the file waited on: a run that ended its turn removes it, and
// anyone who may write the directory can.
Turn take_turn_of(int at, const char* name, mode_t mode, mode_t required, std::optional<File>& taken) {
    constexpr int flags = O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
    int fd = retrying([&] { return openat(at, name, flags | O_CREAT | O_EXCL, mode); });
    const bool made = fd != -1;
    if (!made && errno == EEXIST) fd = retrying([&] { return openat(at, name, flags); });
    // Gone between the two opens: its holder has just ended its turn.
    if (fd == -1) return errno == ENOENT ? Turn::name_moved_on : Turn::failed;
    File file(fd);
    struct stat status {};
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) return Turn::failed;
    if (status.st_nlink == 0) return Turn::name_moved_on;
    if (status.st_nlink != 1) return Turn::failed;
    if (made && (status.st_mode & required) != required && fchmod(fd, status.st_mode | required) != 0) {
        return Turn::failed;
    }
    if (retrying([&] { return flock(fd, LOCK_EX); }) != 0) return Turn::failed;
    struct stat at_name {};
    if (fstatat(at, name, &at_name, AT_SYMLINK_NOFOLLOW) != 0 || id_of(at_name) != id_of(status)) {
        return Turn::name_moved_on;
    }
    taken = std::move(file);
    return Turn::taken;
}

// A run that dies gives up its turn with its descriptors.
std::optional<File> wait_for_turn_of(int at, const char* name, mode_t mode, mode_t required) {
    std::optional<File> taken;
    Turn turn = Turn::name_moved_on;
    while (turn == Turn::name_moved_on) turn = take_turn_of(at, name, mode, required, taken);
    return taken;
}

}  // namespace

std::optional<File> wait_for_directory_turn(const Directory& directory) {
    // Readable by all, so that another user's run can wait for it.
    return wait_for_turn_of(fd_of(directory.handle), std::string(directory_turn_name).c_str(), 0644, 0644);
}

bool end_directory_turn(const Directory& directory, File& turn) {
    // Removed while it is still held, so that a run waiting on it finds its
    // name gone and opens the next one.
    const std::optional<FileStatus> held = file_status(turn);
    if (held && is_still(directory, directory_turn_name, held->id, Links::refused)) {
        static_cast<void>(remove_name(directory, directory_turn_name));
    }
    return close_file(turn);
}

std::optional<File> wait_for_listing_turn(const std::string& path) {
    // Read back by the run that wrote it.
    return wait_for_turn_of(AT_FDCWD, path.c_str(), 0666, S_IRUSR | S_IWUSR);
}

Removal cancel_removal(const Directory& directory, std::string_view name, std::string_view aside) {
    return move_unless_taken(directory, aside, name) ? Removal::not_removed : Removal::left_aside;
}

Removal prepare_removal(const Directory& directory, std::string_view name, std::string_view aside,
                        const FileStatus& as_read, File&) {
    const int at = fd_of(directory.handle);
    if (!is_plain(name) || !is_plain(aside)) return Removal::not_removed;
    // Moved aside first, so that what is removed is exactly what was looked
    // at: a file renamed onto name meanwhile is given it back, never removed.
    if (renameat(at, name_text(name).c_str(), at, name_text(aside).c_str()) != 0) {
        switch (errno) {
        case ENOENT: return Removal::gone;
        case EISDIR:
        case ENOTEMPTY:
        case EEXIST: return Removal::aside_taken;  // a directory stands there
        default: return Removal::not_removed;
        }
    }
    struct stat moved {};
    const bool regular = fstatat(at, name_text(aside).c_str(), &moved, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(moved.st_mode);
    const bool is_the_file_read = regular && id_of(moved) == as_read.id;
    if (is_the_file_read && status_of(moved) == as_read) return Removal::ready;
    if (cancel_removal(directory, name, aside) == Removal::left_aside) return Removal::left_aside;
    return is_the_file_read ? Removal::changed : Removal::replaced;
}

Removal remove_prepared(const Directory& directory, std::string_view name, std::string_view aside, File&) {
    // What unlinkat reports does not count, but whether the name is gone.
    static_cast<void>(unlinkat(fd_of(directory.handle), name_text(aside).c_str(), 0));
    if (!name_taken(directory, aside)) return Removal::removed;
    return cancel_removal(directory, name, aside);
}

}  // namespace platform
