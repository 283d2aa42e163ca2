// A scratch installation tree for end-to-end tests: build it, run the real handover binary in
// it, then inspect what is left. Removed (with any chattr flags cleared) when the test ends.
// The tree is the folder "home/app" of a scratch folder, so that the folders that hold it, and
// folders beside it ("../sibling", "../../ext"), are scratch folders too: relative paths given to
// the methods below may lead there.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <boost/filesystem/path.hpp>

#include "tests/TestSupport.h"

class TempTree {
  public:
    TempTree();
    ~TempTree();
    TempTree(const TempTree&) = delete;
    TempTree& operator=(const TempTree&) = delete;

    const boost::filesystem::path& Root() const { return root_; }
    // The scratch folder, two levels above the tree.
    boost::filesystem::path Scratch() const { return scratch_.Path().native(); }
    boost::filesystem::path operator/(const std::string& relative) const {
        return root_ / relative;
    }

    // Writes a file (and the directories above it).
    void Write(const std::string& relative, const std::string& content) const;
    std::string Read(const std::string& relative) const;
    bool Exists(const std::string& relative) const;  // lstat: a dangling link exists
    void MakeDir(const std::string& relative) const;
    // A symbolic link to target (relative to the link's folder). On Windows a link to a
    // directory is a junction.
    void Link(const std::string& relative, const std::string& target) const;
    // Copies the client-probe program in as "./client.exe".
    void InstallClient() const;
    // Makes the probe run on for this long once it has written its record.
    void KeepClientRunning(int seconds) const;
    // Whether Link makes links that the system treats as links in every way: links to files,
    // links that lead nowhere, and links to directories that can be removed as links. Not under
    // Wine, which shows a Unix link to a file as the file itself and cannot remove a Unix link to
    // a directory.
    bool NativeLinks() const;
    // A FIFO; false where the file system has none (Windows).
    bool MakeFifo(const std::string& relative) const;
    // chattr on a path of the tree; false when the file system does not support it. POSIX only.
    bool Chattr(const std::string& flags, const std::string& relative);

    // Runs handover in the tree with these arguments; stdout and stderr are captured.
    // command, when given, replaces the plain binary (e.g. an strace prefix).
    RunResult Run(const std::vector<std::string>& args = {},
                  const std::vector<std::string>& prefix = {}) const;
    // Starts handover as Run does, without waiting for it.
    std::unique_ptr<ChildProcess> Start(const std::vector<std::string>& args = {},
                                        const std::vector<std::string>& prefix = {}) const;

    // Every entry below the root, by relative path: "dir", "link:<target>", "special", or the
    // file's content. The report file and the probe's record are left out.
    std::map<std::string, std::string> Snapshot() const;
    // The same of every entry of the scratch folder outside the tree, by path relative to the
    // scratch folder.
    std::map<std::string, std::string> SnapshotOutside() const;

    // The probe's record once the client has written it; empty when it did not start in time.
    std::string WaitForClient(double seconds = kStartSeconds) const;
    // Whether the client was started: waits a little, since it runs on after handover.
    bool ClientStarted() const { return !WaitForClient(0.5).empty(); }

    // The run logs stored in the report file, oldest first, decrypted with support's key
    // (kReportKeyHex); empty when there is none. Raises when the bytes do not read as records.
    std::vector<std::string> ReportLogs() const;
    std::string ReportBytes() const;

  private:
    std::vector<std::string> Command(const std::vector<std::string>& args,
                                     const std::vector<std::string>& prefix) const;

    ScratchDir scratch_;
    boost::filesystem::path root_;
    std::vector<std::string> chattrPaths_;
};

// The entries in which two snapshots differ, one per line: "missing", "extra", or what a path
// holds instead of what was expected.
std::string SnapshotDifference(const std::map<std::string, std::string>& expected,
                               const std::map<std::string, std::string>& actual);

// The run logs in report bytes, oldest first, decrypted with support's key (kReportKeyHex).
// Raises when the bytes do not read as whole records under it.
std::vector<std::string> ReportLogsOf(const std::string& bytes);

// strace with these options, to put in front of handover. LeakSanitizer cannot run under
// ptrace, so a sanitized handover leaves leak checking to its untraced runs. POSIX only.
std::vector<std::string> Strace(const std::vector<std::string>& options);
// Whether strace is installed and may trace here (ptrace allowed). POSIX only.
bool StraceWorks();

// Makes dir the working directory for the object's lifetime, as handover expects to run in its
// installation tree; the previous one comes back at the end.
class WorkingDirectory {
  public:
    explicit WorkingDirectory(const boost::filesystem::path& dir);
    ~WorkingDirectory();
    WorkingDirectory(const WorkingDirectory&) = delete;
    WorkingDirectory& operator=(const WorkingDirectory&) = delete;

  private:
    boost::filesystem::path previous_;
};

// Whether HANDOVER_WRAPPER runs handover under a checker. valgrind turns the launch's vfork into
// a fork, so a client that fails to start is not reported to handover there.
bool UnderChecker();

// The separator the path library puts between the parts it joins.
extern const char kPreferredSeparator;
// Whether names follow POSIX rules: letter case tells them apart, a name may end in a dot, and
// no name in the tree is a device's (Windows: none of these holds).
extern const bool kPosixNames;

// A path of the walk as the path library writes it on this platform: the walk starts from "./"
// and joins each name below with kPreferredSeparator, so every "/" after the leading "./"
// becomes that separator.
std::string Native(const std::string& path);
// A target as the path library makes it from its staged file: the staged file's folder joined
// with the target's name, where the top folder "./" has become ".": "./a" is ".\a" on Windows.
std::string NativeTarget(const std::string& path);
// text between double quotes, as the run log quotes a path that holds no '"' or '&'.
std::string Quoted(const std::string& text);

// The values of one key in the probe's record ("key=value" lines), in order.
std::vector<std::string> ProbeField(const std::string& record, const std::string& key);

// a, then b.
std::vector<std::string> Concat(std::vector<std::string> a, const std::vector<std::string>& b);

// A run that printed nothing and ended with status 0, as every run of handover must.
void ExpectQuietSuccess(const RunResult& run);

// Wall-clock seconds since it was made.
class Stopwatch {
  public:
    double Seconds() const;

  private:
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

// The lines of a log, without their LF.
std::vector<std::string> Lines(const std::string& text);

// The run log lines every run starts with when no session file is in the way.
std::vector<std::string> StartLines();
