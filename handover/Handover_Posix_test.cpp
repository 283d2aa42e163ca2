// The installer in process, where it meets what only POSIX file systems hold: names with
// double quotes, append-only directories, and links that loop.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include <gtest/gtest.h>
#include <boost/filesystem/operations.hpp>

#include "handover/Handover.h"
#include "handover/InTree.h"
#include "handover/Main_Win32.h"
#include "tests/TempTree.h"

namespace fs = boost::filesystem;

namespace {

// How a walk of "./" run in a child process ended, and the run log it wrote.
struct ChildWalk {
    std::string outcome;  // "clean", "error flag set", "raised", or why the child did not finish
    std::string log;
};

// Runs InstallTmpFiles("./") in a child process that SIGALRM ends after the given seconds. A walk
// that goes round a directory loop runs on until its paths grow too long, minutes under load;
// this way it fails the test after a moment, saying so.
ChildWalk WalkInChild(unsigned seconds) {
    int fds[2];
    if (pipe(fds) != 0) {
        return {"no pipe", ""};
    }
    const pid_t pid = fork();
    if (pid < 0) {
        return {"no fork", ""};
    }
    if (pid == 0) {
        close(fds[0]);
        signal(SIGALRM, SIG_DFL);
        alarm(seconds);
        int status = 0;
        try {
            InstallTmpFiles("./");
            status = g_errorFlag ? 1 : 0;
        } catch (...) {
            status = 2;
        }
        alarm(0);
        const std::string log = g_log.str();
        for (std::size_t done = 0; done < log.size();) {
            const ssize_t n = write(fds[1], log.data() + done, log.size() - done);
            if (n <= 0) {
                _exit(3);
            }
            done += static_cast<std::size_t>(n);
        }
        _exit(status);
    }
    close(fds[1]);
    ChildWalk walk;
    char buffer[4096];
    for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) {
        walk.log.append(buffer, static_cast<std::size_t>(n));
    }
    close(fds[0]);
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) {
        walk.outcome = "lost the child";
    } else if (WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM) {
        walk.outcome = "the walk went round a directory loop: still walking after " +
                       std::to_string(seconds) + " s";
    } else if (WIFSIGNALED(status)) {
        walk.outcome = "the walk died of signal " + std::to_string(WTERMSIG(status));
    } else {
        const char* const kExits[] = {"clean", "error flag set", "raised", "log not passed on"};
        const int code = WEXITSTATUS(status);
        walk.outcome = code < 4 ? kExits[code] : "exit status " + std::to_string(code);
    }
    return walk;
}

TEST_F(InTree, QuotesInPathsAreEscapedWithAmpersands) {
    tree.Write("a&b \"c\"/_tmp_x", "x");
    InstallTmpFiles("./");
    EXPECT_EQ(Log().front(), "About to install _tmp_ files in subdirectory: \"./a&&b &\"c&\"\"");
}

// Three ways into one directory: it is walked once, from whichever way the listing gives first,
// and the links inside it that lead back up are not followed.
TEST_F(InTree, ADirectoryIsWalkedOnceAndLoopsAreNotEntered) {
    tree.Write("shared/_tmp_s", "s");
    tree.Link("one", "shared");
    tree.Link("two", "shared");
    tree.Link("shared/up", "..");
    tree.Link("shared/here", ".");
    // A correct walk of these four directories takes milliseconds.
    const ChildWalk walk = WalkInChild(2);
    ASSERT_EQ(walk.outcome, "clean");
    const auto log = Lines(walk.log);
    auto count = [&log](const std::string& line) {
        return std::count(log.begin(), log.end(), line);
    };
    int entered = 0;
    for (const std::string way : {"./one", "./two", "./shared"}) {
        if (count("About to install _tmp_ files in subdirectory: \"" + way + "\"") == 1) {
            ++entered;
            EXPECT_EQ(count("Renaming file: \"" + way + "/_tmp_s\" to: \"" + way + "/s\""), 1);
            EXPECT_EQ(count("WARNING: not entering directory loop: \"" + way + "/up\""), 1);
            EXPECT_EQ(count("WARNING: not entering directory loop: \"" + way + "/here\""), 1);
        } else {
            EXPECT_EQ(count("WARNING: not entering directory twice: \"" + way + "\""), 1) << way;
        }
    }
    EXPECT_EQ(entered, 1) << walk.log;
    EXPECT_EQ(log.size(), 4u + 2u + 1u + 2u) << walk.log;
    EXPECT_EQ(tree.Read("shared/s"), "s");
}

TEST_F(InTree, SelfCopyThatCannotBeDeletedOnlyWarns) {
    tree.Write("locked/_TMP_Handover.exe", "old self");
    tree.Write("locked/x", "old");
    tree.Write("_tmp_x", "new");
    if (!tree.Chattr("+a", "locked")) {
        GTEST_SKIP() << "chattr +a is not supported here";
    }
    InstallTmpFiles("./");
    const auto log = Log();
    EXPECT_EQ(std::count(log.begin(), log.end(),
                         "WARNING: unable to delete file: _TMP_Handover.exe (ignoring)"),
              1);
    EXPECT_FALSE(g_errorFlag);
    EXPECT_EQ(tree.Read("x"), "new");
}

}  // namespace
