// Random installation trees: many small seeded trees, each updated three times through the real
// handover, and what must hold whatever the tree looks like.
//
// Layout, inside one scratch folder S: S/home/app is the installation tree (the run's working
// directory), S/home and S hold it, S/home/sibling is a folder beside it and S/ext one elsewhere.
// Every folder gets regular files with unique contents, staged names in every letter case and
// form, links (to files, to directories, to themselves, dangling, up the tree, to the folders
// that hold it, to the folders outside), FIFOs and empty directories. No link leads above S.
// Each tree leans towards one family of shapes besides (tree i towards family i mod 8), and any
// tree may hold any of them:
//  - links through staged links: a target that leads to its file through its own staged link
//    (`a -> _tmp_a -> a-2.0.dat`), a staged link to its own target (`_tmp_a -> a`), a target and
//    a staged link that reach one file by separate ways (`b -> c`, `_tmp_b -> c`);
//  - targets that are links, to files and to directories, with a way in through them
//    (`plugins/y -> ../bin`, `plugins/_tmp_y`, `a -> plugins/y`, staged files in bin);
//  - empty directories on the way in: an empty directory as a target, and a link whose text
//    passes through it (`sub/t`, `sub/_tmp_t`, `x -> sub/t/..`);
//  - a folder so deep that its absolute path passes PATH_MAX while every path from S stays
//    within it, holding a link to itself as a target (`b -> .`, `_tmp_b`) and reached through
//    that link (`x -> .../b`);
//  - the runtime archive and rt-0.jar.old in every shape: files, empty and full directories,
//    links to files and directories inside and outside the tree, links that lead nowhere;
//  - session files: links that lead nowhere or round a loop (gone), and before a later update a
//    FIFO, a directory, a file or a link to one (present);
//  - a kernel reported as older than 5.8 (`setarch --uname-2.6`): each staged file and each
//    directory is then flushed on its own.
//
// The updates, as a client makes them over its life: the first runs handover twice (the second
// run finds what the first left); before each of the two others the client drops in staged files
// with new contents, a fresh runtime archive and now and then a session file, and handover runs
// once. Runs are numbered 1 to 4. After each run, for every tree:
//  1. The run ends within kKillSeconds with status 0 and prints nothing; it either starts the
//     client or appends one record to the report, never both; a report record decrypts under
//     support's key as whole records. A failed run may lose its record only when poker.jex is
//     not a regular file (a FIFO, a directory, a link). Nothing is ever written through a
//     poker.jex that cannot hold a report.
//  2. Nothing changes outside S/home/app except directly inside a folder that the walk may
//     reach: from the tree, following links to directories, never into a folder that holds the
//     tree (S, S/home) and never round a loop. Reached folders are computed before the run.
//  3. No regular file's bytes are lost, except a target's old bytes when a staged entry that
//     was handled now holds its name (or a name further down its chain: `_tmp__tmp_x` may have
//     gone on to `x`), and this staged entry is not a link to those very bytes; except a
//     self-copy, which is deleted; and except whatever stood at rt/lib/rt-0.jar.old (a whole
//     directory of files included) once a runtime archive is there to take its place.
//  4. After a clean run, no staged entry that resolves to a regular file is left in a reachable
//     folder, except: names that are only the prefix (`_tmp_`, `_tmp_.`, `_tmp_..`); the next
//     step of a chain (`_tmp__tmp_x` now `_tmp_x`); and entries that were not regular files when
//     the run began (a staged link to a file that the run itself put in place).
//  5. A directory's listing is taken once: after a clean run, a `_tmp__tmp_x` whose next name
//     `_tmp_x` was not handled after it is still there as `_tmp_x`. Run 2 changes only what run
//     1 left for it: a staged entry still in a reachable folder, the names down its chain, the
//     runtime archive's two names and what is below them, and the report.
//  6. A run fails only where the system refuses: a target that cannot be deleted, which is still
//     a non-empty directory after the run, or a session file that is there (a file, a FIFO, a
//     directory or a link to one). Any line of the run log may say so; the failure's class is
//     its first "ERROR: " line other than "ERROR: unknown exception".
//  7. Where strace can trace, what a power cut may find: every directory in which the run renamed
//     an entry is flushed after its last rename there (fsync or fdatasync of it, or a syncfs of
//     its file system: all of S is one) before the client's execve, unless it is gone by then;
//     every staged file's contents are flushed (the same calls, on the file a staged link leads
//     to), and not written since, before its target is removed for it or it is renamed. The
//     calls are followed on a model of S, by the paths they name and the descriptors strace -y
//     shows (or that earlier calls opened), so that `unlink("./a/f")`, `unlinkat(3</S/dir>, "f")`
//     and `renameat(3</S/dir>, "_tmp_f", 3</S/dir>, "f")` all land in the right folder.
//  8. After a clean run, each staged entry handled once, whose own way and whose target's way
//     pass nothing else the run moves, is where it belongs: a staged link whose target reaches
//     the same file by another way is deleted and the target kept; otherwise (a target that
//     leads to the file through the staged link itself included) the target's name holds the
//     staged entry, and the staged name is gone.
//  9. After a clean run with a runtime archive (rt-0.jar, or a staged file going there), nothing
//     that can be followed is left at rt-0.jar and rt-0.jar.old holds the archive; a link at
//     rt-0.jar.old is removed, the directory it led to stays. Without an archive rt-0.jar.old
//     stays as it is.
// 10. A run that finds a session file there fails, after about 5 s, with the session error, and
//     changes nothing but the report.
//
// A tree that breaks an invariant is shrunk: later updates are left out, then entries or whole
// subtrees are removed while the same violation stays, and the smallest plan is printed as a
// shell reproducer, the steps between the runs included. Some outcomes depend on the order in
// which a directory lists its names (ext4 orders them by a hash of the name), so a reproducer may
// need the same kind of file system to show the fault.
//
// HANDOVER_RANDOM_TREES=N runs N trees (default 40, seed 4); HANDOVER_RANDOM_SEED=S sets the seed
// (with TREES and no seed, one from the clock, printed); HANDOVER_RANDOM_SECONDS=T starts no new
// tree after T seconds; HANDOVER_RANDOM_JOBS=J runs J trees at a time (4);
// HANDOVER_RANDOM_SHRINK_SECONDS bounds the shrinking of each class of violation (120);
// HANDOVER_RANDOM_WITHOUT leaves shapes out (see LeftOut).
#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tests/TempTree.h"

namespace fs = std::filesystem;

namespace {

// A run waits at most about 5 s (a target that stays); one that goes on far longer hangs.
constexpr int kKillSeconds = 20;
// A session file that stays is checked for about 5 s before the run gives up.
constexpr double kSessionSeconds = 4.5;
const std::string kTree = "home/app";
const std::string kLib = kTree + "/rt/lib";
const std::string kArchive = kLib + "/rt-0.jar";
const std::string kOldArchive = kLib + "/rt-0.jar.old";
const std::string kSession = kTree + "/session.dat";
const std::string kSessionError =
    "ERROR: The client process did not remove the session file. Client process is assumedly "
    "still running";

// The deep folder: 40 names of 100 bytes and one of 28, 4068 bytes. Below the tree or ext its
// absolute path passes PATH_MAX wherever the scratch folder's own path is longer than 18 bytes,
// while its path from S, with a name of up to 17 bytes in it, stays within PATH_MAX.
const std::string kDeepName(100, 'd');
const std::string kDeepLast(28, 'e');

std::string DeepPart() {
    std::string part;
    for (int i = 0; i < 40; ++i) {
        part += kDeepName + "/";
    }
    return part + kDeepLast;
}

const std::string kDeep = DeepPart();

bool IsDeep(const std::string& path) {
    return path.find(kDeepName) != std::string::npos;
}

// Text for people: the deep folder's names as the reproducer's shell variables D and E.
std::string Shown(std::string text) {
    const std::pair<std::string, std::string> names[] = {{kDeepName, "${D}"}, {kDeepLast, "${E}"}};
    for (const auto& [longName, variable] : names) {
        for (std::size_t at; (at = text.find(longName)) != std::string::npos;) {
            text.replace(at, longName.size(), variable);
        }
    }
    return text;
}

bool StartsWith(const std::string& text, const std::string& start) {
    return text.compare(0, start.size(), start) == 0;
}

bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// ---- Paths relative to S, and names as handover reads them.

std::string Parent(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "" : path.substr(0, slash);
}

std::string Name(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Join(const std::string& dir, const std::string& name) {
    return dir.empty() ? name : dir + "/" + name;
}

bool InTree(const std::string& path) {
    return path.compare(0, kTree.size() + 1, kTree + "/") == 0;
}

// Whether path is dir or below it.
bool IsUnder(const std::string& path, const std::string& dir) {
    return path == dir || path.compare(0, dir.size() + 1, dir + "/") == 0;
}

bool IsStaged(const std::string& name) {
    return strncasecmp(name.c_str(), "_tmp_", 5) == 0;
}

bool IsSelfCopy(const std::string& name) {
    return strcasecmp(name.c_str(), "_tmp_handover.exe") == 0;
}

// The name a staged name is installed onto; empty when it is installed nowhere: not staged, the
// self-copy (deleted), or only the prefix (left alone).
std::string TargetOf(const std::string& name) {
    if (!IsStaged(name) || IsSelfCopy(name)) {
        return "";
    }
    const std::string rest = name.substr(5);
    return rest == "." || rest == ".." ? "" : rest;
}

bool IsBare(const std::string& name) {
    return IsStaged(name) && !IsSelfCopy(name) && TargetOf(name).empty();
}

bool Contains(const std::vector<std::string>& names, const std::string& name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

// The names an entry in dir moves through when it is installed, one run after another; the
// runtime archive goes on to rt-0.jar.old.
std::vector<std::string> Chain(const std::string& dir, const std::string& name) {
    std::vector<std::string> chain;
    for (std::string next = TargetOf(name); !next.empty(); next = TargetOf(next)) {
        chain.push_back(next);
    }
    if (dir == kLib && (name == "rt-0.jar" || Contains(chain, "rt-0.jar"))) {
        chain.push_back("rt-0.jar.old");
    }
    return chain;
}

// The path from folder `from` to `to`, both relative to S.
std::string RelativeLink(const std::string& from, const std::string& to) {
    const fs::path relative =
        fs::path(to.empty() ? "." : to).lexically_relative(fs::path(from.empty() ? "." : from));
    return relative.empty() ? "." : relative.generic_string();
}

// Where an entry below a directory archive is once the archive has moved to rt-0.jar.old; any
// other path as it is.
std::string Rotation(const std::string& path) {
    return IsUnder(path, kArchive) ? kOldArchive + path.substr(kArchive.size()) : path;
}

// ---- The plan: a tree, and what the client drops in before each later update.

enum class Kind { kDir, kFile, kLink, kFifo, kRemove };

struct Entry {
    std::string path;  // relative to S, below a kDir entry, S, S/home or S/home/app
    Kind kind;
    // A file's contents, a link's target; "-p" for a folder made with any folders above it.
    std::string data;
};

using Tree = std::vector<Entry>;  // parents before their children

struct Plan {
    Tree tree;
    // What the client drops in before each later update; an entry there replaces whatever
    // stands at its path.
    std::vector<Tree> updates;
    bool oldKernel = false;  // every run under a kernel reported as older than 5.8
};

// Runs 1 and 2 make the first update; run 3 + i follows updates[i].
int Runs(const Plan& plan) {
    return 2 + static_cast<int>(plan.updates.size());
}

// Shapes the generator can leave out (HANDOVER_RANDOM_WITHOUT, comma-separated), to look past
// a fault that is known: "bare" (names that are only the prefix), "up" (links to the folders
// that hold the tree), "long" (links that cannot be examined), "fifo-report" (poker.jex as a
// FIFO or a link to one), a family ("through", "walked", "empty-way", "deep", "archive",
// "session", "old-kernel"), "updates" (the two later updates) and "strace" (invariant 7).
bool LeftOut(const std::string& feature) {
    const char* value = std::getenv("HANDOVER_RANDOM_WITHOUT");
    const std::string list = "," + std::string(value != nullptr ? value : "") + ",";
    return list.find("," + feature + ",") != std::string::npos;
}

enum Family {
    kPlain,
    kThrough,
    kWalked,
    kEmptyWay,
    kDeepFolder,
    kArchives,
    kSessions,
    kOldKernel,
    kFamilies
};
const char* const kFamilyNames[kFamilies] = {"plain", "through", "walked",  "empty-way",
                                             "deep",  "archive", "session", "old-kernel"};

class Generator {
  public:
    // focus: the family this tree leans towards.
    Generator(std::uint64_t seed, int focus) : rng_(seed), focus_(focus) {}

    Plan Make() {
        Plan plan;
        initial_ = &plan.tree;
        Into(plan.tree, initialTaken_, true);
        for (const char* name : {"a", "_tmp_a", "_TMP_b", "b"}) {
            if (Percent(35)) {
                File(name);
            }
            if (Percent(35)) {
                File(Join("home", name));
            }
        }
        Dir("ext");
        Fill("ext", 2, 4);
        Dir("home/sibling");
        Fill("home/sibling", 2, 4);
        // Where the walk's own way in matters, the first folder with new names decides how the
        // names are flushed: a tree that leans that way has fewer others.
        Fill(kTree, 0, focus_ == kWalked ? 1 : 6);
        Specials();
        if (Wanted(kThrough, 12)) {
            for (int i = 1 + Below(2); i > 0; --i) {
                Through();
            }
        }
        // A kernel before 5.8 flushes each directory through the walk's own path.
        if (Wanted(kWalked, 12) || focus_ == kOldKernel) {
            const bool leaning = focus_ == kWalked || focus_ == kOldKernel;
            for (int i = leaning ? 1 + (Percent(30) ? 1 : 0) : 1 + Below(2); i > 0; --i) {
                Walked(leaning && i == 1);
            }
        }
        if (Wanted(kEmptyWay, 10)) {
            EmptyWay();
        }
        if (Wanted(kDeepFolder, 4)) {
            Deep();
        }
        // Links from outside back into the tree, up to the folders that hold it, sideways.
        for (int i = Below(3); i > 0; --i) {
            std::vector<std::string> outside;
            for (const std::string& dir : dirs_) {
                if (!InTree(dir) && dir != kTree) {
                    outside.push_back(dir);
                }
            }
            const std::string dir = Pick(outside);
            const std::string to = Pick(dirs_);
            if (LeftOut("up") && (to.empty() || to == "home")) {
                continue;
            }
            Link(Join(dir, Pick<std::string>({"back", "up", "_tmp_back", "a"})),
                 RelativeLink(dir, to));
        }
        plan.oldKernel = Wanted(kOldKernel, 20);
        if (!LeftOut("updates")) {
            // Files of the tree, of which the client stages new versions.
            std::vector<std::string> files;
            for (const Entry& entry : plan.tree) {
                if (entry.kind == Kind::kFile && InTree(entry.path) &&
                    !IsStaged(Name(entry.path)) && !IsUnder(entry.path, kTree + "/rt") &&
                    !IsDeep(entry.path) && !EndsWith(entry.path, ".jex")) {
                    files.push_back(entry.path);
                }
            }
            const std::vector<std::string> treeDirs = TreeDirs();
            for (int update = 0; update < 2; ++update) {
                plan.updates.emplace_back();
                std::set<std::string> taken;
                Into(plan.updates.back(), taken, false);
                Update(update, files, treeDirs);
            }
        }
        return plan;
    }

  private:
    std::uint64_t Below(std::uint64_t n) { return rng_() % n; }
    bool Percent(int p) { return Below(100) < static_cast<std::uint64_t>(p); }
    template <class T>
    T Pick(const std::vector<T>& from) {
        return from[Below(from.size())];
    }
    // Whether this tree gets a family's shapes: the one it leans towards, others now and then.
    bool Wanted(int family, int percent) {
        return (focus_ == family || Percent(percent)) && !LeftOut(kFamilyNames[family]);
    }

    // Where entries go: the tree, or the steps of an update.
    void Into(Tree& tree, std::set<std::string>& taken, bool initial) {
        out_ = &tree;
        taken_ = &taken;
        initialTree_ = initial;
    }

    bool Taken(const std::string& path) const { return taken_->count(path) != 0; }
    bool Add(const std::string& path, Kind kind, const std::string& data = "") {
        if (!taken_->insert(path).second) {
            return false;
        }
        out_->push_back({path, kind, data});
        return true;
    }
    // listed: whether later shapes may put entries into it.
    bool Dir(const std::string& path, bool listed = true) {
        if (!Add(path, Kind::kDir)) {
            return false;
        }
        if (listed && initialTree_ && !IsDeep(path)) {
            dirs_.push_back(path);
        }
        return true;
    }
    bool File(const std::string& path) {
        return Add(path, Kind::kFile, "f" + std::to_string(++files_));
    }
    bool Fifo(const std::string& path) { return Add(path, Kind::kFifo); }
    bool Link(const std::string& path, const std::string& target) {
        return Add(path, Kind::kLink, target);
    }
    std::string Fresh() { return std::to_string(++files_); }

    // The tree's own folders.
    std::vector<std::string> TreeDirs() const {
        std::vector<std::string> dirs;
        for (const std::string& dir : dirs_) {
            if (dir == kTree || InTree(dir)) {
                dirs.push_back(dir);
            }
        }
        return dirs;
    }

    std::string StagedName(const std::string& base) {
        const int r = Below(100);
        if (r < 55) {
            return "_tmp_" + base;
        }
        if (r < 75) {
            return Pick<std::string>({"_TMP_", "_TmP_", "_Tmp_"}) + base;
        }
        return Pick<std::string>({"_tmp__tmp_", "_TMP__tmp_", "_tmp__TMP_"}) + base;
    }

    // A staged name one step from its target, in any letter case.
    std::string OneStep(const std::string& base) {
        return Percent(70) ? "_tmp_" + base : Pick<std::string>({"_TMP_", "_TmP_", "_Tmp_"}) + base;
    }

    // Any entry a link may name, from a link in dir called name.
    std::string LinkTarget(const std::string& dir, const std::string& name) {
        const int r = Below(100);
        if (r < 25) {
            return Pick<std::string>({"a", "b", "c", "_tmp_a", "_TMP_b", "_tmp_c", "sub"});
        }
        if (r < 30) {
            return name;
        }
        if (r < 35 && (!LeftOut("up") || InTree(dir))) {
            return Pick<std::string>({".", ".."});
        }
        if (r < 43 && !LeftOut("up")) {
            return RelativeLink(dir, Pick<std::string>({"", "home"}));
        }
        if (r < 58) {
            return RelativeLink(dir, Pick<std::string>({"home/sibling", "ext"}));
        }
        if (r < 90 && !initial_->empty()) {
            // Not into the deep folder: the text would pass PATH_MAX.
            const std::string to = Pick(*initial_).path;
            return IsDeep(to) ? "missing" : RelativeLink(dir, to);
        }
        if (r < 94 && !LeftOut("long")) {
            // Too long a name for a status query (ENAMETOOLONG), like a link that cannot be
            // examined.
            return std::string(300, 'n');
        }
        return "missing";
    }

    // An entry under an existing name: a file, a link, an empty or rarely a full directory, a
    // FIFO. A directory made here may be a target: later shapes put nothing into it.
    void Something(const std::string& dir, const std::string& name, int depth) {
        const std::string path = Join(dir, name);
        // A full directory as a target fails the run after 5 s of tries: rare.
        const int r = Below(1000);
        if (r < 450) {
            File(path);
        } else if (r < 550) {
            Dir(path, false);
        } else if (r < 600) {
            Fifo(path);
        } else if (r < 605 && depth < 3) {
            if (Dir(path, false)) {
                File(Join(path, "inside"));
            }
        } else {
            Link(path, LinkTarget(dir, name));
        }
    }

    void Fill(const std::string& dir, int depth, int most) {
        const std::vector<std::string> bases = {"a", "b", "c"};
        for (int i = 1 + Below(most); i > 0; --i) {
            const std::string base = Pick(bases);
            const int r = Below(100);
            if (r < 30) {
                Something(dir, base, depth);
            } else if (r < 65) {
                const std::string staged = StagedName(base);
                // A staged name is mostly a regular file, or a link to one.
                if (Percent(75)) {
                    File(Join(dir, staged));
                } else {
                    Something(dir, staged, depth);
                }
                if (Percent(50)) {
                    Something(dir, base, depth);
                }
            } else if (r < 70 && !LeftOut("bare")) {
                const std::string bare = Pick<std::string>({"_tmp_", "_TMP_", "_tmp_.", "_tmp_.."});
                if (Percent(80)) {
                    File(Join(dir, bare));
                } else {
                    Something(dir, bare, depth);
                }
            } else if (r < 74) {
                const std::string self = Pick<std::string>(
                    {"_tmp_handover.exe", "_TMP_HANDOVER.EXE", "_Tmp_Handover.exe"});
                if (Percent(80)) {
                    File(Join(dir, self));
                } else {
                    Something(dir, self, depth);
                }
            } else if (r < 80) {
                File(Join(dir,
                          Pick<std::string>({"_tmp", "_tmpx", "tmp_", "_tm_", "__tmp_"}) + base));
            } else if (r < 86) {
                const std::string fifo = Percent(50) ? StagedName(base) : base;
                Fifo(Join(dir, fifo));
            } else if (depth < 3) {
                const std::string sub = Join(dir, Pick<std::string>({"sub", "d", "_tmp_sub"}));
                if (Dir(sub)) {
                    Fill(sub, depth + 1, 4);
                }
            } else {
                Link(Join(dir, "l" + base), LinkTarget(dir, "l" + base));
            }
        }
    }

    // A folder for a family's shapes: one of the tree's (not the runtime archive's), a new one
    // in it, or with outside, one beside the tree or elsewhere.
    std::string FamilyDir(bool outside) {
        if (Percent(30)) {
            const std::string dir = Join(kTree, Pick<std::string>({"bin", "plugins", "lib", "p"}));
            if (Dir(dir) || Contains(dirs_, dir)) {
                return dir;
            }
        }
        std::vector<std::string> from;
        for (const std::string& dir : dirs_) {
            const bool mine = dir == kTree || InTree(dir);
            if (mine ? !IsUnder(dir, kTree + "/rt")
                     : outside && (IsUnder(dir, "ext") || IsUnder(dir, "home/sibling"))) {
                from.push_back(dir);
            }
        }
        return Pick(from);
    }

    // Links through staged links, in one folder.
    void Through() {
        const std::string dir = FamilyDir(true);
        const std::string base = Pick<std::string>({"a", "b", "c", "t"});
        const std::string staged = OneStep(base);
        const std::string target = Join(dir, base);
        if (Taken(target) || Taken(Join(dir, staged))) {
            return;
        }
        const std::string file = base + "-2.0.dat";
        switch (Below(7)) {
            case 0:  // the target leads to the new file through its staged link
                File(Join(dir, file));
                Link(Join(dir, staged), file);
                Link(target, staged);
                break;
            case 1:  // a staged link to its own target
                File(target);
                Link(Join(dir, staged), base);
                break;
            case 2:  // one file, which the target and the staged link reach by separate ways
                File(Join(dir, file));
                Link(target, file);
                Link(Join(dir, staged), file);
                break;
            case 3:  // through the staged link, and one more link after it
                File(Join(dir, file));
                Link(Join(dir, "x" + base), file);
                Link(Join(dir, staged), "x" + base);
                Link(target, staged);
                break;
            case 4:  // through another link, then the staged one
                File(Join(dir, file));
                Link(Join(dir, staged), file);
                Link(Join(dir, "y" + base), staged);
                Link(target, "y" + base);
                break;
            case 5:  // a target that is a link to its own staged file
                File(Join(dir, staged));
                Link(target, staged);
                break;
            default: {  // a staged link into another folder, and the target through it
                const std::string other = Join(FamilyDir(true), "new-" + Fresh());
                File(other);
                Link(Join(dir, staged), RelativeLink(dir, other));
                Link(target, staged);
                break;
            }
        }
    }

    // A target that is a link, to a directory or a file, and a way in that goes through it.
    // first: the way in is at the top of the tree, and either the target is in one of the
    // tree's folders and leads outside, or it is outside and leads to its own folder; the walk
    // comes to the folder outside only through the target, and may do so before installing it.
    void Walked(bool first) {
        const bool outside = first && Percent(50);
        const std::string dir = outside ? Pick<std::string>({"ext", "home/sibling"})
                                : first
                                    ? Join(kTree, Pick<std::string>({"bin", "plugins", "lib", "p"}))
                                    : FamilyDir(true);
        if (first && !outside && !Dir(dir) && !Contains(dirs_, dir)) {
            return;
        }
        const std::string base = Pick<std::string>({"a", "b", "c", "y"});
        const std::string target = Join(dir, base);
        if (Taken(target)) {
            return;
        }
        std::string into;  // the folder the target leads to
        const int r = Below(100);
        if (first || r < 60) {
            into = outside       ? dir
                   : first       ? Pick<std::string>({"ext", "home/sibling"})
                   : Percent(20) ? dir
                                 : FamilyDir(true);
            Link(target, RelativeLink(dir, into));
        } else if (r < 80) {
            const std::string file = Join(FamilyDir(true), "new-" + Fresh());
            File(file);
            Link(target, RelativeLink(dir, file));
        } else {
            into = FamilyDir(true);
            Link(Join(dir, "h" + base), RelativeLink(dir, into));
            Link(target, "h" + base);
        }
        File(Join(dir, OneStep(base)));
        if (!into.empty()) {
            const std::string name = Pick<std::string>({"f", "g"});
            File(Join(into, name));
            File(Join(into, "_tmp_" + name));
        }
        for (int ways = Percent(25) ? 2 : 1; ways > 0; --ways) {
            const std::string from = first ? kTree : FamilyDir(false);
            Link(Join(from, Pick<std::string>({"a", "b", "c", "x", "l", "w"})),
                 RelativeLink(from, target));
        }
    }

    // An empty directory as a target, and a link whose text passes through it.
    void EmptyWay() {
        // Outside the tree the link is the only way in.
        const std::string dir =
            Percent(50) ? Pick<std::string>({"ext", "home/sibling"}) : FamilyDir(true);
        const std::string base = Pick<std::string>({"t", "a", "b"});
        const std::string target = Join(dir, base);
        if (!Dir(target, false)) {
            return;
        }
        File(Join(dir, OneStep(base)));
        if (Percent(40)) {
            File(Join(dir, "c"));
            File(Join(dir, "_tmp_c"));
        }
        const std::string way = FamilyDir(false);
        const std::string from = way == dir ? kTree : way;
        Link(Join(from, Pick<std::string>({"x", "a", "b", "l"})),
             RelativeLink(from, target) +
                 Pick<std::string>({"/..", "/../" + base + "/..", "/./.."}));
    }

    // A folder past PATH_MAX, with a link to itself as a target, reached through that link.
    void Deep() {
        const std::string deep = Join(Percent(75) ? kTree : "ext", kDeep);
        if (!Add(deep, Kind::kDir, "-p")) {
            return;
        }
        const std::string way = Pick<std::string>({"b", "a"});
        Link(Join(deep, way), ".");
        File(Join(deep, OneStep(way)));
        // Nothing in it may be a way further down: the walk's paths would pass PATH_MAX.
        for (int i = Below(4); i > 0; --i) {
            const std::string base = Pick<std::string>({"a", "b", "c"});
            const std::string path = Join(deep, base);
            switch (Below(6)) {
                case 0:
                    File(path);
                    break;
                case 1:
                    File(Join(deep, StagedName(base)));
                    break;
                case 2:
                    Link(path, Pick<std::string>({"a", "b", "c"}));
                    break;
                case 3:
                    Dir(path, false);
                    break;
                case 4:
                    Fifo(path);
                    break;
                default:
                    Link(Join(deep, "l" + base), ".");
                    break;
            }
        }
        const std::string from = FamilyDir(false);
        Link(Join(from, Pick<std::string>({"x", "a", "c", "w"})),
             RelativeLink(from, Join(deep, way)));
        if (Percent(40)) {
            const std::string other = FamilyDir(false);
            Link(Join(other, Pick<std::string>({"y", "z"})), RelativeLink(other, deep));
        }
    }

    // Something at the runtime archive's place, or at rt-0.jar.old's, in any shape.
    void ArchiveShape(const std::string& path, bool old) {
        const int r = Below(100);
        if (r < 10) {
            return;
        }
        if (r < 35) {
            File(path);
        } else if (r < 45) {
            Dir(path);
        } else if (r < 65) {
            if (!Dir(path)) {
                return;
            }
            File(path + "/M");
            if (Percent(40)) {
                File(path + "/_tmp_M");
            }
            if (Percent(30) && Dir(path + "/sub")) {
                File(path + "/sub/N");
            }
            if (Percent(25)) {
                Link(path + "/out", RelativeLink(path, Pick<std::string>({"ext", "home/sibling"})));
            }
        } else if (r < 72) {
            const std::string file = kTree + "/jar-" + Fresh();
            File(file);
            Link(path, RelativeLink(kLib, file));
        } else if (r < 79) {
            Link(path, RelativeLink(kLib, Pick(TreeDirs())));
        } else if (r < 86) {
            const std::string file = "ext/jar-" + Fresh();
            File(file);
            Link(path, RelativeLink(kLib, file));
        } else if (r < 93) {
            const std::string dir = "ext/jars-" + Fresh();
            if (Dir(dir)) {
                File(dir + "/K");
            }
            Link(path, RelativeLink(kLib, dir));
        } else if (r < 96) {
            Link(path, "missing.jar");
        } else if (r < 98) {
            Link(path, Name(path));
        } else if (old) {
            Fifo(path);
        } else {
            File(path);
        }
    }

    // A session file that counts as gone: a link that leads nowhere, or cannot be followed.
    void GoneSession() {
        switch (Below(5)) {
            case 0:
                Link(kSession, "gone");
                break;
            case 1:
                Link(kSession, "session.dat");
                break;
            case 2:
                Link(kSession, "sess2");
                Link(kTree + "/sess2", "session.dat");
                break;
            case 3:
                Link(kSession, "sess2");
                Link(kTree + "/sess2", "gone");
                break;
            default:
                Link(kSession, std::string(300, 'n'));
                break;
        }
    }

    // A session file that is there: the client has not gone.
    void PresentSession() {
        switch (Below(6)) {
            case 0:
                Fifo(kSession);
                break;
            case 1:
                Dir(kSession);
                if (Percent(50)) {
                    File(kSession + "/x");
                }
                break;
            case 2:
                File(kSession);
                break;
            case 3:
                Fifo(kTree + "/sess.fifo");
                Link(kSession, "sess.fifo");
                break;
            case 4:
                Link(kSession, Pick<std::string>({".", "../sibling", "../../ext"}));
                break;
            default:
                File(kTree + "/sess.file");
                Link(kSession, Pick<std::string>({"sess.file", "client.exe"}));
                break;
        }
    }

    // The runtime archive, the report file and the session file in odd shapes.
    void Specials() {
        if (Wanted(kArchives, 30)) {
            hasArchive_ = true;
            Dir(kTree + "/rt");
            Dir(kLib);
            ArchiveShape(kArchive, false);
            ArchiveShape(kOldArchive, true);
            if (Percent(30)) {
                File(kLib + "/_tmp_rt-0.jar");
            }
        }
        if (Percent(15)) {
            const std::string report = kTree + "/poker.jex";
            const int shape = Below(6);
            switch (LeftOut("fifo-report") && (shape == 0 || shape == 4) ? 5 : shape) {
                case 0:
                    Fifo(report);
                    break;
                case 1:
                    if (Dir(report) && Percent(50)) {
                        File(report + "/_tmp_a");
                    }
                    break;
                case 2:
                    Link(report, "missing.jex");
                    break;
                case 3:
                    Link(report, "poker.jex");
                    break;
                case 4:
                    Fifo(kTree + "/pipe.jex");
                    Link(report, "pipe.jex");
                    break;
                default:
                    File(kTree + "/store.jex");
                    Link(report, "store.jex");
                    break;
            }
        }
        if (Percent(focus_ == kSessions ? 70 : 10)) {
            if (LeftOut("session")) {
                Link(kSession, "gone");
            } else {
                GoneSession();
            }
        }
        // A session file that is there before one of the later updates.
        if (Wanted(kSessions, 5) && (focus_ != kSessions || Percent(70))) {
            sessionAt_ = static_cast<int>(Below(2));
        }
    }

    // What the client drops in before a later update.
    void Update(int update, const std::vector<std::string>& files,
                const std::vector<std::string>& treeDirs) {
        // New versions of files the tree holds.
        for (int i = 1 + Below(3); i > 0 && !files.empty(); --i) {
            const std::string file = Pick(files);
            File(Join(Parent(file), StagedName(Name(file))));
        }
        // A staged link to a new file, and now and then the target through it once more.
        if (Percent(25)) {
            const std::string dir = Pick(treeDirs);
            const std::string base = Pick<std::string>({"a", "b", "c"});
            const std::string data = base + "-" + std::to_string(update + 3) + ".dat";
            File(Join(dir, data));
            Link(Join(dir, "_tmp_" + base), data);
            if (Percent(40)) {
                Link(Join(dir, base), "_tmp_" + base);
            }
        }
        // A fresh runtime archive, staged now and then; rarely something new at rt-0.jar.old.
        if (hasArchive_ || Percent(20)) {
            Add(kLib, Kind::kDir, "-p");
            if (Percent(20)) {
                File(kLib + "/_tmp_rt-0.jar");
            } else {
                ArchiveShape(kArchive, false);
            }
            if (Percent(15)) {
                ArchiveShape(kOldArchive, true);
            }
        }
        if (sessionAt_ == update) {
            PresentSession();
        } else if (sessionAt_ == update - 1) {
            Add(kSession, Kind::kRemove);
        } else if (focus_ == kSessions && Percent(30)) {
            GoneSession();
        }
    }

    std::mt19937_64 rng_;
    int focus_;
    int files_ = 0;
    const Tree* initial_ = nullptr;
    Tree* out_ = nullptr;
    std::set<std::string>* taken_ = nullptr;
    std::set<std::string> initialTaken_;
    bool initialTree_ = true;
    bool hasArchive_ = false;
    int sessionAt_ = -1;  // the later update before which a session file is there
    std::vector<std::string> dirs_ = {"", "home", kTree};
};

// ---- Files through descriptors: paths from S stay within PATH_MAX where absolute ones do not.

class Fd {
  public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

Fd OpenDir(int at, const std::string& path) {
    return Fd(openat(at, path.empty() ? "." : path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

// The names in the folder, in the order it lists them.
std::vector<std::string> ListAt(int dir) {
    std::vector<std::string> names;
    const int copy = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (copy < 0) {
        return names;
    }
    DIR* stream = fdopendir(copy);
    if (stream == nullptr) {
        close(copy);
        return names;
    }
    while (const dirent* entry = readdir(stream)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") {
            names.push_back(name);
        }
    }
    closedir(stream);
    return names;
}

std::string ReadAt(int dir, const std::string& name) {
    const Fd file(openat(dir, name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    std::string bytes;
    char buffer[4096];
    for (ssize_t n; file.get() >= 0 && (n = read(file.get(), buffer, sizeof buffer)) > 0;) {
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
    return bytes;
}

std::string LinkAt(int dir, const std::string& name) {
    std::string text(8192, '\0');
    const ssize_t n = readlinkat(dir, name.c_str(), text.data(), text.size());
    return n < 0 ? "" : text.substr(0, static_cast<std::size_t>(n));
}

// Removes name in dir and everything below it, links not followed.
void RemoveAt(int dir, const std::string& name) {
    struct stat st;
    if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        return;
    }
    if (S_ISDIR(st.st_mode)) {
        const Fd sub(openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (sub.get() >= 0) {
            for (const std::string& inside : ListAt(sub.get())) {
                RemoveAt(sub.get(), inside);
            }
        }
        unlinkat(dir, name.c_str(), AT_REMOVEDIR);
    } else {
        unlinkat(dir, name.c_str(), 0);
    }
}

bool EmptyDirAt(int at, const std::string& path) {
    const Fd dir(openat(at, path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    return dir.get() >= 0 && ListAt(dir.get()).empty();
}

// Makes the entry below the folder at; replace: whatever stands at its path goes first, as in
// an update. False when it cannot be made (in an update: the folder above has gone since).
bool MakeAt(int at, const Entry& entry, bool replace) {
    if (entry.kind == Kind::kDir && entry.data == "-p") {
        for (std::size_t slash = 0; slash != std::string::npos;) {
            slash = entry.path.find('/', slash + 1);
            mkdirat(at, entry.path.substr(0, slash).c_str(), 0755);
        }
        struct stat st;
        return fstatat(at, entry.path.c_str(), &st, 0) == 0 && S_ISDIR(st.st_mode);
    }
    const Fd dir = OpenDir(at, Parent(entry.path));
    if (dir.get() < 0) {
        return false;
    }
    const std::string name = Name(entry.path);
    if (replace || entry.kind == Kind::kRemove) {
        RemoveAt(dir.get(), name);
    }
    switch (entry.kind) {
        case Kind::kDir:
            return mkdirat(dir.get(), name.c_str(), 0755) == 0;
        case Kind::kFile: {
            const Fd file(openat(dir.get(), name.c_str(),
                                 O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644));
            return file.get() >= 0 && write(file.get(), entry.data.data(), entry.data.size()) ==
                                          static_cast<ssize_t>(entry.data.size());
        }
        case Kind::kLink:
            return symlinkat(entry.data.c_str(), dir.get(), name.c_str()) == 0;
        case Kind::kFifo:
            return mkfifoat(dir.get(), name.c_str(), 0600) == 0;
        case Kind::kRemove:
            return true;
    }
    return false;
}

std::mutex g_forkMutex;

void Materialize(const Tree& tree, const fs::path& s, int at) {
    fs::create_directories(s / kTree);
    for (const Entry& entry : tree) {
        if (!MakeAt(at, entry, false)) {
            throw std::runtime_error("cannot make " + Shown(entry.path));
        }
    }
    // Trees are made while other trees run: a child forked while this client is open for
    // writing would hold it open until its own exec, and keep the client from starting
    // (ETXTBSY). Descriptors are close-on-exec, and no fork comes while one is open.
    const std::string client = ReadFile(CLIENT_PROBE_BIN);
    const std::lock_guard<std::mutex> lock(g_forkMutex);
    const int fd =
        open((s / kTree / "client.exe").c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0755);
    const bool written =
        fd >= 0 && write(fd, client.data(), client.size()) == static_cast<ssize_t>(client.size());
    if (fd < 0 || close(fd) != 0 || !written) {
        throw std::runtime_error("cannot install the client");
    }
}

// What the client drops in before an update; what cannot be made is left out, as the shell
// lines of the reproducer leave it.
void Apply(const Tree& update, int at) {
    for (const Entry& entry : update) {
        MakeAt(at, entry, true);
    }
}

// A word for the shell: the deep folder's names as $D and $E.
std::string Word(const std::string& text) {
    return IsDeep(text) ? "\"" + Shown(text) + "\"" : "'" + text + "'";
}

const char kTracedCalls[] =
    "open,openat,openat2,creat,close,close_range,dup,dup2,dup3,fcntl,fsync,fdatasync,syncfs,sync,"
    "write,pwrite64,writev,pwritev,pwritev2,ftruncate,truncate,fallocate,unlink,unlinkat,rmdir,"
    "rename,renameat,renameat2,mkdir,mkdirat,symlink,symlinkat,link,linkat,mknod,mknodat,chdir,"
    "fchdir,execve,execveat";

// The plan as shell lines run in an empty folder S; traced: each run under strace, as
// invariant 7 reads it.
std::string Reproducer(const Plan& plan, bool traced) {
    std::ostringstream out;
    std::size_t deepest = 0;
    for (const Entry& entry : plan.tree) {
        if (IsDeep(entry.path) && entry.kind == Kind::kDir) {
            deepest = std::max(deepest, entry.path.size());
        }
    }
    out << "# in an empty folder";
    if (deepest > 0) {
        out << " whose own path is at least " << 4095 - deepest
            << " bytes long (the deep folder's absolute path must pass PATH_MAX)";
    }
    out << "\nH=" << fs::path(HANDOVER_BIN).parent_path().string() << "\n";
    if (deepest > 0) {
        out << "D=$(printf '%100s' '' | tr ' ' d); E=$(printf '%28s' '' | tr ' ' e)\n";
    }
    out << "mkdir -p " << Word(kTree) << "\n";
    const auto lines = [&out](const Tree& tree, bool replace) {
        for (const Entry& entry : tree) {
            const std::string path = Word(entry.path);
            const std::string clear = replace ? "rm -rf " + path + "; " : "";
            switch (entry.kind) {
                case Kind::kDir:
                    out << (entry.data == "-p" ? "mkdir -p " + path : clear + "mkdir " + path);
                    break;
                case Kind::kFile:
                    out << clear << "printf " << entry.data << " > " << path;
                    break;
                case Kind::kLink:
                    out << clear << "ln -s " << Word(entry.data) << " " << path;
                    break;
                case Kind::kFifo:
                    out << clear << "mkfifo " << path;
                    break;
                case Kind::kRemove:
                    out << "rm -rf " << path;
                    break;
            }
            out << "\n";
        }
    };
    lines(plan.tree, false);
    out << "cp \"$H/client-probe\" " << kTree << "/client.exe\n";
    const auto run = [&](int number, const std::string& note) {
        out << "(cd " << kTree << " && ";
        if (traced) {
            out << "strace -f -y -s 65535 -o ../../trace." << number << " -e trace=" << kTracedCalls
                << " ";
        }
        if (plan.oldKernel) {
            out << "setarch x86_64 --uname-2.6 ";
        }
        out << "\"$H/handover\")   # run " << number << note << "\n";
    };
    run(1, "");
    run(2, ": again, nothing new");
    for (std::size_t i = 0; i < plan.updates.size(); ++i) {
        out << "# what the client drops in before update " << i + 2 << "\n";
        lines(plan.updates[i], true);
        run(static_cast<int>(i) + 3, "");
    }
    return out.str();
}

// ---- What is on the disk.

struct Node {
    std::string own;       // lstat: "dir", "fifo", "link:<target>", "file:<bytes>", "client"
    std::string resolved;  // following links: "file:<bytes>", "dir", or "" (broken, special)
};

struct State {
    std::map<std::string, Node> nodes;
    std::map<std::string, std::vector<std::string>> listing;  // folder -> names, readdir order
    std::map<std::pair<std::uint64_t, std::uint64_t>, std::string> dirs;  // device, inode
};

bool IsFile(const std::string& value) {
    return value.compare(0, 5, "file:") == 0;
}

bool IsLinkOwn(const std::string& value) {
    return value.compare(0, 5, "link:") == 0;
}

void SnapFolder(int dir, const std::string& folder, State& state) {
    for (const std::string& name : ListAt(dir)) {
        const std::string path = Join(folder, name);
        if (path == kTree + "/client-probe.txt" || path == kTree + "/client-probe.txt.part") {
            continue;
        }
        state.listing[folder].push_back(name);
        Node node;
        struct stat st;
        if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            continue;
        }
        if (S_ISLNK(st.st_mode)) {
            node.own = "link:" + LinkAt(dir, name);
            struct stat target;
            if (fstatat(dir, name.c_str(), &target, 0) == 0) {
                node.resolved = S_ISREG(target.st_mode)   ? "file:" + ReadAt(dir, name)
                                : S_ISDIR(target.st_mode) ? "dir"
                                                          : "";
            }
        } else if (S_ISDIR(st.st_mode)) {
            node.own = node.resolved = "dir";
            state.dirs[{st.st_dev, st.st_ino}] = path;
            const Fd sub(
                openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (sub.get() >= 0) {
                SnapFolder(sub.get(), path, state);
            }
        } else if (S_ISREG(st.st_mode)) {
            node.own = node.resolved =
                path == kTree + "/client.exe" ? "client" : "file:" + ReadAt(dir, name);
        } else {
            node.own = S_ISFIFO(st.st_mode) ? "fifo" : "special";
        }
        state.nodes[path] = node;
    }
}

State Snap(int s) {
    State state;
    struct stat st;
    if (fstat(s, &st) == 0) {
        state.dirs[{st.st_dev, st.st_ino}] = "";
    }
    SnapFolder(s, "", state);
    return state;
}

const Node* Find(const State& state, const std::string& path) {
    const auto it = state.nodes.find(path);
    return it == state.nodes.end() ? nullptr : &it->second;
}

std::string Own(const State& state, const std::string& path) {
    const Node* node = Find(state, path);
    return node == nullptr ? "(none)" : node->own;
}

// The folders the walk may reach from the tree: links to directories are followed, never into
// a folder that holds the tree and never twice. Relative to S, by their real paths.
std::set<std::string> Reachable(int s, const State& state) {
    std::set<std::string> seen{kTree};
    std::vector<std::string> todo{kTree};
    while (!todo.empty()) {
        const std::string dir = todo.back();
        todo.pop_back();
        const Fd handle = OpenDir(s, dir);
        if (handle.get() < 0) {
            continue;
        }
        for (const std::string& name : ListAt(handle.get())) {
            struct stat st;
            if (fstatat(handle.get(), name.c_str(), &st, 0) != 0 || !S_ISDIR(st.st_mode)) {
                continue;
            }
            const auto real = state.dirs.find({st.st_dev, st.st_ino});
            if (real == state.dirs.end() || real->second.empty() || real->second == "home") {
                continue;
            }
            if (seen.insert(real->second).second) {
                todo.push_back(real->second);
            }
        }
    }
    return seen;
}

// Whether a session file is there as the run begins: anything, or a link to anything.
bool SessionPresent(int s) {
    struct stat st;
    return fstatat(s, kSession.c_str(), &st, 0) == 0;
}

// ---- S as the kernel sees it, to follow a run's calls and the ways to an entry.

// Entries looked up on a way: the folder's node and the name.
using Seen = std::vector<std::pair<int, std::string>>;

class Model {
  public:
    static constexpr int kError = -1;    // missing, not a folder
    static constexpr int kOutside = -2;  // the path leaves S
    static constexpr int kLoop = -3;     // cannot be followed: a loop, a name too long
    struct Place {
        int dir;
        std::string name;
    };

    Model(const State& state, const std::string& root) : root_(root) {
        nodes_.push_back({'d', "", {}, 0, ""});
        for (const auto& [path, node] : state.nodes) {
            const int dir = Find(Parent(path));
            if (dir < 0) {
                continue;
            }
            const std::string& own = node.own;
            const char kind = own == "dir"                        ? 'd'
                              : IsLinkOwn(own)                    ? 'l'
                              : own == "fifo" || own == "special" ? 'o'
                                                                  : 'f';
            Add({dir, Name(path)}, kind, kind == 'l' ? own.substr(5) : "");
        }
    }

    int Tree() const { return Find(kTree); }
    char KindOf(int node) const { return nodes_[node].kind; }
    bool Empty(int node) const { return nodes_[node].children.empty(); }

    // The node at a real path from S, no links followed.
    int Find(const std::string& path) const {
        int at = 0;
        std::istringstream parts(path);
        for (std::string part; std::getline(parts, part, '/');) {
            const auto child = nodes_[at].children.find(part);
            if (child == nodes_[at].children.end()) {
                return kError;
            }
            at = child->second;
        }
        return at;
    }

    // What path leads to from the folder dir, as the kernel resolves it; the final link is
    // followed when follow is. Every name looked up goes to *seen.
    int Resolve(int dir, const std::string& path, bool follow, Seen* seen = nullptr) const {
        int links = 0;
        return Walk(dir, path, follow, seen, links);
    }

    // The folder that holds path's last name, and the name.
    Place Split(int dir, const std::string& path, Seen* seen = nullptr) const {
        std::string p = path;
        while (p.size() > 1 && p.back() == '/') {
            p.pop_back();
        }
        const std::size_t slash = p.rfind('/');
        const std::string name = slash == std::string::npos ? p : p.substr(slash + 1);
        if (dir < 0 || name.empty() || name == "." || name == ".." || name.size() > 255) {
            return {dir < 0 ? dir : kError, name};
        }
        const std::string head = slash == std::string::npos ? "."
                                 : slash == 0               ? "/"
                                                            : p.substr(0, slash);
        return {Resolve(dir, head, true, seen), name};
    }

    int Child(const Place& place) const {
        if (place.dir < 0 || nodes_[place.dir].kind != 'd') {
            return kError;
        }
        const auto child = nodes_[place.dir].children.find(place.name);
        return child == nodes_[place.dir].children.end() ? kError : child->second;
    }

    // The real path from S of a node that is still linked in.
    std::string PathOf(int node) const {
        std::string path;
        for (int at = node; at != 0; at = nodes_[at].parent) {
            path = path.empty() ? nodes_[at].name : nodes_[at].name + "/" + path;
        }
        return path;
    }

    bool Linked(int node) const {
        for (int at = node; at != 0; at = nodes_[at].parent) {
            const Node& parent = nodes_[nodes_[at].parent];
            const auto child = parent.children.find(nodes_[at].name);
            if (child == parent.children.end() || child->second != at) {
                return false;
            }
        }
        return true;
    }

    void Remove(const Place& place) { nodes_[place.dir].children.erase(place.name); }

    void Rename(const Place& from, const Place& to, bool exchange) {
        const int moved = Child(from);
        const int replaced = Child(to);
        if (moved < 0 || moved == replaced) {
            return;
        }
        nodes_[from.dir].children.erase(from.name);
        if (exchange && replaced >= 0) {
            Put(from, replaced);
        }
        Put(to, moved);
    }

    // An entry made at place, unless one is there.
    int Create(const Place& place, char kind, const std::string& link) {
        const int there = Child(place);
        return there >= 0 ? there : Add(place, kind, link);
    }

    void Put(const Place& place, int node) {
        nodes_[place.dir].children[place.name] = node;
        nodes_[node].parent = place.dir;
        nodes_[node].name = place.name;
    }

  private:
    struct Node {
        char kind;  // 'd' folder, 'f' file, 'l' link, 'o' anything else
        std::string link;
        std::map<std::string, int> children;
        int parent;
        std::string name;
    };

    int Add(const Place& place, char kind, const std::string& link) {
        nodes_.push_back({kind, link, {}, place.dir, place.name});
        const int node = static_cast<int>(nodes_.size()) - 1;
        nodes_[place.dir].children[place.name] = node;
        return node;
    }

    int Walk(int dir, const std::string& path, bool follow, Seen* seen, int& links) const {
        if (dir < 0) {
            return dir;
        }
        if (path.empty() || path.size() >= 4096) {
            return path.empty() ? kError : kLoop;
        }
        int at = dir;
        std::size_t start = 0;
        if (path[0] == '/') {
            if (path.compare(0, root_.size(), root_) != 0 ||
                (path.size() > root_.size() && path[root_.size()] != '/')) {
                return kOutside;
            }
            at = 0;
            start = root_.size();
        }
        const bool slash = path.back() == '/';
        std::vector<std::string> parts;
        std::istringstream in(path.substr(start));
        for (std::string part; std::getline(in, part, '/');) {
            if (!part.empty()) {
                parts.push_back(part);
            }
        }
        for (std::size_t i = 0; i < parts.size(); ++i) {
            if (nodes_[at].kind != 'd') {
                return kError;
            }
            const std::string& part = parts[i];
            if (part == ".") {
                continue;
            }
            if (part == "..") {
                if (at == 0) {
                    return kOutside;
                }
                at = nodes_[at].parent;
                continue;
            }
            if (seen != nullptr) {
                seen->push_back({at, part});
            }
            const auto child = nodes_[at].children.find(part);
            if (part.size() > 255) {
                return kLoop;
            }
            if (child == nodes_[at].children.end()) {
                return kError;
            }
            int next = child->second;
            if (nodes_[next].kind == 'l' && (i + 1 < parts.size() || follow || slash)) {
                if (++links > 40) {
                    return kLoop;
                }
                next = Walk(at, nodes_[next].link, true, seen, links);
                if (next < 0) {
                    return next;
                }
            }
            at = next;
        }
        return slash && nodes_[at].kind != 'd' ? kError : at;
    }

    std::string root_;  // S's absolute path
    std::vector<Node> nodes_;
};

// What an entry of the tree was: for the class of a failure that names it. walk is the path
// as the run log gives it ("./x/b").
std::string Describe(const Model& model, const std::string& walk, std::size_t rootLength) {
    Seen seen;
    const std::string path = StartsWith(walk, "./") ? walk.substr(2) : walk;
    const Model::Place place = model.Split(model.Tree(), path, &seen);
    if (place.dir < 0) {
        return "out of reach";
    }
    const int node = model.Child(place);
    std::string what;
    if (node < 0) {
        what = "was not there";
    } else if (model.KindOf(node) == 'l') {
        const int to = model.Resolve(place.dir, place.name, true);
        what = to == Model::kLoop        ? "was a link that cannot be followed"
               : to < 0                  ? "was a link that leads nowhere"
               : model.KindOf(to) == 'd' ? "was a link to a directory"
               : model.KindOf(to) == 'f' ? "was a link to a file"
                                         : "was a link to a FIFO";
    } else {
        what = model.KindOf(node) == 'f'   ? "was a file"
               : model.KindOf(node) == 'o' ? "was a FIFO"
               : model.Empty(node)         ? "was an empty directory"
                                           : "was a directory with entries";
    }
    for (const auto& [dir, name] : seen) {
        const int entry = model.Child({dir, name});
        if (entry >= 0 && model.KindOf(entry) == 'l') {
            what += ", reached through a link";
            break;
        }
    }
    if (rootLength + 1 + model.PathOf(place.dir).size() >= 4096) {
        what += ", in a folder whose absolute path passes PATH_MAX";
    }
    return what;
}

// ---- A run's calls, as strace -f -y writes them.

struct TraceArg {
    std::string text;                   // as printed, strings and descriptor paths left out
    std::optional<std::string> string;  // a string argument
    std::optional<std::string> path;    // the file a descriptor stands for
    long long number = 0;               // a number or descriptor; AT_FDCWD is -100
};

struct TraceCall {
    int pid = 0;
    std::string name;
    std::vector<TraceArg> args;
    long long result = -1;
    std::optional<std::string> resultPath;
    std::string line;
    bool Ok() const { return result >= 0; }
    const TraceArg& Arg(std::size_t i) const {
        static const TraceArg none;
        return i < args.size() ? args[i] : none;
    }
    std::string String(std::size_t i) const { return Arg(i).string.value_or(""); }
};

// A string or a descriptor's path from pos up to the unescaped end, escapes decoded; pos ends
// past the end.
std::string Unescaped(const std::string& text, std::size_t& pos, char end) {
    std::string out;
    while (pos < text.size() && text[pos] != end) {
        const char c = text[pos++];
        if (c != '\\' || pos >= text.size()) {
            out += c;
            continue;
        }
        const char e = text[pos++];
        static const std::string kFrom = "ntrvfab", kTo = "\n\t\r\v\f\a\b";
        if (kFrom.find(e) != std::string::npos) {
            out += kTo[kFrom.find(e)];
        } else if (e == 'x' && pos + 1 < text.size() &&
                   std::isxdigit(static_cast<unsigned char>(text[pos])) &&
                   std::isxdigit(static_cast<unsigned char>(text[pos + 1]))) {
            out += static_cast<char>(std::strtol(text.substr(pos, 2).c_str(), nullptr, 16));
            pos += 2;
        } else if (e >= '0' && e <= '7') {
            int value = e - '0';
            for (int k = 0; k < 2 && pos < text.size() && text[pos] >= '0' && text[pos] <= '7';
                 ++k) {
                value = value * 8 + (text[pos++] - '0');
            }
            out += static_cast<char>(value);
        } else {
            out += e;
        }
    }
    ++pos;
    return out;
}

std::optional<TraceCall> ParseCall(const std::string& text) {
    TraceCall call;
    const std::size_t open = text.find('(');
    if (open == std::string::npos || open == 0) {
        return std::nullopt;
    }
    call.name = text.substr(0, open);
    for (const char c : call.name) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') {
            return std::nullopt;
        }
    }
    TraceArg arg;
    bool any = false;
    int depth = 0;
    std::size_t pos = open + 1;
    while (pos < text.size()) {
        const char c = text[pos];
        if (c == '"') {
            ++pos;
            arg.string = Unescaped(text, pos, '"');
            any = true;
            continue;
        }
        if (c == '<' && depth == 0) {
            ++pos;
            arg.path = Unescaped(text, pos, '>');
            continue;
        }
        if (depth == 0 && c == ')') {
            break;
        }
        if (depth == 0 && c == ',') {
            call.args.push_back(arg);
            arg = TraceArg();
            for (++pos; pos < text.size() && text[pos] == ' ';) {
                ++pos;
            }
            continue;
        }
        if (c == '(' || c == '[' || c == '{') {
            ++depth;
        } else if (c == ')' || c == ']' || c == '}') {
            --depth;
        }
        arg.text += c;
        any = true;
        ++pos;
    }
    if (pos >= text.size()) {
        return std::nullopt;
    }
    if (any || !call.args.empty()) {
        call.args.push_back(arg);
    }
    for (TraceArg& a : call.args) {
        if (a.text == "AT_FDCWD") {
            a.number = -100;
        } else if (!a.text.empty() &&
                   (std::isdigit(static_cast<unsigned char>(a.text[0])) || a.text[0] == '-')) {
            a.number = std::strtoll(a.text.c_str(), nullptr, 0);
        }
    }
    const std::size_t equals = text.find(" = ", pos);
    if (equals == std::string::npos) {
        return std::nullopt;
    }
    const char* result = text.c_str() + equals + 3;
    char* end = nullptr;
    call.result = std::strtoll(result, &end, 0);
    if (end == result) {
        call.result = -1;
    } else if (*end == '<') {
        std::size_t at = static_cast<std::size_t>(end - text.c_str()) + 1;
        call.resultPath = Unescaped(text, at, '>');
    }
    call.line = text;
    return call;
}

std::vector<TraceCall> ParseTrace(const std::string& text) {
    std::vector<TraceCall> calls;
    std::map<int, std::string> pending;  // calls begun, by process
    const std::string unfinished = " <unfinished ...>";
    for (const std::string& raw : Lines(text)) {
        std::size_t pos = 0;
        int pid = 0;
        for (; pos < raw.size() && std::isdigit(static_cast<unsigned char>(raw[pos])); ++pos) {
            pid = pid * 10 + (raw[pos] - '0');
        }
        while (pos < raw.size() && raw[pos] == ' ') {
            ++pos;
        }
        std::string line = raw.substr(pos);
        if (StartsWith(line, "<... ")) {
            const std::size_t resumed = line.find(" resumed>");
            const auto begun = pending.find(pid);
            if (resumed == std::string::npos || begun == pending.end()) {
                continue;
            }
            line = begun->second + line.substr(resumed + 9);
            pending.erase(begun);
        } else if (EndsWith(line, unfinished)) {
            pending[pid] = line.substr(0, line.size() - unfinished.size());
            continue;
        }
        std::optional<TraceCall> call = ParseCall(line);
        if (call) {
            call->pid = pid;
            calls.push_back(std::move(*call));
        }
    }
    return calls;
}

struct Fault {
    std::string kind;
    std::string detail;
};

// 7: the calls of one run followed on a model of S as it was when the run began; started:
// whether the run started the client.
std::vector<Fault> FlushFaults(const std::vector<TraceCall>& calls, Model model, bool started) {
    std::vector<Fault> faults;
    if (calls.empty()) {
        return {{"nothing traced", ""}};
    }
    const int main = calls[0].pid;
    int cwd = model.Tree();
    std::map<long long, int> fds;                        // descriptor -> node
    std::map<int, std::vector<int>> flushes;             // node -> fsync, fdatasync
    std::map<int, std::vector<int>> writes;              // node -> writes
    std::vector<int> whole;                              // syncfs in S, sync
    std::map<int, int> lastRename;                       // folder -> its last rename
    std::map<std::pair<int, std::string>, int> removed;  // entry -> its removal
    int spawn = -1;
    std::set<int> linkedAtSpawn;

    const auto node = [&](const TraceArg& arg) -> int {
        if (arg.text == "AT_FDCWD") {
            return arg.path ? model.Resolve(0, *arg.path, true) : cwd;
        }
        if (arg.path && StartsWith(*arg.path, "/") && !EndsWith(*arg.path, " (deleted)")) {
            const int shown = model.Resolve(0, *arg.path, false);
            if (shown >= 0 || shown == Model::kOutside) {
                return shown;
            }
        }
        const auto fd = fds.find(arg.number);
        return fd == fds.end() ? Model::kOutside : fd->second;
    };
    const auto flushed = [&](int file, int deadline) {
        int written = -1;
        for (const int w : writes[file]) {
            if (w < deadline) {
                written = std::max(written, w);
            }
        }
        const auto between = [&](int f) { return f > written && f < deadline; };
        return std::any_of(whole.begin(), whole.end(), between) ||
               std::any_of(flushes[file].begin(), flushes[file].end(), between);
    };
    const auto where = [&](const Model::Place& place) {
        return Shown(Join(model.PathOf(place.dir), place.name));
    };

    for (int pos = 0; pos < static_cast<int>(calls.size()); ++pos) {
        const TraceCall& c = calls[pos];
        const std::string& n = c.name;
        if (c.pid != main) {
            if ((n == "execve" || n == "execveat") && c.Ok() && spawn < 0) {
                spawn = pos;
                for (const auto& [dir, at] : lastRename) {
                    if (model.Linked(dir)) {
                        linkedAtSpawn.insert(dir);
                    }
                }
            }
            continue;
        }
        if (!c.Ok()) {
            continue;
        }
        // A call that changes S at a place the model cannot find: the model no longer holds.
        const auto lost = [&](const Model::Place& place) {
            if (place.dir == Model::kOutside) {
                return false;
            }
            if (place.dir < 0) {
                faults.push_back({"a call the checker cannot follow", Shown(c.line)});
                return true;
            }
            return false;
        };
        if (n == "open" || n == "openat" || n == "openat2" || n == "creat") {
            const bool at = n == "openat" || n == "openat2";
            const int dir = at ? node(c.Arg(0)) : cwd;
            const std::string path = c.String(at ? 1 : 0);
            const std::string flags = n == "creat" ? "O_CREAT" : c.Arg(at ? 2 : 1).text;
            int opened = Model::kOutside;
            if (dir >= 0) {
                const Model::Place place = model.Split(dir, path);
                if (flags.find("O_CREAT") != std::string::npos && place.dir >= 0 &&
                    model.Child(place) < 0) {
                    model.Create(place, 'f', "");
                }
                opened = model.Resolve(dir, path, flags.find("O_NOFOLLOW") == std::string::npos);
            }
            if (c.resultPath && StartsWith(*c.resultPath, "/")) {
                const int shown = model.Resolve(0, *c.resultPath, false);
                if (shown >= 0 || shown == Model::kOutside) {
                    opened = shown;
                }
            }
            fds[c.result] = opened;
        } else if (n == "close") {
            fds.erase(c.Arg(0).number);
        } else if (n == "close_range") {
            if (c.Arg(2).text.find("CLOSE_RANGE_CLOEXEC") == std::string::npos) {
                fds.erase(fds.lower_bound(c.Arg(0).number), fds.upper_bound(c.Arg(1).number));
            }
        } else if (n == "dup" || n == "dup2" || n == "dup3" ||
                   (n == "fcntl" && StartsWith(c.Arg(1).text, "F_DUPFD"))) {
            fds[c.result] = node(c.Arg(0));
        } else if (n == "fsync" || n == "fdatasync") {
            const int file = node(c.Arg(0));
            if (file >= 0) {
                flushes[file].push_back(pos);
            }
        } else if (n == "syncfs") {
            if (node(c.Arg(0)) >= 0) {
                whole.push_back(pos);
            }
        } else if (n == "sync") {
            whole.push_back(pos);
        } else if (n == "write" || n == "pwrite64" || n == "writev" || n == "pwritev" ||
                   n == "pwritev2" || n == "ftruncate" || n == "fallocate" || n == "truncate") {
            const int file =
                n == "truncate" ? model.Resolve(cwd, c.String(0), true) : node(c.Arg(0));
            if (file >= 0) {
                writes[file].push_back(pos);
            }
        } else if (n == "unlink" || n == "rmdir" || n == "unlinkat") {
            const Model::Place place = n == "unlinkat" ? model.Split(node(c.Arg(0)), c.String(1))
                                                       : model.Split(cwd, c.String(0));
            if (place.dir == Model::kOutside) {
                continue;
            }
            if (lost(place.dir < 0 || model.Child(place) < 0 ? Model::Place{Model::kError, ""}
                                                             : place)) {
                return faults;
            }
            removed[{place.dir, place.name}] = pos;
            model.Remove(place);
        } else if (n == "rename" || n == "renameat" || n == "renameat2") {
            const bool at = n != "rename";
            const Model::Place from =
                at ? model.Split(node(c.Arg(0)), c.String(1)) : model.Split(cwd, c.String(0));
            const Model::Place to =
                at ? model.Split(node(c.Arg(2)), c.String(3)) : model.Split(cwd, c.String(1));
            if (from.dir == Model::kOutside && to.dir == Model::kOutside) {
                continue;
            }
            if (lost(from.dir < 0 || to.dir < 0 || model.Child(from) < 0
                         ? Model::Place{Model::kError, ""}
                         : from)) {
                return faults;
            }
            if (spawn >= 0) {
                faults.push_back({"renamed after the client started", where(from)});
            }
            if (IsStaged(from.name)) {
                const int contents = model.Resolve(from.dir, from.name, true);
                if (contents >= 0 && model.KindOf(contents) == 'f') {
                    int deadline = pos;
                    const auto gone = removed.find({to.dir, to.name});
                    if (gone != removed.end()) {
                        deadline = std::min(deadline, gone->second);
                    }
                    if (!flushed(contents, deadline)) {
                        faults.push_back(
                            {"staged contents not flushed before their target went",
                             where(from) +
                                 (gone != removed.end() ? " (its target removed first)" : "")});
                    }
                }
            }
            lastRename[from.dir] = pos;
            lastRename[to.dir] = pos;
            removed.erase({to.dir, to.name});
            model.Rename(from, to, c.Arg(4).text.find("RENAME_EXCHANGE") != std::string::npos);
        } else if (n == "mkdir" || n == "mkdirat" || n == "symlink" || n == "symlinkat" ||
                   n == "mknod" || n == "mknodat" || n == "link" || n == "linkat") {
            const bool at = EndsWith(n, "at");
            const bool linkCall = StartsWith(n, "link");
            const bool symlinkCall = StartsWith(n, "symlink");
            Model::Place place{Model::kOutside, ""};
            if (linkCall) {
                place =
                    at ? model.Split(node(c.Arg(2)), c.String(3)) : model.Split(cwd, c.String(1));
            } else if (symlinkCall) {
                place =
                    at ? model.Split(node(c.Arg(1)), c.String(2)) : model.Split(cwd, c.String(1));
            } else {
                place =
                    at ? model.Split(node(c.Arg(0)), c.String(1)) : model.Split(cwd, c.String(0));
            }
            if (place.dir == Model::kOutside) {
                continue;
            }
            if (lost(place)) {
                return faults;
            }
            if (linkCall) {
                const Model::Place from =
                    at ? model.Split(node(c.Arg(0)), c.String(1)) : model.Split(cwd, c.String(0));
                const int file = model.Child(from);
                if (file >= 0) {
                    model.Put(place, file);
                }
            } else {
                model.Create(place,
                             symlinkCall              ? 'l'
                             : StartsWith(n, "mkdir") ? 'd'
                                                      : 'o',
                             symlinkCall ? c.String(0) : "");
            }
            removed.erase({place.dir, place.name});
        } else if (n == "chdir") {
            cwd = model.Resolve(cwd, c.String(0), true);
        } else if (n == "fchdir") {
            cwd = node(c.Arg(0));
        }
    }
    if (started) {
        if (spawn < 0) {
            faults.push_back({"the client's start is not in the trace", ""});
        }
        for (const auto& [dir, at] : lastRename) {
            if (spawn < 0 || at > spawn || linkedAtSpawn.count(dir) == 0) {
                continue;
            }
            const auto between = [at = at, spawn](int f) { return f > at && f < spawn; };
            if (!std::any_of(whole.begin(), whole.end(), between) &&
                !std::any_of(flushes[dir].begin(), flushes[dir].end(), between)) {
                faults.push_back(
                    {"new names not flushed before the client started", Shown(model.PathOf(dir))});
            }
        }
    }
    return faults;
}

// Where a failed run's record goes: poker.jex, or the file a link there names. possible is
// false when no regular file can be written there (a FIFO, a directory, a loop); mayLose when
// poker.jex is not a regular file, so the record may be lost.
struct ReportPath {
    std::string path;
    bool possible = true;
    bool mayLose = false;
};

ReportPath FindReport(const fs::path& s) {
    ReportPath report{kTree + "/poker.jex"};
    for (int hop = 0; hop < 8; ++hop) {
        struct stat st;
        if (lstat((s / report.path).c_str(), &st) != 0 || S_ISREG(st.st_mode)) {
            return report;
        }
        report.mayLose = true;
        if (!S_ISLNK(st.st_mode)) {
            break;
        }
        // The generator's report links name a file beside them.
        report.path = Join(Parent(report.path), fs::read_symlink(s / report.path).string());
    }
    report.possible = false;
    return report;
}

// The run logs in report bytes; none when they do not read as whole records under support's
// key.
std::optional<std::vector<std::string>> DecryptLogs(const std::string& bytes) {
    try {
        return ReportLogsOf(bytes);
    } catch (...) {
        return std::nullopt;
    }
}

// ---- One run of handover.

// Whether runs are traced for invariant 7: strace works here and is not left out.
bool g_traced = false;
// Whether a kernel older than 5.8 can be played (setarch --uname-2.6); where it cannot, the
// plans that ask for one run as they are.
bool g_oldKernel = false;

struct Outcome {
    RunResult result;
    double seconds = 0;
    bool killed = false;
    bool clientStarted = false;
    std::string reportBefore;
    std::string reportAfter;
    std::vector<std::string> logs;  // the records this run appended
    bool damaged = false;           // they do not decrypt as whole records
    bool traced = false;
    std::string trace;  // strace -f -y of the run
    bool Failed() const { return !clientStarted; }
    bool Reported() const { return reportAfter != reportBefore; }
};

std::string ReadIfFile(const fs::path& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? ReadFile(path) : "";
}

Outcome RunHandover(const fs::path& s, const ReportPath& report, bool oldKernel,
                    const std::string& traceFile) {
    Outcome outcome;
    const fs::path record = s / kTree / "client-probe.txt";
    fs::remove(record);
    outcome.reportBefore = ReadIfFile(s / report.path);
    std::vector<std::string> command = {"/usr/bin/timeout", "-s", "KILL",
                                        std::to_string(kKillSeconds)};
    outcome.traced = !traceFile.empty();
    if (outcome.traced) {
        command = Concat(command, Strace({"--quiet=all", "-f", "-y", "-s", "65535", "-o", traceFile,
                                          "-e", std::string("trace=") + kTracedCalls}));
    }
    if (oldKernel && g_oldKernel) {
        command = Concat(command, {"setarch", "x86_64", "--uname-2.6"});
    }
    command.push_back(HANDOVER_BIN);
    const Stopwatch watch;
    std::unique_lock<std::mutex> forking(g_forkMutex);
    ChildProcess child(command, s / kTree);
    forking.unlock();
    outcome.result = child.Wait();
    outcome.seconds = watch.Seconds();
    outcome.killed = outcome.result.status == kKilledStatus;
    outcome.reportAfter = ReadIfFile(s / report.path);
    const auto exists = [&record] { return fs::exists(record); };
    // The client runs on after handover; a failed run never starts it.
    outcome.clientStarted = WaitFor(exists, outcome.Reported() || outcome.killed ? 0.3 : 5.0);
    if (outcome.Reported()) {
        const bool appended =
            outcome.reportAfter.compare(0, outcome.reportBefore.size(), outcome.reportBefore) == 0;
        const auto logs = appended
                              ? DecryptLogs(outcome.reportAfter.substr(outcome.reportBefore.size()))
                              : std::nullopt;
        outcome.damaged = !logs;
        if (logs) {
            outcome.logs = *logs;
        }
    }
    if (outcome.traced) {
        outcome.trace = ReadFile(traceFile);
        std::error_code ignored;
        fs::remove(traceFile, ignored);
    }
    return outcome;
}

// ---- The checks.

struct Violation {
    int invariant;
    int run;
    std::string kind;    // what class of fault, the same for every tree that shows it
    std::string detail;  // where in this tree
};

// Quoted paths in a log line replaced, so that lines of one kind compare equal.
std::string Normalized(const std::string& line) {
    std::string out;
    bool quoted = false;
    for (const char c : line) {
        if (c == '"') {
            quoted = !quoted;
            if (quoted) {
                out += "P";
            }
        } else if (!quoted) {
            out += c;
        }
    }
    return out;
}

// The quoted paths of a log line.
std::vector<std::string> QuotedPaths(const std::string& line) {
    std::vector<std::string> paths;
    for (std::size_t open = line.find('"'); open != std::string::npos;) {
        const std::size_t close = line.find('"', open + 1);
        if (close == std::string::npos) {
            break;
        }
        paths.push_back(line.substr(open + 1, close - open - 1));
        open = line.find('"', close + 1);
    }
    return paths;
}

// The lines of the run's log that say it failed.
std::vector<std::string> ErrorLines(const Outcome& outcome) {
    std::vector<std::string> errors;
    for (const std::string& log : outcome.logs) {
        for (const std::string& line : Lines(log)) {
            if (line.compare(0, 7, "ERROR: ") == 0) {
                errors.push_back(line);
            }
        }
    }
    return errors;
}

// The error that names the failure: the first one that says more than that something raised
// ("ERROR: unknown exception" ends the log of every failed run).
std::string FirstError(const Outcome& outcome) {
    const std::vector<std::string> errors = ErrorLines(outcome);
    for (const std::string& error : errors) {
        if (error != "ERROR: unknown exception") {
            return error;
        }
    }
    return errors.empty() ? "" : errors.front();
}

// The target of "ERROR: file: "X" could not be deleted"; empty for any other line.
std::string UndeletedTarget(const std::string& error) {
    const std::string prefix = "ERROR: file: \"";
    const std::string suffix = "\" could not be deleted";
    if (!StartsWith(error, prefix) || error.size() <= prefix.size() + suffix.size() ||
        !EndsWith(error, suffix)) {
        return "";
    }
    return error.substr(prefix.size(), error.size() - prefix.size() - suffix.size());
}

// What tells failures with the same error line apart: for an error that names nothing, the
// line before it, which says where the run was; for a failed install, whether the staged name
// was only the prefix, or else what the target was before the run.
std::string Before(const Outcome& outcome, const std::string& error, const Model& model,
                   std::size_t rootLength) {
    for (const std::string& log : outcome.logs) {
        const std::vector<std::string> lines = Lines(log);
        const auto at = std::find(lines.begin(), lines.end(), error);
        if (at == lines.end() || at == lines.begin()) {
            continue;
        }
        if (error == "ERROR: unknown exception") {
            const std::string where = Normalized(*(at - 1));
            if (where != "About to rename old RT") {
                return " after " + where;
            }
            // What stood in the way of the archive.
            const std::string archive = Describe(model, "./rt/lib/rt-0.jar", rootLength);
            return " after " + where +
                   (StartsWith(archive, "was a link that cannot be followed")
                        ? " (rt-0.jar " + archive + ")"
                        : " (rt-0.jar.old " + Describe(model, "./rt/lib/rt-0.jar.old", rootLength) +
                              ")");
        }
        if (error != "ERROR: rename failed" && !EndsWith(error, "could not be deleted")) {
            return "";
        }
        for (auto line = at; line != lines.begin();) {
            --line;
            const std::vector<std::string> paths = QuotedPaths(*line);
            const bool renaming = StartsWith(*line, "Renaming file: ");
            if (paths.empty() ||
                !(renaming || StartsWith(*line, "About to attempt delete of file: "))) {
                continue;
            }
            const std::string target = renaming && paths.size() > 1 ? paths[1] : paths[0];
            const std::string name = Name(target);
            const bool bare = renaming
                                  ? IsBare(Name(paths[0]))
                                  : target == "." || name.empty() || name == "." || name == "..";
            return bare ? " (a name that is only the prefix)"
                        : " (the target " + Describe(model, target, rootLength) + ")";
        }
    }
    return "";
}

// Entries the run itself moves or removes: every staged entry that resolves to a file in a
// folder the walk reaches, with the name it goes to, and the runtime archive's two names.
std::set<std::pair<std::string, std::string>> Moving(const State& before,
                                                     const std::set<std::string>& reachable) {
    std::set<std::pair<std::string, std::string>> moving = {{kLib, "rt-0.jar"},
                                                            {kLib, "rt-0.jar.old"}};
    for (const std::string& dir : reachable) {
        const auto listed = before.listing.find(dir);
        if (listed == before.listing.end()) {
            continue;
        }
        for (const std::string& name : listed->second) {
            const Node* node = Find(before, Join(dir, name));
            if (!IsStaged(name) || IsBare(name) || node == nullptr || !IsFile(node->resolved)) {
                continue;
            }
            moving.insert({dir, name});
            if (!TargetOf(name).empty()) {
                moving.insert({dir, TargetOf(name)});
            }
        }
    }
    return moving;
}

class Checker {
  public:
    Checker(const fs::path& s, int tree, const ReportPath& report, bool oldKernel)
        : s_(s), tree_(tree), report_(report), oldKernel_(oldKernel) {}

    std::vector<Violation> violations;

    // 1, and 6 while the tree is as the run left it.
    void Run(int run, const Outcome& o, const State& before, const State& after, const Model& model,
             bool session) {
        const auto add = [&](const std::string& kind, const std::string& detail) {
            violations.push_back({1, run, kind, detail});
        };
        if (o.killed || o.seconds > kKillSeconds) {
            add("did not end", std::to_string(o.seconds) + " s");
            return;
        }
        if (o.result.status != 0) {
            add("exit status", std::to_string(o.result.status));
        }
        if (!o.result.out.empty() || !o.result.err.empty()) {
            add("printed", o.result.out + o.result.err);
        }
        if (o.Reported() && o.damaged) {
            add("report unreadable", std::to_string(o.reportAfter.size()) + " bytes");
        }
        if (o.Reported() && o.clientStarted) {
            add("client started and report written", "");
        }
        if (o.Failed() && !o.Reported() && report_.possible && !report_.mayLose) {
            add("failed without a report", "");
        }
        if (!report_.possible) {
            const std::string report = kTree + "/poker.jex";
            if (Own(before, report) != Own(after, report)) {
                add("written through a poker.jex that is no file",
                    Own(before, report) + " -> " + Own(after, report));
            }
        }
        if (o.Reported() && !o.damaged) {
            FailedOnlyWhereItMust(run, o, model, session);
        }
    }

    // 2: changes outside the tree lie directly inside folders the walk may reach.
    void Outside(int run, const State& before, const State& after,
                 const std::set<std::string>& reachable) {
        for (const std::string& path : Paths(before, after)) {
            if (InTree(path) || path == report_.path || Own(before, path) == Own(after, path) ||
                reachable.count(Parent(path)) != 0) {
                continue;
            }
            violations.push_back(
                {2, run, "changed outside the tree",
                 Shown(path + ": " + Own(before, path) + " -> " + Own(after, path))});
        }
    }

    // 3: every regular file's bytes are somewhere, unless a staged entry took their name.
    void Bytes(int run, const Outcome& o, const State& before, const State& after) {
        std::set<std::string> kept;
        for (const auto& [path, node] : after.nodes) {
            if (IsFile(node.own) && path != report_.path) {
                kept.insert(node.own);
            }
        }
        for (const auto& [path, node] : before.nodes) {
            if (!IsFile(node.own) || path == report_.path || kept.count(node.own) != 0 ||
                MayBeLost(path, node.own, o, before, after)) {
                continue;
            }
            violations.push_back(
                {3, run, "bytes lost", Shown(path) + " held " + node.own.substr(5)});
        }
    }

    // 4, after a clean run.
    void Installed(int run, const State& before, const State& after,
                   const std::set<std::string>& reachable) {
        for (const std::string& dir : reachable) {
            const auto listed = after.listing.find(dir);
            if (listed == after.listing.end()) {
                continue;
            }
            for (const std::string& name : listed->second) {
                const std::string path = Join(dir, name);
                const Node& node = after.nodes.at(path);
                const Node* was = Find(before, path);
                if (!IsStaged(name) || IsBare(name) || !IsFile(node.resolved) || was == nullptr ||
                    !IsFile(was->resolved) || ChainLeftover(dir, name, before, after)) {
                    continue;
                }
                violations.push_back({4, run, "left staged", Shown(path + ": " + node.own)});
            }
        }
    }

    // 5, first part: a chain takes one step in a run that lists each folder once.
    void ChainStep(int run, const State& before, const State& after,
                   const std::set<std::string>& reachable) {
        for (const auto& [dir, names] : before.listing) {
            if (reachable.count(dir) == 0) {
                continue;
            }
            for (std::size_t i = 0; i < names.size(); ++i) {
                const std::string& staged = names[i];
                const std::string next = TargetOf(staged);
                if (!IsFile(Own(before, Join(dir, staged))) || next.empty() || !IsStaged(next) ||
                    IsBare(next)) {
                    continue;
                }
                // The next name handled after it, as a file of the same listing, would go on.
                const auto later = std::find(names.begin() + i + 1, names.end(), next);
                const Node* nextWas = Find(before, Join(dir, next));
                if (later != names.end() && nextWas != nullptr && IsFile(nextWas->resolved)) {
                    continue;
                }
                const auto gone = [&](const std::string& path) {
                    return Find(after, path) == nullptr && Find(after, Rotation(path)) == nullptr;
                };
                if (gone(Join(dir, staged)) && gone(Join(dir, next))) {
                    violations.push_back({5, run, "staged twice in one run",
                                          Shown(Join(dir, staged)) + " went past " + next});
                }
            }
        }
    }

    // 5, second part: run 2 does only what run 1 left for it.
    void SecondRun(const State& left, const State& after, const std::set<std::string>& reachable) {
        std::set<std::string> allowed{report_.path};
        bool archive = Find(left, kArchive) != nullptr;
        for (const std::string& dir : reachable) {
            const auto listed = left.listing.find(dir);
            if (listed == left.listing.end()) {
                continue;
            }
            for (const std::string& name : listed->second) {
                if (!IsStaged(name) || IsBare(name) ||
                    !IsFile(left.nodes.at(Join(dir, name)).resolved)) {
                    continue;
                }
                allowed.insert(Join(dir, name));
                for (const std::string& next : Chain(dir, name)) {
                    allowed.insert(Join(dir, next));
                    archive = archive || Join(dir, next) == kArchive;
                }
            }
        }
        for (const std::string& path : Paths(left, after)) {
            const bool rotated = archive && (IsUnder(path, kArchive) || IsUnder(path, kOldArchive));
            if (!rotated && allowed.count(path) == 0 && Own(left, path) != Own(after, path)) {
                violations.push_back(
                    {5, 2, "second run changed more",
                     Shown(path + ": " + Own(left, path) + " -> " + Own(after, path))});
            }
        }
    }

    // 7: what the traced run flushed, and when.
    void Durability(int run, const Outcome& o, const State& before) {
        if (!o.traced) {
            return;
        }
        const std::string mode = oldKernel_ ? " (kernel before 5.8)" : "";
        for (const Fault& fault :
             FlushFaults(ParseTrace(o.trace), Model(before, s_.string()), o.clientStarted)) {
            violations.push_back({7, run, fault.kind + mode, fault.detail});
        }
    }

    // 8, after a clean run: each staged entry handled once is where it belongs.
    void Landed(int run, const State& before, const State& after,
                const std::set<std::string>& reachable, const Model& model) {
        const auto moving = Moving(before, reachable);
        for (const std::string& dir : reachable) {
            const auto listed = before.listing.find(dir);
            const int folder = model.Find(dir);
            if (listed == before.listing.end() || folder < 0 || IsUnder(dir, kArchive) ||
                IsUnder(dir, kOldArchive)) {
                continue;
            }
            for (const std::string& name : listed->second) {
                const std::string target = TargetOf(name);
                const std::string path = Join(dir, name);
                const Node* node = Find(before, path);
                if (target.empty() || IsStaged(target) || node == nullptr ||
                    !IsFile(node->resolved) ||
                    (dir == kLib && (target == "rt-0.jar" || target == "rt-0.jar.old")) ||
                    (dir == kTree && (target == "client.exe" || target == "session.dat" ||
                                      target == "poker.jex"))) {
                    continue;
                }
                // Handled once: no other staged name goes to this target, none onto this one.
                const bool alone =
                    std::none_of(listed->second.begin(), listed->second.end(), [&](const auto& o) {
                        return o != name && (TargetOf(o) == target || TargetOf(o) == name);
                    });
                Seen staged, old;
                const int file = model.Resolve(folder, name, true, &staged);
                const int was = model.Child({folder, target});
                const int reached = was >= 0 ? model.Resolve(folder, target, true, &old) : -1;
                const auto steady = [&](const Seen& seen) {
                    return std::all_of(seen.begin(), seen.end(), [&](const auto& entry) {
                        return (entry.first == folder &&
                                (entry.second == name || entry.second == target)) ||
                               moving.count({model.PathOf(entry.first), entry.second}) == 0;
                    });
                };
                if (!alone || file < 0 || !steady(staged) || !steady(old) ||
                    (was >= 0 && (model.KindOf(was) == 'o' ||
                                  (model.KindOf(was) == 'd' && !model.Empty(was))))) {
                    continue;
                }
                const bool link = IsLinkOwn(node->own);
                const bool through =
                    std::find(old.begin(), old.end(), std::make_pair(folder, name)) != old.end();
                const std::string at = Join(dir, target);
                const bool gone = Find(after, path) == nullptr;
                std::string kind;
                if (link && reached == file && !through) {
                    if (Own(after, at) != Own(before, at) || !gone) {
                        kind =
                            "target not kept where its staged link reaches the same file by "
                            "another way";
                    }
                } else if (Own(after, at) != node->own || !gone) {
                    kind = through ? "target that leads through its own staged link not replaced "
                                     "by it"
                                   : "staged entry not installed onto its target";
                }
                if (!kind.empty()) {
                    violations.push_back(
                        {8, run, kind,
                         Shown(path + " (" + node->own + "), " + target + ": " + Own(before, at) +
                               " -> " + Own(after, at) + (gone ? "" : ", staged name left"))});
                }
            }
        }
    }

    // 9, after a clean run: the runtime archive went to rt-0.jar.old.
    void Rotated(int run, const State& before, const State& after,
                 const std::set<std::string>& reachable, const Model& model) {
        const int lib = model.Find(kLib);
        if (Own(before, kTree + "/rt") != "dir" || Own(before, kLib) != "dir" || lib < 0) {
            return;
        }
        const auto moving = Moving(before, reachable);
        // What may stand at rt-0.jar when the archive moves.
        std::set<std::string> archives;
        const Node* archive = Find(before, kArchive);
        Seen way;
        model.Resolve(lib, "rt-0.jar", true, &way);
        for (const auto& [dir, name] : way) {
            if (!(dir == lib && name == "rt-0.jar") &&
                moving.count({model.PathOf(dir), name}) != 0) {
                return;  // where it leads, the run itself changes
            }
        }
        if (archive != nullptr && !archive->resolved.empty()) {
            archives.insert(archive->own);
        }
        const auto listed = before.listing.find(kLib);
        for (const std::string& name :
             listed == before.listing.end() ? std::vector<std::string>() : listed->second) {
            const Node* node = Find(before, Join(kLib, name));
            if (node == nullptr || !IsFile(node->resolved) || !IsStaged(name)) {
                continue;
            }
            if (TargetOf(name) == "rt-0.jar.old") {
                return;  // installed there, and then maybe replaced
            }
            if (TargetOf(name) == "rt-0.jar") {
                archives.insert(node->own);
            }
        }
        const std::string change = Own(before, kOldArchive) + " -> " + Own(after, kOldArchive);
        if (archives.empty()) {
            if (Own(after, kOldArchive) != Own(before, kOldArchive)) {
                violations.push_back({9, run,
                                      "rt-0.jar.old changed with no archive to take its place",
                                      Shown(change)});
            }
            return;
        }
        const Node* left = Find(after, kArchive);
        if (left != nullptr && !left->resolved.empty()) {
            violations.push_back({9, run, "runtime archive not rotated", Shown(left->own)});
        } else if (archives.count(Own(after, kOldArchive)) == 0) {
            violations.push_back(
                {9, run, "rt-0.jar.old does not hold the runtime archive", Shown(change)});
        }
        // A link at rt-0.jar.old is removed as a link: what it led to stays.
        const Node* old = Find(before, kOldArchive);
        if (old != nullptr && IsLinkOwn(old->own) && old->resolved == "dir") {
            const int dir = model.Resolve(lib, "rt-0.jar.old", true);
            const std::string real = dir > 0 ? model.PathOf(dir) : "";
            if (!real.empty() && moving.count({Parent(real), Name(real)}) == 0 &&
                Own(after, real) != "dir") {
                violations.push_back({9, run, "followed the link at rt-0.jar.old",
                                      Shown(real + ": " + Own(after, real))});
            }
        }
    }

    // 10: a session file that is there stops the run before it touches anything.
    void Session(int run, const Outcome& o, const State& before, const State& after, bool present) {
        if (!present) {
            return;
        }
        const auto add = [&](const std::string& kind, const std::string& detail) {
            violations.push_back({10, run, "session file there: " + kind, detail});
        };
        if (!o.Failed()) {
            add("client started", "");
        } else if (o.seconds < kSessionSeconds) {
            add("gave up too soon", std::to_string(o.seconds) + " s");
        }
        if (o.Reported() && !o.damaged && FirstError(o) != kSessionError) {
            add("failed otherwise: " + Normalized(FirstError(o)), FirstError(o));
        }
        for (const std::string& path : Paths(before, after)) {
            if (path != report_.path && Own(before, path) != Own(after, path)) {
                add("the run changed the tree",
                    Shown(path + ": " + Own(before, path) + " -> " + Own(after, path)));
                break;
            }
        }
    }

  private:
    static std::set<std::string> Paths(const State& a, const State& b) {
        std::set<std::string> paths;
        for (const State* state : {&a, &b}) {
            for (const auto& entry : state->nodes) {
                paths.insert(entry.first);
            }
        }
        return paths;
    }

    // 6: some error line says what refused: a target that is still a non-empty directory, or a
    // session file that was there. The log names a target by the walk's way to it, which the
    // run's own installs may have changed since (a link on it replaced): it is looked for as the
    // tree is now, and as it was before the run.
    void FailedOnlyWhereItMust(int run, const Outcome& o, const Model& model, bool session) {
        bool must = false;
        for (const std::string& error : ErrorLines(o)) {
            const std::string target = UndeletedTarget(error);
            const std::string name = Name(target);
            struct stat st;
            const bool named = !name.empty() && name != "." && name != "..";
            const int was = named ? model.Resolve(model.Tree(), target, false) : Model::kError;
            must = must || (error == kSessionError && session) ||
                   (named && fstatat(tree_, target.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                    S_ISDIR(st.st_mode) && !EmptyDirAt(tree_, target)) ||
                   (was >= 0 && model.KindOf(was) == 'd' && !model.Empty(was));
        }
        if (!must) {
            const std::string error = FirstError(o);
            violations.push_back(
                {6, run,
                 "failed: " + Normalized(error) + Before(o, error, model, s_.string().size()),
                 Shown(error)});
        }
    }

    // Whether bytes that were at path may be gone: a staged entry that was handled holds the
    // name they had, or one further down their chain, and is not a link to them.
    bool MayBeLost(const std::string& path, const std::string& bytes, const Outcome& o,
                   const State& before, const State& after) const {
        const std::string dir = Parent(path);
        std::vector<std::string> down = Chain(dir, Name(path));
        down.insert(down.begin(), Name(path));
        for (const std::string& name : down) {
            if (IsSelfCopy(name)) {
                return true;  // deleted by design
            }
        }
        // The runtime archive takes the place of whatever stood at rt-0.jar.old, a directory
        // with everything in it too, once it moves: the client started, or rt-0.jar changed.
        if (IsUnder(path, kOldArchive) && ArchiveThere(before) &&
            (!o.Failed() || Own(after, kArchive) != Own(before, kArchive))) {
            return true;
        }
        const auto listed = before.listing.find(dir);
        if (listed == before.listing.end()) {
            return false;
        }
        for (const std::string& staged : listed->second) {
            const Node& node = before.nodes.at(Join(dir, staged));
            if (staged == Name(path) || !IsFile(node.resolved) || node.resolved == bytes) {
                continue;
            }
            for (const std::string& name : Chain(dir, staged)) {
                if (Contains(down, name) && (Own(after, Join(dir, name)) == node.own ||
                                             Own(after, Rotation(Join(dir, name))) == node.own)) {
                    return true;
                }
                // A staged link that took this name and there leads to the file of its own
                // next target is deleted rather than installed: the name is gone, as its old
                // bytes are, by the two rules together (_TMP__tmp_a -> a, with a staged _tmp_a).
                const Node* next = Find(before, Join(dir, TargetOf(name)));
                if (Contains(down, name) && IsLinkOwn(node.own) && next != nullptr &&
                    next->resolved == node.resolved && Find(after, Join(dir, name)) == nullptr) {
                    return true;
                }
            }
        }
        return false;
    }

    // Whether a runtime archive is there before the run, or a staged file that goes there.
    static bool ArchiveThere(const State& before) {
        const Node* archive = Find(before, kArchive);
        if (archive != nullptr && !archive->resolved.empty()) {
            return true;
        }
        const auto listed = before.listing.find(kLib);
        return listed != before.listing.end() &&
               std::any_of(listed->second.begin(), listed->second.end(), [&](const auto& name) {
                   const Node* node = Find(before, Join(kLib, name));
                   return TargetOf(name) == "rt-0.jar" && node != nullptr && IsFile(node->resolved);
               });
    }

    // Whether the staged entry at dir/name came down from a name staged twice in this run.
    bool ChainLeftover(const std::string& dir, const std::string& name, const State& before,
                       const State& after) const {
        const std::string own = after.nodes.at(Join(dir, name)).own;
        const auto listed = before.listing.find(dir);
        if (listed == before.listing.end()) {
            return false;
        }
        for (const std::string& staged : listed->second) {
            if (Contains(Chain(dir, staged), name) && Own(before, Join(dir, staged)) == own) {
                return true;
            }
        }
        return false;
    }

    fs::path s_;
    int tree_;  // the tree's folder, for paths of the walk past PATH_MAX from /
    ReportPath report_;
    bool oldKernel_;
};

struct Verdict {
    std::vector<Violation> violations;
    std::vector<std::pair<int, std::string>> logs;  // every record the runs appended, by run
};

// What makes two violations one class: the invariant and the kind, whichever run shows it.
std::string Signature(const Violation& v) {
    return "invariant " + std::to_string(v.invariant) + ": " + v.kind;
}

bool Shows(const std::vector<Violation>& violations, const std::string& signature) {
    return std::any_of(violations.begin(), violations.end(),
                       [&](const Violation& v) { return Signature(v) == signature; });
}

bool Shows(const Verdict& verdict, const std::string& signature) {
    return Shows(verdict.violations, signature);
}

std::set<std::string> Common(const std::set<std::string>& a, const std::set<std::string>& b) {
    std::set<std::string> both;
    std::set_intersection(a.begin(), a.end(), b.begin(), b.end(),
                          std::inserter(both, both.begin()));
    return both;
}

// The plan's runs, one after another, and what each broke; stops once stopAt shows, when given.
Verdict Check(const Plan& plan, const std::string& stopAt = "") {
    const ScratchDir scratch("handover-random");
    const std::unique_ptr<ScratchDir> traces =
        g_traced ? std::make_unique<ScratchDir>("handover-random-trace") : nullptr;
    const fs::path s = fs::canonical(scratch.Path());
    const Fd at(open(s.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    Materialize(plan.tree, s, at.get());
    const Fd tree = OpenDir(at.get(), kTree);
    const ReportPath report = FindReport(s);
    Checker check(s, tree.get(), report, plan.oldKernel && g_oldKernel);
    Verdict verdict;
    for (int run = 1; run <= Runs(plan); ++run) {
        if (run >= 3) {
            Apply(plan.updates[run - 3], at.get());
        }
        const State before = Snap(at.get());
        const std::set<std::string> reachable = Reachable(at.get(), before);
        const bool session = SessionPresent(at.get());
        const Outcome o =
            RunHandover(s, report, plan.oldKernel,
                        traces ? (traces->Path() / std::to_string(run)).string() : "");
        const State after = Snap(at.get());
        const std::set<std::string> reachableAfter = Reachable(at.get(), after);
        for (const std::string& log : o.logs) {
            verdict.logs.emplace_back(run, log);
        }
        const Model model(before, s.string());
        check.Run(run, o, before, after, model, session);
        if (o.killed) {
            break;
        }
        check.Outside(run, before, after, reachable);
        check.Bytes(run, o, before, after);
        check.Session(run, o, before, after, session);
        check.Durability(run, o, before);
        if (!o.Failed()) {
            check.Installed(run, before, after, reachableAfter);
            check.ChainStep(run, before, after, reachableAfter);
            check.Landed(run, before, after, Common(reachable, reachableAfter), model);
            check.Rotated(run, before, after, reachable, model);
        }
        if (run == 2) {
            check.SecondRun(before, after, reachable);
        }
        if (!stopAt.empty() && Shows(check.violations, stopAt)) {
            break;
        }
    }
    verdict.violations = check.violations;
    return verdict;
}

// Check, with a plan the harness cannot make (a fault of the generator) as a violation of its
// own rather than the end of the whole test.
Verdict Checked(const Plan& plan, const std::string& stopAt = "") {
    try {
        return Check(plan, stopAt);
    } catch (const std::exception& e) {
        Verdict verdict;
        verdict.violations.push_back({0, 0, "the test cannot make the tree", e.what()});
        return verdict;
    }
}

// The tree less entries [first, first + count) and everything below them.
Tree Without(const Tree& tree, std::size_t first, std::size_t count) {
    std::vector<std::string> gone;
    for (std::size_t i = first; i < first + count && i < tree.size(); ++i) {
        gone.push_back(tree[i].path);
    }
    Tree smaller;
    for (const Entry& entry : tree) {
        const bool below = std::any_of(
            gone.begin(), gone.end(), [&](const std::string& g) { return IsUnder(entry.path, g); });
        if (!below) {
            smaller.push_back(entry);
        }
    }
    return smaller;
}

// Leaves out updates and the old kernel's personality, then removes chunks of entries from the tree
// and from each update, halving the chunk down to one, while the violation stays; gives up after
// the given seconds (a hang costs kKillSeconds a try).
Plan Shrink(Plan plan, const std::string& signature, double seconds) {
    const Stopwatch watch;
    const auto more = [&watch, seconds] { return watch.Seconds() < seconds; };
    for (std::size_t i = plan.updates.size(); i-- > 0 && more();) {
        Plan fewer = plan;
        fewer.updates.erase(fewer.updates.begin() + static_cast<std::ptrdiff_t>(i));
        if (Shows(Checked(fewer, signature), signature)) {
            plan = fewer;
        }
    }
    if (plan.oldKernel && more()) {
        Plan plain = plan;
        plain.oldKernel = false;
        if (Shows(Checked(plain, signature), signature)) {
            plan = plain;
        }
    }
    for (std::size_t section = 0; section <= plan.updates.size(); ++section) {
        const auto entries = [&plan, section]() -> Tree& {
            return section == 0 ? plan.tree : plan.updates[section - 1];
        };
        for (std::size_t chunk = std::max<std::size_t>(1, entries().size() / 2); more();) {
            bool removed = false;
            for (std::size_t i = 0; i < entries().size() && more();) {
                Plan smaller = plan;
                Tree& tree = section == 0 ? smaller.tree : smaller.updates[section - 1];
                tree = Without(tree, i, chunk);
                if (Shows(Checked(smaller, signature), signature)) {
                    plan = smaller;
                    removed = true;
                } else {
                    i += chunk;
                }
            }
            if (chunk > 1) {
                chunk /= 2;
            } else if (!removed) {
                break;
            }
        }
    }
    return plan;
}

std::optional<std::uint64_t> FromEnvironment(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') {
        return std::nullopt;
    }
    return std::stoull(value);
}

std::uint64_t TreeSeed(std::uint64_t seed, std::uint64_t index) {
    return seed * 1000003 + index;
}

Plan MakePlan(std::uint64_t seed, std::uint64_t index) {
    return Generator(TreeSeed(seed, index), static_cast<int>(index % kFamilies)).Make();
}

TEST(RandomTrees, InvariantsHoldOnRandomTrees) {
    const auto trees = FromEnvironment("HANDOVER_RANDOM_TREES");
    const auto givenSeed = FromEnvironment("HANDOVER_RANDOM_SEED");
    const auto seconds = FromEnvironment("HANDOVER_RANDOM_SECONDS");
    const double shrinkSeconds =
        static_cast<double>(FromEnvironment("HANDOVER_RANDOM_SHRINK_SECONDS").value_or(120));
    const std::uint64_t count = trees.value_or(40);
    const std::uint64_t seed =
        givenSeed.value_or(trees ? static_cast<std::uint64_t>(
                                       std::chrono::system_clock::now().time_since_epoch().count())
                                 : 4);
    const unsigned jobs =
        static_cast<unsigned>(FromEnvironment("HANDOVER_RANDOM_JOBS").value_or(4));
    g_traced = !LeftOut("strace") && StraceWorks();
    g_oldKernel = std::system("setarch x86_64 --uname-2.6 true >/dev/null 2>&1") == 0;
    std::cout << "random trees: seed " << seed << ", up to " << count << " trees"
              << (g_traced ? "" : "; strace cannot trace here: no flushes checked") << std::endl;

    struct Found {
        std::uint64_t index;
        Plan plan;
        Verdict verdict;
        int trees = 0;
    };
    std::map<std::string, Found> classes;
    std::mutex mutex;
    std::atomic<std::uint64_t> next{0};
    std::atomic<std::uint64_t> done{0};
    std::pair<std::uint64_t, double> slowest{0, 0.0};  // tree, seconds
    const Stopwatch watch;
    std::vector<std::thread> workers;
    for (unsigned j = 0; j < jobs; ++j) {
        workers.emplace_back([&] {
            for (std::uint64_t index; (index = next++) < count;) {
                if (seconds && watch.Seconds() > *seconds) {
                    return;
                }
                const Plan plan = MakePlan(seed, index);
                const Stopwatch treeWatch;
                const Verdict verdict = Checked(plan);
                ++done;
                const std::lock_guard<std::mutex> lock(mutex);
                if (treeWatch.Seconds() > slowest.second) {
                    slowest = {index, treeWatch.Seconds()};
                }
                std::set<std::string> shown;
                for (const Violation& v : verdict.violations) {
                    if (!shown.insert(Signature(v)).second) {
                        continue;
                    }
                    const auto [it, added] =
                        classes.try_emplace(Signature(v), Found{index, plan, verdict});
                    if (!added && index < it->second.index) {
                        it->second = Found{index, plan, verdict, it->second.trees};
                    }
                    ++it->second.trees;
                }
            }
        });
    }
    for (std::thread& worker : workers) {
        worker.join();
    }
    std::cout << "random trees: " << done << " trees in " << watch.Seconds() << " s, "
              << classes.size() << " kinds of violation; slowest tree " << slowest.first << " ("
              << slowest.second << " s)" << std::endl;

    // Each class shrunk on its own, several at a time.
    const std::vector<std::pair<std::string, Found>> found(classes.begin(), classes.end());
    std::vector<std::string> reports(found.size());
    std::atomic<std::size_t> nextClass{0};
    workers.clear();
    for (unsigned j = 0; j < jobs; ++j) {
        workers.emplace_back([&] {
            for (std::size_t i; (i = nextClass++) < found.size();) {
                const auto& [signature, first] = found[i];
                Plan smallest = Shrink(first.plan, signature, shrinkSeconds);
                Verdict verdict = Checked(smallest);
                if (!Shows(verdict, signature)) {
                    // Not shown again (it depends on timing): the plan as it was found.
                    smallest = first.plan;
                    verdict = first.verdict;
                }
                std::size_t entries = smallest.tree.size(), before = first.plan.tree.size();
                for (const Tree& update : smallest.updates) {
                    entries += update.size();
                }
                for (const Tree& update : first.plan.updates) {
                    before += update.size();
                }
                std::ostringstream text;
                text << signature << " (" << first.trees << " trees; seed " << seed << ", tree "
                     << first.index << ", " << before << " entries, shrunk to " << entries
                     << " and " << Runs(smallest) << " runs)\n"
                     << Reproducer(smallest, signature.compare(0, 12, "invariant 7:") == 0);
                for (const Violation& v : verdict.violations) {
                    text << "  " << Signature(v) << ", run " << v.run << ": " << v.detail << "\n";
                }
                for (const auto& [run, log] : verdict.logs) {
                    text << "  run " << run << " log:\n";
                    for (const std::string& line : Lines(log)) {
                        text << "    " << Shown(line) << "\n";
                    }
                }
                reports[i] = text.str();
            }
        });
    }
    for (std::thread& worker : workers) {
        worker.join();
    }
    for (const std::string& report : reports) {
        ADD_FAILURE() << report;
    }
}

}  // namespace
