// Runs the built command in a child process on Windows. The POSIX-only parts
// of an invocation (limits, users, terminals) are refused, never ignored.
#include "run_binary.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <vector>

// The pseudo console, which came with Windows 10 1809.
#define NTDDI_VERSION 0x0A000006
#include <windows.h>

namespace testing_support {

namespace {

class OwnedHandle {
public:
    explicit OwnedHandle(HANDLE handle = nullptr) : handle_(handle) {}
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;
    ~OwnedHandle() { reset(); }
    void reset() {
        if (handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
        handle_ = nullptr;
    }
    HANDLE get() const { return handle_; }
    HANDLE* out() { return &handle_; }

private:
    HANDLE handle_;
};

std::wstring wide_from_utf8(std::string_view text) {
    const int length = static_cast<int>(text.size());
    const int needed = length == 0 ? 0 : MultiByteToWideChar(CP_UTF8, 0, text.data(), length, nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(needed), L'\0');
    if (needed > 0) MultiByteToWideChar(CP_UTF8, 0, text.data(), length, wide.data(), needed);
    return wide;
}

// One argument as the C runtime of the child splits its command line.
std::wstring quoted_argument(const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) return argument;
    std::wstring quoted = L"\"";
    std::size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(2 * backslashes, L'\\');
    return quoted + L"\"";
}

// This process's environment with the settings (NAME=value) in place of any
// of the same name, as a block for CreateProcessW.
std::wstring environment_block(const std::vector<std::string>& settings) {
    std::vector<std::wstring> entries;
    const std::unique_ptr<wchar_t, decltype(&FreeEnvironmentStringsW)> own(GetEnvironmentStringsW(),
                                                                           &FreeEnvironmentStringsW);
    for (const wchar_t* entry = own.get(); *entry != L'\0'; entry += wcslen(entry) + 1) entries.emplace_back(entry);
    for (const std::string& setting : settings) {
        const std::wstring wide = wide_from_utf8(setting);
        const std::size_t equals = wide.find(L'=', 1);
        if (equals == std::wstring::npos) throw std::logic_error("no NAME=value: " + setting);
        const std::wstring name = wide.substr(0, equals + 1);
        std::erase_if(entries, [&](const std::wstring& entry) {
            return _wcsnicmp(entry.c_str(), name.c_str(), name.size()) == 0;
        });
        entries.push_back(wide);
    }
    std::wstring block;
    for (const std::wstring& entry : entries) block += entry + L'\0';
    return block + L'\0';
}

// A console for the command, as a program started from a console window has
// one; whatever reaches it is dropped.
class PseudoConsole {
public:
    PseudoConsole() {
        OwnedHandle input;
        OwnedHandle output_end;
        if (!CreatePipe(input.out(), input_keeper_.out(), nullptr, 0) ||
            !CreatePipe(output_.out(), output_end.out(), nullptr, 0) ||
            FAILED(CreatePseudoConsole({80, 25}, input.get(), output_end.get(), 0, &console_))) {
            throw std::runtime_error("CreatePseudoConsole");
        }
        SIZE_T size = 0;
        InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        attributes_.resize(size);
        if (!InitializeProcThreadAttributeList(list(), 1, 0, &size) ||
            !UpdateProcThreadAttribute(list(), 0, PROC_THREAD_ATTRIBUTE_PSEUDOCONSOLE, console_, sizeof console_,
                                       nullptr, nullptr)) {
            throw std::runtime_error("UpdateProcThreadAttribute");
        }
    }
    // Its output is closed first: the console may not wait for a reader.
    ~PseudoConsole() {
        output_.reset();
        DeleteProcThreadAttributeList(list());
        ClosePseudoConsole(console_);
    }
    PseudoConsole(const PseudoConsole&) = delete;
    PseudoConsole& operator=(const PseudoConsole&) = delete;
    LPPROC_THREAD_ATTRIBUTE_LIST list() { return reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributes_.data()); }

private:
    OwnedHandle input_keeper_;
    OwnedHandle output_;
    HPCON console_ = nullptr;
    std::vector<char> attributes_;
};

}  // namespace

struct RunningCommand {
    std::optional<PseudoConsole> console;  // when the invocation asks for one
    OwnedHandle process;
    OwnedHandle output;  // the reading end of its standard output, unless that goes to a file
    std::chrono::steady_clock::time_point deadline;
    bool waited_for = false;
};

void CommandRelease::operator()(RunningCommand* command) const {
    if (!command->waited_for && command->process.get() != nullptr) TerminateProcess(command->process.get(), 1);
    delete command;
}

StartedCommand start_command(const Invocation& invocation) {
    if (invocation.file_size_limit || invocation.unprivileged || invocation.on_terminal ||
        invocation.without_standard_streams) {
        throw std::logic_error("this invocation can only be made on POSIX");
    }
    StartedCommand command(new RunningCommand);
    command->deadline = std::chrono::steady_clock::now() + invocation.time_allowed;
    // Made first: the console's own process must inherit none of the handles below.
    if (invocation.with_console) command->console.emplace();
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    OwnedHandle writing;
    if (invocation.output_file.empty()) {
        if (!CreatePipe(command->output.out(), writing.out(), &inheritable, 0)) throw std::runtime_error("CreatePipe");
        SetHandleInformation(command->output.get(), HANDLE_FLAG_INHERIT, 0);
    } else {
        *writing.out() = CreateFileA(invocation.output_file.string().c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                     &inheritable, CREATE_ALWAYS, 0, nullptr);
        if (writing.get() == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot open the output file");
    }
    // Standard input and error on the null device: only standard output is compared.
    const OwnedHandle null_device(CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                              &inheritable, OPEN_EXISTING, 0, nullptr));

    std::wstring command_line = quoted_argument(wide_from_utf8(VRTL_SDF_BINARY));
    for (const std::string& argument : invocation.arguments) {
        command_line += L" " + quoted_argument(wide_from_utf8(argument));
    }
    std::wstring environment = environment_block(invocation.environment);
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = null_device.get();
    startup.StartupInfo.hStdOutput = writing.get();
    startup.StartupInfo.hStdError = null_device.get();
    if (command->console) startup.lpAttributeList = command->console->list();
    PROCESS_INFORMATION process{};
    const std::wstring directory = invocation.working_directory.wstring();
    const DWORD flags = CREATE_UNICODE_ENVIRONMENT | (command->console ? EXTENDED_STARTUPINFO_PRESENT : 0);
    if (!CreateProcessW(wide_from_utf8(VRTL_SDF_BINARY).c_str(), command_line.data(), nullptr, nullptr, TRUE, flags,
                        environment.data(), directory.c_str(), &startup.StartupInfo, &process)) {
        throw std::runtime_error("CreateProcess " + std::to_string(GetLastError()));
    }
    *command->process.out() = process.hProcess;
    const OwnedHandle thread(process.hThread);
    return command;
}

unsigned long process_id(const StartedCommand& command) { return GetProcessId(command->process.get()); }

void kill_command(const StartedCommand& command) {
    if (!command->waited_for) TerminateProcess(command->process.get(), 1);
}

Result wait_for_command(const StartedCommand& command) {
    RunningCommand& running = *command;
    Result result;
    char bytes[4096];
    DWORD count = 0;
    while (running.output.get() != nullptr && ReadFile(running.output.get(), bytes, sizeof bytes, &count, nullptr) &&
           count > 0) {
        result.output.append(bytes, count);
    }
    running.output.reset();
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(running.deadline -
                                                                            std::chrono::steady_clock::now());
    DWORD exit_code = 0;
    if (WaitForSingleObject(running.process.get(), static_cast<DWORD>(std::max<long long>(left.count(), 0))) ==
            WAIT_OBJECT_0 &&
        GetExitCodeProcess(running.process.get(), &exit_code)) {
        result.exit_code = static_cast<int>(exit_code);
    } else {
        TerminateProcess(running.process.get(), 1);
    }
    running.waited_for = true;
    running.console.reset();
    return result;
}

std::shared_ptr<void> keep_from_writing(const std::string& path, Invocation&) {
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY);
    const HANDLE held = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (held == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot hold " + path);
    return std::shared_ptr<void>(held, [path](HANDLE handle) {
        CloseHandle(handle);
        SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    });
}

}  // namespace testing_support
