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

DWORD share_mode(Access access) {
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

DWORD desired_access(Access access) {
    switch (access) {
    case Access::read: return GENERIC_READ;
    case Access::create:
    case Access::rewrite:
    case Access::own_new: return GENERIC_WRITE;
    // Without FILE_WRITE_DATA every write lands at the end as the file stands
    // at that moment, in one step, as with O_APPEND: two writers appending to
    // one file never write over each other's bytes. FILE_READ_DATA lets the
    // handle take the file's turn.
    case Access::append: return FILE_READ_DATA | FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
    // Windows syncs a file only through a handle that may write it.
    case Access::sync: return GENERIC_WRITE;
    }
    return 0;
}

DWORD disposition(Access access) {
    switch (access) {
    case Access::read:
    case Access::rewrite:
    case Access::sync: return OPEN_EXISTING;
    case Access::create:
    case Access::append: return OPEN_ALWAYS;
    case Access::own_new: return CREATE_NEW;
    }
    return OPEN_EXISTING;
}

// Files of the command's own are hidden, so that no dir lists them.
DWORD attributes(Access access) { return access == Access::own_new ? FILE_ATTRIBUTE_HIDDEN : FILE_ATTRIBUTE_NORMAL; }

// Opens whatever is at path; whether it is a disk file is judged afterwards.
HANDLE open_handle(const std::string& path, DWORD desired_access, DWORD share, DWORD disposition,
                   DWORD flags = FILE_ATTRIBUTE_NORMAL) {
    return CreateFileA(path.c_str(), desired_access, share, nullptr, disposition, flags, nullptr);
}

// Moves the file's position and gives where it now stands.
std::optional<std::int64_t> move_position(HANDLE handle, std::int64_t distance, DWORD method) {
    LONG high = static_cast<LONG>(distance >> 32);
    SetLastError(NO_ERROR);
    const DWORD low = SetFilePointer(handle, static_cast<LONG>(distance & 0xffffffff), &high, method);
    if (low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) return std::nullopt;
    return static_cast<std::int64_t>((static_cast<std::uint64_t>(static_cast<DWORD>(high)) << 32) | low);
}

// Whether the link at path belongs to the user the run runs as: an
// operator's link to a file shared between folders, never one that others
// who may write the folder planted.
bool is_own_link(const std::string& path) {
    const OwnedHandle link(CreateFileA(path.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES, share_all, nullptr,
                                       OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                                       nullptr));
    if (link.get() == INVALID_HANDLE_VALUE) return false;
    const std::optional<std::string> owner = owner_of(link.get(), SE_FILE_OBJECT);
    return owner && owner == user_of_this_process();
}

// Opens path as open_in does. A file is never created through a reparse
// point; one is opened as itself, and refused, where links are refused, and
// followed only where the run's own user made it.
std::optional<OpenedFile> open_file_at(const std::string& path, Access access, Links links) {
    const DWORD found = GetFileAttributesA(path.c_str());
    const bool through_link = found != INVALID_FILE_ATTRIBUTES && (found & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    if (through_link && (links == Links::refused || !is_own_link(path))) return std::nullopt;
    const DWORD creation = through_link && disposition(access) == OPEN_ALWAYS ? OPEN_EXISTING : disposition(access);
    const DWORD flags = attributes(access) | (links == Links::refused ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
    const HANDLE handle = open_handle(path, desired_access(access), share_mode(access), creation, flags);
    // OPEN_ALWAYS tells whether it made the file, in the same step as the open.
    const bool created = handle != INVALID_HANDLE_VALUE && creation == OPEN_ALWAYS && GetLastError() != ERROR_ALREADY_EXISTS;
    if (handle == INVALID_HANDLE_VALUE) return std::nullopt;
    File file(value_of(handle), access == Access::append ? Writes::at_end : Writes::at_position);
    const std::optional<BY_HANDLE_FILE_INFORMATION> kind = disk_file_information(handle);
    if (!kind || (links == Links::refused && is_reparse_point(*kind))) return std::nullopt;
    if (access == Access::append && !wait_for_file_turn(file)) return std::nullopt;
    // Emptying waits until the file is known to be a disk file.
    if (access == Access::create && !truncate_file(file, 0)) return std::nullopt;
    const std::optional<BY_HANDLE_FILE_INFORMATION> information = disk_file_information(handle);
    if (!information) return std::nullopt;
    return OpenedFile{std::move(file), status_of(*information), created && access == Access::append,
                      access == Access::append};
}

}  // namespace

std::optional<Directory> open_directory(const std::string& directory_text) {
    // Held with read and write shared but not deletion, so that the
    // directory cannot be renamed or removed while the run holds it.
    const HANDLE handle = CreateFileA(directory_text.c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return std::nullopt;
    return Directory{File(value_of(handle)), directory_text};
}

std::optional<OpenedFile> open_path(const std::string& path, Access access) {
    return open_file_at(path, access, Links::followed);
}

std::optional<OpenedFile> open_in(const Directory& directory, std::string_view name, Access access, Links links) {
    if (!is_plain(name)) return std::nullopt;
    std::optional<OpenedFile> opened = open_file_at(path_of(directory, name), access, links);
    if (opened && links == Links::refused &&
        !is_reached_without_link(handle_of(opened->file), handle_of(directory.handle), name)) {
        return std::nullopt;
    }
    return opened;
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
    const std::string path = path_of(directory, name);
    const DWORD found = GetFileAttributesA(path.c_str());
    if (found != INVALID_FILE_ATTRIBUTES && (found & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && links == Links::followed &&
        !is_own_link(path)) {
        return std::nullopt;
    }
    // No access asked for: the attributes of a file that may not be read can
    // still be queried.
    const DWORD flags = links == Links::refused ? FILE_FLAG_OPEN_REPARSE_POINT : 0;
    const OwnedHandle handle(open_handle(path, 0, share_all, OPEN_EXISTING, flags));
    if (handle.get() == INVALID_HANDLE_VALUE) return std::nullopt;
    const std::optional<BY_HANDLE_FILE_INFORMATION> information = disk_file_information(handle.get());
    if (!information) return std::nullopt;
    if (links == Links::refused && !is_reached_without_link(handle.get(), handle_of(directory.handle), name)) {
        return std::nullopt;
    }
    return status_of(*information);
}


// Who else may write the file is left to the directory's permissions, which
// a file made in it takes on: the owner is what tells a file of the run's own.
bool is_own_file(const File& file) {
    const std::optional<BY_HANDLE_FILE_INFORMATION> information = disk_file_information(handle_of(file));
    if (!information || information->nNumberOfLinks != 1 || is_reparse_point(*information)) return false;
    const std::optional<std::string> owner = owner_of(handle_of(file), SE_FILE_OBJECT);
    return owner && owner == user_of_this_process();
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
    return is_plain(name) && GetFileAttributesA(path_of(directory, name).c_str()) != INVALID_FILE_ATTRIBUTES;
}

// A file held open without sharing its deletion cannot go by its name: it
// is let go first, and its name removed while it still leads to it.
bool remove_held(const Directory& directory, std::string_view name, File& held) {
    const std::optional<FileStatus> status = file_status(held);
    const bool closed = close_file(held);
    if (status && is_still(directory, name, status->id, Links::refused)) static_cast<void>(remove_name(directory, name));
    return closed && !name_taken(directory, name);
}

bool remove_name(const Directory& directory, std::string_view name) {
    if (!is_plain(name)) return false;
    // Not what DeleteFile reports counts, but whether the name is gone.
    static_cast<void>(DeleteFileA(path_of(directory, name).c_str()));
    return !name_taken(directory, name);
}

bool move_unless_taken(const Directory& directory, std::string_view from, std::string_view to) {
    return is_plain(from) && is_plain(to) &&
           MoveFileA(path_of(directory, from).c_str(), path_of(directory, to).c_str()) != 0;
}

struct DirectoryPass {
    HANDLE search;
    WIN32_FIND_DATAW found;
    bool has_found;  // found holds an entry not yet taken
};

void DirectoryPassEnd::operator()(DirectoryPass* pass) const {
    FindClose(pass->search);
    delete pass;
}

// The names found become bytes of the ANSI code page, as the file functions
// take them: a character outside it becomes "?", never a look-alike.
DirectoryReading read_directory(const Directory& directory) {
    auto pass = std::make_unique<DirectoryPass>();
    pass->search = FindFirstFileW(wide_from_ansi(directory.text + "*").c_str(), &pass->found);
    if (pass->search == INVALID_HANDLE_VALUE) return nullptr;
    pass->has_found = true;
    return DirectoryReading(pass.release());
}

bool next_entry(DirectoryReading& reading, DirectoryEntry& entry) {
    DirectoryPass& pass = *reading;
    for (; pass.has_found; pass.has_found = FindNextFileW(pass.search, &pass.found) != 0) {
        const std::wstring_view name = pass.found.cFileName;
        if (name == L"." || name == L"..") continue;
        entry.name = ansi_from_wide(name);
        entry.short_name = ansi_from_wide(pass.found.cAlternateFileName);
        // As dir /b: hidden and system files are left out.
        entry.listed = (pass.found.dwFileAttributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) == 0;
        pass.has_found = FindNextFileW(pass.search, &pass.found) != 0;
        return true;
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
