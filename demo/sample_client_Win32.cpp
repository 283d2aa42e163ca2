// The demo's client 1.0 for Windows, doing what demo/sample-install/client.exe does on Linux:
// it finds version 2.0 in updates/2.0, stages it under "_tmp_" names, starts handover.exe with
// its own arguments, and exits, removing its session file as it goes.
#include <windows.h>

#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

namespace {

std::string Version() {
    std::ifstream in("version.txt");
    std::string version;
    std::getline(in, version);
    return version;
}

bool Stage(const char* from, const char* to) {
    if (!CopyFileA(from, to, FALSE)) {
        std::cerr << "cannot stage " << from << " as " << to << "\n";
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string version = Version();
    std::cout << "client " << version << " started with arguments:";
    for (int i = 1; i < argc; ++i) {
        std::cout << " [" << argv[i] << "]";
    }
    std::cout << "\nclient " << version << ": staging version 2.0 and handing over" << std::endl;
    if (!Stage("updates\\2.0\\client.exe", "_tmp_client.exe") ||
        !Stage("updates\\2.0\\version.txt", "_tmp_version.txt") ||
        !Stage("updates\\2.0\\lib\\cards.dat", "lib\\_tmp_cards.dat") ||
        !Stage("handover.exe", "_tmp_handover.exe")) {
        return 1;
    }
    std::ofstream("session.dat") << "pid " << GetCurrentProcessId() << "\n";

    std::string line = "handover.exe";
    for (int i = 1; i < argc; ++i) {
        line += std::string(" ") + argv[i];
    }
    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        std::cerr << "cannot start handover.exe\n";
        DeleteFileA("session.dat");
        return 1;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    Sleep(1000);
    DeleteFileA("session.dat");
    std::cout << "client " << version << ": exited" << std::endl;
    return 0;
}
