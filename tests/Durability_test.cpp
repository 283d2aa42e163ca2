// What a power cut may find: every staged file's contents reach the disk before its target is
// removed, and each directory's new names before the client starts. Read off the system calls
// of a real run (strace -y names each descriptor's file).
#include <fstream>
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

// Calls of a trace made with -y, with relative paths made absolute under root.
std::vector<Call> ParseTrace(const std::string& trace, const std::string& root) {
    std::vector<Call> calls;
    for (const std::string& line : Lines(trace)) {
        const auto paren = line.find('(');
        if (paren == std::string::npos || line[0] == '+' || line[0] == '-') {
            continue;
        }
        Call call{line.substr(0, paren), {}};
        // Arguments up to the result: "./x" strings and "3</abs/x>" descriptors.
        const std::string args = line.substr(paren, line.rfind(" = ") - paren);
        for (std::size_t pos = 0; pos < args.size(); ++pos) {
            if (args.compare(pos, 3, "\"./") == 0) {
                const auto end = args.find('"', pos + 1);
                call.paths.push_back(root + args.substr(pos + 2, end - pos - 2));
                pos = end;
            } else if (args[pos] == '<' && pos + 1 < args.size() && args[pos + 1] == '/') {
                const auto end = args.find('>', pos);
                call.paths.push_back(args.substr(pos + 1, end - pos - 1));
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

TEST(Durability, StagedContentsAndNewNamesReachTheDiskBeforeTheyAreReliedOn) {
    if (!StraceWorks()) {
        GTEST_SKIP() << "strace cannot trace here";
    }
    TempTree tree;
    tree.InstallClient();
    tree.Write("a", "old a");
    tree.Write("_tmp_a", "new a");
    tree.MakeDir("d");  // an empty directory as a target
    tree.Write("_tmp_d", "new d");
    tree.Write("sub/_tmp_b", "new b, no target before");
    tree.Write("sub/deeper/c", "old c");
    tree.Write("sub/deeper/_tmp_c", "new c");
    tree.Write("_tmp_handover.exe", "self copy");
    tree.Write("plain", "not staged");
    tree.Write("quiet/plain", "a directory without staged files");
    tree.Write("rt/lib/rt-0.jar", "runtime");

    const std::string traceFile = tree.Root().string() + ".strace";
    const RunResult run =
        tree.Run({}, Strace({"-o", traceFile, "-y", "-e",
                             "trace=openat,fdatasync,fsync,sync_file_range,unlink,unlinkat,rmdir,"
                             "rename,renameat,renameat2,clone,clone3,vfork,fork"}));
    std::ifstream in(traceFile);
    std::stringstream text;
    text << in.rdbuf();
    fs::remove(traceFile);
    ASSERT_EQ(run.status, 0);
    ASSERT_NE(tree.WaitForClient(), "");
    const std::string root = fs::canonical(tree.Root()).string();
    const std::vector<Call> calls = ParseTrace(text.str(), root);

    // staged file -> its target
    const std::map<std::string, std::string> staged = {
        {"/_tmp_a", "/a"},
        {"/_tmp_d", "/d"},
        {"/sub/_tmp_b", "/sub/b"},
        {"/sub/deeper/_tmp_c", "/sub/deeper/c"},
    };
    std::set<std::string> flushed, hinted;
    for (const Call& call : calls) {
        if (call.name == "fdatasync") {
            flushed.insert(call.paths.at(0).substr(root.size()));
        } else if (call.name == "sync_file_range") {
            hinted.insert(call.paths.at(0).substr(root.size()));
        }
    }
    std::set<std::string> expected;
    for (const auto& [source, target] : staged) {
        expected.insert(source);
    }
    EXPECT_EQ(flushed, expected) << "only staged files are flushed, each of them\n" << text.str();
    EXPECT_EQ(hinted, expected);

    const int spawn = [&] {
        for (int k = 0; k < static_cast<int>(calls.size()); ++k) {
            if (kSpawn.count(calls[k].name) > 0) {
                return k;
            }
        }
        return -1;
    }();
    ASSERT_GE(spawn, 0) << text.str();
    for (const auto& [source, target] : staged) {
        SCOPED_TRACE(source);
        const int flush = First(calls, {"fdatasync"}, root + source);
        const int rename = First(calls, kRename, root + source);
        ASSERT_GE(rename, 0);
        EXPECT_LT(flush, rename);
        const int removal = First(calls, kRemove, root + target);
        if (removal >= 0) {
            EXPECT_LT(flush, removal) << "the target went before the new contents were safe";
        }
        // Its directory is flushed after this rename and before the client starts.
        const std::string dir = fs::path(root + source).parent_path().string();
        const int dirFlush = First(calls, {"fsync"}, dir, 0, rename);
        EXPECT_GT(dirFlush, rename) << dir;
        EXPECT_LT(dirFlush, spawn) << dir;
    }
    const int rotation = First(calls, kRename, root + "/rt/lib/rt-0.jar");
    ASSERT_GE(rotation, 0);
    const int archiveFlush = First(calls, {"fsync"}, root + "/rt/lib", 0, rotation);
    EXPECT_GT(archiveFlush, rotation);
    EXPECT_LT(archiveFlush, spawn);
    // Directories without renames are left as they are.
    for (const char* dir : {"/quiet", "/rt"}) {
        EXPECT_EQ(First(calls, {"fsync"}, root + dir), -1) << dir;
    }
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
