// What the Windows sources of the seam share: handles, what the system
// records of a file, names in the ANSI code page, owners, and links.
#include "platform/win32.h"

#include <memory>
#include <vector>

#include <aclapi.h>
#include <sddl.h>

namespace platform {

// A name that stays in the directory: no separator, no stream of another
// file, and neither "." nor "..".
bool is_plain(std::string_view name) {
    return !name.empty() && name != "." && name != ".." && name.find_first_of("\\/:") == std::string_view::npos;
}

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

namespace {

std::int64_t size_of(const BY_HANDLE_FILE_INFORMATION& information) {
    return static_cast<std::int64_t>((static_cast<std::uint64_t>(information.nFileSizeHigh) << 32) |
                                     information.nFileSizeLow);
}

}  // namespace

FileStatus status_of(const BY_HANDLE_FILE_INFORMATION& information) {
    const FILETIME& written = information.ftLastWriteTime;
    const auto modified = static_cast<std::int64_t>((static_cast<std::uint64_t>(written.dwHighDateTime) << 32) |
                                                    written.dwLowDateTime);
    return FileStatus{size_of(information), id_of(information), modified};
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

namespace {

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

}  // namespace

// Whether the open file was reached under name in the directory by no link
// of any kind: a disk file, no directory. Windows shows a link by the
// reparse-point attribute of the handle opened with
// FILE_FLAG_OPEN_REPARSE_POINT; Wine follows a symbolic link to a file
// whatever the flags, and shows it only in the path the file really has.
namespace {

bool same_name(std::wstring_view a, std::wstring_view b) {
    return a.size() == b.size() && CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                                        static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

// Wine gives the path of a name that ends in dots or blanks without them, as
// a Win32 path would spell it.
std::wstring_view as_win32_spells(std::wstring_view name) {
    return name.substr(0, name.find_last_not_of(L". ") + 1);
}

}  // namespace

bool is_reached_without_link(HANDLE file, HANDLE directory, std::string_view name) {
    const std::optional<BY_HANDLE_FILE_INFORMATION> information = disk_file_information(file);
    if (!information || (information->dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return false;
    const std::optional<std::wstring> path = final_path(file);
    std::optional<std::wstring> expected = final_path(directory);
    if (!path || !expected) return false;
    if (expected->empty() || expected->back() != L'\\') *expected += L'\\';
    if (!path->starts_with(*expected)) return false;
    // The directory's part is spelled as the file system spells it in both;
    // the name, as the caller spells it, may differ in letter case.
    const std::wstring wide_name = wide_from_ansi(name);
    const std::wstring_view found = std::wstring_view(*path).substr(expected->size());
    return same_name(found, wide_name) || same_name(as_win32_spells(found), as_win32_spells(wide_name));
}

// Whether the open file is a plain file of the directory under name: reached
// by no link, and with that one name.
bool is_plain_file_of(HANDLE file, HANDLE directory, std::string_view name) {
    const std::optional<BY_HANDLE_FILE_INFORMATION> information = disk_file_information(file);
    return information && information->nNumberOfLinks == 1 && is_reached_without_link(file, directory, name);
}

bool is_reparse_point(const BY_HANDLE_FILE_INFORMATION& information) {
    return (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

namespace {

std::optional<std::string> text_of(PSID identity) {
    LPSTR text = nullptr;
    if (!ConvertSidToStringSidA(identity, &text)) return std::nullopt;
    const LocalMemory held(text, &LocalFree);
    return std::string(text);
}

// The security identifier that the token of this process names in the
// class asked (TokenUser, TokenOwner), in its text form.
std::optional<std::string> token_identity(TOKEN_INFORMATION_CLASS kind) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return std::nullopt;
    const OwnedHandle held(token);
    DWORD needed = 0;
    GetTokenInformation(token, kind, nullptr, 0, &needed);
    std::vector<char> buffer(needed);
    if (needed == 0 || !GetTokenInformation(token, kind, buffer.data(), needed, &needed)) return std::nullopt;
    // TOKEN_USER and TOKEN_OWNER both begin with the identifier.
    return text_of(kind == TokenUser ? reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid
                                     : reinterpret_cast<TOKEN_OWNER*>(buffer.data())->Owner);
}

// Who may write any file anyway: the system, and the administrators, who
// may take any file for their own.
constexpr std::string_view local_system = "S-1-5-18";
constexpr std::string_view administrators = "S-1-5-32-544";

// Rights that change what a file holds, or who else may.
constexpr ACCESS_MASK writing = FILE_WRITE_DATA | FILE_APPEND_DATA | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE |
                                GENERIC_ALL;

}  // namespace

std::optional<std::string> owner_of(HANDLE handle, SE_OBJECT_TYPE type) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(handle, type, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr, &descriptor) !=
        ERROR_SUCCESS) {
        return std::nullopt;
    }
    const LocalMemory held(descriptor, &LocalFree);
    return text_of(owner);
}

bool is_owner_of_this_process(const std::string& owner) {
    return owner == token_identity(TokenUser) || owner == token_identity(TokenOwner);
}

bool is_writable_by_others(HANDLE file) {
    PACL allowed = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(file, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &allowed, nullptr,
                        &descriptor) != ERROR_SUCCESS) {
        return true;
    }
    const LocalMemory held(descriptor, &LocalFree);
    if (allowed == nullptr) return true;  // no list at all lets everyone in
    for (DWORD index = 0; index < allowed->AceCount; ++index) {
        void* entry = nullptr;
        if (!GetAce(allowed, index, &entry)) return true;
        const auto* header = static_cast<const ACE_HEADER*>(entry);
        const bool grants = header->AceType == ACCESS_ALLOWED_ACE_TYPE ||
                            header->AceType == ACCESS_ALLOWED_CALLBACK_ACE_TYPE;
        if (!grants || (header->AceFlags & INHERIT_ONLY_ACE) != 0) continue;
        // An allowing entry of either type begins with its mask and identifier.
        const auto* grant = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
        if ((grant->Mask & writing) == 0) continue;
        const std::optional<std::string> grantee = text_of(const_cast<DWORD*>(&grant->SidStart));
        if (!grantee || (*grantee != local_system && *grantee != administrators && !is_owner_of_this_process(*grantee))) {
            return true;
        }
    }
    return false;
}

std::optional<LocalMemory> own_only_security() {
    const std::optional<std::string> user = token_identity(TokenUser);
    const std::optional<std::string> owner = token_identity(TokenOwner);
    if (!user || !owner) return std::nullopt;
    // Protected: nothing of the folder's own list is inherited.
    std::string text = "D:P(A;;FA;;;" + *user + ")";
    if (*owner != *user) text += "(A;;FA;;;" + *owner + ")";
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(text.c_str(), SDDL_REVISION_1, &descriptor, nullptr)) {
        return std::nullopt;
    }
    return LocalMemory(descriptor, &LocalFree);
}

Relative open_relative(HANDLE directory, std::string_view name, ACCESS_MASK access, ULONG share,
                       Disposition disposition, ULONG options, ULONG attributes, PSECURITY_DESCRIPTOR security) {
    std::wstring wide = wide_from_ansi(name);
    UNICODE_STRING object_name{static_cast<USHORT>(wide.size() * sizeof(wchar_t)),
                               static_cast<USHORT>(wide.size() * sizeof(wchar_t)), wide.data()};
    OBJECT_ATTRIBUTES object{};
    InitializeObjectAttributes(&object, &object_name, OBJ_CASE_INSENSITIVE, directory, security);
    IO_STATUS_BLOCK io{};
    HANDLE handle = nullptr;
    const NTSTATUS status =
        NtCreateFile(&handle, access | SYNCHRONIZE, &object, &io, nullptr, attributes, share,
                     disposition == Disposition::create ? FILE_CREATE : FILE_OPEN, options, nullptr, 0);
    return Relative{NT_SUCCESS(status) ? handle : INVALID_HANDLE_VALUE, status};
}

namespace {

constexpr NTSTATUS name_not_found = static_cast<NTSTATUS>(0xC0000034);
constexpr NTSTATUS name_collision = static_cast<NTSTATUS>(0xC0000035);

}  // namespace

bool names_nothing(NTSTATUS status) { return status == name_not_found; }

bool name_is_taken(NTSTATUS status) { return status == name_collision; }

Relative look_in(const Directory& directory, std::string_view name) {
    return open_relative(handle_of(directory.handle), name, FILE_READ_ATTRIBUTES, share_all, Disposition::open,
                         FILE_SYNCHRONOUS_IO_NONALERT | not_following_a_link);
}

bool rename_in(HANDLE file, const Directory& directory, std::string_view to) {
    const std::wstring wide = wide_from_ansi(to);
    // The structure ends in the name, which runs on past it.
    std::vector<char> buffer(sizeof(FILE_RENAME_INFORMATION) + wide.size() * sizeof(wchar_t));
    auto* rename = reinterpret_cast<FILE_RENAME_INFORMATION*>(buffer.data());
    rename->ReplaceIfExists = FALSE;
    rename->RootDirectory = handle_of(directory.handle);
    rename->FileNameLength = static_cast<ULONG>(wide.size() * sizeof(wchar_t));
    std::copy(wide.begin(), wide.end(), rename->FileName);
    IO_STATUS_BLOCK io{};
    return NT_SUCCESS(NtSetInformationFile(file, &io, rename, static_cast<ULONG>(buffer.size()),
                                           FileRenameInformation));
}

namespace {

// mingw-w64's header hides this class behind a version test that never holds.
constexpr auto file_disposition_info_ex = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);

}  // namespace

bool mark_deleted(HANDLE file) {
    FILE_DISPOSITION_INFO_EX posix{FILE_DISPOSITION_FLAG_DELETE | FILE_DISPOSITION_FLAG_POSIX_SEMANTICS};
    FILE_DISPOSITION_INFO at_last_close{TRUE};
    return SetFileInformationByHandle(file, file_disposition_info_ex, &posix, sizeof posix) ||
           SetFileInformationByHandle(file, FileDispositionInfo, &at_last_close, sizeof at_last_close);
}

// This run's listing file, a plain file of its directory, so that the
// listing goes nowhere else. It is neither deleted nor renamed while this
// run holds it: its name leads to the file checked until the run is done.
std::optional<File> open_listing_file(const std::string& path, DWORD desired_access) {
    // Made only where nothing is at the name, never through a link to nothing.
    HANDLE handle = INVALID_HANDLE_VALUE;
    for (int tries = 0; tries < 100 && handle == INVALID_HANDLE_VALUE; ++tries) {
        for (const DWORD disposition : {OPEN_EXISTING, CREATE_NEW}) {
            handle = CreateFileA(path.c_str(), desired_access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, disposition,
                                 FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
            if (handle != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_NOT_FOUND) break;
        }
        if (handle == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) return std::nullopt;
    }
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

}  // namespace platform
