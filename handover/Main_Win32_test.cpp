#include "handover/Main_Win32.h"

#include <map>
#include <string>

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

// Whatever stands at the old archive's name held the runtime before, whatever its shape: it gives
// way whole to the archive, whatever the archive's own shape. Left there, it would fail this
// rotation and every one after it.
TEST_F(RotateRuntimeArchiveTest, WhateverStandsAtTheOldNameGivesWay) {
    struct Case {
        const char* what;
        std::map<std::string, std::string> old;  // files below rt/lib/rt-0.jar.old ("" for itself)
        bool oldIsDirectory;
        bool archiveIsDirectory;
    };
    const Case cases[] = {
        {"a file onto a file", {{"", "older"}}, false, false},
        {"a file onto an empty directory", {}, true, false},
        {"a file onto a full directory",
         {{"classes/a", "1"}, {"classes/deep/b", "2"}},
         true,
         false},
        {"a directory onto a file", {{"", "older"}}, false, true},
        {"a directory onto a full directory", {{"x", "old x"}, {"y/z", "old z"}}, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(tree / "rt");
        if (c.archiveIsDirectory) {
            tree.Write("rt/lib/rt-0.jar/classes", "new");
        } else {
            tree.Write("rt/lib/rt-0.jar", "new");
        }
        if (c.oldIsDirectory) {
            tree.MakeDir("rt/lib/rt-0.jar.old");
        }
        for (const auto& [below, bytes] : c.old) {
            tree.Write(below.empty() ? "rt/lib/rt-0.jar.old" : "rt/lib/rt-0.jar.old/" + below,
                       bytes);
        }
        RotateRuntimeArchive();
        EXPECT_FALSE(tree.Exists("rt/lib/rt-0.jar"));
        EXPECT_EQ(
            tree.Read(c.archiveIsDirectory ? "rt/lib/rt-0.jar.old/classes" : "rt/lib/rt-0.jar.old"),
            "new");
        std::size_t entries = 0;
        for (fs::recursive_directory_iterator it(tree / "rt/lib"), end; it != end; ++it) {
            ++entries;
        }
        EXPECT_EQ(entries, c.archiveIsDirectory ? 2u : 1u) << "something of the old one stayed";
    }
}

// Links in the old archive's place are removed, never followed: nothing outside the tree goes.
// An archive that leads to the old one itself only loses its name.
TEST_F(RotateRuntimeArchiveTest, LinksAtEitherNameAreNeverFollowedOut) {
    if (!tree.NativeLinks()) {
        GTEST_SKIP() << "links to files cannot be made here";
    }
    tree.Write("../../ext/keep/x", "outside");
    {
        tree.Write("rt/lib/rt-0.jar", "new");
        tree.Write("rt/lib/rt-0.jar.old/inside/x", "old");
        tree.Link("rt/lib/rt-0.jar.old/out", "../../../../../ext/keep");
        RotateRuntimeArchive();
        EXPECT_EQ(tree.Read("rt/lib/rt-0.jar.old"), "new");
        EXPECT_EQ(tree.Read("../../ext/keep/x"), "outside");
    }
    {
        tree.Write("rt/lib/rt-0.jar", "newer");
        fs::remove(tree / "rt/lib/rt-0.jar.old");
        tree.Link("rt/lib/rt-0.jar.old", "../../../../ext/keep");
        RotateRuntimeArchive();
        EXPECT_EQ(tree.Read("rt/lib/rt-0.jar.old"), "newer");
        EXPECT_EQ(tree.Read("../../ext/keep/x"), "outside");
    }
    {
        tree.Link("rt/lib/rt-0.jar", "rt-0.jar.old");
        RotateRuntimeArchive();
        EXPECT_FALSE(tree.Exists("rt/lib/rt-0.jar"));
        EXPECT_EQ(tree.Read("rt/lib/rt-0.jar.old"), "newer");
    }
    {
        fs::rename(tree / "rt/lib/rt-0.jar.old", tree / "rt/lib/rt-0.jar");
        tree.Link("rt/lib/rt-0.jar.old", "rt-0.jar");
        RotateRuntimeArchive();
        EXPECT_FALSE(tree.Exists("rt/lib/rt-0.jar"));
        EXPECT_EQ(tree.Read("rt/lib/rt-0.jar.old"), "newer");
    }
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
