#include <string>
#include <vector>

#include "handover/Main_Win32.h"
#include "handover/Utf16_Win32.h"
#include "handover/Utf8Paths.h"

// The arguments as Windows gave them, wide: the narrow ones that main() gets have been through
// the ANSI code page, where every character outside it has become '?'.
int wmain(int argc, wchar_t** argv) {
    UseUtf8Paths();
    std::vector<std::string> args;
    for (int i = 0; i < argc; ++i) {
        args.push_back(ToUtf8(argv[i]));
    }
    std::vector<char*> pointers;
    for (std::string& arg : args) {
        pointers.push_back(arg.data());
    }
    pointers.push_back(nullptr);
    return HandoverMain(argc, pointers.data());
}
