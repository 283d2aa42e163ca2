#include "handover/Main_Win32.h"
#include "handover/Utf8Paths.h"

int main(int argc, char** argv) {
    UseUtf8Paths();
    return HandoverMain(argc, argv);
}
