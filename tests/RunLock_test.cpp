// One run at a time in a tree: runs that overlap must together do what one run does, a run that
// dies must not block the next, and the client must not keep the tree locked.
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/filesystem/operations.hpp>

#include "handover/RunLock.h"
#include "tests/TempTree.h"

namespace fs = boost::filesystem;

namespace {

// Whether some run holds the tree: asks as a run does, and lets go at once when it gets it.
bool LockIsHeld(const fs::path& dir) {
    return RunLock(dir).GetStatus() == RunLock::Status::kBusy;
}

// Waits for run, started in tree, to take the lock; says how the run ended if it never does.
::testing::AssertionResult TakesTheLock(const TempTree& tree, ChildProcess& run) {
    if (WaitFor([&tree] { return LockIsHeld(tree.Root()); }, kStartSeconds)) {
        return ::testing::AssertionSuccess();
    }
    run.Kill();
    const RunResult ended = run.Wait();
    return ::testing::AssertionFailure()
           << "handover never took the lock (status " << ended.status << ") " << ended.err;
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
            ExpectQuietSuccess(run->Wait());
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
        EXPECT_NE(tree.WaitForClient(), "");
    }
}

TEST(RunLock, RunThatFindsTheTreeLockedLeavesItAlone) {
    TempTree tree;
    tree.InstallClient();
    tree.Write("a", "old");
    tree.Write("_tmp_a", "new");
    tree.Write("rt/lib/rt-0.jar", "runtime");
    const auto before = tree.Snapshot();
    const RunLock otherRun(tree.Root());
    ASSERT_EQ(otherRun.GetStatus(), RunLock::Status::kLocked);
    ExpectQuietSuccess(tree.Run());
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
        ASSERT_TRUE(TakesTheLock(tree, *holder));
        holder->Kill();
        EXPECT_EQ(holder->Wait().status, kKilledStatus);
    }
    EXPECT_FALSE(LockIsHeld(tree.Root()));
    fs::remove(tree / "session.dat");
    ExpectQuietSuccess(tree.Run());
    EXPECT_EQ(tree.Read("a"), "new");
    EXPECT_NE(tree.WaitForClient(), "");
    EXPECT_FALSE(tree.Exists("poker.jex"));
}

// The lock is the tree's own: a run that waits for its client in one tree does not hold up a
// run in another tree on the same volume.
TEST(RunLock, RunWaitingInOneTreeDoesNotHoldUpAnother) {
    TempTree waiting;
    waiting.Write("session.dat", "the client is still running");
    const std::unique_ptr<ChildProcess> holder = waiting.Start();
    ASSERT_TRUE(TakesTheLock(waiting, *holder));
    TempTree other;
    other.InstallClient();
    other.Write("a", "old");
    other.Write("_tmp_a", "new");
    ExpectQuietSuccess(other.Run());
    EXPECT_EQ(other.Read("a"), "new");
    EXPECT_NE(other.WaitForClient(), "");
    EXPECT_FALSE(other.Exists("poker.jex"));
}

// A run that dies while another run is asking for the lock leaves it abandoned rather than
// gone (Windows keeps a mutex in being while any handle to it is open): the next run takes
// it and installs.
TEST(RunLock, LockLeftByAKilledRunWhileAnotherAsksIsTaken) {
    TempTree tree;
    tree.InstallClient();
    tree.Write("a", "old");
    tree.Write("_tmp_a", "new");
    tree.Write("session.dat", "the client is still running");
    const std::unique_ptr<ChildProcess> holder = tree.Start();
    ASSERT_TRUE(TakesTheLock(tree, *holder));
    const RunLock asking(tree.Root());
    ASSERT_EQ(asking.GetStatus(), RunLock::Status::kBusy);
    holder->Kill();
    EXPECT_EQ(holder->Wait().status, kKilledStatus);
    fs::remove(tree / "session.dat");
    ExpectQuietSuccess(tree.Run());
    EXPECT_EQ(tree.Read("a"), "new");
    EXPECT_NE(tree.WaitForClient(), "");
    EXPECT_FALSE(tree.Exists("poker.jex"));
}

// The client runs on for hours after handover has gone; the next update must find the tree free.
TEST(RunLock, ClientThatRunsOnDoesNotHoldTheLock) {
    TempTree tree;
    tree.InstallClient();
    tree.Write("_tmp_a", "first");
    tree.KeepClientRunning(30);
    std::vector<int> clients;
    struct KillClients {
        std::vector<int>& pids;
        ~KillClients() {
            for (const int pid : pids) {
                KillProcess(pid);
            }
        }
    } killClients{clients};

    ExpectQuietSuccess(tree.Run());
    const std::string record = tree.WaitForClient();
    ASSERT_NE(record, "");
    clients.push_back(std::stoi(ProbeField(record, "pid").at(0)));
    ASSERT_TRUE(ProcessIsRunning(clients.back())) << "the client should still be running";
    EXPECT_FALSE(LockIsHeld(tree.Root()));

    fs::remove(tree / "client-probe.txt");
    tree.Write("_tmp_a", "second");
    ExpectQuietSuccess(tree.Run());
    const std::string second = tree.WaitForClient();
    ASSERT_NE(second, "");
    clients.push_back(std::stoi(ProbeField(second, "pid").at(0)));
    EXPECT_EQ(tree.Read("a"), "second");
    EXPECT_FALSE(tree.Exists("poker.jex"));
}

}  // namespace
