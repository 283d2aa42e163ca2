#include <windows.h>

#include <cwchar>

#include "handover/LaunchProcess.h"
#include "handover/Utf16_Win32.h"

bool FitsLaunchBuffer(const std::string& commandLine) {
    return FromUtf8(commandLine).size() < static_cast<std::size_t>(CMD_LINE_CAPACITY);
}

bool LaunchProcess(const std::string& commandLine) {
    // CreateProcessW may write into the command line, so it gets a buffer of its own. The wide
    // call, since the ANSI one would pass each character outside the code page on as '?'.
    const std::wstring wide = FromUtf8(commandLine);
    wchar_t buffer[CMD_LINE_CAPACITY];
    if (wide.size() >= sizeof buffer / sizeof buffer[0]) {
        return false;
    }
    std::wmemcpy(buffer, wide.c_str(), wide.size() + 1);
    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    ZeroMemory(&process, sizeof process);
    // No application name: the first blank-delimited token of the command line names the
    // program. No handle is inherited, and the client starts with the default error mode rather
    // than whatever handover was given.
    if (!CreateProcessW(nullptr, buffer, nullptr, nullptr, FALSE, CREATE_DEFAULT_ERROR_MODE,
                        nullptr, nullptr, &startup, &process)) {
        return false;
    }
    // handover neither waits for the client nor watches it.
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}
