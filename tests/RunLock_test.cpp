// One run at a time in a tree: runs that overlap must together do what one run does, a run that
// dies must not block the next, and the client must not keep the tree locked.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <boost/filesystem/operations.hpp>

#include "tests/TempTree.h"

namespace fs = boost::filesystem;

namespace {

// A descriptor of a directory, as a run of handover opens it to lock the tree.
class DirectoryLock {
  public:
    explicit DirectoryLock(const fs::path& dir)
        : fd_(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {}
    ~DirectoryLock() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    DirectoryLock(const DirectoryLock&) = delete;
    DirectoryLock& operator=(const DirectoryLock&) = delete;

    // 0 once locked, else the error.
    int TryLock() const { return flock(fd_, LOCK_EX | LOCK_NB) == 0 ? 0 : errno; }

  private:
    int fd_;
};

// Whether some process holds the lock on dir; takes it only for a moment when none does.
bool LockIsHeld(const fs::path& dir) {
    return DirectoryLock(dir).TryLock() == EWOULDBLOCK;
}

bool WaitUntil(bool (*condition)(const fs::path&), const fs::path& dir, double seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!condition(dir)) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

void ExpectQuiet(const RunResult& run) {
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "");
}

std::string Field(const std::string& record, const std::string& key) {
    for (const std::string& line : Lines(record)) {
        if (line.compare(0, key.size() + 1, key + "=") == 0) {
            return line.substr(key.size() + 1);
        }
    }
    return "";
}

// Without the lock, a run that listed a staged file before another run installed it removes
// the freshly installed target and then fails to rename: the file is lost.
TEST(RunLock, OverlappingRunsLoseNothing) {
    constexpr int kFiles = 300;
    constexpr int kRuns = 3;
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        TempTree tree;
        tree.InstallClient();
        for (int i = 0; i < kFiles; ++i) {
            const std::string dir = "d" + std::to_string(i % 6) + "/";
            tree.Write(dir + "f" + std::to_string(i), "old " + std::to_string(i));
            tree.Write(dir + "_tmp_f" + std::to_string(i), "new " + std::to_string(i));
        }
        std::vector<std::unique_ptr<ChildProcess>> runs;
        for (int r = 0; r < kRuns; ++r) {
            runs.push_back(tree.Start());
        }
        for (const auto& run : runs) {
            ExpectQuiet(run->Wait());
        }
        int lost = 0;
        for (int i = 0; i < kFiles; ++i) {
            const std::string dir = "d" + std::to_string(i % 6) + "/";
            const std::string target = dir + "f" + std::to_string(i);
            lost += !tree.Exists(target) || tree.Read(target) != "new " + std::to_string(i);
            EXPECT_FALSE(tree.Exists(dir + "_tmp_f" + std::to_string(i)));
        }
        EXPECT_EQ(lost, 0);
        EXPECT_FALSE(tree.Exists("poker.jex"));
        EXPECT_TRUE(tree.ClientStarted());
    }
}

TEST(RunLock, RunThatFindsTheTreeLockedLeavesItAlone) {
    TempTree tree;
    tree.InstallClient();
    tree.Write("a", "old");
    tree.Write("_tmp_a", "new");
    tree.Write("rt/lib/rt-0.jar", "runtime");
    const auto before = tree.Snapshot();
    const DirectoryLock otherRun(tree.Root());
    ASSERT_EQ(otherRun.TryLock(), 0);
    ExpectQuiet(tree.Run());
    EXPECT_EQ(tree.Snapshot(), before);
    EXPECT_FALSE(tree.ClientStarted());  // the run that holds the lock starts it
    EXPECT_FALSE(tree.Exists("poker.jex"));
}

TEST(RunLock, KilledHolderDoesNotBlockTheNextRun) {
    TempTree tree;
    tree.InstallClient();
    tree.Write("a", "old");
    tree.Write("_tmp_a", "new");
    tree.Write("session.dat", "the client is still running");
    {
        const std::unique_ptr<ChildProcess> holder = tree.Start();
        ASSERT_TRUE(WaitUntil(LockIsHeld, tree.Root(), 5.0)) << "handover never took the lock";
        holder->Kill(SIGKILL);
        EXPECT_EQ(holder->Wait().status, 128 + SIGKILL);
    }
    EXPECT_FALSE(LockIsHeld(tree.Root()));
    fs::remove(tree / "session.dat");
    ExpectQuiet(tree.Run());
    EXPECT_EQ(tree.Read("a"), "new");
    EXPECT_TRUE(tree.ClientStarted());
    EXPECT_FALSE(tree.Exists("poker.jex"));
}

// The client runs on for hours after handover has gone; the next update must find the tree free.
TEST(RunLock, ClientThatRunsOnDoesNotHoldTheLock) {
    TempTree tree;
    tree.InstallClient();
    tree.Write("_tmp_a", "first");
    std::vector<int> clients;
    struct KillClients {
        std::vector<int>& pids;
        ~KillClients() {
            for (const int pid : pids) {
                kill(pid, SIGKILL);
            }
        }
    } killClients{clients};
    const std::vector<std::string> lingering = {"env", "CLIENT_PROBE_LINGER=30"};

    ExpectQuiet(tree.Run({}, lingering));
    const std::string record = tree.WaitForClient();
    ASSERT_NE(record, "");
    clients.push_back(std::stoi(Field(record, "pid")));
    ASSERT_EQ(kill(clients.back(), 0), 0) << "the client should still be running";
    EXPECT_FALSE(LockIsHeld(tree.Root()));

    fs::remove(tree / "client-probe.txt");
    tree.Write("_tmp_a", "second");
    ExpectQuiet(tree.Run({}, lingering));
    const std::string second = tree.WaitForClient();
    ASSERT_NE(second, "");
    clients.push_back(std::stoi(Field(second, "pid")));
    EXPECT_EQ(tree.Read("a"), "second");
    EXPECT_FALSE(tree.Exists("poker.jex"));
}

}  // namespace
