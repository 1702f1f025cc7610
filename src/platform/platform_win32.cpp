// The seam on Windows: the ANSI file functions. The directory is listed and
// the merged file deleted in process: no program is ever started.
#include "platform/platform.h"

#include <algorithm>
#include <limits>
#include <memory>
#include <vector>

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include "platform/wildcard_pattern.h"

namespace platform {

const std::string_view directory_separator = "\\";
const FileNameRules file_name_rules = FileNameRules::windows;

namespace {

HANDLE handle_of(const File& file) { return reinterpret_cast<HANDLE>(file.handle()); }

std::intptr_t value_of(HANDLE handle) { return reinterpret_cast<std::intptr_t>(handle); }

// Owns a handle for a moment: a second handle to a file, a look at a name.
class OwnedHandle {
public:
    explicit OwnedHandle(HANDLE handle) : handle_(handle) {}
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;
    ~OwnedHandle() {
        if (handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    }
    HANDLE get() const { return handle_; }

private:
    HANDLE handle_;
};

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

// A name that stays in the directory: no separator, no stream of another
// file, and neither "." nor "..".
bool is_plain(std::string_view name) {
    return !name.empty() && name != "." && name != ".." && name.find_first_of("\\/:") == std::string_view::npos;
}

std::string path_of(const Directory& directory, std::string_view name) { return directory.text + std::string(name); }

// What the system records of a file on a disk that is not a directory;
// nothing for any other kind. Devices such as NUL, CON or COM1, in any
// directory and with any extension, are character devices; pipes are pipes.
std::optional<BY_HANDLE_FILE_INFORMATION> disk_file_information(HANDLE handle) {
    if (GetFileType(handle) != FILE_TYPE_DISK) return std::nullopt;
    BY_HANDLE_FILE_INFORMATION information{};
    if (!GetFileInformationByHandle(handle, &information) ||
        (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return std::nullopt;
    }
    return information;
}

FileId id_of(const BY_HANDLE_FILE_INFORMATION& information) {
    return FileId{information.dwVolumeSerialNumber,
                  (static_cast<std::uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow};
}

std::int64_t size_of(const BY_HANDLE_FILE_INFORMATION& information) {
    return static_cast<std::int64_t>((static_cast<std::uint64_t>(information.nFileSizeHigh) << 32) |
                                     information.nFileSizeLow);
}

FileStatus status_of(const BY_HANDLE_FILE_INFORMATION& information) {
    const FILETIME& written = information.ftLastWriteTime;
    const auto modified = static_cast<std::int64_t>((static_cast<std::uint64_t>(written.dwHighDateTime) << 32) |
                                                    written.dwLowDateTime);
    return FileStatus{size_of(information), id_of(information), modified};
}

constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Moves the file's position and gives where it now stands.
std::optional<std::int64_t> move_position(HANDLE handle, std::int64_t distance, DWORD method) {
    LONG high = static_cast<LONG>(distance >> 32);
    SetLastError(NO_ERROR);
    const DWORD low = SetFilePointer(handle, static_cast<LONG>(distance & 0xffffffff), &high, method);
    if (low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) return std::nullopt;
    return static_cast<std::int64_t>((static_cast<std::uint64_t>(static_cast<DWORD>(high)) << 32) | low);
}

// The text with its letters in upper case, as the file system compares names
// in the system's code page.
std::string upper_case(std::string_view text) {
    std::string upper(text);
    const int length = static_cast<int>(text.size());
    if (length > 0 && LCMapStringA(LOCALE_SYSTEM_DEFAULT, LCMAP_UPPERCASE, text.data(), length, upper.data(), length) != length) {
        return std::string(text);
    }
    return upper;
}

std::wstring wide_from_ansi(std::string_view text) {
    const int length = static_cast<int>(text.size());
    const int needed = length == 0 ? 0 : MultiByteToWideChar(CP_ACP, 0, text.data(), length, nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(needed), L'\0');
    if (needed > 0) MultiByteToWideChar(CP_ACP, 0, text.data(), length, wide.data(), needed);
    return wide;
}

// A character outside the ANSI code page becomes the code page's default
// character, "?", which no file name holds: never a look-alike ("o" for
// "\u0151") that may name another file. UTF-8 takes no such flag.
std::string ansi_from_wide(std::wstring_view text) {
    const DWORD flags = GetACP() == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
    const int length = static_cast<int>(text.size());
    const int needed =
        length == 0 ? 0 : WideCharToMultiByte(CP_ACP, flags, text.data(), length, nullptr, 0, nullptr, nullptr);
    std::string ansi(static_cast<std::size_t>(needed), '\0');
    if (needed > 0) WideCharToMultiByte(CP_ACP, flags, text.data(), length, ansi.data(), needed, nullptr, nullptr);
    return ansi;
}

// The path of the open file as the file system knows it, every link on the
// way resolved.
std::optional<std::wstring> final_path(HANDLE handle) {
    constexpr DWORD flags = FILE_NAME_NORMALIZED | VOLUME_NAME_NT;
    const DWORD needed = GetFinalPathNameByHandleW(handle, nullptr, 0, flags);  // its NUL included
    if (needed == 0) return std::nullopt;
    std::wstring path(needed, L'\0');
    const DWORD length = GetFinalPathNameByHandleW(handle, path.data(), needed, flags);
    if (length == 0 || length >= needed) return std::nullopt;
    path.resize(length);
    return path;
}

// Whether the open file was reached under name in the directory by no link
// of any kind: a disk file, no directory. Windows shows a link by the
// reparse-point attribute of the handle opened with
// FILE_FLAG_OPEN_REPARSE_POINT; Wine follows a symbolic link to a file
// whatever the flags, and shows it only in the path the file really has.
bool is_reached_without_link(HANDLE file, HANDLE directory, std::string_view name) {
    const std::optional<BY_HANDLE_FILE_INFORMATION> information = disk_file_information(file);
    if (!information || (information->dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return false;
    const std::optional<std::wstring> path = final_path(file);
    std::optional<std::wstring> expected = final_path(directory);
    if (!path || !expected) return false;
    if (expected->empty() || expected->back() != L'\\') *expected += L'\\';
    const std::wstring wide_name = wide_from_ansi(name);
    // The directory's part is spelled as the file system spells it in both;
    // the name, as the caller spells it, may differ in letter case.
    return path->size() == expected->size() + wide_name.size() && path->starts_with(*expected) &&
           CompareStringOrdinal(path->data() + expected->size(), static_cast<int>(wide_name.size()),
                                wide_name.data(), static_cast<int>(wide_name.size()), TRUE) == CSTR_EQUAL;
}

// Whether the open file is a plain file of the directory under name: reached
// by no link, and with that one name.
bool is_plain_file_of(HANDLE file, HANDLE directory, std::string_view name) {
    const std::optional<BY_HANDLE_FILE_INFORMATION> information = disk_file_information(file);
    return information && information->nNumberOfLinks == 1 && is_reached_without_link(file, directory, name);
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

namespace {

// The security identifier of the file's owner, or of the user this process
// runs as, in its text form: one is compared with the other.
std::optional<std::string> owner_of(HANDLE handle, SE_OBJECT_TYPE type) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(handle, type, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr, &descriptor) !=
        ERROR_SUCCESS) {
        return std::nullopt;
    }
    const std::unique_ptr<void, decltype(&LocalFree)> held(descriptor, &LocalFree);
    LPSTR text = nullptr;
    if (!ConvertSidToStringSidA(owner, &text)) return std::nullopt;
    const std::unique_ptr<void, decltype(&LocalFree)> held_text(text, &LocalFree);
    return std::string(text);
}

std::optional<std::string> user_of_this_process() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return std::nullopt;
    const OwnedHandle held(token);
    DWORD needed = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &needed);
    std::vector<char> buffer(needed);
    if (needed == 0 || !GetTokenInformation(token, TokenUser, buffer.data(), needed, &needed)) return std::nullopt;
    LPSTR text = nullptr;
    if (!ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text)) return std::nullopt;
    const std::unique_ptr<void, decltype(&LocalFree)> held_text(text, &LocalFree);
    return std::string(text);
}

}  // namespace

namespace {

bool is_reparse_point(const BY_HANDLE_FILE_INFORMATION& information) {
    return (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
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

namespace {


// Opens whatever is at path without following a link and without taking
// anything from others: to look at it, a directory included.
HANDLE look_at(const std::string& path) {
    return CreateFileA(path.c_str(), 0, share_all, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// The lock goes when its holder closes it, so whatever stands at its name
// must be a plain file of the directory: a directory would be waited on in
// vain, and a link would take with it the file it leads to.
bool may_take_lock(const Directory& directory, const std::string& path) {
    const OwnedHandle present(look_at(path));
    return present.get() == INVALID_HANDLE_VALUE ||
           is_plain_file_of(present.get(), handle_of(directory.handle), directory_turn_name);
}

}  // namespace

// The turn on a directory is a hidden file in it that one run at a time
// holds open, without sharing; it goes when its holder closes it, or dies.
// While any other process holds it so, a run waits.
std::optional<File> wait_for_directory_turn(const Directory& directory) {
    const std::string path = path_of(directory, directory_turn_name);
    if (!may_take_lock(directory, path)) return std::nullopt;
    // A file that its last holder is deleting refuses access for a moment.
    constexpr int tries_while_refused = 100;
    constexpr DWORD pause_ms = 20;
    for (int refused = 0; refused < tries_while_refused;) {
        const HANDLE handle =
            CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr, OPEN_ALWAYS,
                        FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            File turn(value_of(handle));
            if (!is_plain_file_of(handle, handle_of(directory.handle), directory_turn_name)) return std::nullopt;
            return turn;
        }
        switch (GetLastError()) {
        case ERROR_SHARING_VIOLATION: break;  // another run holds the turn: wait for it
        case ERROR_ACCESS_DENIED: ++refused; break;
        default: return std::nullopt;
        }
        Sleep(pause_ms);
    }
    return std::nullopt;
}

// The turn's file goes with its handle: it was opened to be deleted when closed.
bool end_directory_turn(const Directory&, File& turn) { return close_file(turn); }

namespace {

// This run's listing file, a plain file of its directory, so that the
// listing goes nowhere else. It is neither deleted nor renamed while this
// run holds it: its name leads to the file checked until the run is done.
std::optional<File> open_listing_file(const std::string& path, DWORD desired_access) {
    const HANDLE handle = CreateFileA(path.c_str(), desired_access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return std::nullopt;
    File file(value_of(handle));
    const std::size_t name_start = path.find_last_of("\\/") + 1;  // 0 for a name of the current directory
    const std::string directory = name_start == 0 ? "." : path.substr(0, name_start);
    // Followed, as any directory on the way is: only the file's own name may be no link.
    const OwnedHandle parent(CreateFileA(directory.c_str(), 0, share_all, nullptr, OPEN_EXISTING,
                                         FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (parent.get() == INVALID_HANDLE_VALUE ||
        !is_plain_file_of(handle, parent.get(), std::string_view(path).substr(name_start))) {
        return std::nullopt;
    }
    return file;
}

}  // namespace

std::optional<File> wait_for_listing_turn(const std::string& path) {
    std::optional<File> listing = open_listing_file(path, GENERIC_READ);
    if (!listing || !wait_for_file_turn(*listing)) return std::nullopt;
    return listing;
}

namespace {

#if VRTL_SDF_TEST_PAUSES
// A test build stops at the point that the environment variable
// VRTL_SDF_PAUSE names in its first word: it signals the event "<value>
// reached" and goes on once "<value> go" is signalled, so that a test can act
// at that very moment of a run.
void pause_for_test(std::string_view point) {
    std::string value(MAX_PATH, '\0');
    const DWORD length = GetEnvironmentVariableA("VRTL_SDF_PAUSE", value.data(), MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return;
    value.resize(length);
    if (value.substr(0, value.find(' ')) != point) return;
    const OwnedHandle reached(OpenEventA(EVENT_MODIFY_STATE, FALSE, (value + " reached").c_str()));
    const OwnedHandle go(OpenEventA(SYNCHRONIZE, FALSE, (value + " go").c_str()));
    if (reached.get() == nullptr || go.get() == nullptr) return;
    SetEvent(reached.get());
    constexpr DWORD longest_pause_ms = 60000;
    WaitForSingleObject(go.get(), longest_pause_ms);
}
#else
void pause_for_test(std::string_view) {}
#endif

enum class AtName { nothing, file_read, other };

// What name leads to now. A link, a directory or another file there is
// something other than the file read.
AtName what_is_at(const Directory& directory, std::string_view name, const FileId& read) {
    const OwnedHandle at(look_at(path_of(directory, name)));
    if (at.get() == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? AtName::nothing : AtName::other;
    }
    BY_HANDLE_FILE_INFORMATION information{};
    const bool plain = GetFileInformationByHandle(at.get(), &information) &&
                       (information.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
    return plain && id_of(information) == read ? AtName::file_read : AtName::other;
}

// mingw-w64's header hides this class behind a version test that never holds.
constexpr auto file_disposition_info_ex = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);

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
    FILE_DISPOSITION_INFO_EX posix{FILE_DISPOSITION_FLAG_DELETE | FILE_DISPOSITION_FLAG_POSIX_SEMANTICS};
    FILE_DISPOSITION_INFO at_last_close{TRUE};
    const bool marked =
        SetFileInformationByHandle(deleter.get(), file_disposition_info_ex, &posix, sizeof posix) ||
        SetFileInformationByHandle(deleter.get(), FileDispositionInfo, &at_last_close, sizeof at_last_close);
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

// As dir lists them: in the order of the file system.
const bool listing_sorted = false;

std::optional<File> open_listing(const std::string& path) {
    std::optional<File> listing = open_listing_file(path, GENERIC_WRITE);
    if (!listing || !truncate_file(*listing, 0)) return std::nullopt;
    return listing;
}

bool matches_listing_pattern(std::string_view name, std::string_view extension) {
    return matches_wildcard_pattern(upper_case(name), upper_case("*." + std::string(extension)));
}

// The arguments as msvcrt splits the command line for main, by the same
// rules but in UTF-16 (documented among its startup routines).
extern "C" int __wgetmainargs(int* count, wchar_t*** arguments, wchar_t*** environment, int expand_wildcards,
                              int* new_mode);

std::vector<Argument> command_line_arguments(int argc, char* argv[]) {
    int count = 0;
    wchar_t** typed = nullptr;
    wchar_t** environment = nullptr;
    int new_mode = 0;
    std::vector<Argument> arguments;
    if (__wgetmainargs(&count, &typed, &environment, 0, &new_mode) < 0 || typed == nullptr) {
        // Without the command line as typed, no argument is known to be exact.
        for (int i = 1; i < argc; ++i) arguments.push_back(Argument{argv[i], false});
        return arguments;
    }
    for (int i = 1; i < count; ++i) {
        const std::wstring_view argument = typed[i];
        std::string text = ansi_from_wide(argument);
        const bool exact = wide_from_ansi(text) == argument;
        arguments.push_back(Argument{std::move(text), exact});
    }
    return arguments;
}

File standard_output() {
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    return output == nullptr ? File() : File(value_of(output));
}

bool is_character_device(const File& file) { return GetFileType(handle_of(file)) == FILE_TYPE_CHAR; }

// A file system or drive in trouble gives a failed call, never a dialog box
// that waits for a user.
void prepare_process() { SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX); }

}  // namespace platform
