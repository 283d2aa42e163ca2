#include <windows.h>

#include "handover/LaunchProcess.h"

bool LaunchProcess(char* commandLine) {
    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    ZeroMemory(&process, sizeof process);
    // No application name: the first blank-delimited token of the command line names the
    // program. No handle is inherited, and the client starts with the default error mode rather
    // than whatever handover was given.
    if (!CreateProcessA(nullptr, commandLine, nullptr, nullptr, FALSE, CREATE_DEFAULT_ERROR_MODE,
                        nullptr, nullptr, &startup, &process)) {
        return false;
    }
    // handover neither waits for the client nor watches it.
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}
