// The run of handover: wait for the client to exit, install the staged files, rotate the
// runtime archive, start the client again. Prints nothing; every event goes to the run log,
// which is encrypted and appended to the report file only when a step failed.
#pragma once

#include <sstream>

namespace boost {
namespace filesystem {
class filesystem_error;
class path;
}  // namespace filesystem
}  // namespace boost

// The report file in the working directory, and the id of the key its records are encrypted with.
inline constexpr const char REPORT_FILE_NAME[] = "poker.jex";
inline constexpr int REPORT_KEY_ID = 4;

// The run log: one line per event, each ended by LF. Only ever appended to.
extern std::ostringstream g_log;
// Set when any step fails; never cleared. Decides whether the failure report is written.
extern bool g_errorFlag;

// Writes the "ERROR: " line that says what a failure of the file system was: the operation, the
// path or paths it failed on, and the system's own words for why. The second form names the
// paths as the run log has named them before (path2 empty when there is one).
void LogSystemError(const boost::filesystem::filesystem_error& error);
void LogSystemError(const boost::filesystem::filesystem_error& error,
                    const boost::filesystem::path& path1, const boost::filesystem::path& path2);

// The whole run; argv[0] is not read, the rest go to the client. Always returns 0.
int HandoverMain(int argc, char** argv);

// Renames "./rt/lib/rt-0.jar" to "./rt/lib/rt-0.jar.old", if the archive exists. Whatever stands
// at the rotated name gives way, a directory with everything in it included (links removed,
// never followed). Raises boost::filesystem::filesystem_error when the system refuses the
// rename or the removal, or the status query fails.
void RotateRuntimeArchive();

// Starts "./client.exe" with args[0..count) (UTF-8) joined by blanks, without waiting for it.
// Raises RunClientError (after setting g_errorFlag and logging) when it cannot be started or
// the command line does not fit CMD_LINE_CAPACITY (LaunchProcess.h).
void RunClient(int count, char** args);

// Appends the run log, encrypted, to REPORT_FILE_NAME. Failures to open or write are silent.
void WriteFailureReport();
