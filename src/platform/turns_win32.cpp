// The seam's turns and checked removal on Windows: byte-range locks for
// claims and turns, a hidden file held without sharing for the directory's
// turn, and the merged file deleted through the run's own handle.
#include <limits>
#include <string>

#include "platform/turns.h"
#include "platform/win32.h"

namespace platform {

namespace {

bool lock_whole_file(File& file, DWORD flags) {
    OVERLAPPED from_the_start{};
    constexpr DWORD whole_file = std::numeric_limits<DWORD>::max();
    return LockFileEx(handle_of(file), LOCKFILE_EXCLUSIVE_LOCK | flags, 0, whole_file, whole_file, &from_the_start) != 0;
}

}  // namespace

bool claim_exclusively(File& file) { return lock_whole_file(file, LOCKFILE_FAIL_IMMEDIATELY); }

bool wait_to_claim(File& file) { return lock_whole_file(file, 0); }

namespace {

// A turn is a lock of one byte far past any data: it hinders no read or
// write of the file, only the turn of another run.
OVERLAPPED far_past_the_data() {
    OVERLAPPED far_byte{};
    far_byte.Offset = 0xfffffffe;
    far_byte.OffsetHigh = 0x7fffffff;
    return far_byte;
}

}  // namespace

bool wait_for_file_turn(File& file) {
    OVERLAPPED far_byte = far_past_the_data();
    return LockFileEx(handle_of(file), LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &far_byte) != 0;
}

namespace {

// The lock goes when its holder closes it, so whatever stands at its name
// must be a plain file of the directory: a directory would be waited on in
// vain, and a link would take with it the file it leads to.
bool may_take_lock(const Directory& directory) {
    const Relative present = look_in(directory, directory_turn_name);
    const OwnedHandle held(present.handle);
    return names_nothing(present.status) ||
           (present.is_open() && is_plain_file_of(present.handle, handle_of(directory.handle), directory_turn_name));
}

constexpr NTSTATUS sharing_violation = static_cast<NTSTATUS>(0xC0000043);
constexpr NTSTATUS access_denied = static_cast<NTSTATUS>(0xC0000022);
constexpr NTSTATUS delete_pending = static_cast<NTSTATUS>(0xC0000056);

// Opens the turn's file, or makes it where nothing is at its name: never
// through a link. It goes when its holder closes it.
Relative open_turn(const Directory& directory) {
    const auto open = [&](Disposition disposition) {
        return open_relative(handle_of(directory.handle), directory_turn_name, GENERIC_READ | GENERIC_WRITE | DELETE,
                             0, disposition, of_a_file | not_following_a_link | FILE_DELETE_ON_CLOSE,
                             FILE_ATTRIBUTE_HIDDEN);
    };
    const Relative found = open(Disposition::open);
    return names_nothing(found.status) ? open(Disposition::create) : found;
}

}  // namespace

// The turn on a directory is a hidden file in it that one run at a time
// holds open, without sharing; it goes when its holder closes it, or dies.
// While any other process holds it so, a run waits.
std::optional<File> wait_for_directory_turn(const Directory& directory) {
    if (!may_take_lock(directory)) return std::nullopt;
    // A file that its last holder is deleting refuses access for a moment.
    constexpr int tries_while_refused = 100;
    constexpr DWORD pause_ms = 20;
    for (int refused = 0; refused < tries_while_refused;) {
        const Relative opened = open_turn(directory);
        if (opened.is_open()) {
            File turn(value_of(opened.handle));
            if (!is_plain_file_of(opened.handle, handle_of(directory.handle), directory_turn_name)) return std::nullopt;
            return turn;
        }
        switch (opened.status) {
        case sharing_violation: break;  // another run holds the turn: wait for it
        case access_denied:
        case delete_pending: ++refused; break;
        default:
            // Made and gone between the two opens: its holder has just ended its turn.
            if (!name_is_taken(opened.status)) return std::nullopt;
        }
        Sleep(pause_ms);
    }
    return std::nullopt;
}

// The turn's file goes with its handle: it was opened to be deleted when closed.
bool end_directory_turn(const Directory&, File& turn) { return close_file(turn); }

std::optional<File> wait_for_listing_turn(const std::string& path) {
    std::optional<File> listing = open_listing_file(path, GENERIC_READ);
    if (!listing || !wait_for_file_turn(*listing)) return std::nullopt;
    return listing;
}

namespace {


enum class AtName { nothing, file_read, other };

// What name leads to now. A link, a directory or another file there is
// something other than the file read.
AtName what_is_at(const Directory& directory, std::string_view name, const FileId& read) {
    const Relative looked = look_in(directory, name);
    const OwnedHandle at(looked.handle);
    if (!looked.is_open()) return names_nothing(looked.status) ? AtName::nothing : AtName::other;
    BY_HANDLE_FILE_INFORMATION information{};
    const bool plain = GetFileInformationByHandle(at.get(), &information) &&
                       (information.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
    return plain && id_of(information) == read ? AtName::file_read : AtName::other;
}

// Deletes the file that read holds through a second handle to that very file,
// opened from the first. With POSIX semantics its name goes at once, while
// others may still hold it open; where the system has none (before Windows
// 10 1709, FAT, Wine) it goes when the last of them closes it. A read-only
// file is not deleted.
bool delete_file_held(const File& read) {
    const OwnedHandle deleter(ReOpenFile(handle_of(read), DELETE | FILE_READ_ATTRIBUTES, share_all, 0));
    // Windows reopens the file itself; Wine reopens whatever its name leads to by now.
    if (deleter.get() == INVALID_HANDLE_VALUE) return false;
    const std::optional<BY_HANDLE_FILE_INFORMATION> reopened = disk_file_information(deleter.get());
    const std::optional<FileStatus> held = file_status(read);
    if (!reopened || !held || id_of(*reopened) != held->id) return false;
    const bool marked = mark_deleted(deleter.get());
    pause_for_test("deleting");
    return marked;
}

}  // namespace

// The file read is deleted through the run's own handle once the checks hold,
// so that nothing its name leads to by then is touched, and a deletion still
// pending because another process holds the file counts as done. aside is
// not used.
Removal prepare_removal(const Directory& directory, std::string_view name, std::string_view,
                        const FileStatus& as_read, File& read) {
    if (!is_plain(name)) return Removal::not_removed;
    switch (what_is_at(directory, name, as_read.id)) {
    case AtName::nothing: return Removal::gone;
    case AtName::other: return Removal::replaced;
    case AtName::file_read: break;
    }
    if (file_status(read) != as_read) return Removal::changed;
    pause_for_test("checked");
    return Removal::ready;
}

Removal remove_prepared(const Directory&, std::string_view, std::string_view, File& read) {
    return delete_file_held(read) ? Removal::removed : Removal::not_removed;
}

// The file never left its name.
Removal cancel_removal(const Directory&, std::string_view, std::string_view) { return Removal::not_removed; }

}  // namespace platform
