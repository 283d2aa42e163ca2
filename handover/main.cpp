#include "handover/Main_Win32.h"

int main(int argc, char** argv) {
    return HandoverMain(argc, argv);
}
