#include <sys/stat.h>

#include <cstdlib>

#include <boost/filesystem/operations.hpp>

#include "tests/TempTree.h"

namespace fs = boost::filesystem;

const char kPreferredSeparator = '/';
const bool kPosixNames = true;

// The scratch folder itself goes when scratch_ does; flags set by a test would stop it.
TempTree::~TempTree() {
    for (const std::string& path : chattrPaths_) {
        std::system(("chattr -i -a '" + path + "' 2>/dev/null").c_str());
    }
}

void TempTree::Link(const std::string& relative, const std::string& target) const {
    fs::create_directories((root_ / relative).parent_path());
    fs::create_symlink(target, root_ / relative);
}

bool TempTree::NativeLinks() const {
    return true;
}

bool TempTree::MakeFifo(const std::string& relative) const {
    fs::create_directories((root_ / relative).parent_path());
    return mkfifo((root_ / relative).c_str(), 0600) == 0;
}

bool TempTree::Chattr(const std::string& flags, const std::string& relative) {
    const std::string path = (root_ / relative).string();
    chattrPaths_.push_back(path);
    return std::system(("chattr " + flags + " '" + path + "' 2>/dev/null").c_str()) == 0;
}

std::vector<std::string> Strace(const std::vector<std::string>& options) {
    const char* asan = std::getenv("ASAN_OPTIONS");
    std::vector<std::string> prefix = {
        "strace", "-E",
        "ASAN_OPTIONS=" + std::string(asan != nullptr ? asan : "") + ":detect_leaks=0"};
    prefix.insert(prefix.end(), options.begin(), options.end());
    return prefix;
}

bool StraceWorks() {
    return std::system("strace -o /dev/null true >/dev/null 2>&1") == 0;
}
