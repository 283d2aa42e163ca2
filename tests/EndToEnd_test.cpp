// The whole program, run as the client runs it: in a scratch installation tree.
#include <algorithm>
#include <chrono>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/filesystem/operations.hpp>

#include "tests/TempTree.h"

namespace {

using Snapshot = std::map<std::string, std::string>;

TEST(EndToEnd, RunWithNothingToDoStartsClientAndLeavesNoTrace) {
    TempTree tree;
    tree.InstallClient();
    ExpectQuietSuccess(tree.Run());
    const std::string record = tree.WaitForClient();
    ASSERT_NE(record, "");
    EXPECT_EQ(ProbeField(record, "arg"), std::vector<std::string>{});
    EXPECT_FALSE(tree.Exists("poker.jex"));
    EXPECT_EQ(tree.Snapshot(), (Snapshot{{"client.exe", "<client>"}}));
}

TEST(EndToEnd, FullUpdateInstallsEveryStagedFileOfTheTree) {
    TempTree tree;
    tree.InstallClient();
    boost::filesystem::rename(tree / "client.exe", tree / "_tmp_client.exe");
    tree.Write("client.exe", "client 1.0 cannot run");  // only the staged client can start
    tree.Write("data.bin", "old");
    tree.Write("_TMP_data.bin", "new");
    tree.Write("_tmp_fresh.txt", "no target before");
    tree.Write("_tmp_handover.exe", "self copy");
    tree.Write("lib/x/_Tmp_HANDOVER.EXE", "self copy, other case");
    tree.Write("lib/game.dat", "1.0");
    tree.Write("lib/_tMp_game.dat", "2.0");
    tree.Write("lib/x/y/deep.cfg", "a");
    tree.Write("lib/x/y/_tmp_deep.cfg", "b");
    tree.Write("_tmp_dir/_tmp_inner", "inside a staged-looking directory");
    tree.MakeDir("emptydir-target");
    tree.Write("_tmp_emptydir-target", "replaces an empty directory");
    // Names that only look staged.
    for (const char* name : {"tmp_a", "_tmpb", "_tm", "x_tmp_c", "__tmp_d", "_tmp"}) {
        tree.Write(name, name);
    }
    tree.Write("rt/lib/rt-0.jar", "runtime");
    tree.Write("rt/lib/rt-0.jar.old", "older runtime");

    ExpectQuietSuccess(tree.Run({"--user", "alice smith", "", "x"}));
    ASSERT_NE(tree.WaitForClient(), "") << ::testing::PrintToString(tree.ReportLogs());

    EXPECT_EQ(tree.Snapshot(), (Snapshot{
                                   {"client.exe", "<client>"},
                                   {"data.bin", "new"},
                                   {"fresh.txt", "no target before"},
                                   {"emptydir-target", "replaces an empty directory"},
                                   {"lib", "dir"},
                                   {"lib/game.dat", "2.0"},
                                   {"lib/x", "dir"},
                                   {"lib/x/y", "dir"},
                                   {"lib/x/y/deep.cfg", "b"},
                                   {"_tmp_dir", "dir"},
                                   {"_tmp_dir/inner", "inside a staged-looking directory"},
                                   {"tmp_a", "tmp_a"},
                                   {"_tmpb", "_tmpb"},
                                   {"_tm", "_tm"},
                                   {"x_tmp_c", "x_tmp_c"},
                                   {"__tmp_d", "__tmp_d"},
                                   {"_tmp", "_tmp"},
                                   {"rt", "dir"},
                                   {"rt/lib", "dir"},
                                   {"rt/lib/rt-0.jar.old", "runtime"},
                               }));
    EXPECT_FALSE(tree.Exists("poker.jex"));
}

TEST(EndToEnd, CommandLineOf259CharactersLaunchesAnd260IsRefusedWhole) {
    // "./client.exe" and a blank take 13 characters.
    const std::string fits(259 - 13, 'a');
    {
        TempTree tree;
        tree.InstallClient();
        ExpectQuietSuccess(tree.Run({fits}));
        EXPECT_EQ(ProbeField(tree.WaitForClient(), "arg"), std::vector<std::string>{fits});
    }
    {
        TempTree tree;
        tree.InstallClient();
        ExpectQuietSuccess(tree.Run({fits + "b"}));
        EXPECT_FALSE(tree.ClientStarted());
        const auto logs = tree.ReportLogs();
        ASSERT_EQ(logs.size(), 1u);
        EXPECT_EQ(Lines(logs[0]),
                  Concat(StartLines(),
                         {"About to rename old RT", "About to launch the client",
                          "About to launch client exe with command: ./client.exe " + fits + "b",
                          "ERROR: unable to launch client exe", "ERROR: unknown exception",
                          "EXIT: handover"}));
    }
}

// An archive unpacked into a folder rotates once; the next rotation must not find its own first
// one in the way, whatever that holds.
TEST(EndToEnd, RuntimeArchiveThatIsAFolderRotatesEveryTime) {
    TempTree tree;
    tree.InstallClient();
    for (const char* version : {"v1", "v2", "v3"}) {
        SCOPED_TRACE(version);
        tree.Write("rt/lib/rt-0.jar/M", version);
        ExpectQuietSuccess(tree.Run());
        EXPECT_NE(tree.WaitForClient(), "") << ::testing::PrintToString(tree.ReportLogs());
        boost::filesystem::remove(tree / "client-probe.txt");
        EXPECT_FALSE(tree.Exists("rt/lib/rt-0.jar"));
        EXPECT_EQ(tree.Read("rt/lib/rt-0.jar.old/M"), version);
    }
    EXPECT_EQ(tree.ReportBytes(), "");
}

TEST(EndToEnd, MissingClientFailsAfterInstallingAndRotating) {
    if (UnderChecker()) {
        GTEST_SKIP() << "a client that fails to start is not seen under a checker";
    }
    TempTree tree;
    tree.Write("_tmp_a", "new");
    tree.Write("rt/lib/rt-0.jar", "runtime");
    ExpectQuietSuccess(tree.Run({"x"}));
    EXPECT_EQ(tree.Read("a"), "new");
    EXPECT_TRUE(tree.Exists("rt/lib/rt-0.jar.old"));
    const auto logs = tree.ReportLogs();
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(Lines(logs[0]),
              Concat(StartLines(),
                     {"About to attempt delete of file: " + Quoted(NativeTarget("./a")),
                      "File: " + Quoted(NativeTarget("./a")) + " deleted (OK)",
                      "Renaming file: \"./_tmp_a\" to: " + Quoted(NativeTarget("./a")),
                      "File renamed (OK)", "About to install _tmp_ files in subdirectory: \"./rt\"",
                      "About to install _tmp_ files in subdirectory: " + Quoted(Native("./rt/lib")),
                      "About to rename old RT", "About to launch the client",
                      "About to launch client exe with command: ./client.exe x",
                      "ERROR: unable to launch client exe", "ERROR: unknown exception",
                      "EXIT: handover"}));
}

TEST(EndToEnd, ClientThatNeverExitsStopsTheRunBeforeAnythingIsTouched) {
    TempTree tree;
    tree.InstallClient();
    tree.MakeDir("session.dat");  // a directory counts as present too
    tree.Write("_tmp_a", "new");
    tree.Write("rt/lib/rt-0.jar", "runtime");
    const Stopwatch clock;
    const RunResult run = tree.Run();
    const double took = clock.Seconds();
    ExpectQuietSuccess(run);
    // The client has 20 checks, 250 ms apart, to remove its session file: 5 s at the least.
    EXPECT_GE(took, 5.0) << "the wait for the session file gave up early";
    EXPECT_LT(took, 15.0) << "the wait for the session file ran on";
    EXPECT_FALSE(tree.ClientStarted());
    EXPECT_EQ(tree.Read("_tmp_a"), "new");
    EXPECT_TRUE(tree.Exists("rt/lib/rt-0.jar"));
    const auto logs = tree.ReportLogs();
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(Lines(logs[0]),
              (std::vector<std::string>{
                  "START: handover", "Awaiting client exit",
                  "Waiting for session file: \"./session.dat\" to be deleted",
                  "ERROR: The client process did not remove the session file. Client process is "
                  "assumedly still running",
                  "ERROR: unknown exception", "EXIT: handover"}));
}

TEST(EndToEnd, TargetThatCannotBeRemovedStopsTheRunAfterTwentyAttempts) {
    TempTree tree;
    tree.InstallClient();
    tree.Write("_tmp_a", "first");
    tree.Write("_tmp_b", "new");
    tree.Write("b/keep", "a non-empty directory");
    tree.Write("sub/_tmp_c", "never reached");
    const Stopwatch clock;
    const RunResult run = tree.Run();
    const double took = clock.Seconds();
    ExpectQuietSuccess(run);
    // 20 removal attempts, with a 250 ms pause after each that fails: 5 s at the least.
    EXPECT_GE(took, 5.0) << "the removal attempts gave up early";
    EXPECT_LT(took, 15.0) << "the removal attempts ran on";
    EXPECT_FALSE(tree.ClientStarted());
    EXPECT_EQ(tree.Read("_tmp_b"), "new");
    EXPECT_EQ(tree.Read("b/keep"), "a non-empty directory");
    EXPECT_EQ(tree.Read("sub/_tmp_c"), "never reached");
    const auto logs = tree.ReportLogs();
    ASSERT_EQ(logs.size(), 1u);
    const auto lines = Lines(logs[0]);
    const std::string b = Quoted(NativeTarget("./b"));
    const std::string retry = "WARNING: unable to delete file: " + b + " (retrying)";
    EXPECT_EQ(std::count(lines.begin(), lines.end(), retry), 20);
    // The last refusal, in the system's words, before the program's own line.
    ASSERT_GE(lines.size(), 5u);
    EXPECT_EQ(lines[lines.size() - 5], retry);
    EXPECT_EQ(lines[lines.size() - 4].rfind("ERROR: remove: " + b + ": ", 0), 0u)
        << lines[lines.size() - 4];
    EXPECT_GT(lines[lines.size() - 4].size(), ("ERROR: remove: " + b + ": ").size());
    EXPECT_EQ(std::vector<std::string>(lines.end() - 3, lines.end()),
              (std::vector<std::string>{"ERROR: file: " + b + " could not be deleted",
                                        "ERROR: unknown exception", "EXIT: handover"}));
}

TEST(EndToEnd, FailedRunsAppendOneRecordEachAndKeepEarlierBytes) {
    TempTree tree;
    tree.InstallClient();
    // A command line too long to launch fails each run at its very end.
    const std::string first(300, 'x'), second(301, 'y');
    ExpectQuietSuccess(tree.Run({first}));
    const std::string firstBytes = tree.ReportBytes();
    const auto firstLogs = tree.ReportLogs();
    ASSERT_EQ(firstLogs.size(), 1u);
    EXPECT_EQ(firstBytes.size(), (firstLogs[0].size() + 7) / 8 * 8);

    ExpectQuietSuccess(tree.Run({second}));
    EXPECT_EQ(tree.ReportBytes().substr(0, firstBytes.size()), firstBytes);
    const auto logs = tree.ReportLogs();
    ASSERT_EQ(logs.size(), 2u);
    EXPECT_EQ(logs[0], firstLogs[0]);
    EXPECT_NE(logs[1].find("command: ./client.exe " + second + "\n"), std::string::npos);
}

TEST(EndToEnd, ReportThatCannotBeOpenedIsLostQuietly) {
    TempTree tree;
    tree.MakeDir("poker.jex");
    ExpectQuietSuccess(tree.Run());
    EXPECT_TRUE(boost::filesystem::is_empty(tree / "poker.jex"));
    EXPECT_EQ(tree.Snapshot(), Snapshot{});
}

}  // namespace
