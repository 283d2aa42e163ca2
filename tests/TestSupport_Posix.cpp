#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <system_error>

#include "tests/TestSupport.h"

namespace fs = std::filesystem;

struct ChildProcess::Process {
    pid_t pid = -1;
};

ChildProcess::ChildProcess(const std::vector<std::string>& command, const fs::path& dir)
    : process_(new Process) {
    // Runs may go on side by side in one folder: each keeps its output apart.
    static std::atomic<int> counter{0};
    const std::string base =
        dir.string() + "." + std::to_string(getpid()) + "-" + std::to_string(++counter);
    outFile_ = base + ".out";
    errFile_ = base + ".err";
    std::vector<std::string> words = command;
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);

    process_->pid = fork();
    if (process_->pid == 0) {
        // Only async-signal-safe calls until exec.
        const int out = open(outFile_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = open(errFile_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (out < 0 || err < 0 || dup2(out, STDOUT_FILENO) < 0 || dup2(err, STDERR_FILENO) < 0 ||
            chdir(dir.c_str()) != 0) {
            _exit(127);
        }
        execvp(argv[0], argv.data());
        _exit(127);
    }
}

ChildProcess::~ChildProcess() {
    if (process_->pid > 0) {
        Kill();
        Wait();
    }
}

void ChildProcess::Kill() const {
    if (process_->pid > 0) {
        kill(process_->pid, SIGKILL);
    }
}

RunResult ChildProcess::Wait() {
    RunResult result;
    int status = 0;
    const pid_t pid = process_->pid;
    process_->pid = -1;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) {
        return result;
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = ReadFile(outFile_);
    result.err = ReadFile(errFile_);
    std::error_code ignored;
    fs::remove(outFile_, ignored);
    fs::remove(errFile_, ignored);
    return result;
}

bool ProcessIsRunning(int pid) {
    return kill(pid, 0) == 0;
}

void KillProcess(int pid) {
    kill(pid, SIGKILL);
}

ScratchDir::ScratchDir(const std::string& prefix) {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/" + prefix + "-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::system_error(errno, std::generic_category(), "mkdtemp");
    }
    path_ = pattern;
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}
