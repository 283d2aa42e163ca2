// Installation trees of odd but possible shapes: links up the tree and out of it, staged links to
// their own targets, names that are only the prefix, entries that the run's own installs change
// before their turn. Whatever the shape, a run stays inside its tree (but for links to folders
// that do not hold it), destroys no file, ends quickly, and fails nothing.
#include <algorithm>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/filesystem/operations.hpp>

#include "tests/TempTree.h"

namespace fs = boost::filesystem;

namespace {

using Log = std::vector<std::string>;

struct Shape {
    const char* name;
    // Builds the shape in the tree; false where this platform's file system cannot hold it.
    std::function<bool(const TempTree&)> make;
    // What must hold after the run. log is the run log, empty when the run wrote no report.
    std::function<void(const TempTree&, const Log& log)> check;
    // Entries outside the tree, relative to the scratch folder, that the run may change.
    std::set<std::string> outsideMayChange = {};
};

bool Has(const Log& log, const std::string& line) {
    return std::find(log.begin(), log.end(), line) != log.end();
}

std::string Q(const std::string& path) {
    return Quoted(Native(path));
}

// Lines of a run log that only the run without a client can show.
#define EXPECT_LOGGED(log, line)               \
    if (!(log).empty()) {                      \
        EXPECT_TRUE(Has(log, line)) << (line); \
    }

std::vector<Shape> Shapes() {
    return {
        {"links up to the folders that hold the tree are not entered",
         [](const TempTree& tree) {
             tree.Write("../_tmp_beside", "beside the tree");
             tree.Write("../sibling/_tmp_s", "in a folder beside the tree");
             tree.Write("../../_tmp_top", "at the top");
             tree.Write("sub/_tmp_x", "x");
             tree.Link("sub/up", "../..");
             tree.Link("sub/top", "../../..");
             tree.Link("parent", "..");
             return true;
         },
         [](const TempTree& tree, const Log& log) {
             EXPECT_EQ(tree.Read("sub/x"), "x");
             for (const char* link : {"./sub/up", "./sub/top", "./parent"}) {
                 EXPECT_LOGGED(log, "WARNING: not entering directory loop: " + Q(link));
             }
         }},
        {"links to folders elsewhere are followed",
         [](const TempTree& tree) {
             tree.Write("../../ext/_tmp_e", "e");
             tree.Link("ext", "../../ext");
             tree.Write("../sibling/_tmp_s", "s");
             tree.Link("sibling", "../sibling");
             return true;
         },
         [](const TempTree& tree, const Log& log) {
             EXPECT_EQ(tree.Read("../../ext/e"), "e");
             EXPECT_EQ(tree.Read("../sibling/s"), "s");
             EXPECT_LOGGED(log, "About to install _tmp_ files in subdirectory: " + Q("./ext"));
         },
         {"ext/_tmp_e", "ext/e", "home/sibling/_tmp_s", "home/sibling/s"}},
        {"a staged link to its own target is deleted, and the target kept",
         [](const TempTree& tree) {
             if (!tree.NativeLinks()) {
                 return false;
             }
             tree.Write("a", "old a");
             tree.Link("_tmp_a", "a");
             // Two links to one file: the same file too.
             tree.Write("c", "c");
             tree.Link("b", "c");
             tree.Link("_tmp_b", "c");
             return true;
         },
         [](const TempTree& tree, const Log& log) {
             EXPECT_EQ(tree.Read("a"), "old a");
             EXPECT_EQ(tree.Read("b"), "c");
             EXPECT_EQ(tree.Read("c"), "c");
             EXPECT_FALSE(tree.Exists("_tmp_a"));
             EXPECT_FALSE(tree.Exists("_tmp_b"));
             for (const char* name : {"a", "b"}) {
                 EXPECT_LOGGED(log, "WARNING: file: " + Q(std::string("./_tmp_") + name) +
                                        " is a link to its own target: " +
                                        Quoted(NativeTarget(std::string("./") + name)) +
                                        " (deleting the link)");
             }
         }},
        {"a target that is a link to its own staged file is replaced",
         [](const TempTree& tree) {
             if (!tree.NativeLinks()) {
                 return false;
             }
             tree.Write("_tmp_t", "new t");
             tree.Link("t", "_tmp_t");
             return true;
         },
         [](const TempTree& tree, const Log& log) {
             EXPECT_EQ(tree.Read("t"), "new t");
             EXPECT_FALSE(tree.Exists("_tmp_t"));
             EXPECT_LOGGED(log, "File renamed (OK)");
         }},
        {"a target whose own way passes through its staged link is replaced",
         [](const TempTree& tree) {
             if (!tree.NativeLinks()) {
                 return false;
             }
             // Removing a breaks nothing: the staged link still leads to the new file.
             tree.Write("a-2.0.dat", "new a");
             tree.Link("_tmp_a", "a-2.0.dat");
             tree.Link("a", "_tmp_a");
             return true;
         },
         [](const TempTree& tree, const Log& log) {
             EXPECT_EQ(tree.Read("a"), "new a");
             EXPECT_FALSE(tree.Exists("_tmp_a"));
             EXPECT_EQ(fs::read_symlink(tree / "a").string(), "a-2.0.dat");
             EXPECT_LOGGED(log, "File renamed (OK)");
         }},
        {"an install that turns the way to a folder walked before into a file",
         [](const TempTree& tree) {
             // bin may be reached as ./a, through plugins/y, which _tmp_y then replaces.
             if (!tree.NativeLinks()) {
                 return false;
             }
             tree.Write("bin/f", "old");
             tree.Write("bin/_tmp_f", "new");
             tree.Write("plugins/_tmp_y", "new y");
             tree.Link("plugins/y", "../bin");
             tree.Link("a", "plugins/y");
             return true;
         },
         [](const TempTree& tree, const Log&) {
             EXPECT_EQ(tree.Read("bin/f"), "new");
             EXPECT_FALSE(tree.Exists("bin/_tmp_f"));
             EXPECT_EQ(tree.Read("plugins/y"), "new y");
         }},
        {"a folder whose way in its own install replaces is installed to the end",
         [](const TempTree& tree) {
             // bin may be reached as ./p/x, through bin/b, which _tmp_b replaces first.
             if (!tree.NativeLinks()) {
                 return false;
             }
             tree.Link("bin/b", ".");
             tree.Write("bin/_tmp_b", "b");
             tree.Write("bin/_tmp_g", "g");
             tree.Write("bin/sub/_tmp_s", "s");
             tree.Link("p/x", "../bin/b");
             return true;
         },
         [](const TempTree& tree, const Log&) {
             EXPECT_EQ(tree.Read("bin/b"), "b");
             EXPECT_EQ(tree.Read("bin/g"), "g");
             EXPECT_EQ(tree.Read("bin/sub/s"), "s");
             EXPECT_FALSE(tree.Exists("bin/_tmp_g"));
             EXPECT_FALSE(tree.Exists("bin/sub/_tmp_s"));
         }},
        {"an empty directory target on the way the walk came in",
         [](const TempTree& tree) {
             // The only way to ext/sub is x, through ext/sub/t, which _tmp_t replaces.
             tree.MakeDir("../../ext/sub/t");
             tree.Write("../../ext/sub/_tmp_t", "t");
             tree.Link("x", "../../ext/sub/t/..");
             return true;
         },
         [](const TempTree& tree, const Log& log) {
             EXPECT_EQ(tree.Read("../../ext/sub/t"), "t");
             EXPECT_FALSE(tree.Exists("../../ext/sub/_tmp_t"));
             EXPECT_LOGGED(log, "Renaming file: " + Q("./x/_tmp_t") + " to: " + Q("./x/t"));
         },
         {"ext/sub/t", "ext/sub/_tmp_t"}},
        {"names that are only the prefix are left alone",
         [](const TempTree& tree) {
             tree.Write("data/_tmp_", "data");
             tree.Write("_TMP_", "top");
             if (kPosixNames) {  // and so names that end in a dot
                 tree.Write("_tmp_.", "dot");
                 tree.Write("data/_Tmp_..", "dot dot");
             }
             return true;
         },
         [](const TempTree& tree, const Log& log) {
             EXPECT_EQ(tree.Read("data/_tmp_"), "data");
             EXPECT_EQ(tree.Read("_TMP_"), "top");
             EXPECT_LOGGED(log,
                           "WARNING: file: " + Q("./data/_tmp_") + " names no target (ignoring)");
             EXPECT_LOGGED(log, "WARNING: file: " + Q("./_TMP_") + " names no target (ignoring)");
             if (kPosixNames) {
                 EXPECT_EQ(tree.Read("_tmp_."), "dot");
                 EXPECT_EQ(tree.Read("data/_Tmp_.."), "dot dot");
                 EXPECT_LOGGED(log, "WARNING: file: \"./_tmp_.\" names no target (ignoring)");
             }
         }},
        {"links that cannot be followed are left out",
         [](const TempTree& tree) {
             if (!tree.NativeLinks()) {
                 return false;
             }
             // A name longer than any file system allows.
             tree.Link("_tmp_long", std::string(300, 'n'));
             tree.Link("long-dir", std::string(300, 'n') + "/d");
             tree.Write("_tmp_after", "after");
             return true;
         },
         [](const TempTree& tree, const Log&) {
             EXPECT_TRUE(tree.Exists("_tmp_long"));
             EXPECT_EQ(tree.Read("after"), "after");
         }},
        {"a staged link to a staged file that is installed first",
         [](const TempTree& tree) {
             if (!tree.NativeLinks()) {
                 return false;
             }
             tree.Write("_tmp_z", "z");
             tree.Link("_tmp_y", "_tmp_z");
             return true;
         },
         [](const TempTree& tree, const Log& log) {
             // Whichever the listing gives first: the staged file goes in, and a link that no
             // longer leads to a file is left alone.
             EXPECT_EQ(tree.Read("z"), "z");
             for (const std::string& line : log) {
                 EXPECT_EQ(line.find("could not be flushed"), std::string::npos) << line;
             }
         }},
        {"an empty directory replaced by a link that a later install breaks",
         [](const TempTree& tree) {
             if (!tree.NativeLinks()) {
                 return false;
             }
             tree.MakeDir("y");
             tree.Write("_tmp_w", "w");
             tree.Link("_tmp_y", "_tmp_w");
             return true;
         },
         [](const TempTree& tree, const Log&) { EXPECT_EQ(tree.Read("w"), "w"); }},
        {"a folder reached by two links is walked once",
         [](const TempTree& tree) {
             tree.Write("../../outside/o/_tmp__tmp_x", "x");
             tree.Link("ext", "../../outside");
             tree.Link("ext2", "../../outside/o");
             return true;
         },
         [](const TempTree& tree, const Log& log) {
             // One step per run: "_tmp__tmp_x" becomes "_tmp_x", not "x".
             EXPECT_EQ(tree.Read("../../outside/o/_tmp_x"), "x");
             EXPECT_FALSE(tree.Exists("../../outside/o/x"));
             if (!log.empty()) {
                 EXPECT_NE(Has(log, "WARNING: not entering directory twice: " + Q("./ext/o")),
                           Has(log, "WARNING: not entering directory twice: " + Q("./ext2")));
             }
         },
         {"outside/o/_tmp__tmp_x", "outside/o/_tmp_x"}},
        {"two staged names for one target: the last one handled wins",
         [](const TempTree& tree) {
             if (!kPosixNames) {
                 return false;
             }
             tree.Write("x", "old");
             tree.Write("_tmp_x", "one");
             tree.Write("_TMP_x", "two");
             return true;
         },
         [](const TempTree& tree, const Log&) {
             const std::string x = tree.Read("x");
             EXPECT_TRUE(x == "one" || x == "two") << x;
             EXPECT_FALSE(tree.Exists("_tmp_x"));
             EXPECT_FALSE(tree.Exists("_TMP_x"));
         }},
        {"a target that is the link the walk came through",
         [](const TempTree& tree) {
             // ../../ext is reached as ./a, through ext/b, which _tmp_b replaces.
             if (!tree.NativeLinks()) {
                 return false;
             }
             tree.MakeDir("../../ext");
             tree.Link("../../ext/b", ".");
             tree.Write("../../ext/_tmp_b", "b");
             tree.Link("a", "../../ext/b");
             return true;
         },
         [](const TempTree& tree, const Log& log) {
             EXPECT_EQ(tree.Read("../../ext/b"), "b");
             EXPECT_FALSE(tree.Exists("../../ext/_tmp_b"));
             EXPECT_LOGGED(log, "Renaming file: " + Q("./a/_tmp_b") + " to: " + Q("./a/b"));
         },
         {"ext/b", "ext/_tmp_b"}},
        {"names that Windows reads as devices",
         [](const TempTree& tree) {
             tree.Write("_tmp_nul", "n");
             tree.Write("sub/_TMP_Com1.log", "c");
             return true;
         },
         [](const TempTree& tree, const Log& log) {
             if (kPosixNames) {
                 // Names like any other.
                 EXPECT_EQ(tree.Read("nul"), "n");
                 EXPECT_EQ(tree.Read("sub/Com1.log"), "c");
                 return;
             }
             EXPECT_EQ(tree.Read("_tmp_nul"), "n");
             EXPECT_EQ(tree.Read("sub/_TMP_Com1.log"), "c");
             EXPECT_LOGGED(log,
                           "WARNING: file: " + Q("./_tmp_nul") + " names no target (ignoring)");
             EXPECT_LOGGED(
                 log, "WARNING: file: " + Q("./sub/_TMP_Com1.log") + " names no target (ignoring)");
         }},
        {"a session.dat link that cannot be followed counts as gone",
         [](const TempTree& tree) {
             if (!tree.NativeLinks()) {
                 return false;
             }
             tree.Link("session.dat", "session.dat");
             return true;
         },
         [](const TempTree& tree, const Log&) { EXPECT_TRUE(tree.Exists("session.dat")); }},
        {"a dangling link named session.dat counts as gone",
         [](const TempTree& tree) {
             if (!tree.NativeLinks()) {
                 return false;
             }
             tree.Link("session.dat", "gone");
             return true;
         },
         [](const TempTree& tree, const Log&) { EXPECT_TRUE(tree.Exists("session.dat")); }},
    };
}

// Each shape twice: with the client, which a clean run starts without a report; and without it,
// which fails the run only at the launch, so that the report shows the whole run log.
TEST(HostileTrees, AreHandledWithoutLossOrFailure) {
    for (const Shape& shape : Shapes()) {
        SCOPED_TRACE(shape.name);
        for (const bool withClient : {true, false}) {
            if (!withClient && UnderChecker()) {
                continue;  // a client that fails to start is not seen under a checker
            }
            TempTree tree;
            if (!shape.make(tree)) {
                break;
            }
            if (withClient) {
                tree.InstallClient();
            }
            auto outsideBefore = tree.SnapshotOutside();
            const Stopwatch clock;
            const RunResult run = tree.Run();
            // No removal had to wait, nor any pause to run on.
            EXPECT_LT(clock.Seconds(), 4.0);
            ExpectQuietSuccess(run);
            Log log;
            if (withClient) {
                EXPECT_NE(tree.WaitForClient(), "") << ::testing::PrintToString(tree.ReportLogs());
                EXPECT_EQ(tree.ReportBytes(), "");
            } else {
                const auto logs = tree.ReportLogs();
                ASSERT_EQ(logs.size(), 1u);
                log = Lines(logs[0]);
                ASSERT_GE(log.size(), 4u);
                EXPECT_EQ(Log(log.end() - 4, log.end()),
                          (Log{"About to launch client exe with command: ./client.exe",
                               "ERROR: unable to launch client exe", "ERROR: unknown exception",
                               "EXIT: handover"}))
                    << logs[0];
            }
            shape.check(tree, log);
            auto outsideAfter = tree.SnapshotOutside();
            for (const std::string& path : shape.outsideMayChange) {
                outsideBefore.erase(path);
                outsideAfter.erase(path);
            }
            EXPECT_EQ(outsideAfter, outsideBefore) << "changed outside the tree";
        }
    }
}

}  // namespace
