// How the client is started, seen at the call that starts it: Wine hands no error mode on to
// the programs it starts, so what the client is given there shows only in CreateProcessW's flags.
#include <windows.h>

#include <string>

#include <gtest/gtest.h>

#include "handover/LaunchProcess.h"
#include "tests/ImportHook_Win32.h"

namespace {

DWORD g_flags = 0;
BOOL g_inherit = TRUE;
std::wstring g_commandLine;

// Records what it was asked, and starts nothing.
BOOL WINAPI CreateNothing(LPCWSTR, LPWSTR commandLine, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES,
                          BOOL inherit, DWORD flags, LPVOID, LPCWSTR, LPSTARTUPINFOW,
                          LPPROCESS_INFORMATION) {
    g_commandLine = commandLine;
    g_inherit = inherit;
    g_flags = flags;
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
}

// A client started with handover's error mode (one that hides the system's error dialogs, say)
// would run without them; it gets the default one, and no handle of handover's.
TEST(LaunchProcess, ClientGetsTheDefaultErrorModeAndNoHandle) {
    const ImportHook hook("kernel32.dll", "CreateProcessW", reinterpret_cast<void*>(CreateNothing));
    EXPECT_FALSE(LaunchProcess("./client.exe a b"));
    EXPECT_EQ(g_commandLine, L"./client.exe a b");
    EXPECT_NE(g_flags & CREATE_DEFAULT_ERROR_MODE, 0u);
    EXPECT_FALSE(g_inherit);
}

}  // namespace
