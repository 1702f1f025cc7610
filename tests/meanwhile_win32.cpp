#include "meanwhile_win32.h"

#include <tlhelp32.h>

#include <gtest/gtest.h>

namespace testing_support {

const bool under_wine = GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;

Pause::Pause(const char* point)
    : value_(std::string(point) + " " + std::to_string(GetCurrentProcessId()) + "." + std::to_string(++made_)),
      reached_(CreateEventA(nullptr, TRUE, FALSE, (value_ + " reached").c_str())),
      go_(CreateEventA(nullptr, TRUE, FALSE, (value_ + " go").c_str())) {}

Pause::~Pause() {
    CloseHandle(reached_);
    CloseHandle(go_);
}

bool Pause::reached() const { return WaitForSingleObject(reached_, 30000) == WAIT_OBJECT_0; }

void Pause::go() const { SetEvent(go_); }

Result run_pausing_at(const char* point, Invocation invocation, const std::function<void()>& meanwhile) {
    const Pause pause(point);
    invocation.environment.push_back(pause.setting());
    const StartedCommand command = start_command(invocation);
    if (pause.reached()) {
        meanwhile();
    } else {
        ADD_FAILURE() << "the run never paused at " << point;
    }
    pause.go();
    return wait_for_command(command);
}

namespace {

// Runs a program of the host that Wine runs on, in directory, until done()
// holds: Wine does not wait for such a program.
void run_on_host(const std::wstring& program, std::wstring command_line, const std::filesystem::path& directory,
                 const std::function<bool()>& done) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    ASSERT_TRUE(CreateProcessW((L"Z:\\bin\\" + program).c_str(), command_line.data(), nullptr, nullptr, FALSE, 0,
                               nullptr, directory.c_str(), &startup, &process));
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    for (int tries = 0; tries < 500 && !done(); ++tries) Sleep(10);
    ASSERT_TRUE(done()) << "the host's " << std::filesystem::path(program).string() << " did not finish";
}

bool is_there(const std::filesystem::path& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

}  // namespace

void make_link(const std::filesystem::path& link, const std::string& target, DWORD kind) {
    const std::filesystem::path windows_target = std::filesystem::path(target).make_preferred();
    if (!under_wine) {
        ASSERT_TRUE(CreateSymbolicLinkW(link.c_str(), windows_target.c_str(),
                                        kind | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE));
        return;
    }
    // A link to nothing is no file to wait for: the shell makes one when done.
    const std::filesystem::path done = link.parent_path() / "linked";
    const std::wstring command_line = L"sh -c \"ln -sfn " + std::filesystem::path(target).wstring() + L" " +
                                      link.filename().wstring() + L" && : > linked\"";
    run_on_host(L"sh", command_line, link.parent_path(), [&] { return is_there(done); });
    DeleteFileW(done.c_str());
}

void relink(const std::filesystem::path& link, const std::string& target, DWORD kind) {
    const bool removed = under_wine || (kind == SYMBOLIC_LINK_FLAG_DIRECTORY ? RemoveDirectoryW(link.c_str())
                                                                              : DeleteFileW(link.c_str()));
    if (removed) make_link(link, target, kind);
}

void write_literally(const std::filesystem::path& path, const std::string& bytes) {
    const std::wstring literal = L"\\\\?\\" + std::filesystem::absolute(path).make_preferred().wstring();
    const HANDLE file = CreateFileW(literal.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    DWORD written = 0;
    ASSERT_TRUE(file != INVALID_HANDLE_VALUE && WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
    CloseHandle(file);
}

void remove_with_links(const ScratchDir& scratch) {
    if (!under_wine) return;
    const std::filesystem::path& root = scratch.path();
    run_on_host(L"rm", L"rm -rf " + root.filename().wstring(), root.parent_path(), [&] { return !is_there(root); });
}

int programs_started_by(unsigned long parent) {
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    int count = 0;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (entry.th32ParentProcessID == parent && _wcsicmp(entry.szExeFile, L"conhost.exe") != 0) ++count;
    }
    CloseHandle(snapshot);
    return count;
}

}  // namespace testing_support
