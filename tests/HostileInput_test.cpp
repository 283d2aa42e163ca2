// Trees and arguments that no client would make on purpose. Each test states what handover does
// with them; none may crash, hang or be misreported.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <boost/filesystem/operations.hpp>

#include "tests/TempTree.h"

namespace fs = boost::filesystem;

namespace {

// Odd names are installed like any other: the name is bytes, only the prefix is looked at.
TEST(HostileInput, OddNamesAreInstalledByteForByte) {
    const std::vector<std::string> names = {
        "new\nline",           "double\"quote", "amp&ersand",  "\x80\xff\xfe not utf-8",
        std::string(250, 'n'),  // with the prefix, 255 bytes: the longest name ext4 allows
        " leading blank",      "-dash",         "back\\slash", "\x1b[31m escape",
    };
    TempTree tree;
    tree.InstallClient();
    for (const std::string& name : names) {
        tree.Write(name, "old");
        tree.Write("_tmp_" + name, "new " + name);
        tree.Write("dir " + name + "/_TMP_" + name, "nested " + name);
    }
    const RunResult run = tree.Run();
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out + run.err, "");
    EXPECT_NE(tree.WaitForClient(), "") << ::testing::PrintToString(tree.ReportLogs());
    for (const std::string& name : names) {
        EXPECT_EQ(tree.Read(name), "new " + name);
        EXPECT_EQ(tree.Read("dir " + name + "/" + name), "nested " + name);
        EXPECT_FALSE(tree.Exists("_tmp_" + name));
    }
}

// Special files and links that loop are never opened, moved or removed, whatever their names.
TEST(HostileInput, SpecialFilesWithStagedNamesAreLeftAlone) {
    TempTree tree;
    tree.InstallClient();
    ASSERT_EQ(mkfifo((tree / "_tmp_fifo").c_str(), 0600), 0);
    const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string socketPath = (tree / "_tmp_socket").string();
    ASSERT_LT(socketPath.size(), sizeof address.sun_path);
    socketPath.copy(address.sun_path, socketPath.size());
    ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    // Only root may make a device node; the others are tested all the same.
    (void)mknod((tree / "_tmp_null").c_str(), S_IFCHR | 0600, makedev(1, 3));
    tree.Write("fifo", "target of a FIFO stays");
    // Links that lead round in a circle cannot be resolved: broken, like a dangling one.
    tree.Link("_tmp_circle", "_tmp_circle");
    tree.Link("ring/a", "b");
    tree.Link("ring/b", "a");
    const auto before = tree.Snapshot();

    const RunResult run = tree.Run();
    close(sock);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out + run.err, "");
    EXPECT_NE(tree.WaitForClient(), "");
    EXPECT_EQ(tree.Snapshot(), before);
}

// Past PATH_MAX no path reaches the deepest folders, but the walk never needs one: each folder is
// opened through the one above it, and everything in it is done through it.
TEST(HostileInput, TreeDeeperThanPathMaxIsInstalled) {
    TempTree tree;
    tree.InstallClient();
    tree.Write("_tmp_top", "top");
    const std::string level(200, 'd');
    int levels = 0;
    // Built with relative steps: the whole path is too long for a single call.
    const fs::path previous = fs::current_path();
    fs::current_path(tree.Root());
    for (std::size_t length = 0; length < PATH_MAX + 200; length += level.size() + 1, ++levels) {
        fs::create_directory(level);
        fs::current_path(level);
    }
    { std::ofstream("bottom") << "old bottom"; }
    { std::ofstream("_tmp_bottom") << "bottom"; }
    fs::current_path(previous);

    const RunResult run = tree.Run();
    ExpectQuietSuccess(run);
    EXPECT_NE(tree.WaitForClient(), "") << ::testing::PrintToString(tree.ReportLogs());
    EXPECT_EQ(tree.Read("top"), "top");
    fs::current_path(tree.Root());
    for (int i = 0; i < levels; ++i) {
        fs::current_path(level);
    }
    EXPECT_EQ(ReadFile("bottom"), "bottom");
    EXPECT_FALSE(fs::exists("_tmp_bottom"));
    fs::current_path(previous);
    // rm -rf walks with relative steps, as TempTree's own cleanup cannot.
    EXPECT_EQ(std::system(("rm -rf '" + (tree / level).string() + "'").c_str()), 0);
}

// A target that is a link to a folder, in a folder whose absolute path is just within PATH_MAX:
// the target's own absolute path is not, though its path from the tree is. Nothing about it is
// ever asked by an absolute path.
TEST(HostileInput, LinkToAFolderAsATargetPastWhereAbsolutePathsReach) {
    TempTree tree;
    tree.InstallClient();
    const std::string level(100, 'd');
    // The folder's absolute path two short of PATH_MAX, so that its entries' are past it.
    const std::size_t want = PATH_MAX - 2 - fs::canonical(tree.Root()).string().size();
    std::string deep;
    while (deep.size() + 2 * (level.size() + 1) < want) {
        deep += level + "/";
    }
    deep += std::string(want - deep.size() - 1, 'e') + "/";
    ASSERT_LT(deep.size() + 20, static_cast<std::size_t>(PATH_MAX));
    {
        // Made with relative steps: the whole path is too long for a single call.
        const WorkingDirectory cwd(tree.Root());
        fs::create_directories(deep + "folder");
        const WorkingDirectory down(deep);
        fs::create_directory_symlink("folder", "l");
        std::ofstream("_tmp_l") << "new l";
    }
    ExpectQuietSuccess(tree.Run());
    EXPECT_NE(tree.WaitForClient(), "") << ::testing::PrintToString(tree.ReportLogs());
    const WorkingDirectory cwd(tree.Root());
    const WorkingDirectory down(deep);
    EXPECT_EQ(ReadFile("l"), "new l");
    EXPECT_FALSE(fs::exists("_tmp_l"));
    EXPECT_EQ(std::system(("rm -rf '" + level + "'").c_str()), 0);
}

// A report file that a FIFO has taken the place of: opening it to write would wait for a reader
// for ever, with the run lock held. The record is lost, as for any report that cannot be written,
// and nothing goes into the pipe, read or not.
TEST(HostileInput, ReportThatIsAFifoNeverHoldsUpTheRun) {
    for (const bool reader : {false, true}) {
        SCOPED_TRACE(reader ? "a reader holds the FIFO open" : "no reader");
        TempTree tree;  // no client: the run fails at its very end, and then writes its report
        tree.Write("_tmp_a", "new");
        ASSERT_TRUE(tree.MakeFifo("poker.jex"));
        const int fd = reader ? open((tree / "poker.jex").c_str(), O_RDONLY | O_NONBLOCK) : -1;
        const Stopwatch clock;
        const RunResult run = tree.Run({}, {"timeout", "-s", "KILL", "20"});
        EXPECT_LT(clock.Seconds(), 4.0);
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.out + run.err, "");
        EXPECT_EQ(tree.Read("a"), "new");
        EXPECT_EQ(fs::symlink_status(tree / "poker.jex").type(), fs::fifo_file);
        if (fd >= 0) {
            char byte;
            EXPECT_LE(read(fd, &byte, 1), 0) << "the record went into the pipe";
            close(fd);
        }
    }
}

// The pause waits for a deadline on the monotonic clock: a wall clock set back by an hour while
// the run waits for the session file must not make the wait an hour longer.
TEST(HostileInput, WallClockSetBackDoesNotStretchTheWait) {
    if (UnderChecker()) {
        GTEST_SKIP() << "the clock library is not loaded under a checker";
    }
    const char* asan = std::getenv("ASAN_OPTIONS");
    const std::vector<std::string> setBack = {
        "env", "LD_PRELOAD=" CLOCK_BACK_LIB,
        // A sanitizer's runtime would insist on coming first.
        "ASAN_OPTIONS=" + std::string(asan != nullptr ? asan : "") + ":verify_asan_link_order=0"};
    TempTree tree;
    // The library does set a program's wall clock back an hour.
    const RunResult date = RunProgram(Concat(setBack, {"date", "+%s"}), tree.Root().native());
    ASSERT_EQ(date.status, 0) << date.err;
    const long behind = static_cast<long>(std::time(nullptr)) - std::stol(date.out);
    ASSERT_GE(behind, 3590);
    ASSERT_LE(behind, 3610);

    tree.InstallClient();
    tree.Write("session.dat", "the client is still running");
    const Stopwatch clock;
    // The clock goes back 300 ms into the run, while it waits; the client goes after 1 s.
    const std::unique_ptr<ChildProcess> run =
        tree.Start({}, Concat({"timeout", "-s", "KILL", "30"},
                              Concat(setBack, {"HANDOVER_CLOCK_BACK_AFTER_MS=300"})));
    std::this_thread::sleep_for(std::chrono::seconds(1));
    fs::remove(tree / "session.dat");
    ExpectQuietSuccess(run->Wait());
    EXPECT_LT(clock.Seconds(), 3.0);
    EXPECT_NE(tree.WaitForClient(), "");
}

// The walk keeps its way down on the heap, and a descriptor for only a few dozen levels: a tree as
// deep as paths allow runs in a small stack and with few descriptors, coming back up from the
// bottom to a branch far above it.
TEST(HostileInput, DeepTreeIsWalkedInASmallStackWithFewDescriptors) {
    if (UnderChecker()) {
        GTEST_SKIP() << "a checker needs a stack of its own";
    }
    TempTree tree;
    tree.InstallClient();
    // One-letter folders, as deep as PATH_MAX lets the tree go.
    std::string deep;
    while (deep.size() + 2 + (tree.Root().string() + "/_tmp_bottom").size() < PATH_MAX - 100) {
        deep += "d/";
    }
    tree.Write(deep + "_tmp_bottom", "bottom");
    const std::string branch = deep.substr(0, 200) + "side/_tmp_branch";
    tree.Write(branch, "branch");
    ASSERT_GT(deep.size() / 2, 1800u);
    const RunResult run =
        tree.Run({}, {"/bin/sh", "-c", "ulimit -s 256 && ulimit -n 64 && exec \"$0\" \"$@\""});
    ExpectQuietSuccess(run);
    EXPECT_NE(tree.WaitForClient(), "") << ::testing::PrintToString(tree.ReportLogs());
    EXPECT_EQ(tree.Read(deep + "bottom"), "bottom");
    EXPECT_EQ(tree.Read(deep.substr(0, 200) + "side/branch"), "branch");
}

// A large directory is read whole before anything in it changes.
TEST(HostileInput, DirectoryWithTwentyThousandEntries) {
    TempTree tree;
    tree.InstallClient();
    fs::create_directories(tree / "big");
    for (int i = 0; i < 20000; ++i) {
        const std::string name = "big/f" + std::to_string(i);
        std::ofstream((tree / (i % 20 == 0 ? "big/_tmp_f" + std::to_string(i) : name)).string())
            << i;
    }
    const RunResult run = tree.Run();
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(tree.WaitForClient(), "");
    int files = 0;
    for (fs::directory_iterator it(tree / "big"), end; it != end; ++it) {
        EXPECT_NE(it->path().filename().string().rfind("_tmp_", 0), 0u);
        ++files;
    }
    EXPECT_EQ(files, 20000);
    EXPECT_EQ(tree.Read("big/f19980"), "19980");
}

}  // namespace
