// The seam's files and directories on Windows: the ANSI file functions.
#include <algorithm>
#include <limits>
#include <memory>

#include "platform/files.h"
#include "platform/turns.h"
#include "platform/win32.h"

namespace platform {

const std::string_view directory_separator = "\\";
const FileNameRules file_name_rules = FileNameRules::windows;

namespace {

constexpr DWORD largest_transfer = std::numeric_limits<DWORD>::max();

ULONG share_mode(Access access) {
    switch (access) {
    // A file being read may not be written by anyone else: a merged file that
    // its producer still has open for writing is not taken, and none may
    // start writing it while the run reads it. It is deleted while still
    // held open and claimed, which only a handle that allows deletion permits.
    case Access::read: return FILE_SHARE_READ | FILE_SHARE_DELETE;
    case Access::create:
    case Access::append: return FILE_SHARE_READ | FILE_SHARE_WRITE;
    case Access::rewrite:
    case Access::sync: return FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    case Access::own_new: return FILE_SHARE_READ;
    }
    return 0;
}

ACCESS_MASK desired_access(Access access) {
    switch (access) {
    case Access::read: return GENERIC_READ;
    case Access::create:
    case Access::rewrite:
    case Access::own_new: return GENERIC_WRITE;
    // Without FILE_WRITE_DATA every write lands at the end as the file stands
    // at that moment, in one step, as with O_APPEND: two writers appending to
    // one file never write over each other's bytes. FILE_READ_DATA lets the
    // handle take the file's turn.
    case Access::append: return FILE_READ_DATA | FILE_APPEND_DATA | FILE_READ_ATTRIBUTES;
    // Windows syncs a file only through a handle that may write it.
    case Access::sync: return GENERIC_WRITE;
    }
    return 0;
}

// Files of the command's own are hidden, so that no listing takes them.
ULONG attributes(Access access) { return access == Access::own_new ? FILE_ATTRIBUTE_HIDDEN : FILE_ATTRIBUTE_NORMAL; }

// Moves the file's position and gives where it now stands.
std::optional<std::int64_t> move_position(HANDLE handle, std::int64_t distance, DWORD method) {
    LONG high = static_cast<LONG>(distance >> 32);
    SetLastError(NO_ERROR);
    const DWORD low = SetFilePointer(handle, static_cast<LONG>(distance & 0xffffffff), &high, method);
    if (low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) return std::nullopt;
    return static_cast<std::int64_t>((static_cast<std::uint64_t>(static_cast<DWORD>(high)) << 32) | low);
}

// Opens name in the directory as access asks, the name itself and never
// the file a link there leads to. A file is made only where nothing is at
// the name (never through a link, which takes the name), and only for the
// ways that make one: created tells whether this open made it.
Relative open_or_create(const Directory& directory, std::string_view name, Access access, bool& created) {
    const HANDLE held = handle_of(directory.handle);
    const bool makes_only = access == Access::own_new;
    // A file of the command's own lets no one else write it, though the
    // folder lets others write what is made in it.
    const std::optional<LocalMemory> security = makes_only ? own_only_security() : std::nullopt;
    if (makes_only && !security) return {};
    const auto open = [&](Disposition disposition) {
        return open_relative(held, name, desired_access(access), share_mode(access), disposition,
                             of_a_file | not_following_a_link, attributes(access), security ? security->get() : nullptr);
    };
    const bool may_make = makes_only || access == Access::append || access == Access::create;
    // A name that comes and goes between the two opens is tried again, a few times.
    for (int tries = 0; tries < 100; ++tries) {
        if (!makes_only) {
            Relative found = open(Disposition::open);
            if (found.is_open() || !may_make || !names_nothing(found.status)) return found;
        }
        Relative made = open(Disposition::create);
        created = made.is_open();
        if (made.is_open() || makes_only || !name_is_taken(made.status)) return made;
    }
    return {};
}

// Whether the link at name belongs to the user the run runs as: an
// operator's link to a file shared between folders, never one that others
// who may write the folder planted.
bool is_own_link(const Directory& directory, std::string_view name) {
    const Relative link = open_relative(handle_of(directory.handle), name, READ_CONTROL | FILE_READ_ATTRIBUTES,
                                        share_all, Disposition::open, FILE_SYNCHRONOUS_IO_NONALERT | not_following_a_link);
    if (!link.is_open()) return false;
    const OwnedHandle held(link.handle);
    const std::optional<std::string> owner = owner_of(link.handle, SE_FILE_OBJECT);
    return owner && is_owner_of_this_process(*owner);
}

// The file that was opened at name as itself: itself when it is no link;
// where it is a link, the file it leads to when links are followed and the
// link is the run's own user's, opened anew; nothing otherwise. Under Wine a
// link to a file shows as that file, and only the path the file really has
// tells it, which is looked at where links are refused.
std::optional<File> beyond_a_link(const Directory& directory, std::string_view name, File itself, Links links,
                                  ACCESS_MASK access, ULONG share) {
    const std::optional<BY_HANDLE_FILE_INFORMATION> information = disk_file_information(handle_of(itself));
    const bool is_link = information ? is_reparse_point(*information) : true;
    if (!is_link) {
        if (links == Links::refused && !is_reached_without_link(handle_of(itself), handle_of(directory.handle), name)) {
            return std::nullopt;
        }
        return itself;
    }
    if (links == Links::refused || !is_own_link(directory, name)) return std::nullopt;
    const Relative target =
        open_relative(handle_of(directory.handle), name, access, share, Disposition::open, of_a_file);
    if (!target.is_open()) return std::nullopt;
    return File(value_of(target.handle), itself.writes());
}

// The file just opened as access asks, once known to be a disk file: in its
// turn when it is to be appended to, emptied when it is to be made anew.
std::optional<OpenedFile> opened_as(std::optional<File> file, Access access, bool created) {
    if (!file || !disk_file_information(handle_of(*file))) return std::nullopt;
    if (access == Access::append && !wait_for_file_turn(*file)) return std::nullopt;
    if (access == Access::create && !truncate_file(*file, 0)) return std::nullopt;
    const std::optional<BY_HANDLE_FILE_INFORMATION> information = disk_file_information(handle_of(*file));
    if (!information) return std::nullopt;
    return OpenedFile{std::move(*file), status_of(*information), created, access == Access::append};
}

}  // namespace

std::optional<Directory> open_directory(const std::string& directory_text) {
    // Held with read and write shared but not deletion, so that the
    // directory cannot be renamed or removed while the run holds it; every
    // file in it is then reached through this handle.
    const HANDLE handle = CreateFileA(directory_text.c_str(), FILE_LIST_DIRECTORY | FILE_TRAVERSE | SYNCHRONIZE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return std::nullopt;
    return Directory{File(value_of(handle)), directory_text};
}

// A file by its Win32 path, for the tests and tools that name one.
std::optional<OpenedFile> open_path(const std::string& path, Access access) {
    const bool reads = access == Access::read || access == Access::rewrite || access == Access::sync;
    const DWORD disposition = reads ? OPEN_EXISTING : access == Access::own_new ? CREATE_NEW : OPEN_ALWAYS;
    const HANDLE handle = CreateFileA(path.c_str(), desired_access(access) | SYNCHRONIZE, share_mode(access), nullptr,
                                      disposition, attributes(access), nullptr);
    // OPEN_ALWAYS tells whether it made the file, in the same step as the open.
    const bool created = disposition != OPEN_EXISTING && GetLastError() != ERROR_ALREADY_EXISTS;
    if (handle == INVALID_HANDLE_VALUE) return std::nullopt;
    return opened_as(File(value_of(handle), access == Access::append ? Writes::at_end : Writes::at_position), access,
                     created);
}

std::optional<OpenedFile> open_in(const Directory& directory, std::string_view name, Access access, Links links) {
    if (!is_plain(name)) return std::nullopt;
    bool created = false;
    const Relative opened = open_or_create(directory, name, access, created);
    if (!opened.is_open()) return std::nullopt;
    const Writes writes = access == Access::append ? Writes::at_end : Writes::at_position;
    if (access == Access::append) pause_for_test("appending");
    return opened_as(beyond_a_link(directory, name, File(value_of(opened.handle), writes), links,
                                   desired_access(access), share_mode(access)),
                     access, created);
}

std::optional<std::size_t> read_some(File& file, std::span<char> buffer) {
    DWORD count = 0;
    const auto wanted = static_cast<DWORD>(std::min<std::size_t>(buffer.size(), largest_transfer));
    if (ReadFile(handle_of(file), buffer.data(), wanted, &count, nullptr)) return count;
    const DWORD error = GetLastError();
    if (error == ERROR_HANDLE_EOF || error == ERROR_BROKEN_PIPE) return 0;
    return std::nullopt;
}

bool write_all(File& file, std::span<const char> bytes) {
    while (!bytes.empty()) {
        DWORD count = 0;
        const auto offered = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), largest_transfer));
        if (!WriteFile(handle_of(file), bytes.data(), offered, &count, nullptr) || count == 0) return false;
        bytes = bytes.subspan(count);
    }
    return true;
}

std::optional<std::int64_t> end_position(File& file) { return move_position(handle_of(file), 0, FILE_END); }

bool truncate_file(File& file, std::int64_t length) {
    const auto cut = [&](HANDLE handle) {
        return move_position(handle, length, FILE_BEGIN) && SetEndOfFile(handle) != 0;
    };
    if (file.writes() == Writes::at_position) return cut(handle_of(file));
    // A file opened to append may only grow through its own handle: the cut
    // takes a handle of its own to the same file, one that may write anywhere.
    const OwnedHandle writer(ReOpenFile(handle_of(file), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, 0));
    return writer.get() != INVALID_HANDLE_VALUE && cut(writer.get());
}

bool close_file(File& file) {
    if (!file.is_open()) return true;
    return CloseHandle(reinterpret_cast<HANDLE>(file.release())) != 0;
}

bool sync_file(File& file) { return FlushFileBuffers(handle_of(file)) != 0; }

std::optional<std::size_t> read_at(File& file, std::int64_t offset, std::span<char> buffer) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset & 0xffffffff);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD count = 0;
    const auto wanted = static_cast<DWORD>(std::min<std::size_t>(buffer.size(), largest_transfer));
    if (ReadFile(handle_of(file), buffer.data(), wanted, &count, &at)) return count;
    return GetLastError() == ERROR_HANDLE_EOF ? std::optional<std::size_t>(0) : std::nullopt;
}

std::optional<FileStatus> status_in(const Directory& directory, std::string_view name, Links links) {
    if (!is_plain(name)) return std::nullopt;
    // Only the attributes: they can be queried of a file that may not be read.
    const Relative looked = open_relative(handle_of(directory.handle), name, FILE_READ_ATTRIBUTES, share_all,
                                          Disposition::open, of_a_file | not_following_a_link);
    if (!looked.is_open()) return std::nullopt;
    const std::optional<File> file =
        beyond_a_link(directory, name, File(value_of(looked.handle)), links, FILE_READ_ATTRIBUTES, share_all);
    const std::optional<BY_HANDLE_FILE_INFORMATION> information =
        file ? disk_file_information(handle_of(*file)) : std::nullopt;
    if (!information) return std::nullopt;
    return status_of(*information);
}

// The run's user, or the default owner its token gives what it creates (an
// elevated or service run's files are the Administrators'), is the owner of
// a file of the run's own.
bool is_own_file(const File& file) {
    const std::optional<BY_HANDLE_FILE_INFORMATION> information = disk_file_information(handle_of(file));
    if (!information || information->nNumberOfLinks != 1 || is_reparse_point(*information)) return false;
    const std::optional<std::string> owner = owner_of(handle_of(file), SE_FILE_OBJECT);
    return owner && is_owner_of_this_process(*owner) && !is_writable_by_others(handle_of(file));
}

std::optional<FileStatus> file_status(const File& file) {
    const std::optional<BY_HANDLE_FILE_INFORMATION> information = disk_file_information(handle_of(file));
    if (!information) return std::nullopt;
    return status_of(*information);
}

bool has_a_name(const File& file) {
    FILE_STANDARD_INFO standard{};
    if (!GetFileInformationByHandleEx(handle_of(file), FileStandardInfo, &standard, sizeof standard)) return true;
    return standard.NumberOfLinks > 0 && !standard.DeletePending;
}

bool name_taken(const Directory& directory, std::string_view name) {
    if (!is_plain(name)) return false;
    const Relative looked = look_in(directory, name);
    if (looked.is_open()) CloseHandle(looked.handle);
    // A name that cannot be opened is taken all the same: Wine's link to nothing.
    return !names_nothing(looked.status);
}

// A file held open without sharing its deletion cannot go by its name: it
// is let go first, and its name removed while it still leads to it.
bool remove_held(const Directory& directory, std::string_view name, File& held) {
    const std::optional<FileStatus> status = file_status(held);
    const bool closed = close_file(held);
    if (status && is_still(directory, name, status->id, Links::refused)) static_cast<void>(remove_name(directory, name));
    return closed && !name_taken(directory, name);
}

namespace {

// Opens the plain file of the directory at name to rename or remove it:
// nothing when anything else stands there, a link above all, so that nothing
// is removed or moved through one.
std::optional<File> plain_file_to_move(const Directory& directory, std::string_view name) {
    if (!is_plain(name)) return std::nullopt;
    const Relative opened = open_relative(handle_of(directory.handle), name, DELETE | FILE_READ_ATTRIBUTES, share_all,
                                          Disposition::open, of_a_file | not_following_a_link);
    if (!opened.is_open()) return std::nullopt;
    File file(value_of(opened.handle));
    const std::optional<BY_HANDLE_FILE_INFORMATION> information = disk_file_information(opened.handle);
    if (!information || is_reparse_point(*information) ||
        !is_reached_without_link(opened.handle, handle_of(directory.handle), name)) {
        return std::nullopt;
    }
    return file;
}

}  // namespace

bool remove_name(const Directory& directory, std::string_view name) {
    if (std::optional<File> file = plain_file_to_move(directory, name)) {
        // Not what the marking reports counts, but whether the name is gone.
        static_cast<void>(mark_deleted(handle_of(*file)));
        static_cast<void>(close_file(*file));
    }
    return !name_taken(directory, name);
}

bool move_unless_taken(const Directory& directory, std::string_view from, std::string_view to) {
    std::optional<File> file = is_plain(to) ? plain_file_to_move(directory, from) : std::nullopt;
    return file && rename_in(handle_of(*file), directory, to);
}

// Not declared by mingw-w64's headers; ntdll has it.
extern "C" NTSTATUS NTAPI NtQueryDirectoryFile(HANDLE directory, HANDLE event, PVOID apc_routine, PVOID apc_context,
                                               PIO_STATUS_BLOCK io, PVOID entries, ULONG length,
                                               FILE_INFORMATION_CLASS kind, BOOLEAN single_entry,
                                               PUNICODE_STRING mask, BOOLEAN restart_scan);

struct DirectoryPass {
    OwnedHandle directory;  // a handle of the pass's own: a mask and a place are kept with a handle
    std::vector<char> entries = std::vector<char>(64 << 10);
    std::size_t next = 0;   // of the entry not yet taken in entries, while more are
    bool more = false;
};

void DirectoryPassEnd::operator()(DirectoryPass* pass) const { delete pass; }

namespace {

// Fetches the next entries of the pass; false when none are left.
bool fetch_entries(DirectoryPass& pass) {
    IO_STATUS_BLOCK io{};
    const NTSTATUS status =
        NtQueryDirectoryFile(pass.directory.get(), nullptr, nullptr, nullptr, &io, pass.entries.data(),
                             static_cast<ULONG>(pass.entries.size()), FileDirectoryInformation, FALSE, nullptr, FALSE);
    pass.next = 0;
    pass.more = NT_SUCCESS(status) && io.Information > 0;
    return pass.more;
}

}  // namespace

// Every name, matched by no mask: short (8.3) names, which a mask would
// match too, are never looked at. The names found become bytes of the ANSI
// code page, as the file functions take them: a character outside it becomes
// "?", never a look-alike.
DirectoryReading read_directory(const Directory& directory) {
    const Relative opened = open_relative(handle_of(directory.handle), "", FILE_LIST_DIRECTORY, share_all,
                                          Disposition::open, FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT);
    if (!opened.is_open()) return nullptr;
    DirectoryReading reading(new DirectoryPass{OwnedHandle(opened.handle)});
    if (!fetch_entries(*reading)) return nullptr;
    return reading;
}

bool next_entry(DirectoryReading& reading, DirectoryEntry& entry) {
    DirectoryPass& pass = *reading;
    while (pass.more) {
        const auto* found = reinterpret_cast<const FILE_DIRECTORY_INFORMATION*>(pass.entries.data() + pass.next);
        const std::wstring_view name(found->FileName, found->FileNameLength / sizeof(wchar_t));
        const bool dots = name == L"." || name == L"..";
        if (!dots) {
            entry.name = ansi_from_wide(name);
            // As dir /b: hidden and system files are left out.
            entry.listed = (found->FileAttributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) == 0;
        }
        if (found->NextEntryOffset == 0) {
            fetch_entries(pass);
        } else {
            pass.next += found->NextEntryOffset;
        }
        if (!dots) return true;
    }
    return false;
}

// Windows writes cached data back on its own schedule; FlushFileBuffers waits for it.
void start_write_back(File&) {}

// A directory cannot be flushed through a handle of an ordinary user; the
// file system keeps its entries in its own journal.
bool sync_directory(const Directory&) { return true; }

// Only an administrator may flush a whole volume.
bool sync_file_system(const Directory&) { return false; }

}  // namespace platform
