// The walk far below the top: a directory it will come back to stays open, whatever happens to
// the way that led to it; only past a few dozen of those does one give its descriptor up, to be
// opened again through the one above when its turn comes back.
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/filesystem/operations.hpp>

#include "handover/Walk.h"
#include "tests/TempTree.h"

namespace fs = boost::filesystem;

namespace {

int OpenDescriptors() {
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) {
        return -1;
    }
    while (readdir(dir) != nullptr) {
        ++count;
    }
    closedir(dir);
    return count;
}

std::vector<fs::path> Subdirectories(const Directory& dir) {
    std::vector<fs::path> names = dir.List([](const std::string&) { return false; }).subdirectories;
    std::sort(names.begin(), names.end());
    return names;
}

// "d/d/.../d", depth names deep.
std::string Chain(int depth) {
    std::string path;
    for (int i = 0; i < depth; ++i) {
        path += (i == 0 ? "d" : "/d");
    }
    return path;
}

std::string Relative(const TempTree& tree, const Directory& dir) {
    return dir.Path().lexically_relative(tree.Root()).generic_string();
}

// A chain kDepth deep with a folder "side" beside the chain's next level at every level: the walk
// comes back up to each from far below, more of them than it keeps open.
constexpr int kDepth = 120;

class BranchingAtEveryLevel : public ::testing::Test {
  protected:
    void SetUp() override {
        tree.MakeDir(Chain(kDepth));
        for (int depth = 0; depth < kDepth; ++depth) {
            tree.MakeDir(depth == 0 ? "side" : Chain(depth) + "/side");
        }
    }
    TempTree tree;
};

TEST_F(BranchingAtEveryLevel, GoesBackUpInOrderWithAFewDozenDescriptors) {
    const Directory root(tree.Root());
    std::vector<std::string> visited;
    int mostOpen = 0;
    const int before = OpenDescriptors();
    std::ostringstream log;
    Walk(root, {}, log, [&](const Directory& dir) {
        visited.push_back(Relative(tree, dir));
        mostOpen = std::max(mostOpen, OpenDescriptors() - before);
        return Subdirectories(dir);
    });
    std::vector<std::string> expected = {"."};
    for (int depth = 1; depth <= kDepth; ++depth) {
        expected.push_back(Chain(depth));
    }
    // Depth first: "d" sorts before "side", so each side folder comes on the way back up.
    for (int depth = kDepth - 1; depth >= 0; --depth) {
        expected.push_back(depth == 0 ? "side" : Chain(depth) + "/side");
    }
    EXPECT_EQ(visited, expected);
    EXPECT_LE(mostOpen, 80) << "a descriptor for each level";
    EXPECT_EQ(log.str().find("WARNING"), std::string::npos) << log.str();
}

// Another program puts another directory in the place of one that gave its descriptor up: opened
// again by its name, it is not the one walked before, and the walk says so rather than go on in
// it.
TEST_F(BranchingAtEveryLevel, DirectoryPutInThePlaceOfOneGivenUpStopsTheWalk) {
    const Directory root(tree.Root());
    std::ostringstream log;
    try {
        Walk(root, {}, log, [&](const Directory& dir) {
            if (Relative(tree, dir) == Chain(kDepth)) {
                fs::rename(tree / Chain(3), tree / (Chain(2) + "/moved"));
                tree.MakeDir(Chain(3) + "/side");
            }
            return Subdirectories(dir);
        });
        ADD_FAILURE() << "the walk went on in another directory";
    } catch (const fs::filesystem_error& e) {
        EXPECT_EQ(std::string(e.std::runtime_error::what()), "find the directory walked before");
        EXPECT_EQ(e.path1(), tree.Root() / Chain(3));
    }
}

// A folder reached through a link that an install in it replaces (x -> f/b, f/b -> .), with a
// deep chain below it and a folder beside the chain: the walk comes back up to it through its
// own descriptor, not by a way that now leads to a file.
TEST(Walk, FolderWhoseWayInIsReplacedIsWalkedToTheEnd) {
    TempTree tree;
    tree.MakeDir("f/" + Chain(kDepth));
    tree.MakeDir("f/side");
    tree.Link("f/b", ".");
    tree.Link("x", "f/b");
    const Directory root(tree.Root());
    std::vector<std::string> visited;
    std::ostringstream log;
    Walk(root, {}, log, [&](const Directory& dir) {
        const std::string path = Relative(tree, dir);
        visited.push_back(path);
        std::vector<fs::path> subdirectories = Subdirectories(dir);
        if (path == "x") {
            fs::remove(tree / "f/b");
            tree.Write("f/b", "installed over the way in");
            subdirectories.erase(std::remove(subdirectories.begin(), subdirectories.end(), "b"),
                                 subdirectories.end());
        }
        return path == "." ? std::vector<fs::path>{"x"} : subdirectories;
    });
    ASSERT_GE(visited.size(), 3u);
    EXPECT_EQ(visited.back(), "x/side") << log.str();
    EXPECT_EQ(visited.size(), static_cast<std::size_t>(kDepth + 3));
}

}  // namespace
