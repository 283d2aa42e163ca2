#include "handover/Handover.h"

#include <algorithm>
#include <exception>
#include <memory>
#include <ostream>
#include <vector>

#include <boost/algorithm/string/predicate.hpp>
#include <boost/date_time/posix_time/posix_time_types.hpp>
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

// The one pause of the program: an absolute deadline, so a wakeup that comes early sleeps on.
void Pause() {
    const boost::posix_time::ptime until = boost::posix_time::microsec_clock::universal_time() +
                                           boost::posix_time::microseconds(250000);
    boost::this_thread::sleep(until);
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

void Install(const fs::path& source) {
    const fs::path destination = StagedDestination(source);
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

// Returns whether the file was installed, and so renamed.
bool HandleFile(const fs::path& file) {
    const std::string name = file.filename().string();
    if (IsSelfCopyName(name)) {
        // A copy of handover itself: the running program cannot be replaced by it, and a copy
        // left behind does no harm.
        try {
            fs::remove(file);
        } catch (...) {
            g_log << "WARNING: unable to delete file: " << name << " (ignoring)" << std::endl;
        }
    } else if (IsStagedName(name)) {
        Install(file);
        return true;
    }
    return false;
}

void LogSubdirectory(const fs::path& subdirectory) {
    g_log << "About to install _tmp_ files in subdirectory: " << subdirectory << std::endl;
}

// Opens a subdirectory for the walk; null when it is no longer a directory. The listing was
// taken before this directory's files were handled, and a staged file may have replaced an
// empty directory (or a link to one) since: it has nothing left to install.
std::unique_ptr<Directory> OpenSubdirectory(const fs::path& subdirectory) {
    try {
        return std::make_unique<Directory>(subdirectory);
    } catch (const fs::filesystem_error& e) {
        if (e.code() == boost::system::errc::not_a_directory) {
            return nullptr;
        }
        // The log names the directory that could not be searched.
        LogSubdirectory(subdirectory);
        throw;
    }
}

// walkPath holds the directories from the root down to dir, so that a link leading back up
// is not followed round again.
void InstallTree(Directory& dir, std::vector<DirectoryId>& walkPath) {
    // Only staged names are ever acted on; the self-copy carries the prefix too.
    const DirectoryEntries entries = dir.ReadAndClose(IsStagedName);
    // All of a directory's staged files start on their way to the disk at once, so that each
    // flush below mostly finds its file written already.
    for (const fs::path& file : entries.files) {
        if (!IsSelfCopyName(file.filename().string())) {
            StartFlush(file);
        }
    }
    bool renamed = false;
    std::exception_ptr failure;
    try {
        for (const fs::path& file : entries.files) {
            renamed = HandleFile(file) || renamed;
        }
    } catch (...) {
        failure = std::current_exception();
    }
    // After a failure too: what was installed before it stays installed, on the disk as well.
    if (renamed) {
        FlushRenames(dir.Path());
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
    for (const fs::path& subdirectory : entries.subdirectories) {
        const std::unique_ptr<Directory> child = OpenSubdirectory(subdirectory);
        if (!child) {
            continue;
        }
        if (std::find(walkPath.begin(), walkPath.end(), child->Id()) != walkPath.end()) {
            g_log << "WARNING: not entering directory loop: " << subdirectory << std::endl;
            continue;
        }
        LogSubdirectory(subdirectory);
        walkPath.push_back(child->Id());
        InstallTree(*child, walkPath);
        walkPath.pop_back();
    }
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

void InstallTmpFiles(const fs::path& dir) {
    Directory root(dir);
    std::vector<DirectoryId> walkPath{root.Id()};
    InstallTree(root, walkPath);
}

bool IsSelfCopyName(const std::string& name) {
    return boost::algorithm::iequals(name, TMP_SELF_NAME);
}

bool IsStagedName(const std::string& name) {
    return boost::algorithm::iequals(name.substr(0, TMP_PREFIX.size()), TMP_PREFIX);
}

fs::path StagedDestination(const fs::path& source) {
    return source.parent_path() / fs::path(source.filename().string().substr(TMP_PREFIX.size()));
}
