#include <windows.h>

#include <atomic>
#include <stdexcept>
#include <system_error>
#include <utility>
#include <vector>

#include "handover/Utf16_Win32.h"
#include "tests/TestSupport.h"

namespace fs = std::filesystem;

namespace {

// One argument as the C runtime's command-line parser reads it back: quotes around anything
// holding a blank or a quote, a backslash before each quote, and backslashes doubled where a
// quote follows them.
std::wstring Quote(const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        return arg;
    }
    std::wstring quoted = L"\"";
    std::size_t backslashes = 0;
    for (const wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted.push_back(c);
    }
    quoted.append(2 * backslashes, L'\\');
    quoted.push_back(L'"');
    return quoted;
}

HANDLE OpenInheritable(const std::wstring& path, DWORD access, DWORD disposition) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       &inherit, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Removes dir and everything in it; false when something stays. Links are removed, never
// entered. Each entry is tried once: under Wine, libstdc++'s remove_all asks for ever about an
// entry that vanished while it walked the folder (a record that a late client renames).
bool RemoveTree(const std::wstring& dir) {
    std::vector<std::pair<std::wstring, DWORD>> entries;
    WIN32_FIND_DATAW data;
    const HANDLE find = FindFirstFileW((dir + L"\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = data.cFileName;
            if (name != L"." && name != L"..") {
                entries.emplace_back(dir + L"\\" + name, data.dwFileAttributes);
            }
        } while (FindNextFileW(find, &data));
        FindClose(find);
    }
    for (const auto& [path, attributes] : entries) {
        if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) {
            SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
        }
        if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            DeleteFileW(path.c_str());
        } else if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
            RemoveDirectoryW(path.c_str());
        } else {
            RemoveTree(path);
        }
    }
    return RemoveDirectoryW(dir.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND ||
           GetLastError() == ERROR_PATH_NOT_FOUND;
}

}  // namespace

struct ChildProcess::Process {
    HANDLE process = nullptr;
    DWORD startError = 0;  // why CreateProcessW failed, when it did
};

ChildProcess::ChildProcess(const std::vector<std::string>& command, const fs::path& dir)
    : process_(new Process) {
    // Runs may go on side by side in one folder: each keeps its output apart.
    static std::atomic<int> counter{0};
    const std::string base = dir.u8string() + "." + std::to_string(GetCurrentProcessId()) + "-" +
                             std::to_string(++counter);
    outFile_ = base + ".out";
    errFile_ = base + ".err";

    std::wstring line;
    for (const std::string& word : command) {
        line += (line.empty() ? L"" : L" ") + Quote(FromUtf8(word));
    }
    const HANDLE in = OpenInheritable(L"NUL", GENERIC_READ, OPEN_EXISTING);
    const HANDLE out = OpenInheritable(FromUtf8(outFile_), GENERIC_WRITE, CREATE_ALWAYS);
    const HANDLE err = OpenInheritable(FromUtf8(errFile_), GENERIC_WRITE, CREATE_ALWAYS);
    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in;
    startup.hStdOutput = out;
    startup.hStdError = err;
    PROCESS_INFORMATION info;
    ZeroMemory(&info, sizeof info);
    const BOOL started = CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                        dir.wstring().c_str(), &startup, &info);
    const DWORD startError = started ? 0 : GetLastError();
    for (const HANDLE handle : {in, out, err}) {
        if (handle != INVALID_HANDLE_VALUE) {
            CloseHandle(handle);
        }
    }
    if (started) {
        CloseHandle(info.hThread);
        process_->process = info.hProcess;
    } else {
        process_->startError = startError;
    }
}

ChildProcess::~ChildProcess() {
    if (process_->process != nullptr) {
        Kill();
        Wait();
    }
}

void ChildProcess::Kill() const {
    if (process_->process != nullptr) {
        TerminateProcess(process_->process, kKilledStatus);
    }
}

RunResult ChildProcess::Wait() {
    RunResult result;
    const HANDLE process = process_->process;
    process_->process = nullptr;
    if (process == nullptr) {
        result.status = 127;  // as a shell says of a program it cannot start
    } else {
        WaitForSingleObject(process, INFINITE);
        DWORD code = 0;
        GetExitCodeProcess(process, &code);
        CloseHandle(process);
        result.status = static_cast<int>(code);
    }
    // A program that died while Wine started it may have said why.
    result.out = ReadFile(fs::u8path(outFile_));
    result.err = ReadFile(fs::u8path(errFile_));
    if (process == nullptr) {
        result.err += "cannot start: " +
                      std::system_category().message(static_cast<int>(process_->startError));
    }
    std::error_code ignored;
    fs::remove(fs::u8path(outFile_), ignored);
    fs::remove(fs::u8path(errFile_), ignored);
    return result;
}

bool ProcessIsRunning(int pid) {
    const HANDLE process =
        OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
    if (process == nullptr) {
        return false;
    }
    DWORD code = 0;
    const bool running = GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
    CloseHandle(process);
    return running;
}

void KillProcess(int pid) {
    const HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, static_cast<DWORD>(pid));
    if (process != nullptr) {
        TerminateProcess(process, kKilledStatus);
        CloseHandle(process);
    }
}

ScratchDir::ScratchDir(const std::string& prefix) {
    static std::atomic<int> counter{0};
    const fs::path base = fs::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        const fs::path candidate =
            base / fs::u8path(prefix + "-" + std::to_string(GetCurrentProcessId()) + "-" +
                              std::to_string(GetTickCount()) + "-" + std::to_string(++counter));
        if (CreateDirectoryW(candidate.c_str(), nullptr)) {
            path_ = candidate;
            return;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS) {
            break;
        }
    }
    throw std::system_error(static_cast<int>(GetLastError()), std::system_category(),
                            "CreateDirectoryW in " + base.u8string());
}

// A program that a test started (the client, through handover) may still be writing in the
// folder: it gets a few seconds to finish.
ScratchDir::~ScratchDir() {
    for (int attempt = 0; attempt < 50 && !RemoveTree(path_.wstring()); ++attempt) {
        Sleep(100);
    }
}
