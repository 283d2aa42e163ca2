#include <windows.h>

#include <string>

#include "handover/Utf16_Win32.h"
#include "tools/ClientProbe.h"

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
