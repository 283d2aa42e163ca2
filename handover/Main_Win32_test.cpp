#include "handover/Main_Win32.h"

#include <gtest/gtest.h>
#include <boost/filesystem/operations.hpp>

#include "handover/CommandLine.h"
#include "tests/TempTree.h"

namespace fs = boost::filesystem;

namespace {

class RotateRuntimeArchiveTest : public ::testing::Test {
  protected:
    TempTree tree;
    WorkingDirectory cwd{tree.Root()};
};

TEST_F(RotateRuntimeArchiveTest, ArchiveMovesAsideReplacingAnOlderOne) {
    tree.Write("rt/lib/rt-0.jar", "new");
    tree.Write("rt/lib/rt-0.jar.old", "older");
    RotateRuntimeArchive();
    EXPECT_FALSE(tree.Exists("rt/lib/rt-0.jar"));
    EXPECT_EQ(tree.Read("rt/lib/rt-0.jar.old"), "new");
}

TEST_F(RotateRuntimeArchiveTest, NothingHappensWithoutArchiveOrFolder) {
    RotateRuntimeArchive();
    tree.MakeDir("rt/lib");
    RotateRuntimeArchive();
    EXPECT_EQ(tree.Snapshot().size(), 2u);
}

// An archive and an older one of either kind: the older one gives way, as long as it holds
// nothing but its own bytes.
TEST_F(RotateRuntimeArchiveTest, WhatIsInTheWayGivesWayUnlessItIsAFullDirectory) {
    {
        tree.Write("rt/lib/rt-0.jar", "new");
        tree.MakeDir("rt/lib/rt-0.jar.old");
        RotateRuntimeArchive();
        EXPECT_FALSE(tree.Exists("rt/lib/rt-0.jar"));
        EXPECT_EQ(tree.Read("rt/lib/rt-0.jar.old"), "new");
    }
    {
        tree.Write("rt/lib/rt-0.jar/classes", "an archive unpacked");
        RotateRuntimeArchive();
        EXPECT_FALSE(tree.Exists("rt/lib/rt-0.jar"));
        EXPECT_EQ(tree.Read("rt/lib/rt-0.jar.old/classes"), "an archive unpacked");
    }
    {
        tree.Write("rt/lib/rt-0.jar", "newer");
        EXPECT_THROW(RotateRuntimeArchive(), fs::filesystem_error);
        EXPECT_EQ(tree.Read("rt/lib/rt-0.jar"), "newer");
        EXPECT_EQ(tree.Read("rt/lib/rt-0.jar.old/classes"), "an archive unpacked");
    }
}

TEST_F(RotateRuntimeArchiveTest, RenameOntoANonEmptyDirectoryRaises) {
    tree.Write("rt/lib/rt-0.jar", "new");
    tree.Write("rt/lib/rt-0.jar.old/x", "in the way");
    EXPECT_THROW(RotateRuntimeArchive(), fs::filesystem_error);
    EXPECT_EQ(tree.Read("rt/lib/rt-0.jar"), "new");
}

TEST(RunLog, PathsUseAmpersandAsTheEscapeCharacter) {
    std::ostringstream line;
    line << fs::path("./a&b\"c\\d");
    EXPECT_EQ(line.str(), "\"./a&&b&\"c\\d\"");
}

TEST(CommandLine, BuildsAndSplitsWithoutQuoting) {
    char a[] = "a", empty[] = "", bc[] = "b c", q[] = "\"x y\"";
    char* args[] = {a, empty, bc, q};
    EXPECT_EQ(BuildCommandLine("./client.exe", 0, args), "./client.exe");
    EXPECT_EQ(BuildCommandLine("./client.exe", -1, args), "./client.exe");
    const std::string line = BuildCommandLine("./client.exe", 4, args);
    EXPECT_EQ(line, "./client.exe a  b c \"x y\"");
    EXPECT_EQ(SplitCommandLine(line),
              (std::vector<std::string>{"./client.exe", "a", "b", "c", "\"x", "y\""}));
    EXPECT_EQ(SplitCommandLine(" \t "), std::vector<std::string>{});
    EXPECT_EQ(SplitCommandLine("a\nb\tc "), (std::vector<std::string>{"a\nb", "c"}));
}

}  // namespace
