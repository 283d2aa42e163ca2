// The walk below a few dozen levels, where each directory it has gone below gives its descriptor
// up and is opened again through the one above when its turn comes back.
#include <dirent.h>

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

// A chain "d/d/.../d" kDepth deep, with a branch "side" beside the chain's next level at depths
// 3 and kDepth - 5: the walk comes back up to each branch from far below.
constexpr int kDepth = 120;

std::string Chain(int depth) {
    std::string path;
    for (int i = 0; i < depth; ++i) {
        path += "d/";
    }
    return path;
}

class DeepWalk : public ::testing::Test {
  protected:
    void SetUp() override {
        tree.MakeDir(Chain(kDepth));
        tree.MakeDir(Chain(3) + "side");
        tree.MakeDir(Chain(kDepth - 5) + "side");
    }
    TempTree tree;
};

TEST_F(DeepWalk, GoesBackUpThroughDirectoriesItGaveUpInTheSameOrder) {
    const Directory root(tree.Root());
    std::vector<std::string> visited;
    int mostOpen = 0;
    const int before = OpenDescriptors();
    std::ostringstream log;
    Walk(root, {}, log, [&](const Directory& dir) {
        visited.push_back(dir.Path().lexically_relative(tree.Root()).generic_string());
        mostOpen = std::max(mostOpen, OpenDescriptors() - before);
        return Subdirectories(dir);
    });
    std::vector<std::string> expected = {"."};
    for (int depth = 1; depth <= kDepth; ++depth) {
        expected.push_back(Chain(depth).substr(0, 2 * depth - 1));
    }
    // Depth first: the deep branch on the way back up, then the shallow one.
    expected.push_back(Chain(kDepth - 5) + "side");
    expected.push_back(Chain(3) + "side");
    EXPECT_EQ(visited, expected);
    EXPECT_LE(mostOpen, 40) << "a descriptor for each level";
    EXPECT_EQ(log.str().find("WARNING"), std::string::npos) << log.str();
}

// Another program puts another directory in the place of one the walk gave up: opened again by
// its name, it is not the one walked before, and the walk says so rather than go on in it.
TEST_F(DeepWalk, DirectoryPutInThePlaceOfOneGivenUpStopsTheWalk) {
    const Directory root(tree.Root());
    const std::string swapped = Chain(3);  // holds "side", left for the way back up
    std::ostringstream log;
    try {
        Walk(root, {}, log, [&](const Directory& dir) {
            if (dir.Path() == tree.Root() / Chain(kDepth).substr(0, 2 * kDepth - 1)) {
                fs::rename(tree / swapped, tree / (swapped.substr(0, swapped.size() - 1) + ".old"));
                tree.MakeDir(swapped + "side");
            }
            return Subdirectories(dir);
        });
        ADD_FAILURE() << "the walk went on in another directory";
    } catch (const fs::filesystem_error& e) {
        EXPECT_EQ(std::string(e.std::runtime_error::what()), "find the directory walked before");
        EXPECT_EQ(e.path1(), tree.Root() / "d/d/d");
    }
}

}  // namespace
