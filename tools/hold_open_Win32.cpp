// hold-open FILE MILLISECONDS MARKER: opens FILE for reading and shares it for reading only, as
// a program that has it in use does (no writing, no deleting, no renaming by anyone else),
// creates MARKER once it holds it, and lets go after MILLISECONDS. For the Windows tests.
#include <windows.h>

#include <cwchar>

int wmain(int argc, wchar_t** argv) {
    if (argc != 4) {
        return 2;
    }
    const HANDLE file = CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return 1;
    }
    const HANDLE marker = CreateFileW(argv[3], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (marker != INVALID_HANDLE_VALUE) {
        CloseHandle(marker);
    }
    Sleep(static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10)));
    CloseHandle(file);
    return 0;
}
