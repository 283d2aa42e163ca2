#include "handover/Main_Win32.h"

#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>

#include <boost/filesystem/operations.hpp>
#include <boost/filesystem/path.hpp>

#include "common/ClientNames.h"
#include "handover/CommandLine.h"
#include "handover/Directory.h"
#include "handover/Errors.h"
#include "handover/FileSystem.h"
#include "handover/Handover.h"
#include "handover/LaunchProcess.h"
#include "handover/RunLock.h"
#include "handover/StagedInstall.h"
#include "util/ByteArray.h"
#include "util/Crypto.h"
#include "util/CryptoKeys.h"

namespace fs = boost::filesystem;

std::ostringstream g_log;
bool g_errorFlag = false;

void LogSystemError(const fs::filesystem_error& error) {
    LogSystemError(error, error.path1(), error.path2());
}

void LogSystemError(const fs::filesystem_error& error, const fs::path& path1,
                    const fs::path& path2) {
    // The operation is what the error was raised with; the library's own operations carry their
    // namespace, which says nothing to support.
    std::string operation = error.std::runtime_error::what();
    const std::string library = "boost::filesystem::";
    if (operation.compare(0, library.size(), library) == 0) {
        operation.erase(0, library.size());
    }
    g_log << "ERROR: " << operation << ": " << path1;
    if (!path2.empty()) {
        g_log << " to: " << path2;
    }
    g_log << ": " << error.code().message() << std::endl;
}

void RotateRuntimeArchive() {
    const fs::path archive("./rt/lib/rt-0.jar");
    if (!EntryExists(archive)) {
        return;
    }
    const fs::path name = archive.filename();
    const fs::path rotated = "rt-0.jar.old";
    const Directory lib(archive.parent_path());
    FileId archiveId{}, rotatedId{};
    if (lib.KindOf(name, &archiveId) != EntryKind::kOther &&
        lib.KindOf(rotated, &rotatedId) != EntryKind::kOther && archiveId == rotatedId &&
        !lib.IsLinkToOwnTarget(rotated, name)) {
        // The archive leads to the older one itself (a link to it, or a second name for it): its
        // bytes are aside already, and only its name is left to go.
        lib.Remove(name);
    } else {
        // Whatever stands at the rotated name held the archive before it, whatever its shape now:
        // it gives way whole. Left there, a rename could not replace it (a directory with
        // anything in it, or of the other kind), and would fail this run and every run after it.
        lib.RemoveAll(rotated);
        lib.Rename(name, rotated);
    }
    FlushRenames(lib);
}

void RunClient(int count, char** args) {
    const std::string commandLine =
        BuildCommandLine((fs::path(BASE_DIR) / "client.exe").string(), count, args);
    // A command line that does not fit is refused whole: a shortened one would start the
    // client with arguments it was never given.
    const bool fits = FitsLaunchBuffer(commandLine);
    g_log << "About to launch client exe with command: " << commandLine << std::endl;
    if (!fits || !LaunchProcess(commandLine)) {
        g_errorFlag = true;
        g_log << "ERROR: unable to launch client exe" << std::endl;
        throw RunClientError(nullptr, __FILE__, __LINE__);
    }
    g_log << "client exe launch OK" << std::endl;
}

void WriteFailureReport() {
    const std::string text = g_log.str();
    const Kvo::ByteArray plain(text.data(), text.size());
    Kvo::CryptoKeys::Instance();
    const std::string& key = Kvo::CryptoKeys::GetKey(REPORT_KEY_ID);
    const std::unique_ptr<Kvo::ByteArray> cipher = Kvo::EncryptTripleDes(plain, key);
    // Opened only now, so that a failure above leaves the report file untouched. Records carry
    // no length: a record cut short (a full disk) would shift every later record off its blocks,
    // so it goes in whole or not at all.
    try {
        AppendToFile(REPORT_FILE_NAME,
                     std::string(reinterpret_cast<const char*>(cipher->Data()), cipher->Size()));
    } catch (const fs::filesystem_error&) {
        // Lost: nothing is left to report a report's failure to.
    }
}

namespace {

// Whether this run may go on: a run that finds another one at work in the directory leaves the
// whole update to it, including the client's start. Where the directory cannot be locked at all
// the run goes on unlocked: an update must never be held up by the lock.
bool MayRun(const RunLock& lock) {
    switch (lock.GetStatus()) {
        case RunLock::Status::kLocked:
            return true;
        case RunLock::Status::kBusy:
            g_log << "Another handover run holds the installation directory. Leaving the update "
                     "to it."
                  << std::endl;
            return false;
        case RunLock::Status::kUnavailable:
            break;
    }
    g_log << "WARNING: unable to lock the installation directory (going on unlocked): "
          << lock.Reason() << std::endl;
    return true;
}

// Says what the failure being handled was, unless it said so itself: the program's own errors
// have written their "ERROR: " line where they were raised; everything else (the file system's
// errors above all) gets one here, so that support can tell what went wrong and why.
void LogWhatFailed() noexcept {
    try {
        try {
            throw;
        } catch (const RunClientError&) {
        } catch (const SessionFileError&) {
        } catch (const RemoveDestinationFileError&) {
        } catch (const fs::filesystem_error& e) {
            LogSystemError(e);
        } catch (const std::exception& e) {
            // One line, whatever the text holds: the utility library's errors end in a line end.
            std::string text = e.what();
            while (!text.empty() && text.back() == '\n') {
                text.pop_back();
            }
            for (char& c : text) {
                c = c == '\n' ? ' ' : c;
            }
            g_log << "ERROR: " << text << std::endl;
        }
    } catch (...) {
        // Nothing is known of it, or saying what it was failed as well.
    }
}

void RunSteps(int argc, char** argv) {
    g_log << "Awaiting client exit" << std::endl;
    AwaitClientExit();
    g_log << "About to install _tmp_ files" << std::endl;
    InstallTmpFiles(fs::path(BASE_DIR));
    g_log << "About to rename old RT" << std::endl;
    RotateRuntimeArchive();
    g_log << "About to launch the client" << std::endl;
    RunClient(argc - 1, argv + 1);
}

}  // namespace

int HandoverMain(int argc, char** argv) {
    // Held to the very end, over the report too, so that two runs never append at once.
    std::unique_ptr<RunLock> lock;
    try {
        g_log << "START: handover" << std::endl;
        lock = std::make_unique<RunLock>(fs::path(BASE_DIR));
        if (MayRun(*lock)) {
            RunSteps(argc, argv);
        }
    } catch (...) {
        g_errorFlag = true;
        LogWhatFailed();
        g_log << "ERROR: unknown exception" << std::endl;
    }
    g_log << "EXIT: handover" << std::endl;
    if (g_errorFlag) {
        // Nothing is left to fall back on once the report itself fails: the run still ends
        // quietly with status 0.
        try {
            WriteFailureReport();
        } catch (...) {
        }
    }
    return 0;
}
