// The whole program where it meets POSIX: how the client's command line is split into
// arguments, what the client inherits, FIFOs, symbolic links and append-only directories.
#include <sys/stat.h>

#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/filesystem/operations.hpp>

#include "tests/TempTree.h"

namespace {

using Snapshot = std::map<std::string, std::string>;

TEST(EndToEndPosix, ArgumentsAreJoinedWithBlanksAndSplitAgainWithoutQuoting) {
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> received;
    } cases[] = {
        {{}, {}},
        {{"a", "b c"}, {"a", "b", "c"}},
        {{"a", "", "b"}, {"a", "b"}},
        {{"a", ""}, {"a"}},
        {{"\"quoted arg\"", "back\\slash"}, {"\"quoted", "arg\"", "back\\\\slash"}},
        {{"new\nline", "tab\tbed"}, {"new\\x0aline", "tab", "bed"}},
    };
    for (const Case& c : cases) {
        TempTree tree;
        tree.InstallClient();
        ExpectQuietSuccess(tree.Run(c.args));
        EXPECT_EQ(ProbeField(tree.WaitForClient(), "arg"), c.received) << c.args.size();
    }
}

// The client must not inherit handover's descriptors, signal dispositions, mask or session.
TEST(EndToEndPosix, ClientStartsDetachedAndClean) {
    TempTree tree;
    tree.InstallClient();
    const std::string prefix =
        "exec 7</dev/null; trap '' TERM HUP; CLIENT_PROBE_ENV=passed exec \"$0\" \"$@\"";
    // A shell sets up the inherited state, then becomes handover.
    ExpectQuietSuccess(tree.Run({"arg"}, {"/bin/sh", "-c", prefix}));
    const std::string record = tree.WaitForClient();
    ASSERT_NE(record, "");
    EXPECT_EQ(ProbeField(record, "fd"), (std::vector<std::string>{"0", "1", "2"}));
    EXPECT_EQ(ProbeField(record, "ignored"), std::vector<std::string>{});
    EXPECT_EQ(ProbeField(record, "blocked"), std::vector<std::string>{});
    EXPECT_EQ(ProbeField(record, "session-leader"), std::vector<std::string>{"yes"});
    EXPECT_EQ(ProbeField(record, "env"), std::vector<std::string>{"passed"});
    EXPECT_EQ(ProbeField(record, "cwd"), std::vector<std::string>{tree.Root().string()});
    EXPECT_EQ(ProbeField(record, "arg"), std::vector<std::string>{"arg"});
}

TEST(EndToEndPosix, SpecialFilesAndDanglingLinksAreLeftAlone) {
    TempTree tree;
    tree.InstallClient();
    ASSERT_EQ(mkfifo((tree / "_tmp_pipe").c_str(), 0600), 0);
    ASSERT_EQ(mkfifo((tree / "session.dat").c_str(), 0600), 0);  // a FIFO never blocks the wait
    tree.Link("_tmp_dangling", "nowhere");
    tree.Link("_tmp_linked", "real.txt");
    tree.Write("real.txt", "via link");
    const RunResult run = tree.Run();
    EXPECT_EQ(run.status, 0);
    EXPECT_FALSE(tree.ClientStarted());  // the FIFO counts as a session file that stays
    EXPECT_TRUE(tree.Exists("_tmp_pipe"));
    EXPECT_TRUE(tree.Exists("_tmp_dangling"));
}

TEST(EndToEndPosix, LinkedFilesAndDirectoriesAreFollowedButLoopsAreNotEntered) {
    TempTree tree;
    tree.InstallClient();
    tree.Write("elsewhere/_tmp_far.txt", "far");
    tree.Link("inside/far", "../elsewhere");
    tree.Link("inside/loop", "..");
    tree.Link("inside/self", ".");
    tree.Link("_tmp_linked", "target.txt");
    tree.Write("target.txt", "linked content");
    tree.Write("old.txt", "old");
    tree.Link("linked", "old.txt");
    ExpectQuietSuccess(tree.Run());
    ASSERT_NE(tree.WaitForClient(), "");
    EXPECT_EQ(tree.Read("elsewhere/far.txt"), "far");
    // A staged link is renamed like a file: the link itself moves.
    EXPECT_EQ(tree.Snapshot().at("linked"), "link:target.txt");
}

TEST(EndToEndPosix, RenameThatFailsStopsTheRun) {
    TempTree tree;
    tree.InstallClient();
    tree.Write("locked/_tmp_a", "new");
    if (!tree.Chattr("+a", "locked")) {
        GTEST_SKIP() << "chattr +a is not supported on " << tree.Root();
    }
    ExpectQuietSuccess(tree.Run());
    EXPECT_FALSE(tree.ClientStarted());
    EXPECT_EQ(tree.Read("locked/_tmp_a"), "new");
    const auto logs = tree.ReportLogs();
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(Lines(logs[0]),
              Concat(StartLines(),
                     {"About to install _tmp_ files in subdirectory: \"./locked\"",
                      "About to attempt delete of file: \"./locked/a\"",
                      "File: \"./locked/a\" deleted (OK)",
                      "Renaming file: \"./locked/_tmp_a\" to: \"./locked/a\"",
                      "ERROR: rename: \"./locked/_tmp_a\" to: \"./locked/a\": Operation not "
                      "permitted",
                      "ERROR: rename failed", "ERROR: unknown exception", "EXIT: handover"}));
}

// A folder the run may not change: the rotation fails there, with a report that says why, and the
// client is not started.
TEST(EndToEndPosix, RuntimeArchiveInAFolderThatMayNotChangeFailsTheRun) {
    TempTree tree;
    tree.InstallClient();
    tree.Write("rt/lib/rt-0.jar", "runtime");
    tree.Write("rt/lib/rt-0.jar.old", "the older runtime");
    if (!tree.Chattr("+i", "rt/lib")) {
        GTEST_SKIP() << "chattr +i is not supported on " << tree.Root();
    }
    ExpectQuietSuccess(tree.Run());
    EXPECT_FALSE(tree.ClientStarted());
    EXPECT_EQ(tree.Read("rt/lib/rt-0.jar"), "runtime");
    EXPECT_EQ(tree.Read("rt/lib/rt-0.jar.old"), "the older runtime");
    const auto logs = tree.ReportLogs();
    ASSERT_EQ(logs.size(), 1u);
    const auto lines = Lines(logs[0]);
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(lines.end() - 4, lines.end()),
              (std::vector<std::string>{
                  "About to rename old RT",
                  "ERROR: remove: \"./rt/lib/rt-0.jar.old\": Operation not permitted",
                  "ERROR: unknown exception", "EXIT: handover"}));
}

}  // namespace
