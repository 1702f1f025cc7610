// What the Windows sources of the seam share: handles, what the system
// records of a file, names in the ANSI code page, owners, and links. Only the
// seam's Windows sources include it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <windows.h>
#include <accctrl.h>
#include <winternl.h>

#include "platform/files.h"

namespace platform {

inline HANDLE handle_of(const File& file) { return reinterpret_cast<HANDLE>(file.handle()); }

inline std::intptr_t value_of(HANDLE handle) { return reinterpret_cast<std::intptr_t>(handle); }

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

inline constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// A name that stays in the directory: no separator, no stream of another
// file, and neither "." nor "..".
bool is_plain(std::string_view name);

// What the system records of a file on a disk that is not a directory;
// nothing for any other kind. Devices such as NUL, CON or COM1, in any
// directory and with any extension, are character devices; pipes are pipes.
std::optional<BY_HANDLE_FILE_INFORMATION> disk_file_information(HANDLE handle);

FileId id_of(const BY_HANDLE_FILE_INFORMATION& information);
FileStatus status_of(const BY_HANDLE_FILE_INFORMATION& information);
bool is_reparse_point(const BY_HANDLE_FILE_INFORMATION& information);

// The text with its letters in upper case, as the file system compares names
// in the system's code page.
std::string upper_case(std::string_view text);

// Names between the ANSI code page, which the file functions take, and
// UTF-16. A character outside the code page becomes "?", never a look-alike.
std::wstring wide_from_ansi(std::string_view text);
std::string ansi_from_wide(std::wstring_view text);

// Whether the open file was reached under name in the directory by no link
// of any kind, and whether it is a plain file of it: that, with one name.
bool is_reached_without_link(HANDLE file, HANDLE directory, std::string_view name);
bool is_plain_file_of(HANDLE file, HANDLE directory, std::string_view name);

// The security identifier of the file's owner, in its text form; whether it
// is one this process gives what it creates: its user, or its token's default
// owner (the Administrators group, for an elevated administrator or SYSTEM).
std::optional<std::string> owner_of(HANDLE handle, SE_OBJECT_TYPE type);
bool is_owner_of_this_process(const std::string& owner);

// Whether the file's access list lets anyone write it but this process's
// user and default owner, the system and the administrators.
bool is_writable_by_others(HANDLE file);

// Memory that Windows gave, to be given back with LocalFree.
using LocalMemory = std::unique_ptr<void, decltype(&LocalFree)>;

// A security descriptor that lets this process's user and default owner,
// and no one else, at a file it creates, whatever the folder passes on.
std::optional<LocalMemory> own_only_security();

// ---- Names of the held directory, reached through its handle ----------------
//
// Every file of the data directory is opened, created, renamed and removed
// relative to the handle the run holds, never by a path, so that a junction
// or link anywhere on the way, retargeted meanwhile, leads nothing elsewhere.
// Names go to the system as they are: no rule of Win32 paths applies, so a
// trailing dot or blank is part of the name, and a device name is a file.

// What an open relative to the directory gave: the handle, or the status
// that refused it.
struct Relative {
    HANDLE handle = INVALID_HANDLE_VALUE;
    NTSTATUS status = 0;
    bool is_open() const { return handle != INVALID_HANDLE_VALUE; }
};

enum class Disposition { open, create };

// Options of every open: synchronous, as the file functions' handles are.
inline constexpr ULONG of_a_file = FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT;
inline constexpr ULONG not_following_a_link = FILE_OPEN_REPARSE_POINT;

// Opens name in the directory that directory holds. The caller owns the handle.
Relative open_relative(HANDLE directory, std::string_view name, ACCESS_MASK access, ULONG share,
                       Disposition disposition, ULONG options, ULONG attributes = FILE_ATTRIBUTE_NORMAL,
                       PSECURITY_DESCRIPTOR security = nullptr);

// Whether a status says nothing is at the name, or something is.
bool names_nothing(NTSTATUS status);
bool name_is_taken(NTSTATUS status);

// Opens whatever is at name, a directory included, without following a link
// and without taking anything from others: to look at it.
Relative look_in(const Directory& directory, std::string_view name);

// Gives the open file the name to in the directory, unless to is taken.
bool rename_in(HANDLE file, const Directory& directory, std::string_view to);

// Marks the open file to go: its name at once where the file system has
// POSIX deletion, else when the last handle to it closes.
bool mark_deleted(HANDLE file);

// A test build stops at the point that the environment variable
// VRTL_SDF_PAUSE names, until the test lets it go on; any other build never
// does.
void pause_for_test(std::string_view point);

// This run's listing file at path, a plain file of its directory, opened
// with desired_access; nothing when it is anything else.
std::optional<File> open_listing_file(const std::string& path, DWORD desired_access);

}  // namespace platform
