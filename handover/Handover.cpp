#include "handover/Handover.h"

#include <ostream>
#include <set>

#include <boost/filesystem/exception.hpp>

#include "common/ClientNames.h"
#include "handover/Directory.h"
#include "handover/Errors.h"
#include "handover/FileSystem.h"
#include "handover/Main_Win32.h"
#include "handover/Pause.h"
#include "handover/StagedFlush.h"
#include "handover/StagedInstall.h"
#include "handover/Walk.h"

namespace fs = boost::filesystem;

namespace {

constexpr int kSessionChecks = 20;

// The installation takes four steps, so that every staged file reaches the disk before the first
// target goes, in as few device flushes as the platform allows: a first walk lists the whole tree
// and starts writing out every staged file; they are flushed together; a second walk, in the
// same order, installs from the first one's listings; the new names are flushed together.

void SurveyTree(const Directory& root, const std::set<FileId>& holders, StagedFlush& flushed,
                Survey& survey) {
    try {
        Walk(root, holders, survey.log, [&flushed, &survey](const Directory& dir) {
            return SurveyDirectory(dir, flushed, survey);
        });
        survey.complete = true;
    } catch (const fs::filesystem_error&) {
        // The installing walk lists what the survey could not, and fails where it fails, after
        // installing what comes before.
    }
}

void FlushStagedFiles(StagedFlush& flushed) {
    try {
        flushed.Flush();
    } catch (const fs::filesystem_error& e) {
        g_errorFlag = true;
        g_log << "ERROR: staged files on the file system of: " << e.path1()
              << " could not be flushed to disk: " << e.code().message() << std::endl;
        throw RemoveDestinationFileError(nullptr, __FILE__, __LINE__);
    }
}

// A directory that the survey did not list (it stopped at one that cannot be listed, or an
// install has since put another directory in its place) is listed now, and its staged files
// flushed one by one, as each is installed.
void InstallTree(const Directory& root, const std::set<FileId>& holders, const Survey& survey,
                 StagedFlush& flushed) {
    Walk(root, holders, g_log, [&survey, &flushed](const Directory& dir) {
        return InstallDirectory(dir, survey, flushed);
    });
}

void FlushNewNames(StagedFlush& flushed) {
    for (const fs::filesystem_error& e : flushed.FlushNames()) {
        g_log << "WARNING: unable to flush the file system of: " << e.path1()
              << " (ignoring): " << e.code().message() << std::endl;
    }
}

}  // namespace

void AwaitClientExit() {
    const fs::path sessionFile = fs::path(BASE_DIR) / SESSION_FILE_NAME;
    g_log << "Waiting for session file: " << sessionFile << " to be deleted" << std::endl;
    for (int check = 0; check < kSessionChecks; ++check) {
        if (!EntryExists(sessionFile)) {
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
    const Directory root(dir);
    const std::set<FileId> holders = HoldersOf(dir, g_log);
    StagedFlush flushed;
    Survey survey;
    SurveyTree(root, holders, flushed, survey);
    if (survey.complete && !survey.staged) {
        g_log << survey.log.str();
        return;
    }
    FlushStagedFiles(flushed);
    try {
        InstallTree(root, holders, survey, flushed);
    } catch (...) {
        // What was installed before the failure stays installed, on the disk as well.
        FlushNewNames(flushed);
        throw;
    }
    FlushNewNames(flushed);
}
