// Small pieces shared by the test suites: scratch folders, running a program, hex text.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

struct RunResult {
    int status = -1;  // exit status, or 128 + signal
    std::string out;
    std::string err;
};

// The status of a child that Kill() ended: SIGKILL's on POSIX, and the same number on Windows.
inline constexpr int kKilledStatus = 137;

// A program started with dir as its working directory (looked up on PATH). Output goes to
// files rather than pipes, so that a process it leaves behind cannot hold the caller.
class ChildProcess {
  public:
    ChildProcess(const std::vector<std::string>& command, const std::filesystem::path& dir);
    // A child not waited for is killed and reaped.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Ends the child at once, giving it no chance to clean up.
    void Kill() const;
    // Waits for the child to end; call once.
    RunResult Wait();

  private:
    struct Process;
    std::unique_ptr<Process> process_;
    std::string outFile_;
    std::string errFile_;
};

// Whether the process with this id is still running, and ending it.
bool ProcessIsRunning(int pid);
void KillProcess(int pid);

// Starts command in dir and waits for it.
RunResult RunProgram(const std::vector<std::string>& command, const std::filesystem::path& dir);

// A fresh folder in the temporary folder ($TMPDIR or /tmp; on Windows the user's), removed with
// everything in it at the end.
class ScratchDir {
  public:
    explicit ScratchDir(const std::string& prefix = "handover-test");
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::filesystem::path& Path() const { return path_; }

  private:
    std::filesystem::path path_;
};

// Asks condition every 10 ms until it holds (true) or seconds have gone by (false).
bool WaitFor(const std::function<bool()>& condition, double seconds);

// How long to wait for a program just started to show that it runs (a record, a marker, a
// lock): under Wine on a loaded machine a process can take several seconds to start. The wait
// ends as soon as the sign appears, so only a failing test waits this long.
inline constexpr double kStartSeconds = 30.0;

std::string ReadFile(const std::filesystem::path& path);
std::string ToHex(const std::string& bytes);
std::string FromHex(const std::string& hex);

// The key every failure report is encrypted with (id 4 of the key store), as support holds it.
// Tests decrypt reports with these bytes, never through the key store or the program's key id,
// so that a report written under any other key fails to read.
inline constexpr char kReportKeyHex[] = "9be22394656bd9ecef63f00e822dee67aa2ec3c21c36f5eb";
