// On POSIX the run lock is flock(2) on the installation directory itself, so that an operator
// (or an installer) can keep runs out of a tree with flock(1): `flock DIR command`.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/TempTree.h"

namespace {

TEST(RunLockPosix, FlockOnTheDirectoryKeepsRunsOut) {
    TempTree tree;
    tree.InstallClient();
    tree.Write("a", "old");
    tree.Write("_tmp_a", "new");
    const auto before = tree.Snapshot();
    const int fd = open(tree.Root().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    const RunResult run = tree.Run();
    close(fd);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out + run.err, "");
    EXPECT_EQ(tree.Snapshot(), before);
    EXPECT_FALSE(tree.ClientStarted());
    EXPECT_FALSE(tree.Exists("poker.jex"));
}

}  // namespace
