#include "tools/HandoverReport.h"

// A POSIX name is bytes, taken as they come.
int main(int argc, char** argv) {
    return ReportMain(std::vector<std::string>(argv + 1, argv + argc));
}
