#include "handover/Walk.h"

#include <algorithm>
#include <cstddef>
#include <memory>
#include <utility>

#include <boost/filesystem/exception.hpp>
#include <boost/system/error_code.hpp>

namespace fs = boost::filesystem;

namespace {

// A level keeps its directory open while it has subdirectories left to walk: it is then opened
// through it, wherever the way from the root leads by then (an install below may have replaced a
// link on it). One with none left gives its directory up as the walk goes below it. So that a
// tree that branches at every level cannot run the process out of descriptors, no more than this
// many are held; past it the shallowest gives its up, and is opened again through the level above
// it, by name, when its turn comes back.
constexpr std::size_t kMostOpen = 64;

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

void GiveUp(Level& level) {
    level.owned.reset();
    level.dir = nullptr;
}

// Past kMostOpen held, the shallowest level but the root gives its directory up.
void GiveUpBeyondMost(std::vector<Level>& levels) {
    std::size_t held = 0;
    for (std::size_t i = 1; i < levels.size(); ++i) {
        held += levels[i].owned ? 1 : 0;
    }
    for (std::size_t i = 1; held > kMostOpen && i < levels.size(); ++i) {
        if (levels[i].owned) {
            GiveUp(levels[i]);
            --held;
        }
    }
}

// The directory of levels[at], opened again through the nearest level above that is still open
// when it has given its own up. Should what is there now not be the directory walked before (the
// way to it changed, by another program or by an install below it), the walk stops there.
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
        GiveUpBeyondMost(levels);
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
        // Its last subdirectory taken, a level is not gone back to but to be left.
        if (top > 0 && levels[top].next == levels[top].subdirectories.size()) {
            GiveUp(levels[top]);
        }
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
        GiveUpBeyondMost(levels);
    }
}
