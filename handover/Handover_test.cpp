// The installer and the exit wait, in process, so that the run log of a clean run can be read.
#include "handover/Handover.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <boost/filesystem/operations.hpp>

#include "handover/Errors.h"
#include "handover/Main_Win32.h"
#include "tests/TempTree.h"

namespace fs = boost::filesystem;

namespace {

// A scratch tree as the working directory, and a fresh run log.
class InTree : public ::testing::Test {
  protected:
    void SetUp() override {
        g_log.str("");
        g_errorFlag = false;
    }

    std::vector<std::string> Log() const { return Lines(g_log.str()); }

    TempTree tree;
    WorkingDirectory cwd{tree.Root()};
};

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

TEST(NameTests, PrefixAndSelfCopyIgnoreAsciiCaseOnly) {
    struct Case {
        const char* name;
        bool staged;
        bool self;
    } cases[] = {
        {"_tmp_a", true, false},
        {"_TMP_a", true, false},
        {"_tMp_", true, false},
        {"_tmp_handover.exe", true, true},
        {"_TMP_HANDOVER.EXE", true, true},
        {"_tmp_handover.exe.bak", true, false},
        {"_tmp", false, false},
        {"tmp_a", false, false},
        {"_tmpa", false, false},
        {"a_tmp_", false, false},
        {"", false, false},
        {"_\xd4mp_a", false, false},  // a byte above 0x7f is not a letter
    };
    for (const Case& c : cases) {
        EXPECT_EQ(IsStagedName(c.name), c.staged) << c.name;
        EXPECT_EQ(IsSelfCopyName(c.name), c.self) << c.name;
    }
}

TEST(NameTests, DestinationIsTheNameWithoutPrefixInTheSameDirectory) {
    EXPECT_EQ(StagedDestination("./_tmp_a.txt").string(), "./a.txt");
    EXPECT_EQ(StagedDestination("./sub/_TMP_Mixed.Case").string(), "./sub/Mixed.Case");
    EXPECT_EQ(StagedDestination("./sub/_tmp_").string(), "./sub");
}

TEST_F(InTree, OneStagedFileWithItsTargetLogsFourLines) {
    tree.Write("a", "old");
    tree.Write("_tmp_a", "new");
    InstallTmpFiles("./");
    EXPECT_EQ(Log(), (std::vector<std::string>{
                         "About to attempt delete of file: \"./a\"", "File: \"./a\" deleted (OK)",
                         "Renaming file: \"./_tmp_a\" to: \"./a\"", "File renamed (OK)"}));
    EXPECT_EQ(tree.Read("a"), "new");
    EXPECT_FALSE(g_errorFlag);
}

TEST_F(InTree, FilesOfADirectoryComeBeforeItsSubdirectories) {
    tree.Write("s/_tmp_b", "b");
    tree.Write("_tmp_a", "a");
    tree.Write("s/t/plain", "no staged file, no line");
    InstallTmpFiles("./");
    EXPECT_EQ(Log(),
              (std::vector<std::string>{
                  "About to attempt delete of file: \"./a\"", "File: \"./a\" deleted (OK)",
                  "Renaming file: \"./_tmp_a\" to: \"./a\"", "File renamed (OK)",
                  "About to install _tmp_ files in subdirectory: \"./s\"",
                  "About to attempt delete of file: \"./s/b\"", "File: \"./s/b\" deleted (OK)",
                  "Renaming file: \"./s/_tmp_b\" to: \"./s/b\"", "File renamed (OK)",
                  "About to install _tmp_ files in subdirectory: \"./s/t\""}));
}

TEST_F(InTree, PathsAreQuotedWithAmpersandEscapes) {
    tree.Write("a&b \"c\"/_tmp_x", "x");
    InstallTmpFiles("./");
    EXPECT_EQ(Log().front(), "About to install _tmp_ files in subdirectory: \"./a&&b &\"c&\"\"");
}

TEST_F(InTree, LoopsAreNotEnteredButEveryOtherLinkIsFollowed) {
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
    // The directory is searched once per way in; on the second way the file is already in place.
    EXPECT_EQ(count("Renaming file: \"./one/_tmp_s\" to: \"./one/s\"") +
                  count("Renaming file: \"./two/_tmp_s\" to: \"./two/s\"") +
                  count("Renaming file: \"./shared/_tmp_s\" to: \"./shared/s\""),
              1);
    for (const char* way : {"./one", "./two", "./shared"}) {
        EXPECT_EQ(
            count("About to install _tmp_ files in subdirectory: \"" + std::string(way) + "\""), 1);
        EXPECT_EQ(count("WARNING: not entering directory loop: \"" + std::string(way) + "/up\""),
                  1);
        EXPECT_EQ(count("WARNING: not entering directory loop: \"" + std::string(way) + "/here\""),
                  1);
    }
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

TEST_F(InTree, SessionFileAlreadyGoneCostsNoPause) {
    const auto start = std::chrono::steady_clock::now();
    AwaitClientExit();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));
    EXPECT_EQ(Log(), (std::vector<std::string>{
                         "Waiting for session file: \"./session.dat\" to be deleted",
                         "Session file has been deleted. The client process has exited."}));
}

TEST_F(InTree, SessionFileRemovedWhileWaitingEndsTheWait) {
    tree.Write("session.dat", "");
    std::thread client([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(600));
        fs::remove(tree / "session.dat");
    });
    const auto start = std::chrono::steady_clock::now();
    AwaitClientExit();
    const auto waited = std::chrono::steady_clock::now() - start;
    client.join();
    EXPECT_GE(waited, std::chrono::milliseconds(600));
    EXPECT_LT(waited, std::chrono::milliseconds(1200));
    EXPECT_EQ(Log().size(), 2u);
}

}  // namespace
