#include <string>
#include <vector>

#include "handover/Utf16_Win32.h"
#include "tools/HandoverReport.h"

// wmain: the arguments as Windows holds them, in UTF-16, so that a path outside the ANSI code
// page reaches the program whole rather than as '?'.
int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        args.push_back(ToUtf8(argv[i]));
    }
    return ReportMain(args);
}
