// Single faults at the system-call boundary. Whatever fails, handover must exit 0 and print
// nothing, keep every staged file's content (under its target or its staged name), start the
// client only after a clean run, and append exactly one record to the report when a step failed.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/filesystem/operations.hpp>

#include "tests/TempTree.h"

namespace fs = boost::filesystem;

namespace {

// Staged name -> (target name, new content).
const std::map<std::string, std::pair<std::string, std::string>> kStaged = {
    {"_tmp_a", {"a", "new a"}},
    {"sub/_tmp_b", {"sub/b", "new b"}},
    {"sub/deeper/_tmp_c", {"sub/deeper/c", "new c"}},
    {"_tmp_d", {"d", "new d"}},
};

void Populate(const TempTree& tree, bool withClient) {
    if (withClient) {
        tree.InstallClient();
    }
    for (const auto& [staged, target] : kStaged) {
        tree.Write(staged, target.second);
    }
    tree.Write("a", "old a");
    tree.Write("sub/deeper/c", "old c");
    tree.MakeDir("d");  // an empty directory as a target
    tree.Write("_tmp_handover.exe", "self copy");
    tree.Write("rt/lib/rt-0.jar", "runtime");
    tree.Link("shortcut", "a");
}

bool ToolWorks(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

struct Outcome {
    bool fails;                        // a step fails: report, no client
    std::vector<std::string> logTail;  // the lines before "ERROR: unknown exception"
    bool reportLost = false;           // the report itself cannot be written
    bool untouched = false;            // every staged file and every target as it was
};

// The promise every run keeps, failed or not.
void CheckPromise(const TempTree& tree, const RunResult& run, const Outcome& expected) {
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "");
    for (const auto& [staged, target] : kStaged) {
        const bool installed = tree.Exists(target.first) &&
                               !fs::is_directory(tree / target.first) &&
                               tree.Read(target.first) == target.second;
        const bool waiting = tree.Exists(staged) && tree.Read(staged) == target.second;
        EXPECT_TRUE(installed != waiting) << staged << " lost or doubled";
    }
    if (expected.untouched) {
        EXPECT_EQ(tree.Read("a"), "old a");
        EXPECT_EQ(tree.Read("sub/deeper/c"), "old c");
        EXPECT_TRUE(fs::is_directory(tree / "d"));
        for (const auto& [staged, target] : kStaged) {
            EXPECT_EQ(tree.Read(staged), target.second) << staged;
        }
    }
    EXPECT_EQ(tree.ClientStarted(), !expected.fails);
    if (!expected.fails || expected.reportLost) {
        EXPECT_EQ(tree.ReportBytes(), "");
        return;
    }
    const auto logs = tree.ReportLogs();
    ASSERT_EQ(logs.size(), 1u);
    const auto lines = Lines(logs[0]);
    std::vector<std::string> tail = expected.logTail;
    tail.push_back("ERROR: unknown exception");
    tail.push_back("EXIT: handover");
    ASSERT_GE(lines.size(), tail.size());
    EXPECT_EQ(std::vector<std::string>(lines.end() - tail.size(), lines.end()), tail);
}

struct InjectedFault {
    const char* name;
    std::vector<std::string> strace;  // what follows "strace -o /dev/null"
    Outcome outcome;
    bool withClient = true;
};

const std::string kWaiting = "Waiting for session file: \"./session.dat\" to be deleted";
const std::string kDeleteA = "About to attempt delete of file: \"./a\"";
const std::string kRenameA = "Renaming file: \"./_tmp_a\" to: \"./a\"";
const std::string kLaunch = "About to launch client exe with command: ./client.exe";

// strace's options, then the run under a personality whose kernel says it is Linux 2.6.
std::vector<std::string> OldKernel(std::vector<std::string> options) {
    options.insert(options.end(), {"setarch", "x86_64", "--uname-2.6"});
    return options;
}

// Acts on the entries of a directory go through the directory's descriptor by name
// (unlinkat(4, "a", 0), renameat(4, "_tmp_a", 4, "a")), so a fault is aimed with "-P" and the
// entry's bare name, which strace matches against each path argument as written; the tree's
// names are told apart by their last element. What goes by path from the working directory (the
// session file, the runtime archive's status, the report) is aimed by that path.
std::vector<InjectedFault> Faults() {
    auto inject = [](const std::string& path, const std::string& what) {
        std::vector<std::string> args;
        if (!path.empty()) {
            args = {"-P", path};
        }
        args.insert(args.end(), {"-e", "inject=" + what});
        return args;
    };
    const std::string kRemoveA = "ERROR: remove: \"./a\": ";
    return {
        // The status of the session file.
        {"session_status_EIO",
         inject("./session.dat", "newfstatat:error=EIO"),
         {true, {kWaiting, "ERROR: status: \"./session.dat\": Input/output error"}}},
        {"session_status_EACCES",
         inject("./session.dat", "newfstatat:error=EACCES"),
         {true, {kWaiting, "ERROR: status: \"./session.dat\": Permission denied"}}},
        // Opening and reading directories.
        {"open_root_EACCES",
         inject("./", "openat:error=EACCES:when=2"),
         {true,
          {"About to install _tmp_ files", "ERROR: open directory: \"./\": Permission denied"}}},
        {"open_subdirectory_EIO",
         inject("sub", "openat:error=EIO"),
         {true,
          {"About to install _tmp_ files in subdirectory: \"./sub\"",
           "ERROR: open directory: \"./sub\": Input/output error"}}},
        {"read_root_EIO",
         {"-e", "trace=getdents64", "-e", "inject=getdents64:error=EIO"},
         {true,
          {"About to install _tmp_ files", "ERROR: read directory: \"./\": Input/output error"}}},
        // A fault that passes while the tree is first listed: the second listing installs all.
        {"read_root_EIO_once",
         {"-e", "trace=getdents64", "-e", "inject=getdents64:error=EIO:when=1"},
         {false, {}}},
        // A link whose target cannot be examined (a folder on its way that may not be searched,
        // say) is left out, as a broken one is.
        {"status_link_EACCES", inject("shortcut", "newfstatat:error=EACCES:when=1"), {false, {}}},
        {"status_link_ELOOP", inject("shortcut", "newfstatat:error=ELOOP:when=1"), {false, {}}},
        // Removing a target: a fault that passes is retried, one that stays fails the run and says
        // why.
        {"lstat_target_EIO_once", inject("a", "newfstatat:error=EIO:when=1"), {false, {}}},
        {"remove_target_EBUSY_once", inject("a", "unlinkat:error=EBUSY:when=1"), {false, {}}},
        {"remove_target_EACCES_twice", inject("a", "unlinkat:error=EACCES:when=1..2"), {false, {}}},
        {"remove_directory_target_EBUSY_once",
         inject("d", "unlinkat:error=EBUSY:when=1"),
         {false, {}}},
        {"remove_target_EPERM_always",
         inject("a", "unlinkat:error=EPERM"),
         {true,
          {"WARNING: unable to delete file: \"./a\" (retrying)",
           kRemoveA + "Operation not permitted", "ERROR: file: \"./a\" could not be deleted"}}},
        {"status_target_EIO",
         inject("a", "newfstatat:error=EIO:when=2"),
         {true, {kDeleteA, "ERROR: status: \"./a\": Input/output error"}}},
        // A target that only looks gone is replaced by the rename all the same.
        {"status_target_ENOENT",
         {"-P", "a", "-e", "inject=unlinkat:error=EPERM", "-e",
          "inject=newfstatat:error=ENOENT:when=2"},
         {false, {}}},
        // Renaming a staged file onto its target.
        {"rename_staged_EACCES",
         inject("_tmp_a", "renameat:error=EACCES"),
         {true,
          {kRenameA, "ERROR: rename: \"./_tmp_a\" to: \"./a\": Permission denied",
           "ERROR: rename failed"}}},
        {"rename_staged_ENOSPC_later",
         inject("_tmp_c", "renameat:error=ENOSPC"),
         {true,
          {"Renaming file: \"./sub/deeper/_tmp_c\" to: \"./sub/deeper/c\"",
           "ERROR: rename: \"./sub/deeper/_tmp_c\" to: \"./sub/deeper/c\": No space left on "
           "device",
           "ERROR: rename failed"}}},
        // Flushing the staged files before the first target goes, all at once: an error that may
        // have lost data keeps every target (Durability_test shows the report), one that says
        // there is nothing to flush does not matter. A staged file that cannot be opened for it
        // is flushed on its own.
        {"syncfs_staged_EIO",
         {"-e", "trace=syncfs", "-e", "inject=syncfs:error=EIO:when=1"},
         {true, {}, false, true}},
        {"syncfs_staged_EINVAL",
         {"-e", "trace=syncfs", "-e", "inject=syncfs:error=EINVAL:when=1"},
         {false, {}}},
        {"syncfs_staged_EROFS",
         {"-e", "trace=syncfs", "-e", "inject=syncfs:error=EROFS:when=1"},
         {false, {}}},
        {"open_staged_EACCES",
         inject("_tmp_a", "openat:error=EACCES"),
         {true, {"ERROR: file: \"./_tmp_a\" could not be flushed to disk: Permission denied"}}},
        {"sync_file_range_EIO",
         {"-e", "trace=sync_file_range", "-e", "inject=sync_file_range:error=EIO"},
         {false, {}}},
        // Each staged file flushed on its own before its target goes, where a flush of the whole
        // file system cannot be trusted to report a failure (Linux before 5.8).
        {"old_kernel_fdatasync_staged_EIO",
         OldKernel(inject("_tmp_a", "fdatasync:error=EIO")),
         {true, {"ERROR: file: \"./_tmp_a\" could not be flushed to disk: Input/output error"}}},
        {"old_kernel_fdatasync_staged_EINVAL",
         OldKernel(inject("_tmp_a", "fdatasync:error=EINVAL")),
         {false, {}}},
        {"old_kernel_fdatasync_staged_EROFS",
         OldKernel(inject("_tmp_a", "fdatasync:error=EROFS")),
         {false, {}}},
        {"old_kernel_fdatasync_staged_EOPNOTSUPP",
         OldKernel(inject("_tmp_a", "fdatasync:error=EOPNOTSUPP")),
         {false, {}}},
        // The renames are in place: new names that cannot be flushed only warn.
        {"syncfs_names_EIO",
         {"-e", "trace=syncfs", "-e", "inject=syncfs:error=EIO:when=2"},
         {false, {}}},
        {"fsync_directory_EIO", {"-e", "trace=fsync", "-e", "inject=fsync:error=EIO"}, {false, {}}},
        {"old_kernel_fsync_directory_EIO",
         OldKernel({"-e", "trace=fsync", "-e", "inject=fsync:error=EIO"}),
         {false, {}}},
        // A tree that cannot be locked is updated all the same.
        {"flock_ENOLCK", {"-e", "trace=flock", "-e", "inject=flock:error=ENOLCK"}, {false, {}}},
        {"flock_EINVAL", {"-e", "trace=flock", "-e", "inject=flock:error=EINVAL"}, {false, {}}},
        {"flock_EOPNOTSUPP",
         {"-e", "trace=flock", "-e", "inject=flock:error=EOPNOTSUPP"},
         {false, {}}},
        {"open_tree_for_lock_EACCES", inject("./", "openat:error=EACCES:when=1"), {false, {}}},
        // The staged self-copy only warns.
        {"remove_self_copy_EPERM",
         inject("_tmp_handover.exe", "unlinkat:error=EPERM"),
         {false, {}}},
        // The runtime archive.
        {"rename_archive_EBUSY",
         inject("rt-0.jar", "renameat:error=EBUSY"),
         {true,
          {"About to rename old RT",
           "ERROR: rename: \"./rt/lib/rt-0.jar\" to: \"./rt/lib/rt-0.jar.old\": Device or "
           "resource busy"}}},
        {"status_archive_EIO",
         inject("./rt/lib/rt-0.jar", "newfstatat:error=EIO"),
         {true,
          {"About to rename old RT", "ERROR: status: \"./rt/lib/rt-0.jar\": Input/output error"}}},
        {"status_archive_ENOENT_skips_rotation",
         inject("./rt/lib/rt-0.jar", "newfstatat:error=ENOENT"),
         {false, {}}},
        // Creating the client process, and the client's own start.
        {"spawn_EAGAIN",
         {"-e", "trace=clone3,clone,vfork", "-e", "inject=clone3,clone,vfork:error=EAGAIN"},
         {true, {kLaunch, "ERROR: unable to launch client exe"}}},
        {"exec_client_EACCES",
         {"-f", "-P", "./client.exe", "-e", "inject=execve:error=EACCES"},
         {true, {kLaunch, "ERROR: unable to launch client exe"}}},
        // The report: lost, but never a partial or a stray file.
        {"open_report_EACCES", inject("poker.jex", "openat:error=EACCES"), {true, {}, true}, false},
        {"write_report_ENOSPC",
         {"-e", "trace=write,writev", "-e", "inject=write,writev:error=ENOSPC"},
         {true, {}, true},
         false},
    };
}

void PrintTo(const InjectedFault& fault, std::ostream* out) {
    *out << fault.name;
}

class InjectedFaults : public ::testing::TestWithParam<InjectedFault> {};

TEST_P(InjectedFaults, KeepThePromise) {
    if (!StraceWorks()) {
        GTEST_SKIP() << "strace cannot trace here (missing, or ptrace not permitted)";
    }
    const InjectedFault& fault = GetParam();
    TempTree tree;
    Populate(tree, fault.withClient);
    // The trace shows the fault was made: aimed at a call the program no longer makes, a row
    // would pass without testing anything.
    const std::string traceFile = tree.Root().string() + ".strace";
    std::vector<std::string> options = {"-o", traceFile, "--quiet=all"};
    options.insert(options.end(), fault.strace.begin(), fault.strace.end());
    const RunResult run = tree.Run({}, Strace(options));
    EXPECT_NE(ReadFile(traceFile).find("(INJECTED)"), std::string::npos)
        << "the fault was never injected";
    fs::remove(traceFile);
    CheckPromise(tree, run, fault.outcome);
}

INSTANTIATE_TEST_SUITE_P(Syscalls, InjectedFaults, ::testing::ValuesIn(Faults()),
                         [](const auto& info) { return std::string(info.param.name); });

// The warning that the tree could not be locked reaches the report of a run that fails later.
TEST(LockFaults, UnlockableTreeIsUpdatedAndSaysSo) {
    if (!StraceWorks()) {
        GTEST_SKIP() << "strace cannot trace here";
    }
    TempTree tree;  // no client: the run fails at its very end
    tree.Write("_tmp_a", "new");
    const RunResult run = tree.Run(
        {}, Strace({"-o", "/dev/null", "-e", "trace=flock", "-e", "inject=flock:error=ENOLCK"}));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(tree.Read("a"), "new");
    const auto logs = tree.ReportLogs();
    ASSERT_EQ(logs.size(), 1u);
    const auto lines = Lines(logs[0]);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[1],
              "WARNING: unable to lock the installation directory (going on unlocked): No locks "
              "available");
    EXPECT_EQ(lines[2], "Awaiting client exit");
}

// An earlier record stays byte for byte when the next one cannot be written whole.
TEST(ReportFaults, FailedAppendKeepsEarlierRecords) {
    if (!StraceWorks()) {
        GTEST_SKIP() << "strace cannot trace here";
    }
    TempTree tree;  // no client: every run fails
    ASSERT_EQ(tree.Run().status, 0);
    const std::string first = tree.ReportBytes();
    ASSERT_FALSE(first.empty());
    tree.Run({}, Strace({"-o", "/dev/null", "-e", "trace=write,writev", "-e",
                         "inject=write,writev:error=ENOSPC"}));
    EXPECT_EQ(tree.ReportBytes(), first);
}

// A disk that fills up in the middle of the record: the partial record is taken back.
TEST(ReportFaults, FullFileSystemLeavesNoPartialRecord) {
    if (!ToolWorks("unshare -m true")) {
        GTEST_SKIP() << "mount namespaces are not allowed here (unshare -m)";
    }
    TempTree tree;
    const fs::path results = tree.Root().string() + ".results";
    fs::create_directories(results);
    // 4088 bytes of earlier records leave 8 bytes in the file's last page; the file system
    // has no other page free.
    const std::string earlier(4088, 'e');
    {
        TempTree seed;
        seed.Write("poker.jex", earlier);
        fs::copy_file(seed / "poker.jex", results / "before");
    }
    const std::string script =
        "set -e; out=\"$1\"; shift; mount -t tmpfs -o size=16k tmpfs \"$PWD\"; cd \"$PWD\"; "
        "cp \"$out/before\" poker.jex; dd if=/dev/zero of=filler bs=4k count=8 2>/dev/null || "
        "true; "
        "\"$@\" && cp poker.jex \"$out/after\"";
    const RunResult run =
        tree.Run({}, {"unshare", "-m", "sh", "-c", script, "sh", results.string()});
    EXPECT_EQ(run.status, 0) << run.err;
    std::ifstream after((results / "after").string(), std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(after)),
                            std::istreambuf_iterator<char>());
    EXPECT_EQ(bytes, earlier);
    fs::remove_all(results);
}

// A read-only installation: nothing can be replaced, and the report cannot be written either.
TEST(RealFaults, ReadOnlyTreeFailsWithoutChangingAnything) {
    if (!ToolWorks("unshare -m true")) {
        GTEST_SKIP() << "mount namespaces are not allowed here (unshare -m)";
    }
    TempTree tree;
    Populate(tree, true);
    const auto before = tree.Snapshot();
    const std::string script =
        "set -e; mount --bind \"$PWD\" \"$PWD\"; mount -o remount,ro,bind \"$PWD\"; cd \"$PWD\"; "
        "exec \"$@\"";
    const RunResult run = tree.Run({}, {"unshare", "-m", "sh", "-c", script, "sh"});
    CheckPromise(tree, run, {true, {}, true});
    EXPECT_EQ(tree.Snapshot(), before);
}

class AsNobody : public ::testing::Test {
  protected:
    void SetUp() override {
        if (getuid() != 0 ||
            !ToolWorks("setpriv --reuid=nobody --regid=nogroup --clear-groups true")) {
            GTEST_SKIP() << "needs root and setpriv to run as an unprivileged user";
        }
        // The user must reach the tree through the scratch folders that hold it.
        for (fs::path dir = tree.Root(); dir != tree.Scratch().parent_path();
             dir = dir.parent_path()) {
            fs::permissions(dir, fs::perms::all_all);
        }
    }
    RunResult Run() {
        return tree.Run({}, {"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"});
    }
    TempTree tree;
};

TEST_F(AsNobody, UnreadableDirectoryFailsTheRun) {
    Populate(tree, true);
    for (const char* dir : {"sub", "sub/deeper", "rt", "rt/lib"}) {
        fs::permissions(tree / dir, fs::perms::all_all);
    }
    fs::permissions(tree / "d", fs::perms::all_all);
    fs::permissions(tree / "sub", fs::perms::no_perms);
    CheckPromise(tree, Run(),
                 {true,
                  {"About to install _tmp_ files in subdirectory: \"./sub\"",
                   "ERROR: open directory: \"./sub\": Permission denied"}});
    fs::permissions(tree / "sub", fs::perms::all_all);
}

TEST_F(AsNobody, TargetInAForeignDirectoryCannotBeReplaced) {
    tree.InstallClient();
    tree.Write("locked/x", "old x");
    tree.Write("_tmp_y", "new y");
    fs::permissions(tree / "locked",
                    fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exe);
    // The staged file is the user's own, its target is not.
    tree.Write("locked/_tmp_x", "new x");
    const RunResult run = Run();
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out + run.err, "");
    EXPECT_FALSE(tree.ClientStarted());
    EXPECT_EQ(tree.Read("locked/x"), "old x");
    EXPECT_EQ(tree.Read("locked/_tmp_x"), "new x");
    const auto logs = tree.ReportLogs();
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_NE(logs[0].find("ERROR: file: \"./locked/x\" could not be deleted\nERROR: unknown "
                           "exception\nEXIT: handover\n"),
              std::string::npos);
}

}  // namespace
