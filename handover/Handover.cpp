#include "handover/Handover.h"

#include <algorithm>
#include <cstdint>
#include <exception>
#include <map>
#include <memory>
#include <ostream>
#include <set>
#include <sstream>
#include <utility>
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
constexpr int kFlushAttempts = 20;

// The one pause of the program: a deadline on the monotonic clock, so that a wakeup that comes
// early sleeps on, and a wall clock set back meanwhile (by hand, or by a time service) does not
// stretch it.
void Pause() {
    boost::this_thread::sleep_until(boost::chrono::steady_clock::now() +
                                    boost::chrono::milliseconds(250));
}

bool Exists(const fs::path& path) {
    return EntryExists(path);
}

// Removes the target, retrying while it stays; raises when it is still there after the last try.
// target is the path to act on, destination the same as the run log names it.
void RemoveDestination(const fs::path& destination, const fs::path& target) {
    g_log << "About to attempt delete of file: " << destination << std::endl;
    for (int attempt = 0; attempt < kRemovalAttempts; ++attempt) {
        try {
            RemoveTarget(target);
        } catch (...) {
            g_log << "WARNING: unable to delete file: " << destination << " (retrying)"
                  << std::endl;
        }
        if (!Exists(target)) {
            g_log << "File: " << destination << " deleted (OK)" << std::endl;
            return;
        }
        Pause();
    }
    g_errorFlag = true;
    g_log << "ERROR: file: " << destination << " could not be deleted" << std::endl;
    throw RemoveDestinationFileError(nullptr, __FILE__, __LINE__);
}

// A scanner or indexer that opens a fresh file and shares no writing holds it for a moment
// only: the flush waits for it as the removal waits for a target. Raises the last failure.
void FlushWhenFree(const fs::path& source) {
    for (int attempt = 1;; ++attempt) {
        try {
            FlushContents(source);
            return;
        } catch (const fs::filesystem_error& e) {
            if (attempt == kFlushAttempts || !HeldByAnotherProgram(e.code())) {
                throw;
            }
            g_log << "WARNING: unable to flush file: " << source << " (retrying)" << std::endl;
        }
        Pause();
    }
}

// The staged file's contents reach the disk before its target goes: renamed while still only
// in memory, a power cut could leave the target's name on an empty or partial file. A staged
// file that cannot be flushed is not installed, and its target stays.
void FlushStaged(const fs::path& source) {
    try {
        FlushWhenFree(source);
    } catch (const fs::filesystem_error& e) {
        g_errorFlag = true;
        g_log << "ERROR: file: " << source
              << " could not be flushed to disk: " << e.code().message() << std::endl;
        throw RemoveDestinationFileError(nullptr, __FILE__, __LINE__);
    }
}

// What the installing walk carries from directory to directory.
struct Context {
    // Flushed staged files, which need no flush of their own.
    const StagedFlush& flushed;
    // Directories whose names renames have changed, with their identities.
    std::vector<std::pair<DirectoryId, fs::path>> renamed;
};

// A target that is a link to a directory may be the very way the walk came to the staged file
// (ext/b -> ., reached as ./a/b): once it is removed, that way leads nowhere. The removal and
// the rename then go by the directory's own path; the run log still names the walk's.
fs::path DirectoryToActIn(const fs::path& source, const fs::path& destination) {
    try {
        if (IsLink(destination) && KindOf(destination) == EntryKind::kDirectory) {
            return ResolvedPath(source.parent_path());
        }
    } catch (const fs::filesystem_error&) {
    }
    return fs::path();
}

void Install(const fs::path& source, const fs::path& destination, bool flushed) {
    const fs::path dir = DirectoryToActIn(source, destination);
    const fs::path from = dir.empty() ? source : dir / source.filename();
    const fs::path to = dir.empty() ? destination : dir / destination.filename();
    if (!flushed) {
        FlushStaged(source);
    }
    RemoveDestination(destination, to);
    try {
        g_log << "Renaming file: " << source << " to: " << destination << std::endl;
        RenameOnto(from, to);
        g_log << "File renamed (OK)" << std::endl;
    } catch (...) {
        g_errorFlag = true;
        g_log << "ERROR: rename failed" << std::endl;
        throw RemoveDestinationFileError(nullptr, __FILE__, __LINE__);
    }
}

// Returns whether the directory changed.
bool HandleFile(const fs::path& file, const StagedFlush& flushed) {
    // The directory was listed before its first file was handled, and an install since may have
    // taken this name or turned it into something else: it is left as the listing would have.
    DirectoryId id{};
    if (KindOf(file, &id) != EntryKind::kFile) {
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
        // Its target would be the directory that holds it, the one above, or a device: trying
        // to replace that would fail this run and every run after it.
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
    Install(file, destination, flushed.Covers(id));
    return true;
}

void LogSubdirectory(std::ostream& log, const fs::path& subdirectory) {
    log << "About to install _tmp_ files in subdirectory: " << subdirectory << std::endl;
}

// Opens a subdirectory for the walk; null when it no longer leads to a directory. The listing was
// taken before the files of its directory were handled, and an install since may have replaced
// an empty directory, or the target of a link to one. A link that cannot be followed is left
// out, as the listing leaves it out; a directory that cannot be opened fails the walk.
std::unique_ptr<Directory> OpenSubdirectory(const fs::path& subdirectory, std::ostream& log) {
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
        LogSubdirectory(log, subdirectory);
        throw;
    }
}

// A directory on the way down from the root, with the subdirectories it has left to walk.
struct Level {
    DirectoryId id;
    std::vector<fs::path> subdirectories;
    std::size_t next = 0;
};

// Walks the tree below root depth first, as the installer goes: visit(dir) handles a directory's
// own entries and returns its subdirectories, which are then walked in turn. Links are followed,
// but never into a directory on the way down, one that holds the tree, or one already walked; the
// walk's own decisions go to log. The levels are kept on the heap, so that the depth of a tree
// never runs the program out of stack.
template <class Visit>
void Walk(Directory& root, const std::set<DirectoryId>& holders, std::ostream& log, Visit visit) {
    std::set<DirectoryId> walked{root.Id()};
    std::vector<Level> levels;
    levels.push_back(Level{root.Id(), visit(root)});
    while (!levels.empty()) {
        Level& level = levels.back();
        if (level.next == level.subdirectories.size()) {
            levels.pop_back();
            continue;
        }
        const fs::path subdirectory = std::move(level.subdirectories[level.next++]);
        const std::unique_ptr<Directory> child = OpenSubdirectory(subdirectory, log);
        if (!child) {
            continue;
        }
        const DirectoryId id = child->Id();
        const bool onTheWayDown =
            std::any_of(levels.begin(), levels.end(), [&id](const Level& l) { return l.id == id; });
        if (onTheWayDown || holders.count(id) > 0) {
            log << "WARNING: not entering directory loop: " << subdirectory << std::endl;
            continue;
        }
        // Two links to one directory: its files are installed once, from the first way in.
        if (!walked.insert(id).second) {
            log << "WARNING: not entering directory twice: " << subdirectory << std::endl;
            continue;
        }
        LogSubdirectory(log, subdirectory);
        std::vector<fs::path> subdirectories = visit(*child);
        levels.push_back(Level{id, std::move(subdirectories)});
    }
}

// What a first walk of the tree found, before anything changes: each directory's listing.
struct Survey {
    std::map<DirectoryId, DirectoryEntries> listings;
    bool staged = false;    // a staged name anywhere
    bool complete = false;  // every directory was listed
    // The walk's own lines, which are the whole log of a walk that finds nothing staged.
    std::ostringstream log;
};

// Lists the tree as the installing walk will, and starts writing out every staged file that
// will be installed, for flushed to get them all onto the disk at once.
void SurveyTree(Directory& root, const std::set<DirectoryId>& holders, StagedFlush& flushed,
                Survey& survey) {
    try {
        Walk(root, holders, survey.log, [&survey, &flushed](Directory& directory) {
            DirectoryEntries entries = directory.ReadAndClose(IsStagedName);
            for (const fs::path& file : entries.files) {
                survey.staged = true;
                const std::string name = file.filename().string();
                if (!IsSelfCopyName(name) && !NamesNoTarget(name)) {
                    flushed.Add(file);
                }
            }
            std::vector<fs::path> subdirectories = entries.subdirectories;
            survey.listings.emplace(directory.Id(), std::move(entries));
            return subdirectories;
        });
        survey.complete = true;
    } catch (const fs::filesystem_error&) {
        // The installing walk lists what the survey could not, and fails where it fails, after
        // installing what comes before.
    }
}

// The survey's listing of a directory, as reached by path.
DirectoryEntries ListingAt(const DirectoryEntries& listing, const fs::path& path) {
    DirectoryEntries entries;
    for (const fs::path& file : listing.files) {
        entries.files.push_back(path / file.filename());
    }
    for (const fs::path& subdirectory : listing.subdirectories) {
        entries.subdirectories.push_back(path / subdirectory.filename());
    }
    return entries;
}

// Handles the files of dir; returns its subdirectories, for the walk to take in turn.
std::vector<fs::path> InstallFiles(Directory& dir, Survey& survey, Context& context) {
    DirectoryEntries entries;
    const auto listed = survey.listings.find(dir.Id());
    if (listed != survey.listings.end()) {
        entries = ListingAt(listed->second, dir.Path());
    } else {
        // Not surveyed (the survey stopped short): its staged files are flushed one by one.
        // Only staged names are ever acted on; the self-copy carries the prefix too.
        entries = dir.ReadAndClose(IsStagedName);
        for (const fs::path& file : entries.files) {
            if (!IsSelfCopyName(file.filename().string())) {
                StartFlush(file);
            }
        }
    }
    bool changed = false;
    try {
        for (const fs::path& file : entries.files) {
            changed = HandleFile(file, context.flushed) || changed;
        }
    } catch (...) {
        if (changed) {
            context.renamed.emplace_back(dir.Id(), dir.Path());
        }
        throw;
    }
    if (changed) {
        context.renamed.emplace_back(dir.Id(), dir.Path());
    }
    return std::move(entries.subdirectories);
}

// Gets the new names of every directory in renamed onto the disk: one flush per file system
// where the staged files were flushed so, one per directory elsewhere.
void FlushNames(const std::vector<std::pair<DirectoryId, fs::path>>& renamed,
                bool wholeFileSystems) {
    std::set<std::uint64_t> fileSystems;
    for (const auto& [id, dir] : renamed) {
        if (!wholeFileSystems) {
            FlushRenames(dir);
        } else if (fileSystems.insert(id.device).second) {
            try {
                FlushFileSystem(dir);
            } catch (const fs::filesystem_error&) {
                g_log << "WARNING: unable to flush directory: " << dir << " (ignoring)"
                      << std::endl;
            }
        }
    }
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

// Two walks: the first lists the whole tree and starts writing out every staged file, so that
// all of them reach the disk together, in as few device flushes as the platform allows, before
// the first target goes; the second installs, in the same order, from the first one's listings.
// A directory that the first walk did not list (it stopped at one that cannot be listed, or an
// install has since put another directory in its place) is listed then, and its staged files
// flushed one by one, as each is installed.
void InstallTmpFiles(const fs::path& dir) {
    Directory root(dir);
    const std::set<DirectoryId> holders = Holders(dir);
    StagedFlush flushed;
    Survey survey;
    SurveyTree(root, holders, flushed, survey);
    if (survey.complete && !survey.staged) {
        g_log << survey.log.str();
        return;
    }
    try {
        flushed.Flush();
    } catch (const fs::filesystem_error& e) {
        g_errorFlag = true;
        g_log << "ERROR: staged files on the file system of: " << e.path1()
              << " could not be flushed to disk: " << e.code().message() << std::endl;
        throw RemoveDestinationFileError(nullptr, __FILE__, __LINE__);
    }
    Context context{flushed, {}};
    try {
        Directory again(dir);
        Walk(again, holders, g_log, [&survey, &context](Directory& directory) {
            return InstallFiles(directory, survey, context);
        });
    } catch (...) {
        // What was installed before the failure stays installed, on the disk as well.
        FlushNames(context.renamed, flushed.WholeFileSystems());
        throw;
    }
    FlushNames(context.renamed, flushed.WholeFileSystems());
}

bool IsSelfCopyName(const std::string& name) {
    return boost::algorithm::iequals(name, TMP_SELF_NAME);
}

bool IsStagedName(const std::string& name) {
    return boost::algorithm::iequals(name.substr(0, TMP_PREFIX.size()), TMP_PREFIX);
}

bool NamesNoTarget(const std::string& name) {
    const std::string rest = name.substr(std::min(name.size(), TMP_PREFIX.size()));
    return rest.empty() || rest == "." || rest == ".." || NamesADevice(rest);
}

fs::path StagedDestination(const fs::path& source) {
    return source.parent_path() / fs::path(source.filename().string().substr(TMP_PREFIX.size()));
}
