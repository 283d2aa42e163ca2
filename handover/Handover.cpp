#include "handover/Handover.h"

#include <algorithm>
#include <exception>
#include <memory>
#include <ostream>
#include <set>
#include <vector>

#include <boost/algorithm/string/predicate.hpp>
#include <boost/chrono/system_clocks.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/thread/thread.hpp>

#include "common/ClientNames.h"
#include "handover/Directory.h"
#include "handover/Errors.h"
#include "handover/FileSystem.h"
#include "handover/Main_Win32.h"

namespace fs = boost::filesystem;

namespace {

constexpr int kSessionChecks = 20;
constexpr int kRemovalAttempts = 20;

// The one pause of the program: a deadline on the monotonic clock, so that a wakeup that comes
// early sleeps on, and a wall clock set back meanwhile (by hand, or by a time service) does not
// stretch it.
void Pause() {
    boost::this_thread::sleep_until(boost::chrono::steady_clock::now() +
                                    boost::chrono::milliseconds(250));
}

bool Exists(const fs::path& path) {
    return fs::exists(fs::status(path));
}

// Removes the target, retrying while it stays; raises when it is still there after the last try.
void RemoveDestination(const fs::path& destination) {
    g_log << "About to attempt delete of file: " << destination << std::endl;
    for (int attempt = 0; attempt < kRemovalAttempts; ++attempt) {
        try {
            RemoveTarget(destination);
        } catch (...) {
            g_log << "WARNING: unable to delete file: " << destination << " (retrying)"
                  << std::endl;
        }
        if (!Exists(destination)) {
            g_log << "File: " << destination << " deleted (OK)" << std::endl;
            return;
        }
        Pause();
    }
    g_errorFlag = true;
    g_log << "ERROR: file: " << destination << " could not be deleted" << std::endl;
    throw RemoveDestinationFileError(nullptr, __FILE__, __LINE__);
}

// The staged file's contents reach the disk before its target goes: renamed while still only
// in memory, a power cut could leave the target's name on an empty or partial file. A staged
// file that cannot be flushed is not installed, and its target stays.
void FlushStaged(const fs::path& source) {
    try {
        FlushContents(source);
    } catch (const fs::filesystem_error& e) {
        g_errorFlag = true;
        g_log << "ERROR: file: " << source
              << " could not be flushed to disk: " << e.code().message() << std::endl;
        throw RemoveDestinationFileError(nullptr, __FILE__, __LINE__);
    }
}

void Install(const fs::path& source, const fs::path& destination) {
    FlushStaged(source);
    RemoveDestination(destination);
    try {
        g_log << "Renaming file: " << source << " to: " << destination << std::endl;
        RenameOnto(source, destination);
        g_log << "File renamed (OK)" << std::endl;
    } catch (...) {
        g_errorFlag = true;
        g_log << "ERROR: rename failed" << std::endl;
        throw RemoveDestinationFileError(nullptr, __FILE__, __LINE__);
    }
}

// Returns whether the directory changed.
bool HandleFile(const fs::path& file) {
    // The directory was listed before its first file was handled, and an install since may have
    // taken this name or turned it into something else: it is left as the listing would have.
    if (KindOf(file) != EntryKind::kFile) {
        return false;
    }
    const std::string name = file.filename().string();
    if (IsSelfCopyName(name)) {
        // A copy of handover itself: the running program cannot be replaced by it, and a copy
        // left behind does no harm.
        try {
            fs::remove(file);
        } catch (...) {
            g_log << "WARNING: unable to delete file: " << name << " (ignoring)" << std::endl;
        }
        return false;
    }
    if (!IsStagedName(name)) {
        return false;
    }
    if (NamesNoTarget(name)) {
        // Its target would be the directory that holds it, or the one above: trying to replace
        // that would fail this run and every run after it.
        g_log << "WARNING: file: " << file << " names no target (ignoring)" << std::endl;
        return false;
    }
    const fs::path destination = StagedDestination(file);
    if (IsLinkToSameFile(file, destination)) {
        // Installing it would remove the very file it leads to and leave a link to nothing. The
        // target already holds what the link stands for; the link itself is of no further use.
        g_log << "WARNING: file: " << file << " is a link to its own target: " << destination
              << " (deleting the link)" << std::endl;
        try {
            fs::remove(file);
        } catch (...) {
            g_log << "WARNING: unable to delete file: " << file << " (ignoring)" << std::endl;
        }
        return true;
    }
    Install(file, destination);
    return true;
}

void LogSubdirectory(const fs::path& subdirectory) {
    g_log << "About to install _tmp_ files in subdirectory: " << subdirectory << std::endl;
}

// Opens a subdirectory for the walk; null when it no longer leads to a directory. The listing was
// taken before the files of its directory were handled, and an install since may have replaced
// an empty directory, or the target of a link to one. A link that cannot be followed is left
// out, as the listing leaves it out; a directory that cannot be opened fails the walk.
std::unique_ptr<Directory> OpenSubdirectory(const fs::path& subdirectory) {
    try {
        return std::make_unique<Directory>(subdirectory);
    } catch (const fs::filesystem_error&) {
        bool directory = true;
        try {
            directory = KindOf(subdirectory) == EntryKind::kDirectory;
        } catch (const fs::filesystem_error&) {
        }
        if (!directory) {
            return nullptr;
        }
        // The log names the directory that could not be searched.
        LogSubdirectory(subdirectory);
        throw;
    }
}

// Handles the files of dir; returns its subdirectories, for the walk to take in turn.
std::vector<fs::path> InstallFiles(Directory& dir) {
    // Only staged names are ever acted on; the self-copy carries the prefix too.
    DirectoryEntries entries = dir.ReadAndClose(IsStagedName);
    // All of a directory's staged files start on their way to the disk at once, so that each
    // flush below mostly finds its file written already.
    for (const fs::path& file : entries.files) {
        if (!IsSelfCopyName(file.filename().string())) {
            StartFlush(file);
        }
    }
    bool changed = false;
    std::exception_ptr failure;
    try {
        for (const fs::path& file : entries.files) {
            changed = HandleFile(file) || changed;
        }
    } catch (...) {
        failure = std::current_exception();
    }
    // After a failure too: what was installed before it stays installed, on the disk as well.
    if (changed) {
        FlushRenames(dir.Path());
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
    return std::move(entries.subdirectories);
}

// The identities of the directories that hold dir. A link up to one of them would take the walk
// out of the tree and over everything beside it: it is not followed.
std::set<DirectoryId> Holders(const fs::path& dir) {
    std::vector<DirectoryId> holders;
    try {
        AddHolders(dir, holders);
    } catch (const fs::filesystem_error& e) {
        g_log << "WARNING: unable to tell the directories above " << e.path1()
              << " (going on): " << e.code().message() << std::endl;
    }
    return std::set<DirectoryId>(holders.begin(), holders.end());
}

// A directory on the way down from the root, with the subdirectories it has left to walk.
struct Level {
    DirectoryId id;
    std::vector<fs::path> subdirectories;
    std::size_t next = 0;
};

}  // namespace

// The renames are in place already; should their names not reach the disk, the next run finds
// the staged files again and installs them once more.
void FlushRenames(const fs::path& dir) {
    try {
        FlushDirectory(dir);
    } catch (const fs::filesystem_error&) {
        g_log << "WARNING: unable to flush directory: " << dir << " (ignoring)" << std::endl;
    }
}

void AwaitClientExit() {
    const fs::path sessionFile = fs::path(BASE_DIR) / SESSION_FILE_NAME;
    g_log << "Waiting for session file: " << sessionFile << " to be deleted" << std::endl;
    for (int check = 0; check < kSessionChecks; ++check) {
        if (!Exists(sessionFile)) {
            g_log << "Session file has been deleted. The client process has exited." << std::endl;
            return;
        }
        Pause();
    }
    g_errorFlag = true;
    g_log << "ERROR: The client process did not remove the session file. Client process is "
             "assumedly still running"
          << std::endl;
    throw SessionFileError(nullptr, __FILE__, __LINE__);
}

// Depth first, files before subdirectories, as a recursive walk would go; the levels are kept on
// the heap, so that the depth of a tree never runs the program out of stack.
void InstallTmpFiles(const fs::path& dir) {
    Directory root(dir);
    const std::set<DirectoryId> holders = Holders(dir);
    std::set<DirectoryId> walked{root.Id()};
    std::vector<Level> levels;
    levels.push_back(Level{root.Id(), InstallFiles(root)});
    while (!levels.empty()) {
        Level& level = levels.back();
        if (level.next == level.subdirectories.size()) {
            levels.pop_back();
            continue;
        }
        const fs::path subdirectory = std::move(level.subdirectories[level.next++]);
        const std::unique_ptr<Directory> child = OpenSubdirectory(subdirectory);
        if (!child) {
            continue;
        }
        const DirectoryId id = child->Id();
        const bool onTheWayDown =
            std::any_of(levels.begin(), levels.end(), [&id](const Level& l) { return l.id == id; });
        if (onTheWayDown || holders.count(id) > 0) {
            g_log << "WARNING: not entering directory loop: " << subdirectory << std::endl;
            continue;
        }
        // Two links to one directory: its files are installed once, from the first way in.
        if (!walked.insert(id).second) {
            g_log << "WARNING: not entering directory twice: " << subdirectory << std::endl;
            continue;
        }
        LogSubdirectory(subdirectory);
        std::vector<fs::path> subdirectories = InstallFiles(*child);
        levels.push_back(Level{id, std::move(subdirectories)});
    }
}

bool IsSelfCopyName(const std::string& name) {
    return boost::algorithm::iequals(name, TMP_SELF_NAME);
}

bool IsStagedName(const std::string& name) {
    return boost::algorithm::iequals(name.substr(0, TMP_PREFIX.size()), TMP_PREFIX);
}

bool NamesNoTarget(const std::string& name) {
    const std::string rest = name.substr(std::min(name.size(), TMP_PREFIX.size()));
    return rest.empty() || rest == "." || rest == "..";
}

fs::path StagedDestination(const fs::path& source) {
    return source.parent_path() / fs::path(source.filename().string().substr(TMP_PREFIX.size()));
}
