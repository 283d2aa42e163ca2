#include <windows.h>

#include <cstdint>
#include <string>

#include "handover/Utf16_Win32.h"
#include "tools/ClientProbe.h"

namespace {

// text is "NUMBER FILE": whether this process has a handle of that number open on that file.
bool HoldsHandle(const std::wstring& text) {
    const std::size_t blank = text.find(L' ');
    if (blank == std::wstring::npos) {
        return false;
    }
    const HANDLE handle =
        reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(std::stoull(text.substr(0, blank))));
    BY_HANDLE_FILE_INFORMATION held;
    if (!GetFileInformationByHandle(handle, &held)) {
        return false;
    }
    const HANDLE file = CreateFileW(text.substr(blank + 1).c_str(), 0,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    BY_HANDLE_FILE_INFORMATION named;
    const bool known = GetFileInformationByHandle(file, &named) != 0;
    CloseHandle(file);
    return known && held.dwVolumeSerialNumber == named.dwVolumeSerialNumber &&
           held.nFileIndexHigh == named.nFileIndexHigh && held.nFileIndexLow == named.nFileIndexLow;
}

}  // namespace

void RecordProcess(std::ostream& record) {
    wchar_t cwd[MAX_PATH];
    record << "cwd="
           << (GetCurrentDirectoryW(MAX_PATH, cwd) != 0 ? EscapeForRecord(ToUtf8(cwd)) : "?")
           << "\n";
    record << "pid=" << GetCurrentProcessId() << "\n";
    // The command line exactly as the process was given it: its arguments are whatever the C
    // runtime makes of it.
    record << "cmdline=" << EscapeForRecord(ToUtf8(GetCommandLineW())) << "\n";
    // SetErrorMode answers with the mode it replaces.
    const UINT mode = SetErrorMode(0);
    SetErrorMode(mode);
    record << "error-mode=" << mode << "\n";
    wchar_t marker[256];
    if (GetEnvironmentVariableW(L"CLIENT_PROBE_ENV", marker, 256) > 0) {
        record << "env=" << EscapeForRecord(ToUtf8(marker)) << "\n";
    }
    // A handle that the test let handover inherit, and that must not have come this far.
    wchar_t handle[1024];
    const DWORD length = GetEnvironmentVariableW(L"CLIENT_PROBE_HANDLE", handle, 1024);
    if (length > 0 && length < 1024) {
        record << "inherited-handle=" << (HoldsHandle(handle) ? "yes" : "no") << "\n";
    }
}

void SleepSeconds(int seconds) {
    Sleep(static_cast<DWORD>(seconds) * 1000);
}

// The arguments as the C runtime splits the wide command line, so that characters outside the
// ANSI code page arrive as they were sent.
int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        args.push_back(ToUtf8(argv[i]));
    }
    return ProbeMain(args);
}
