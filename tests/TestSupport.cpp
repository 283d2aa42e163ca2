#include "tests/TestSupport.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <system_error>

namespace fs = std::filesystem;

ChildProcess::ChildProcess(const std::vector<std::string>& command, const fs::path& dir) {
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

    pid_ = fork();
    if (pid_ == 0) {
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
    if (pid_ > 0) {
        Kill(SIGKILL);
        Wait();
    }
}

void ChildProcess::Kill(int signal) const {
    if (pid_ > 0) {
        kill(pid_, signal);
    }
}

RunResult ChildProcess::Wait() {
    RunResult result;
    int status = 0;
    const pid_t pid = pid_;
    pid_ = -1;
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

RunResult RunProgram(const std::vector<std::string>& command, const fs::path& dir) {
    return ChildProcess(command, dir).Wait();
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

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string ToHex(const std::string& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (const char c : bytes) {
        hex.push_back(kDigits[static_cast<std::uint8_t>(c) >> 4]);
        hex.push_back(kDigits[static_cast<std::uint8_t>(c) & 0xf]);
    }
    return hex;
}

std::string FromHex(const std::string& hex) {
    std::string bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}
