#include "handover/Walk.h"

#include <algorithm>
#include <cstddef>
#include <memory>
#include <utility>

#include <boost/filesystem/exception.hpp>
#include <boost/system/error_code.hpp>

namespace fs = boost::filesystem;

namespace {

// A descriptor or handle for every level would let a deep tree run the process out of them;
// deeper levels give theirs up and open again through the level above when their turn comes.
constexpr std::size_t kOpenLevels = 32;

// A directory on the way down from the root, with the subdirectories it has left to walk.
struct Level {
    fs::path name;  // in the level above
    FileId id;
    const Directory* dir;  // null once given up; the root's never is
    std::unique_ptr<Directory> owned;
    std::vector<fs::path> subdirectories;
    std::size_t next = 0;
};

void LogSubdirectory(std::ostream& log, const fs::path& subdirectory) {
    log << "About to install _tmp_ files in subdirectory: " << subdirectory << std::endl;
}

// Opens a subdirectory at its turn; null when it no longer leads to a directory. The listing was
// taken before the files of its directory were handled, and an install since may have replaced
// an empty directory, or the target of a link to one. A link that cannot be followed is left
// out, as the listing leaves it out; a directory that cannot be opened fails the walk.
std::unique_ptr<Directory> OpenSubdirectory(const Directory& parent, const fs::path& name,
                                            std::ostream& log) {
    try {
        return std::make_unique<Directory>(parent, name);
    } catch (const fs::filesystem_error&) {
        bool directory = true;
        try {
            directory = parent.KindOf(name) == EntryKind::kDirectory;
        } catch (const fs::filesystem_error&) {
        }
        if (!directory) {
            return nullptr;
        }
        // The log names the directory that could not be searched.
        LogSubdirectory(log, parent.Path() / name);
        throw;
    }
}

// The directory of levels[at], opened again through the nearest level above that is still open
// when it has given its own up. Nothing this run does changes the entries of a directory on the
// way down once the walk has gone below it (it never enters one twice), so only another program
// can have put something else there.
const Directory& Reopened(std::vector<Level>& levels, std::size_t at) {
    std::size_t open = at;
    while (levels[open].dir == nullptr) {
        --open;
    }
    for (std::size_t i = open + 1; i <= at; ++i) {
        levels[i].owned = std::make_unique<Directory>(*levels[i - 1].dir, levels[i].name);
        levels[i].dir = levels[i].owned.get();
        if (!(levels[i].owned->Id() == levels[i].id)) {
            throw fs::filesystem_error("find the directory walked before", levels[i].owned->Path(),
                                       boost::system::errc::make_error_code(
                                           boost::system::errc::no_such_file_or_directory));
        }
        if (i > kOpenLevels) {
            levels[i - kOpenLevels].owned.reset();
            levels[i - kOpenLevels].dir = nullptr;
        }
    }
    return *levels[at].dir;
}

}  // namespace

std::set<FileId> HoldersOf(const fs::path& dir, std::ostream& log) {
    std::vector<FileId> holders;
    try {
        AddHolders(dir, holders);
    } catch (const fs::filesystem_error& e) {
        log << "WARNING: unable to tell the directories above " << e.path1()
            << " (going on): " << e.code().message() << std::endl;
    }
    return std::set<FileId>(holders.begin(), holders.end());
}

void Walk(const Directory& root, const std::set<FileId>& holders, std::ostream& log,
          const VisitDirectory& visit) {
    std::set<FileId> walked{root.Id()};
    std::vector<Level> levels;
    levels.push_back(Level{fs::path(), root.Id(), &root, nullptr, visit(root)});
    while (!levels.empty()) {
        const std::size_t top = levels.size() - 1;
        if (levels[top].next == levels[top].subdirectories.size()) {
            levels.pop_back();
            continue;
        }
        const fs::path name = std::move(levels[top].subdirectories[levels[top].next++]);
        std::unique_ptr<Directory> child = OpenSubdirectory(Reopened(levels, top), name, log);
        if (!child) {
            continue;
        }
        const FileId id = child->Id();
        const bool onTheWayDown =
            std::any_of(levels.begin(), levels.end(), [&id](const Level& l) { return l.id == id; });
        if (onTheWayDown || holders.count(id) > 0) {
            log << "WARNING: not entering directory loop: " << child->Path() << std::endl;
            continue;
        }
        // Two links to one directory: its files are installed once, from the first way in.
        if (!walked.insert(id).second) {
            log << "WARNING: not entering directory twice: " << child->Path() << std::endl;
            continue;
        }
        LogSubdirectory(log, child->Path());
        std::vector<fs::path> subdirectories = visit(*child);
        const Directory* dir = child.get();
        levels.push_back(Level{name, id, dir, std::move(child), std::move(subdirectories)});
        if (levels.size() - 1 > kOpenLevels) {
            Level& given = levels[levels.size() - 1 - kOpenLevels];
            given.owned.reset();
            given.dir = nullptr;
        }
    }
}
