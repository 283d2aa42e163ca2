#include "handover/StagedInstall.h"

#include <optional>
#include <ostream>
#include <string>

#include <boost/filesystem/exception.hpp>

#include "handover/Errors.h"
#include "handover/FileSystem.h"
#include "handover/Main_Win32.h"
#include "handover/Pause.h"
#include "handover/StagedNames.h"

namespace fs = boost::filesystem;

namespace {

constexpr int kRemovalAttempts = 20;

// The failure being handled, when it is the file system's, for the run log to say why.
std::optional<fs::filesystem_error> SystemError() {
    try {
        throw;
    } catch (const fs::filesystem_error& e) {
        return e;
    } catch (...) {
        return std::nullopt;
    }
}
constexpr int kFlushAttempts = 20;

// A scanner or indexer that opens a fresh file and shares no writing holds it for a moment
// only: the flush waits for it as the removal waits for a target. Raises the last failure.
void FlushWhenFree(const Directory& dir, const fs::path& name) {
    for (int attempt = 1;; ++attempt) {
        try {
            dir.FlushContents(name);
            return;
        } catch (const fs::filesystem_error& e) {
            if (attempt == kFlushAttempts || !HeldByAnotherProgram(e.code())) {
                throw;
            }
            g_log << "WARNING: unable to flush file: " << dir.Path() / name << " (retrying)"
                  << std::endl;
        }
        Pause();
    }
}

// The staged file's contents reach the disk before its target goes: renamed while still only
// in memory, a power cut could leave the target's name on an empty or partial file. A staged
// file that cannot be flushed is not installed, and its target stays.
void FlushStaged(const Directory& dir, const fs::path& name) {
    try {
        FlushWhenFree(dir, name);
    } catch (const fs::filesystem_error& e) {
        g_errorFlag = true;
        g_log << "ERROR: file: " << dir.Path() / name
              << " could not be flushed to disk: " << e.code().message() << std::endl;
        throw RemoveDestinationFileError(nullptr, __FILE__, __LINE__);
    }
}

// Removes the target, retrying while it stays; raises when it is still there after the last try.
// destination is the target as the run log names it.
void RemoveDestination(const Directory& dir, const fs::path& target, const fs::path& destination) {
    g_log << "About to attempt delete of file: " << destination << std::endl;
    std::optional<fs::filesystem_error> refused;
    for (int attempt = 0; attempt < kRemovalAttempts; ++attempt) {
        try {
            dir.Remove(target);
            refused.reset();
        } catch (...) {
            refused = SystemError();
            g_log << "WARNING: unable to delete file: " << destination << " (retrying)"
                  << std::endl;
        }
        if (!dir.Exists(target)) {
            g_log << "File: " << destination << " deleted (OK)" << std::endl;
            return;
        }
        Pause();
    }
    g_errorFlag = true;
    if (refused) {
        LogSystemError(*refused, destination, fs::path());
    }
    g_log << "ERROR: file: " << destination << " could not be deleted" << std::endl;
    throw RemoveDestinationFileError(nullptr, __FILE__, __LINE__);
}

void Install(const Directory& dir, const fs::path& name, const fs::path& target, bool flushed) {
    const fs::path source = dir.Path() / name;
    const fs::path destination = StagedDestination(source);
    if (!flushed) {
        FlushStaged(dir, name);
    }
    RemoveDestination(dir, target, destination);
    try {
        g_log << "Renaming file: " << source << " to: " << destination << std::endl;
        dir.Rename(name, target);
        g_log << "File renamed (OK)" << std::endl;
    } catch (...) {
        g_errorFlag = true;
        if (const std::optional<fs::filesystem_error> e = SystemError()) {
            LogSystemError(*e, source, destination);
        }
        g_log << "ERROR: rename failed" << std::endl;
        throw RemoveDestinationFileError(nullptr, __FILE__, __LINE__);
    }
}

// Returns whether the names in dir changed.
bool HandleFile(const Directory& dir, const fs::path& name, const StagedFlush& flushed) {
    // The directory was listed before its first file was handled, and an install since may have
    // taken this name or turned it into something else: it is left as the listing would have.
    FileId id{};
    if (dir.KindOf(name, &id) != EntryKind::kFile) {
        return false;
    }
    const std::string text = name.string();
    if (IsSelfCopyName(text)) {
        // A copy of handover itself: the running program cannot be replaced by it, and a copy
        // left behind does no harm.
        try {
            dir.Remove(name);
        } catch (...) {
            g_log << "WARNING: unable to delete file: " << text << " (ignoring)" << std::endl;
        }
        return false;
    }
    if (!IsStagedName(text)) {
        return false;
    }
    const fs::path file = dir.Path() / name;
    if (NamesNoTarget(text)) {
        // Its target would be the directory that holds it, the one above, or a device: trying
        // to replace that would fail this run and every run after it.
        g_log << "WARNING: file: " << file << " names no target (ignoring)" << std::endl;
        return false;
    }
    const fs::path target = TargetName(name);
    if (dir.IsLinkToOwnTarget(name, target)) {
        // Installing it would remove the very file it leads to, or leave it as it is. The target
        // already holds what the link stands for; the link itself is of no further use.
        g_log << "WARNING: file: " << file
              << " is a link to its own target: " << StagedDestination(file)
              << " (deleting the link)" << std::endl;
        try {
            dir.Remove(name);
        } catch (...) {
            g_log << "WARNING: unable to delete file: " << file << " (ignoring)" << std::endl;
        }
        return true;
    }
    Install(dir, name, target, flushed.Covers(id));
    return true;
}

void FlushNamesOf(const Directory& dir, StagedFlush& flushed) {
    if (flushed.FlushesNamesOf(dir)) {
        flushed.AddNames(dir);
    } else {
        FlushRenames(dir);
    }
}

}  // namespace

// The renames are in place already; should their names not reach the disk, the next run finds
// the staged files again and installs them once more, or rotates the archive again.
void FlushRenames(const Directory& dir) {
    try {
        dir.FlushNames();
    } catch (const fs::filesystem_error& e) {
        g_log << "WARNING: unable to flush directory: " << dir.Path()
              << " (ignoring): " << e.code().message() << std::endl;
    }
}

std::vector<fs::path> SurveyDirectory(const Directory& dir, StagedFlush& flushed, Survey& survey) {
    // Only staged names are ever acted on; the self-copy carries the prefix too.
    DirectoryEntries entries = dir.List(IsStagedName);
    for (const fs::path& name : entries.files) {
        survey.staged = true;
        const std::string text = name.string();
        if (!IsSelfCopyName(text) && !NamesNoTarget(text)) {
            flushed.Add(dir, name);
        }
    }
    std::vector<fs::path> subdirectories = entries.subdirectories;
    survey.listings.emplace(dir.Id(), std::move(entries));
    return subdirectories;
}

std::vector<fs::path> InstallDirectory(const Directory& dir, const Survey& survey,
                                       StagedFlush& flushed) {
    DirectoryEntries entries;
    const auto listed = survey.listings.find(dir.Id());
    if (listed != survey.listings.end()) {
        entries = listed->second;
    } else {
        // Not surveyed (the survey stopped short): its staged files are flushed one by one.
        entries = dir.List(IsStagedName);
        for (const fs::path& name : entries.files) {
            if (!IsSelfCopyName(name.string())) {
                dir.StartFlush(name);
            }
        }
    }
    bool changed = false;
    try {
        for (const fs::path& name : entries.files) {
            changed = HandleFile(dir, name, flushed) || changed;
        }
    } catch (...) {
        // What was installed before the failure stays installed, on the disk as well.
        if (changed) {
            FlushNamesOf(dir, flushed);
        }
        throw;
    }
    if (changed) {
        FlushNamesOf(dir, flushed);
    }
    return std::move(entries.subdirectories);
}
