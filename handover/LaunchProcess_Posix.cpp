#include <signal.h>
#include <spawn.h>
#include <sys/types.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "handover/CommandLine.h"
#include "handover/LaunchProcess.h"

extern char** environ;

namespace {

// posix_spawn's attribute and file-action objects, released on every path.
class SpawnAttributes {
  public:
    SpawnAttributes() { ok_ = posix_spawnattr_init(&attr_) == 0; }
    ~SpawnAttributes() {
        if (ok_) {
            posix_spawnattr_destroy(&attr_);
        }
    }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;

    // The client starts as it would from a fresh login: every signal at its default action,
    // none blocked, and in a session of its own so that it outlives handover and its terminal.
    bool Configure() {
        sigset_t all, none;
        sigfillset(&all);
        sigemptyset(&none);
        return ok_ && posix_spawnattr_setsigdefault(&attr_, &all) == 0 &&
               posix_spawnattr_setsigmask(&attr_, &none) == 0 &&
               posix_spawnattr_setflags(&attr_, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK |
                                                    POSIX_SPAWN_SETSID) == 0;
    }
    const posix_spawnattr_t* get() const { return &attr_; }

  private:
    posix_spawnattr_t attr_;
    bool ok_;
};

class SpawnFileActions {
  public:
    SpawnFileActions() { ok_ = posix_spawn_file_actions_init(&actions_) == 0; }
    ~SpawnFileActions() {
        if (ok_) {
            posix_spawn_file_actions_destroy(&actions_);
        }
    }
    SpawnFileActions(const SpawnFileActions&) = delete;
    SpawnFileActions& operator=(const SpawnFileActions&) = delete;

    // Whatever handover inherited or opened stays with handover.
    bool Configure() { return ok_ && posix_spawn_file_actions_addclosefrom_np(&actions_, 3) == 0; }
    const posix_spawn_file_actions_t* get() const { return &actions_; }

  private:
    posix_spawn_file_actions_t actions_;
    bool ok_;
};

}  // namespace

bool FitsLaunchBuffer(const std::string& commandLine) {
    return commandLine.size() < static_cast<std::size_t>(CMD_LINE_CAPACITY);
}

bool LaunchProcess(const std::string& commandLine) {
    std::vector<std::string> tokens = SplitCommandLine(commandLine);
    if (tokens.empty()) {
        return false;
    }
    std::vector<char*> argv;
    for (std::string& token : tokens) {
        argv.push_back(token.data());
    }
    argv.push_back(nullptr);

    SpawnAttributes attributes;
    SpawnFileActions actions;
    if (!attributes.Configure() || !actions.Configure()) {
        return false;
    }
    // posix_spawn (not posix_spawnp): the program is a path, never looked up along PATH.
    // glibc reports a failed exec (missing, not executable) as the call's result.
    pid_t pid;
    return posix_spawn(&pid, argv[0], actions.get(), attributes.get(), argv.data(), environ) == 0;
}
