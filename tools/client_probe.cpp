// A stand-in for the client: records how it was started into "client-probe.txt" in its working
// directory, so that tests can see what handover handed over. With a "version.txt" beside it,
// it also greets on standard output, as the demo's client does. With CLIENT_PROBE_LINGER set
// to a number of seconds, it stays that long after writing the record, as a client that runs.
#include <dirent.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

namespace {

// Arguments may hold any byte; the record keeps one value per line.
std::string Escape(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c >= 0x20 && c < 0x7f) {
            out += static_cast<char>(c);
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    return out;
}

void RecordDescriptors(std::ostream& out) {
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) {
        return;
    }
    const int own = dirfd(dir);
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.' || std::atoi(entry->d_name) == own) {
            continue;
        }
        out << "fd=" << entry->d_name << "\n";
    }
    closedir(dir);
}

void RecordSignals(std::ostream& out) {
    sigset_t blocked;
    sigprocmask(SIG_BLOCK, nullptr, &blocked);
    for (int sig = 1; sig < NSIG; ++sig) {
        struct sigaction action;
        if (sigismember(&blocked, sig) == 1) {
            out << "blocked=" << sig << "\n";
        }
        if (sigaction(sig, nullptr, &action) == 0 && action.sa_handler == SIG_IGN) {
            out << "ignored=" << sig << "\n";
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::ostringstream record;
    for (int i = 1; i < argc; ++i) {
        record << "arg=" << Escape(argv[i]) << "\n";
    }
    char cwd[4096];
    record << "cwd=" << (getcwd(cwd, sizeof cwd) != nullptr ? Escape(cwd) : "?") << "\n";
    record << "session-leader=" << (getsid(0) == getpid() ? "yes" : "no") << "\n";
    record << "pid=" << getpid() << "\n";
    if (const char* marker = getenv("CLIENT_PROBE_ENV")) {
        record << "env=" << Escape(marker) << "\n";
    }
    RecordDescriptors(record);
    RecordSignals(record);

    // Written whole under another name first, so that a reader never sees half a record.
    {
        std::ofstream out("client-probe.txt.part", std::ios::binary);
        out << record.str();
    }
    std::rename("client-probe.txt.part", "client-probe.txt");

    std::ifstream versionFile("version.txt");
    std::string version;
    if (std::getline(versionFile, version)) {
        std::cout << "client " << version << " started with arguments:";
        for (int i = 1; i < argc; ++i) {
            std::cout << " [" << argv[i] << "]";
        }
        std::cout << std::endl;
    }
    if (const char* linger = getenv("CLIENT_PROBE_LINGER")) {
        sleep(static_cast<unsigned>(std::atoi(linger)));
    }
    return 0;
}
