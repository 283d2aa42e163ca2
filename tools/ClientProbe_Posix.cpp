#include <dirent.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include "tools/ClientProbe.h"

namespace {

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

void RecordProcess(std::ostream& record) {
    char cwd[4096];
    record << "cwd=" << (getcwd(cwd, sizeof cwd) != nullptr ? EscapeForRecord(cwd) : "?") << "\n";
    record << "session-leader=" << (getsid(0) == getpid() ? "yes" : "no") << "\n";
    record << "pid=" << getpid() << "\n";
    if (const char* marker = getenv("CLIENT_PROBE_ENV")) {
        record << "env=" << EscapeForRecord(marker) << "\n";
    }
    RecordDescriptors(record);
    RecordSignals(record);
}

void SleepSeconds(int seconds) {
    sleep(static_cast<unsigned>(seconds));
}

int main(int argc, char** argv) {
    return ProbeMain(std::vector<std::string>(argv + 1, argv + argc));
}
