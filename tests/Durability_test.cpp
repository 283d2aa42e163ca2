// What a power cut may find: every staged file's contents reach the disk before its target is
// removed, and each directory's new names before the client starts. Read off the system calls
// of a real run (strace -y names each descriptor's file).
#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/filesystem/operations.hpp>

#include "tests/TempTree.h"

namespace fs = boost::filesystem;

namespace {

struct Call {
    std::string name;
    std::vector<std::string> paths;  // absolute: descriptors as strace -y names them
};

// Calls of a trace made with -y, each path absolute: a descriptor as strace -y names it, a name
// after a directory's descriptor (unlinkat, renameat, openat) joined to that directory, and a
// relative path made absolute under root.
std::vector<Call> ParseTrace(const std::string& trace, const std::string& root) {
    std::vector<Call> calls;
    for (const std::string& line : Lines(trace)) {
        const auto paren = line.find('(');
        if (paren == std::string::npos || line[0] == '+' || line[0] == '-') {
            continue;
        }
        Call call{line.substr(0, paren), {}};
        const std::string args = line.substr(paren, line.rfind(" = ") - paren);
        std::string directory;  // the descriptor just read, for a name that follows it
        for (std::size_t pos = 0; pos < args.size(); ++pos) {
            if (args[pos] == '<' && pos + 1 < args.size() && args[pos + 1] == '/') {
                const auto end = args.find('>', pos);
                directory = args.substr(pos + 1, end - pos - 1);
                pos = end;
                // A descriptor alone (fsync, syncfs) names its own file.
                if (args.compare(pos + 1, 3, ", \"") != 0) {
                    call.paths.push_back(directory);
                    directory.clear();
                }
            } else if (args[pos] == '"') {
                const auto end = args.find('"', pos + 1);
                std::string name = args.substr(pos + 1, end - pos - 1);
                if (name.compare(0, 2, "./") == 0) {
                    name = name.substr(2);
                }
                call.paths.push_back(name[0] == '/'       ? name
                                     : !directory.empty() ? directory + "/" + name
                                                          : root + "/" + name);
                directory.clear();
                pos = end;
            }
        }
        calls.push_back(call);
    }
    return calls;
}

// Index of the first call named one of names whose path i is path; -1 if none.
int First(const std::vector<Call>& calls, const std::set<std::string>& names,
          const std::string& path, std::size_t i = 0, int from = 0) {
    for (int k = from; k < static_cast<int>(calls.size()); ++k) {
        if (names.count(calls[k].name) > 0 && calls[k].paths.size() > i &&
            calls[k].paths[i] == path) {
            return k;
        }
    }
    return -1;
}

const std::set<std::string> kRemove = {"unlink", "unlinkat", "rmdir"};
const std::set<std::string> kRename = {"rename", "renameat", "renameat2"};
const std::set<std::string> kSpawn = {"clone", "clone3", "vfork", "fork"};

// An update of four staged files in three directories, a self-copy, a directory without staged
// files and a runtime archive.
void BuildUpdate(const TempTree& tree) {
    tree.InstallClient();
    tree.Write("a", "old a");
    tree.Write("_tmp_a", "new a");
    tree.MakeDir("d");  // an empty directory as a target
    tree.Write("sub/_tmp_d", "new d");
    tree.Write("sub/_tmp_b", "new b, no target before");
    tree.Write("sub/deeper/c", "old c");
    tree.Write("sub/deeper/_tmp_c", "new c");
    tree.Write("_tmp_handover.exe", "self copy");
    tree.Write("plain", "not staged");
    tree.Write("quiet/plain", "a directory without staged files");
    tree.Write("rt/lib/rt-0.jar", "runtime");
}

// staged file -> its target
const std::map<std::string, std::string> kUpdate = {
    {"/_tmp_a", "/a"},
    {"/sub/_tmp_d", "/sub/d"},
    {"/sub/_tmp_b", "/sub/b"},
    {"/sub/deeper/_tmp_c", "/sub/deeper/c"},
};

const std::set<std::string> kFlushes = {"fdatasync", "fsync", "syncfs"};

struct Trace {
    std::string root;  // the tree's absolute path
    std::vector<Call> calls;
    std::string text;
    int spawn = -1;  // the client's start

    // Paths below the root that the calls of these names were made on, in the order made.
    std::vector<std::string> On(const std::set<std::string>& names) const {
        std::vector<std::string> paths;
        for (const Call& call : calls) {
            if (names.count(call.name) > 0 && !call.paths.empty()) {
                paths.push_back(call.paths[0].substr(root.size()));
            }
        }
        return paths;
    }
    int Count(const std::set<std::string>& names) const {
        return static_cast<int>(std::count_if(calls.begin(), calls.end(), [&names](const Call& c) {
            return names.count(c.name) > 0;
        }));
    }
};

// Runs handover in the tree under strace -y, after the command in front (empty, or a
// personality), and reads the calls that order what reaches the disk.
Trace TraceRun(const TempTree& tree, const std::vector<std::string>& inFront = {}) {
    const std::string traceFile = tree.Root().string() + ".strace";
    std::vector<std::string> options = {
        "-o", traceFile, "-y", "-e",
        "trace=openat,fdatasync,fsync,syncfs,sync_file_range,unlink,unlinkat,rmdir,rename,"
        "renameat,renameat2,clone,clone3,vfork,fork"};
    options.insert(options.end(), inFront.begin(), inFront.end());
    const RunResult run = tree.Run({}, Strace(options));
    std::ifstream in(traceFile);
    std::stringstream text;
    text << in.rdbuf();
    fs::remove(traceFile);
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(tree.WaitForClient(), "") << ::testing::PrintToString(tree.ReportLogs());
    Trace trace;
    trace.root = fs::canonical(tree.Root()).string();
    trace.text = text.str();
    trace.calls = ParseTrace(trace.text, trace.root);
    for (int k = 0; k < static_cast<int>(trace.calls.size()); ++k) {
        if (kSpawn.count(trace.calls[k].name) > 0) {
            trace.spawn = k;
            break;
        }
    }
    return trace;
}

// The runtime archive's new name reaches the disk before the client starts.
void ExpectRotationFlushed(const Trace& trace) {
    const int rotation = First(trace.calls, kRename, trace.root + "/rt/lib/rt-0.jar");
    ASSERT_GE(rotation, 0);
    const int archiveFlush = First(trace.calls, {"fsync"}, trace.root + "/rt/lib", 0, rotation);
    EXPECT_GT(archiveFlush, rotation);
    EXPECT_LT(archiveFlush, trace.spawn);
}

// Every staged file is written out as soon as it is found, its file system flushed once before
// the first target goes, and once more, for the new names, after the last rename: a fixed
// number of device flushes, however many files the update holds.
TEST(Durability, StagedContentsAndNewNamesReachTheDiskBeforeTheyAreReliedOn) {
    if (!StraceWorks()) {
        GTEST_SKIP() << "strace cannot trace here";
    }
    TempTree tree;
    BuildUpdate(tree);
    const Trace trace = TraceRun(tree);
    ASSERT_GE(trace.spawn, 0) << trace.text;

    std::set<std::string> staged;
    for (const auto& [source, target] : kUpdate) {
        staged.insert(source);
    }
    const auto hinted = trace.On({"sync_file_range"});
    EXPECT_EQ(std::set<std::string>(hinted.begin(), hinted.end()), staged)
        << "only staged files are written out, each of them\n"
        << trace.text;
    // Two flushes of the file system, one of the archive's directory.
    EXPECT_EQ(trace.Count(kFlushes), 3) << trace.text;
    EXPECT_EQ(trace.Count({"syncfs"}), 2) << trace.text;

    int firstRemoval = static_cast<int>(trace.calls.size()), lastRename = -1;
    for (const auto& [source, target] : kUpdate) {
        const int rename = First(trace.calls, kRename, trace.root + source);
        ASSERT_GE(rename, 0) << source;
        lastRename = std::max(lastRename, rename);
        firstRemoval = std::min(firstRemoval, rename);
        const int removal = First(trace.calls, kRemove, trace.root + target);
        if (removal >= 0) {
            firstRemoval = std::min(firstRemoval, removal);
        }
    }
    int dataFlush = -1, namesFlush = -1;
    for (int k = 0; k < static_cast<int>(trace.calls.size()); ++k) {
        if (trace.calls[k].name == "syncfs") {
            (dataFlush < 0 ? dataFlush : namesFlush) = k;
        }
    }
    EXPECT_LT(dataFlush, firstRemoval) << "a target went before the new contents were safe";
    for (const std::string& file : hinted) {
        EXPECT_LT(First(trace.calls, {"sync_file_range"}, trace.root + file), dataFlush) << file;
    }
    EXPECT_GT(namesFlush, lastRename);
    EXPECT_LT(namesFlush, trace.spawn);
    ExpectRotationFlushed(trace);
}

// The same update where the kernel is older than Linux 5.8, whose syncfs does not report a
// failure to write a file out: each staged file is flushed on its own before its target goes,
// and each directory with new names after its renames.
TEST(Durability, EachStagedFileIsFlushedOnItsOwnWhereAWholeFlushCannotBeTrusted) {
    if (!StraceWorks()) {
        GTEST_SKIP() << "strace cannot trace here";
    }
    TempTree tree;
    BuildUpdate(tree);
    const Trace trace = TraceRun(tree, {"setarch", "x86_64", "--uname-2.6"});
    ASSERT_GE(trace.spawn, 0) << trace.text;
    EXPECT_EQ(trace.Count({"syncfs"}), 0);
    std::set<std::string> expected;
    for (const auto& [source, target] : kUpdate) {
        expected.insert(source);
    }
    const auto flushed = trace.On({"fdatasync"});
    EXPECT_EQ(std::set<std::string>(flushed.begin(), flushed.end()), expected)
        << "only staged files are flushed, each of them\n"
        << trace.text;
    for (const auto& [source, target] : kUpdate) {
        SCOPED_TRACE(source);
        const int flush = First(trace.calls, {"fdatasync"}, trace.root + source);
        const int rename = First(trace.calls, kRename, trace.root + source);
        ASSERT_GE(rename, 0);
        EXPECT_LT(flush, rename);
        const int removal = First(trace.calls, kRemove, trace.root + target);
        if (removal >= 0) {
            EXPECT_LT(flush, removal) << "the target went before the new contents were safe";
        }
        // Its directory is flushed after this rename and before the client starts.
        const std::string dir = fs::path(trace.root + source).parent_path().string();
        const int dirFlush = First(trace.calls, {"fsync"}, dir, 0, rename);
        EXPECT_GT(dirFlush, rename) << dir;
        EXPECT_LT(dirFlush, trace.spawn) << dir;
    }
    ExpectRotationFlushed(trace);
    // Directories without renames are left as they are.
    for (const char* dir : {"/quiet", "/rt"}) {
        EXPECT_EQ(First(trace.calls, {"fsync"}, trace.root + dir), -1) << dir;
    }
}

// The first of the candidates that, once made, the tree's top folder lists before all of others:
// for shapes whose trouble shows only in one order of the listing. Empty when none is.
std::string ListedBefore(const TempTree& tree, const std::set<std::string>& others,
                         const std::vector<std::string>& candidates,
                         const std::function<void(const std::string&)>& make) {
    for (const std::string& name : candidates) {
        make(name);
        for (fs::directory_iterator it(tree.Root()), end; it != end; ++it) {
            const std::string listed = it->path().filename().string();
            if (listed == name) {
                return name;
            }
            if (others.count(listed) > 0) {
                break;
            }
        }
        fs::remove(tree / name);
    }
    return "";
}

// An install that changes where a path leads: bin is reached first as ./a, through plugins/y,
// and installing plugins/_tmp_y then makes ./a a file. bin's new name must reach the disk all the
// same, before the client starts: each directory with a rename is flushed, or its file system.
TEST(Durability, NewNamesReachTheDiskWhereverTheWayToTheirFolderLeadsNow) {
    if (!StraceWorks()) {
        GTEST_SKIP() << "strace cannot trace here";
    }
    for (const bool oldKernel : {false, true}) {
        SCOPED_TRACE(oldKernel ? "each directory on its own" : "file systems flushed whole");
        TempTree tree;
        tree.InstallClient();
        tree.Write("bin/f", "old");
        tree.Write("bin/_tmp_f", "new");
        tree.Write("plugins/_tmp_y", "new y");
        tree.Link("plugins/y", "../bin");
        const std::string a =
            ListedBefore(tree, {"bin", "plugins"},
                         {"a", "b", "c", "d", "e", "g", "h", "i", "j", "k", "l", "m", "n", "o"},
                         [&tree](const std::string& name) { tree.Link(name, "plugins/y"); });
        ASSERT_NE(a, "") << "no name is listed before bin and plugins here";
        const Trace trace =
            TraceRun(tree, oldKernel ? std::vector<std::string>{"setarch", "x86_64", "--uname-2.6"}
                                     : std::vector<std::string>{});
        ASSERT_GE(trace.spawn, 0) << trace.text;
        EXPECT_EQ(tree.Read("bin/f"), "new");
        EXPECT_EQ(tree.Read("plugins/y"), "new y");
        int syncfs = -1;
        for (int k = 0; k < trace.spawn; ++k) {
            syncfs = trace.calls[k].name == "syncfs" ? k : syncfs;
        }
        for (const char* dir : {"/bin", "/plugins"}) {
            const int rename = First(trace.calls, kRename,
                                     trace.root + dir + "/_tmp_" + (dir[1] == 'b' ? "f" : "y"));
            ASSERT_GE(rename, 0) << dir << "\n" << trace.text;
            const int flush = First(trace.calls, {"fsync"}, trace.root + dir, 0, rename);
            EXPECT_TRUE((flush > rename && flush < trace.spawn) || syncfs > rename)
                << dir << " was not flushed after its rename\n"
                << trace.text;
        }
    }
}

// Where a flush of the whole file system is not known to reach the disk (ramfs here, as for FUSE,
// NFS, SMB and any file system not known), each staged file is flushed on its own before its
// target goes, and each directory with new names after its renames, however many files the
// update holds; tmpfs is known, and flushed whole twice. Each in a mount namespace of its own.
TEST(Durability, FileSystemsAreFlushedWholeOnlyWhereThatIsKnownToReachTheDisk) {
    if (!StraceWorks() || std::system("unshare -m true >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "needs strace and mount namespaces (unshare -m)";
    }
    for (const std::string type : {"ramfs", "tmpfs"}) {
        SCOPED_TRACE(type);
        TempTree tree;
        const fs::path out = tree.Root().string() + ".out";
        fs::create_directories(out);
        fs::copy_file(CLIENT_PROBE_BIN, out / "client.exe");
        const std::string script =
            "set -e; out=\"$1\"; shift; mount -t " + type +
            " none \"$PWD\"; cd \"$PWD\"; mkdir sub; printf old > a; printf new > _tmp_a; "
            "printf b > sub/_tmp_b; printf c > sub/_tmp_c; cp \"$out/client.exe\" client.exe; "
            // LeakSanitizer cannot run under ptrace.
            "export ASAN_OPTIONS=\"${ASAN_OPTIONS:-}:detect_leaks=0\"; strace -o \"$out/trace\" -y "
            "-e trace=openat,fdatasync,fsync,syncfs,unlinkat,"
            "renameat,clone,clone3,vfork \"$@\"; cat a sub/b sub/c > \"$out/contents\"; "
            "test ! -e poker.jex";
        const RunResult run =
            tree.Run({}, {"unshare", "-m", "sh", "-c", script, "sh", out.string()});
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(ReadFile((out / "contents").string()), "newbc");
        Trace trace;
        trace.root = fs::canonical(tree.Root()).string();
        trace.text = ReadFile((out / "trace").string());
        trace.calls = ParseTrace(trace.text, trace.root);
        for (int k = 0; k < static_cast<int>(trace.calls.size()); ++k) {
            if (kSpawn.count(trace.calls[k].name) > 0 && trace.spawn < 0) {
                trace.spawn = k;
            }
        }
        ASSERT_GE(trace.spawn, 0) << trace.text;
        if (type == "tmpfs") {
            EXPECT_EQ(trace.Count({"syncfs"}), 2) << trace.text;
            EXPECT_EQ(trace.Count({"fdatasync"}), 0) << trace.text;
        } else {
            EXPECT_EQ(trace.Count({"syncfs"}), 0) << trace.text;
            for (const char* staged : {"/_tmp_a", "/sub/_tmp_b", "/sub/_tmp_c"}) {
                const int flush = First(trace.calls, {"fdatasync"}, trace.root + staged);
                const int rename = First(trace.calls, kRename, trace.root + staged);
                EXPECT_GE(flush, 0) << staged << "\n" << trace.text;
                EXPECT_LT(flush, rename) << staged;
                const std::string dir = fs::path(trace.root + staged).parent_path().string();
                const int dirFlush = First(trace.calls, {"fsync"}, dir, 0, rename);
                EXPECT_GT(dirFlush, rename) << dir;
                EXPECT_LT(dirFlush, trace.spawn) << dir;
            }
        }
        fs::remove_all(out);
    }
}

// A single staged file costs one flush of its own and one of its directory: nothing else on the
// file system is written out for it.
TEST(Durability, ASingleStagedFileIsFlushedOnItsOwn) {
    if (!StraceWorks()) {
        GTEST_SKIP() << "strace cannot trace here";
    }
    TempTree tree;
    tree.InstallClient();
    tree.Write("lib/cards.dat", "1.0");
    tree.Write("lib/_tmp_cards.dat", "2.0");
    const Trace trace = TraceRun(tree);
    EXPECT_EQ(trace.On(kFlushes), (std::vector<std::string>{"/lib/_tmp_cards.dat", "/lib"}))
        << trace.text;
    EXPECT_EQ(tree.Read("lib/cards.dat"), "2.0");
}

// The staged files' file system cannot be flushed: no target is removed, and the report names a
// staged file on it.
TEST(Durability, StagedFilesThatCannotBeFlushedTogetherKeepEveryTarget) {
    if (!StraceWorks()) {
        GTEST_SKIP() << "strace cannot trace here";
    }
    TempTree tree;
    BuildUpdate(tree);
    const auto before = tree.Snapshot();
    const RunResult run = tree.Run(
        {}, Strace({"-o", "/dev/null", "-e", "trace=syncfs", "-e", "inject=syncfs:error=EIO"}));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out + run.err, "");
    EXPECT_FALSE(tree.ClientStarted());
    EXPECT_EQ(tree.Snapshot(), before);
    const auto logs = tree.ReportLogs();
    ASSERT_EQ(logs.size(), 1u);
    const auto lines = Lines(logs[0]);
    ASSERT_GE(lines.size(), 4u);
    // The only staged file of the top directory is the first one the walk meets.
    EXPECT_EQ(std::vector<std::string>(lines.end() - 4, lines.end()),
              (std::vector<std::string>{
                  "About to install _tmp_ files",
                  "ERROR: staged files on the file system of: \"./_tmp_a\" could not be flushed "
                  "to disk: Input/output error",
                  "ERROR: unknown exception", "EXIT: handover"}))
        << logs[0];
}

TEST(Durability, StagedFileThatCannotBeFlushedKeepsItsTarget) {
    if (!StraceWorks()) {
        GTEST_SKIP() << "strace cannot trace here";
    }
    TempTree tree;
    tree.InstallClient();
    tree.Write("a", "old a");
    tree.Write("_tmp_a", "new a");
    const RunResult run = tree.Run({}, Strace({"-o", "/dev/null", "--quiet=all", "-P", "./_tmp_a",
                                               "-e", "inject=fdatasync:error=EIO"}));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out + run.err, "");
    EXPECT_EQ(tree.Read("a"), "old a");
    EXPECT_EQ(tree.Read("_tmp_a"), "new a");
    EXPECT_FALSE(tree.ClientStarted());
    const auto logs = tree.ReportLogs();
    ASSERT_EQ(logs.size(), 1u);
    const auto lines = Lines(logs[0]);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(lines.end() - 3, lines.end()),
              (std::vector<std::string>{
                  "ERROR: file: \"./_tmp_a\" could not be flushed to disk: Input/output error",
                  "ERROR: unknown exception", "EXIT: handover"}));
}

}  // namespace
