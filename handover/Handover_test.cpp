// The installer and the exit wait, in process, so that the run log of a clean run can be read.
#include "handover/Handover.h"
#include "handover/StagedNames.h"

#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <boost/filesystem/operations.hpp>

#include "handover/Errors.h"
#include "handover/InTree.h"
#include "handover/Main_Win32.h"
#include "tests/TempTree.h"

namespace fs = boost::filesystem;

namespace {

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

// The destination joins the staged file's folder and the rest of its name with the platform's
// separator: on Windows the top folder "./" is "." then, and the target ".\a.txt".
TEST(NameTests, DestinationIsTheNameWithoutPrefixInTheSameDirectory) {
    EXPECT_EQ(StagedDestination("./_tmp_a.txt").string(), NativeTarget("./a.txt"));
    EXPECT_EQ(StagedDestination(Native("./sub/_TMP_Mixed.Case")).string(),
              Native("./sub/Mixed.Case"));
    EXPECT_EQ(StagedDestination(Native("./sub/_tmp_")).string(), "./sub");
}

TEST_F(InTree, OneStagedFileWithItsTargetLogsFourLines) {
    tree.Write("a", "old");
    tree.Write("_tmp_a", "new");
    InstallTmpFiles("./");
    const std::string a = Quoted(NativeTarget("./a"));
    EXPECT_EQ(Log(), (std::vector<std::string>{
                         "About to attempt delete of file: " + a, "File: " + a + " deleted (OK)",
                         "Renaming file: \"./_tmp_a\" to: " + a, "File renamed (OK)"}));
    EXPECT_EQ(tree.Read("a"), "new");
    EXPECT_FALSE(g_errorFlag);
}

TEST_F(InTree, FilesOfADirectoryComeBeforeItsSubdirectories) {
    tree.Write("s/_tmp_b", "b");
    tree.Write("_tmp_a", "a");
    tree.Write("s/t/plain", "no staged file, no line");
    InstallTmpFiles("./");
    const std::string a = Quoted(NativeTarget("./a"));
    const std::string b = Quoted(Native("./s/b"));
    EXPECT_EQ(
        Log(),
        (std::vector<std::string>{
            "About to attempt delete of file: " + a, "File: " + a + " deleted (OK)",
            "Renaming file: \"./_tmp_a\" to: " + a, "File renamed (OK)",
            "About to install _tmp_ files in subdirectory: \"./s\"",
            "About to attempt delete of file: " + b, "File: " + b + " deleted (OK)",
            "Renaming file: " + Quoted(Native("./s/_tmp_b")) + " to: " + b, "File renamed (OK)",
            "About to install _tmp_ files in subdirectory: " + Quoted(Native("./s/t"))}));
}

TEST_F(InTree, PathsAreQuotedWithAmpersandEscapes) {
    tree.Write("a&b c/_tmp_x", "x");
    InstallTmpFiles("./");
    EXPECT_EQ(Log().front(), "About to install _tmp_ files in subdirectory: \"./a&&b c\"");
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
