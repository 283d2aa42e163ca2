// handover killed at any step that changes the tree, then simply run again, must end where one
// uninterrupted run ends, and the second run must start the client.
//
// The kill is strace's: "-e inject=SYSCALL:signal=KILL:when=K". As measured with strace 6.1 on
// Linux, K counts the invocations of that one syscall (not of all traced ones), and the tracee
// dies on entering the K-th one, before it takes effect: killed at the first unlink, the file is
// still there; killed at clone3, no client starts. strace then kills itself with the same
// signal, so the run ends as if by SIGKILL. Only handover is traced (no -f), never its client.
#include <signal.h>

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/filesystem/operations.hpp>

#include "tests/TempTree.h"

namespace {

namespace fs = boost::filesystem;
using Snapshot = std::map<std::string, std::string>;

const std::vector<std::string> kArgs = {"--after-update", "2.0"};

// An installation with staged files beside and without their targets, in nested directories,
// self-copies in two letter cases, a target that is a link, one that is an empty directory,
// and a runtime archive with an older one beside it.
void BuildInstallation(TempTree& tree) {
    tree.InstallClient();
    const std::map<std::string, std::string> files = {
        {"data.bin", "data 1.0"},
        {"_TMP_data.bin", "data 2.0"},
        {"_tmp_fresh.txt", "no target before"},
        {"_tmp_handover.exe", "self copy"},
        {"notes.txt", "left alone"},
        {"_tmp_shortcut.txt", "replaces a link"},
        {"_tmp_emptydir", "replaces an empty directory"},
        {"lib/game.dat", "game 1.0"},
        {"lib/_tmp_game.dat", "game 2.0"},
        {"lib/x/_Tmp_HANDOVER.EXE", "self copy, other case"},
        {"lib/x/y/_tmp_deep.cfg", "deep, no target before"},
        {"lib/x/y/other.cfg", "other 1.0"},
        {"lib/x/y/_tmp_other.cfg", "other 2.0"},
        {"Sub/Deeper/a.bin", "a 1.0"},
        {"Sub/Deeper/_tmp_a.bin", "a 2.0"},
        {"rt/lib/rt-0.jar", "runtime 2"},
        {"rt/lib/rt-0.jar.old", "runtime 1"},
    };
    for (const auto& [path, content] : files) {
        tree.Write(path, content);
    }
    tree.Link("shortcut.txt", "notes.txt");
    tree.MakeDir("emptydir");
}

// Calls that change the tree or start a process, whatever their arguments.
const std::set<std::string> kChangingCalls = {
    "unlink",  "unlinkat",  "rmdir",    "rename",  "renameat", "renameat2", "link",     "linkat",
    "symlink", "symlinkat", "mkdir",    "mkdirat", "mknod",    "mknodat",   "truncate", "ftruncate",
    "chmod",   "fchmod",    "fchmodat", "chown",   "fchown",   "fchownat",  "lchown",   "utimensat",
    "write",   "writev",    "pwrite64", "clone",   "clone3",   "fork",      "vfork"};
// Calls that change nothing visible but order what reaches the disk, and the run lock.
const std::set<std::string> kOrderingCalls = {"fdatasync", "fsync", "syncfs", "sync_file_range",
                                              "flock"};
const std::set<std::string> kOpenCalls = {"open", "openat", "openat2", "creat"};
const std::set<std::string> kStatusCalls = {"stat", "lstat", "newfstatat", "statx"};

struct KillPoint {
    std::string call;
    int invocation;     // 1 for the first call of that name
    std::string trace;  // the call as the uninterrupted run made it
};

// Where to kill: every call of an uninterrupted run's trace that changes something (an open
// counts when it may write) or orders what reaches the disk, and the first look for the
// session file, during the wait.
std::vector<KillPoint> KillPoints(const std::string& trace) {
    std::vector<KillPoint> points;
    std::map<std::string, int> seen;
    bool sessionChecked = false;
    for (const std::string& line : Lines(trace)) {
        const auto paren = line.find('(');
        if (paren == std::string::npos || line.compare(0, 3, "+++") == 0 ||
            line.compare(0, 3, "---") == 0) {
            continue;
        }
        const std::string call = line.substr(0, paren);
        const int invocation = ++seen[call];
        bool kill = kChangingCalls.count(call) > 0 || kOrderingCalls.count(call) > 0;
        if (kOpenCalls.count(call) > 0) {
            for (const char* flag : {"O_WRONLY", "O_RDWR", "O_CREAT", "O_TRUNC"}) {
                kill = kill || line.find(flag) != std::string::npos;
            }
        }
        if (!sessionChecked && kStatusCalls.count(call) > 0 &&
            line.find("\"./session.dat\"") != std::string::npos) {
            sessionChecked = kill = true;
        }
        if (kill) {
            points.push_back({call, invocation, line});
        }
    }
    return points;
}

std::vector<std::string> KillPrefix(const KillPoint& point) {
    return Strace(
        {"-o", "/dev/null", "-e", "trace=" + point.call, "-e",
         "inject=" + point.call + ":signal=KILL:when=" + std::to_string(point.invocation)});
}

std::string Describe(const KillPoint& point) {
    return point.call + " #" + std::to_string(point.invocation) + " [" + point.trace + "]";
}

std::vector<std::string> Arguments(const std::string& record) {
    std::vector<std::string> values;
    for (const std::string& line : Lines(record)) {
        if (line.compare(0, 4, "arg=") == 0) {
            values.push_back(line.substr(4));
        }
    }
    return values;
}

// Kills a fresh installation at one point, runs handover again and tells what went wrong;
// empty when the rerun converged.
std::string KillAndRerun(const KillPoint& point, const Snapshot& reference) {
    TempTree tree;
    BuildInstallation(tree);
    std::ostringstream problems;
    const RunResult killed = tree.Run(kArgs, KillPrefix(point));
    if (killed.status != 128 + SIGKILL) {
        problems << "  not killed: status " << killed.status << ", " << killed.err << "\n";
    }
    if (!killed.out.empty() || !killed.err.empty()) {
        problems << "  killed run printed: [" << killed.out << "] [" << killed.err << "]\n";
    }
    if (tree.ClientStarted()) {
        problems << "  killed run started the client\n";
    }
    fs::remove(tree / "client-probe.txt");

    const RunResult rerun = tree.Run(kArgs);
    if (rerun.status != 0 || !rerun.out.empty() || !rerun.err.empty()) {
        problems << "  rerun: status " << rerun.status << ", printed [" << rerun.out << "] ["
                 << rerun.err << "]\n";
    }
    const std::string record = tree.WaitForClient();
    if (record.empty()) {
        problems << "  rerun did not start the client\n";
    } else if (Arguments(record) != kArgs) {
        problems << "  client started with other arguments:\n" << record;
    }
    problems << SnapshotDifference(reference, tree.Snapshot());
    if (tree.Exists("poker.jex")) {
        problems << "  rerun wrote a failure report\n";
    }
    return problems.str();
}

bool StraceUsable(std::string& why) {
    TempTree tree;
    const RunResult probe = tree.Run({}, Strace({"-o", "/dev/null", "-e", "trace=none"}));
    if (probe.status == 127 && probe.err.empty()) {
        why = "strace is not installed";
        return false;
    }
    if (probe.status != 0) {
        why = "strace cannot trace handover here (ptrace not permitted?): " + probe.err;
        return false;
    }
    return true;
}

TEST(CrashRerun, KilledAtAnyChangeThenRunAgainEndsAsOneUninterruptedRun) {
    std::string why;
    if (!StraceUsable(why)) {
        GTEST_SKIP() << why;
    }

    Snapshot reference;
    {
        TempTree tree;
        BuildInstallation(tree);
        const RunResult run = tree.Run(kArgs);
        ASSERT_EQ(run.status, 0);
        ASSERT_EQ(Arguments(tree.WaitForClient()), kArgs);
        ASSERT_FALSE(tree.Exists("poker.jex"));
        reference = tree.Snapshot();
    }
    ASSERT_EQ(reference.at("data.bin"), "data 2.0");  // the installation was really updated
    ASSERT_EQ(reference.count("_tmp_fresh.txt"), 0u);

    // The calls of an uninterrupted run, traced in a tree of its own.
    std::string trace;
    {
        TempTree tree;
        BuildInstallation(tree);
        const std::string traceFile = tree.Root().string() + ".strace";
        const RunResult run =
            tree.Run(kArgs, Strace({"-o", traceFile, "-e", "trace=%file,%desc,%process"}));
        std::ifstream in(traceFile);
        std::ostringstream text;
        text << in.rdbuf();
        trace = text.str();
        fs::remove(traceFile);
        ASSERT_EQ(run.status, 0) << run.err;
        ASSERT_NE(tree.WaitForClient(), "");
        ASSERT_EQ(tree.Snapshot(), reference) << "tracing alone changed the outcome";
    }

    // Killing before each change in turn leaves every state the tree passes through, from
    // untouched to everything done but the launch.
    const std::vector<KillPoint> points = KillPoints(trace);
    std::set<std::string> calls;
    for (const KillPoint& point : points) {
        calls.insert(point.call);
    }
    for (const auto& group :
         std::vector<std::set<std::string>>{{"unlink", "unlinkat"},
                                            {"rmdir", "unlinkat"},
                                            {"rename", "renameat", "renameat2"},
                                            {"clone", "clone3", "fork", "vfork"},
                                            {"syncfs"},
                                            {"fsync"},
                                            {"flock"},
                                            {"stat", "lstat", "newfstatat", "statx"}}) {
        bool found = false;
        for (const std::string& call : group) {
            found = found || calls.count(call) > 0;
        }
        EXPECT_TRUE(found) << "no kill point among " << ::testing::PrintToString(group)
                           << " in the trace:\n"
                           << trace;
    }

    int converged = 0;
    for (const KillPoint& point : points) {
        const std::string problems = KillAndRerun(point, reference);
        if (problems.empty()) {
            ++converged;
        } else {
            ADD_FAILURE() << "killed at " << Describe(point) << ":\n" << problems;
        }
    }
    std::cout << "crash points: " << points.size() << ", converged: " << converged << std::endl;
    RecordProperty("crash_points", static_cast<int>(points.size()));
    RecordProperty("converged", converged);
    EXPECT_EQ(converged, static_cast<int>(points.size()));
}

}  // namespace
