// handover.exe stopped at any call that changes the tree, then simply run again, must end where
// one uninterrupted run ends, and the second run must start the client: the walk that
// tests/CrashRerun_test.cpp makes on Linux with strace. Under Wine the renames and deletes are
// carried out by wineserver, where strace cannot stop them; so the launcher here starts
// handover.exe suspended, has it load crash_hook.dll (a thread of its own started at
// LoadLibraryW, which under Wine 8 also runs the loader's start of the process) and only then
// resumes it. The hook's stand-ins, in handover.exe's import table, list each call that
// changes something and end the process at the chosen one (tests/CrashHook_Win32.h), at once
// and with no cleanup, just before the call or, in a second pass, just after it.
//
// A first hooked run that never stops lists the calls; it must also end exactly as a plain
// run. Then, for each call in turn, a fresh tree: the run stopped there, every staged file's
// contents still under its own name or its target's, then a plain rerun, which must leave the
// tree as the uninterrupted run left it, start the client and write no report.
#include <windows.h>

#include <cstring>
#include <cwchar>
#include <iostream>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include <gtest/gtest.h>
#include <boost/filesystem/operations.hpp>

#include "handover/Utf16_Win32.h"
#include "tests/CrashHook_Win32.h"
#include "tests/TempTree.h"

namespace fs = boost::filesystem;

namespace {

using Snapshot = std::map<std::string, std::string>;

const std::vector<std::string> kArgs = {"--after-update", "2.0"};

// No run of handover on these trees, hooked or not, comes near this; one that does is ended.
constexpr DWORD kRunMilliseconds = 60000;

// --- Running handover.exe, hooked or not --------------------------------------------------------

struct HandleCloser {
    void operator()(HANDLE handle) const {
        if (handle != INVALID_HANDLE_VALUE) {
            CloseHandle(handle);
        }
    }
};
using Handle = std::unique_ptr<void, HandleCloser>;

// Memory in another process, holding a copy of text.
class RemoteText {
  public:
    RemoteText(HANDLE process, const std::wstring& text)
        : process_(process),
          address_(VirtualAllocEx(process, nullptr, (text.size() + 1) * sizeof(wchar_t),
                                  MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE)) {
        if (address_ != nullptr &&
            !WriteProcessMemory(process, address_, text.c_str(),
                                (text.size() + 1) * sizeof(wchar_t), nullptr)) {
            VirtualFreeEx(process_, address_, 0, MEM_RELEASE);
            address_ = nullptr;
        }
    }
    ~RemoteText() {
        if (address_ != nullptr) {
            VirtualFreeEx(process_, address_, 0, MEM_RELEASE);
        }
    }
    RemoteText(const RemoteText&) = delete;
    RemoteText& operator=(const RemoteText&) = delete;

    void* Address() const { return address_; }

  private:
    HANDLE process_;
    void* address_;
};

std::string SystemMessage(DWORD err) {
    return std::to_string(err) + " (" + std::system_category().message(static_cast<int>(err)) + ")";
}

// This process's environment with setting added, as CreateProcessW takes it.
std::vector<wchar_t> EnvironmentWith(const std::wstring& setting) {
    const std::unique_ptr<wchar_t, decltype(&FreeEnvironmentStringsW)> strings(
        GetEnvironmentStringsW(), FreeEnvironmentStringsW);
    std::vector<wchar_t> block;
    const std::wstring name = std::wstring(kCrashPlanVariable) + L"=";
    for (const wchar_t* entry = strings.get(); entry != nullptr && *entry != L'\0';
         entry += std::wcslen(entry) + 1) {
        if (_wcsnicmp(entry, name.c_str(), name.size()) != 0) {
            block.insert(block.end(), entry, entry + std::wcslen(entry) + 1);
        }
    }
    block.insert(block.end(), setting.begin(), setting.end());
    block.push_back(L'\0');
    block.push_back(L'\0');
    return block;
}

HANDLE OpenOutput(const std::string& path) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    return CreateFileW(FromUtf8(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// What a run wrote into the file, which is removed.
std::string TakeOutput(const std::string& path) {
    const std::string text = ReadFile(std::filesystem::u8path(path));
    boost::system::error_code ignored;
    fs::remove(fs::path(FromUtf8(path)), ignored);
    return text;
}

// Has the suspended process load the hook: a thread of its own that starts at LoadLibraryW, at
// this process's address of it, since Windows and Wine map kernel32 at one address in every
// process. Under Wine 8 that thread, the process's first to run, also binds the program's
// imports before the hook's DllMain runs. Empty when LoadLibraryW returned, otherwise why not;
// whether the hook is in place its "ready" line tells (the thread's exit code holds only the
// low half of the module's address).
std::string LoadHook(HANDLE process) {
    const RemoteText path(process, FromUtf8(CRASH_HOOK_DLL));
    if (path.Address() == nullptr) {
        return "cannot write into the process: " + SystemMessage(GetLastError());
    }
    const auto loadLibrary = reinterpret_cast<LPTHREAD_START_ROUTINE>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "LoadLibraryW")));
    const Handle thread(
        CreateRemoteThread(process, nullptr, 0, loadLibrary, path.Address(), 0, nullptr));
    if (thread == nullptr) {
        return "CreateRemoteThread: " + SystemMessage(GetLastError());
    }
    if (WaitForSingleObject(thread.get(), kRunMilliseconds) != WAIT_OBJECT_0) {
        return "LoadLibraryW did not return";
    }
    return std::string();
}

// Runs program in the tree with args (none needing quotes); plan, when given, has it load the
// hook first. The run is ended once kRunMilliseconds are up, and then fails.
RunResult Launch(const std::string& program, const std::vector<std::string>& args,
                 const TempTree& tree, const std::wstring& plan) {
    static int count = 0;
    const std::string base = tree.Root().string() + ".run" + std::to_string(++count);
    RunResult result;
    std::wstring line = L"\"" + FromUtf8(program) + L"\"";
    for (const std::string& arg : args) {
        line += L" " + FromUtf8(arg);
    }
    std::vector<wchar_t> environment;
    if (!plan.empty()) {
        environment = EnvironmentWith(std::wstring(kCrashPlanVariable) + L"=" + plan);
    }
    PROCESS_INFORMATION info{};
    {
        const Handle in(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, 0, nullptr));
        const Handle out(OpenOutput(base + ".out"));
        const Handle err(OpenOutput(base + ".err"));
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = in.get();
        startup.hStdOutput = out.get();
        startup.hStdError = err.get();
        if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE,
                            CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT,
                            plan.empty() ? nullptr : environment.data(),
                            tree.Root().wstring().c_str(), &startup, &info)) {
            result.err = "cannot start handover: " + SystemMessage(GetLastError());
            return result;
        }
    }
    const Handle process(info.hProcess);
    const Handle thread(info.hThread);
    const std::string problem = plan.empty() ? std::string() : LoadHook(process.get());
    if (problem.empty()) {
        ResumeThread(thread.get());
        if (WaitForSingleObject(process.get(), kRunMilliseconds) == WAIT_OBJECT_0) {
            DWORD code = 0;
            GetExitCodeProcess(process.get(), &code);
            result.status = static_cast<int>(code);
        } else {
            result.err = "ended after " + std::to_string(kRunMilliseconds / 1000) + " s; ";
        }
    } else {
        result.err = "the hook was not loaded: " + problem + "; ";
    }
    if (result.status == -1) {
        TerminateProcess(process.get(), kKilledStatus);
        WaitForSingleObject(process.get(), kRunMilliseconds);
    }
    result.out = TakeOutput(base + ".out");
    result.err += TakeOutput(base + ".err");
    return result;
}

RunResult RunHandover(const TempTree& tree, const std::wstring& plan = std::wstring()) {
    return Launch(HANDOVER_BIN, kArgs, tree, plan);
}

// --- What the hook lists ------------------------------------------------------------------------

struct ListedCall {
    std::string kind;
    std::string function;
    std::string detail;
    std::string Text() const { return kind + " " + function + " " + detail; }
    bool operator==(const ListedCall& other) const { return Text() == other.Text(); }
};

struct CallList {
    bool ready = false;
    std::set<std::string> hooked;                // "MODULE!FUNCTION"
    std::set<std::string> unhooked;              // "MODULE!FUNCTION"
    std::map<std::string, std::string> lookups;  // function: how it was found
    std::vector<ListedCall> calls;
};

std::vector<std::string> Fields(const std::string& line) {
    std::vector<std::string> fields;
    std::istringstream in(line);
    for (std::string field; std::getline(in, field, '\t');) {
        fields.push_back(field);
    }
    return fields;
}

CallList ReadCallList(const fs::path& file) {
    CallList list;
    boost::system::error_code ignored;
    if (!fs::exists(file, ignored)) {
        return list;
    }
    for (const std::string& line : Lines(ReadFile(std::filesystem::path(file.wstring())))) {
        const std::vector<std::string> fields = Fields(line);
        if (fields.size() == 1 && fields[0] == "ready") {
            list.ready = true;
        } else if (fields.size() == 2 && fields[0] == "hooked") {
            list.hooked.insert(fields[1]);
        } else if (fields.size() == 2 && fields[0] == "unhooked") {
            list.unhooked.insert(fields[1]);
        } else if (fields.size() == 3 && fields[0] == "lookup") {
            list.lookups[fields[1]] = fields[2];
        } else if (fields.size() == 4 && fields[0] == std::to_string(list.calls.size() + 1)) {
            list.calls.push_back({fields[1], fields[2], fields[3]});
        } else {
            list.calls.push_back({"unreadable", "", line});
        }
    }
    fs::remove(file, ignored);
    return list;
}

// --- Installations ------------------------------------------------------------------------------

struct Entry {
    std::string path;
    std::string content;  // a file's; empty for a directory
    bool readOnly = false;
};
using Installation = std::vector<Entry>;

bool IsReadOnly(const fs::path& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
}

void Build(const TempTree& tree, const Installation& installation) {
    tree.InstallClient();
    for (const Entry& entry : installation) {
        if (entry.content.empty()) {
            tree.MakeDir(entry.path);
        } else {
            tree.Write(entry.path, entry.content);
        }
    }
    for (const Entry& entry : installation) {
        if (entry.readOnly) {
            ASSERT_TRUE(SetFileAttributesW((tree / entry.path).c_str(), FILE_ATTRIBUTE_READONLY));
        }
    }
}

// The tree as TempTree::Snapshot has it, with each read-only entry marked: an installed file
// carries its staged file's attributes.
Snapshot Listing(const TempTree& tree) {
    Snapshot listing = tree.Snapshot();
    for (auto& [path, content] : listing) {
        if (IsReadOnly(tree / path)) {
            content += " (read-only)";
        }
    }
    return listing;
}

std::string Lower(std::string text) {
    for (char& c : text) {
        c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return text;
}

// The places where a file's contents may be while a run is under way: a staged file's under its
// own name or its target's, the runtime archive's under its own or the old one's. The self-copy
// is deleted, never installed.
std::vector<std::pair<Entry, std::vector<std::string>>> Places(const Installation& installation) {
    std::vector<std::pair<Entry, std::vector<std::string>>> places;
    for (const Entry& entry : installation) {
        const fs::path path(entry.path);
        const std::string name = path.filename().string();
        if (entry.content.empty() || Lower(name) == "_tmp_handover.exe") {
            continue;
        }
        if (Lower(name).compare(0, 5, "_tmp_") == 0) {
            places.push_back(
                {entry, {entry.path, (path.parent_path() / name.substr(5)).generic_string()}});
        } else if (entry.path == "rt/lib/rt-0.jar") {
            places.push_back({entry, {entry.path, entry.path + ".old"}});
        }
    }
    return places;
}

// What is not where Places says it may be, one line each.
std::string Misplaced(const TempTree& tree, const Installation& installation) {
    std::ostringstream out;
    for (const auto& [entry, candidates] : Places(installation)) {
        bool found = false;
        for (const std::string& candidate : candidates) {
            boost::system::error_code ignored;
            found = found || (fs::is_regular_file(tree / candidate, ignored) &&
                              tree.Read(candidate) == entry.content);
        }
        if (!found) {
            out << "  \"" << entry.content << "\" (" << entry.path << ") is under neither "
                << ::testing::PrintToString(candidates) << "\n";
        }
    }
    return out.str();
}

// Read-only staged files that a stopped run left writable, staged or installed, as target and
// contents. Windows flushes a file only through write access, which the attribute refuses:
// handover clears it for the flush and sets it back before the rename. Stopped in between, the
// file keeps its contents, but nothing tells the rerun that it was staged read-only, and it goes
// in writable.
std::map<std::string, std::string> AttributeLost(const TempTree& tree,
                                                 const Installation& installation) {
    std::map<std::string, std::string> lost;
    for (const auto& [entry, candidates] : Places(installation)) {
        for (const std::string& candidate : candidates) {
            boost::system::error_code ignored;
            if (entry.readOnly && fs::is_regular_file(tree / candidate, ignored) &&
                !IsReadOnly(tree / candidate) && tree.Read(candidate) == entry.content) {
                lost[candidates[1]] = entry.content;
            }
        }
    }
    return lost;
}

// The probe's record as it would read in any tree: no process id, and the tree's path as
// "<tree>" (the probe doubles each backslash).
std::string Normalized(const std::string& record, const TempTree& tree) {
    std::string root;
    for (const char c : tree.Root().string()) {
        root += c == '\\' ? std::string("\\\\") : std::string(1, c);
    }
    std::string out;
    for (std::string line : Lines(record)) {
        if (line.compare(0, 4, "pid=") == 0) {
            continue;
        }
        for (std::size_t at = line.find(root); at != std::string::npos; at = line.find(root)) {
            line.replace(at, root.size(), "<tree>");
        }
        out += line + "\n";
    }
    return out;
}

// --- The walk -----------------------------------------------------------------------------------

// One way through handover that the walk takes.
struct WalkCase {
    const char* name;
    const Installation* installation;
    bool flushedTogether;  // the Windows 8 way, with the hook's NtFlushBuffersFileEx
    // Kinds of call the walk must stop at, one of each group at least.
    std::vector<std::set<std::string>> stops;
    // Whether the way is taken only where write access to a read-only file is refused.
    bool readOnlyRefused = false;
};

std::ostream& operator<<(std::ostream& out, const WalkCase& walk) {
    return out << walk.name;
}

// Staged files beside their targets and without, in nested folders: one over a read-only
// target, one over an empty directory, the self-copy, and a runtime archive with an older,
// read-only one.
const Installation kInstallation = {
    {"data.bin", "data 1.0"},
    {"_TMP_data.bin", "data 2.0"},
    {"_tmp_fresh.txt", "no target before"},
    {"_tmp_handover.exe", "self copy"},
    {"notes.txt", "left alone"},
    {"emptydir", ""},
    {"_tmp_emptydir", "replaces an empty directory"},
    {"lib/game.dat", "game 1.0", true},
    {"lib/_tmp_game.dat", "game 2.0"},
    {"lib/x/y/_tmp_deep.cfg", "deep, no target before"},
    {"rt/lib/rt-0.jar", "runtime 2"},
    {"rt/lib/rt-0.jar.old", "runtime 1", true},
};

// Read-only staged files, over a read-only target and over none, beside writable ones that two
// of make a batch for the Windows 8 way.
const Installation kReadOnlyStaged = {
    {"a", "a 1.0", true},       // read-only target,
    {"_tmp_a", "a 2.0", true},  // and a read-only file staged over it
    {"_tmp_b", "b 2.0", true},  // read-only, with no target
    {"c", "c 1.0"},
    {"_tmp_c", "c 2.0"},
    {"sub/d", "d 1.0"},
    {"sub/_tmp_d", "d 2.0"},
};

// Whether Windows' refusal of write access to a read-only file reaches this user: not root's
// under Wine.
bool ReadOnlyRefused() {
    const ScratchDir dir("handover-read-only-probe");
    const fs::path file = fs::path(dir.Path().native()) / "file";
    if (Handle(CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_READONLY, nullptr))
            .get() == INVALID_HANDLE_VALUE) {
        return false;
    }
    const Handle opened(CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    const bool refused =
        opened.get() == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED;
    SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL);
    return refused;
}

// The hook's list of a run in tree: beside the tree, outside what is compared.
fs::path CallsFile(const TempTree& tree) {
    return tree.Root().string() + ".calls";
}

// The hook's plan (tests/CrashHook_Win32.h): stop at call stop, none when 0.
std::wstring Plan(const TempTree& tree, bool flushedTogether, int stop, bool after) {
    std::wstring plan = L"calls=" + CallsFile(tree).wstring();
    if (stop > 0) {
        plan += L"|stop=" + std::to_wstring(stop) + (after ? L"|after=1" : L"");
    }
    if (flushedTogether) {
        plan += L"|flush-ex=stand-in";
    }
    return plan;
}

// Whether call is one that group names: "KIND", or "KIND@TEXT" for one whose detail holds TEXT.
bool Matches(const ListedCall& call, const std::string& group) {
    const std::size_t at = group.find('@');
    return call.kind == group.substr(0, at) &&
           (at == std::string::npos || call.detail.find(group.substr(at + 1)) != std::string::npos);
}

// What went wrong when a fresh tree's run is stopped at call stop (from 1) and run again, empty
// when the rerun ended as the uninterrupted run did; and the targets that went in writable
// though staged read-only (AttributeLost).
struct Outcome {
    std::string problems;
    std::map<std::string, std::string> attributeLost;
};

Outcome StopAndRerun(const WalkCase& walk, const std::vector<ListedCall>& calls, int stop,
                     bool after, const Snapshot& reference) {
    TempTree tree;
    Build(tree, *walk.installation);
    std::ostringstream problems;
    const RunResult stopped = RunHandover(tree, Plan(tree, walk.flushedTogether, stop, after));
    if (stopped.status != static_cast<int>(kStoppedExitCode)) {
        problems << "  not stopped: status " << stopped.status << ", " << stopped.err << "\n";
    } else if (!stopped.out.empty() || !stopped.err.empty()) {
        problems << "  stopped run printed: [" << stopped.out << "] [" << stopped.err << "]\n";
    }
    const CallList list = ReadCallList(CallsFile(tree));
    if (list.calls != std::vector<ListedCall>(calls.begin(), calls.begin() + stop)) {
        problems << "  the stopped run made other calls than the first " << stop << ":\n";
        for (const ListedCall& call : list.calls) {
            problems << "    " << call.Text() << "\n";
        }
    }
    // The client starts at the launch only; the process is gone, so nothing else can start it.
    if (after && calls[stop - 1].kind == "launch") {
        if (tree.WaitForClient().empty()) {
            problems << "  stopped just after the launch, and no client started\n";
        }
    } else if (tree.Exists("client-probe.txt")) {
        problems << "  the stopped run started the client\n";
    }
    problems << Misplaced(tree, *walk.installation);
    Outcome outcome;
    outcome.attributeLost = AttributeLost(tree, *walk.installation);
    Snapshot expected = reference;
    for (const auto& [target, content] : outcome.attributeLost) {
        expected[target] = content;
    }
    fs::remove(tree / "client-probe.txt");

    const RunResult rerun = RunHandover(tree);
    if (rerun.status != 0 || !rerun.out.empty() || !rerun.err.empty()) {
        problems << "  rerun: status " << rerun.status << ", printed [" << rerun.out << "] ["
                 << rerun.err << "]\n";
    }
    const std::string record = tree.WaitForClient();
    if (record.empty()) {
        problems << "  rerun did not start the client\n";
    } else if (ProbeField(record, "arg") != kArgs) {
        problems << "  client started with other arguments:\n" << record;
    }
    problems << SnapshotDifference(expected, Listing(tree));
    if (tree.Exists("poker.jex")) {
        problems << "  rerun wrote a failure report:\n"
                 << ::testing::PrintToString(tree.ReportLogs()) << "\n";
    }
    outcome.problems = problems.str();
    return outcome;
}

class CrashWalkWindows : public ::testing::TestWithParam<WalkCase> {};

TEST_P(CrashWalkWindows, StoppedAtAnyChangeThenRunAgainEndsAsOneUninterruptedRun) {
    const WalkCase& walk = GetParam();
    if (walk.readOnlyRefused && !ReadOnlyRefused()) {
        GTEST_SKIP() << "this user may open a read-only file for writing (root under Wine), so "
                        "handover never clears a staged file's attribute here; "
                        "CrashWalkWindowsReadOnlyStagedAsUnprivilegedUser walks it as another user";
    }
    const Stopwatch clock;

    Snapshot reference;
    std::string record;
    {
        TempTree tree;
        Build(tree, *walk.installation);
        const RunResult run = RunHandover(tree);
        ASSERT_EQ(run.status, 0) << run.err;
        record = Normalized(tree.WaitForClient(), tree);
        ASSERT_EQ(ProbeField(record, "arg"), kArgs);
        ASSERT_FALSE(tree.Exists("poker.jex")) << ::testing::PrintToString(tree.ReportLogs());
        reference = Listing(tree);
    }
    // The installation was really updated.
    for (const auto& [entry, places] : Places(*walk.installation)) {
        ASSERT_EQ(reference.count(places[0]), 0u) << places[0];
        ASSERT_EQ(reference[places[1]].compare(0, entry.content.size(), entry.content), 0)
            << places[1];
    }

    // A hooked run that never stops lists the calls, and ends as the plain run did.
    CallList list;
    {
        TempTree tree;
        Build(tree, *walk.installation);
        const RunResult run = RunHandover(tree, Plan(tree, walk.flushedTogether, 0, false));
        list = ReadCallList(CallsFile(tree));
        ASSERT_TRUE(list.ready) << "the hook is not in place: " << run.err;
        ExpectQuietSuccess(run);
        EXPECT_EQ(Normalized(tree.WaitForClient(), tree), record);
        EXPECT_EQ(Listing(tree), reference) << SnapshotDifference(reference, Listing(tree));
        EXPECT_FALSE(tree.Exists("poker.jex")) << ::testing::PrintToString(tree.ReportLogs());
    }
    EXPECT_TRUE(list.unhooked.empty())
        << "handover.exe imports calls that change files where the walk cannot stop it: "
        << ::testing::PrintToString(list.unhooked);
    const std::vector<ListedCall>& calls = list.calls;
    std::ostringstream listed;
    for (std::size_t i = 0; i < calls.size(); ++i) {
        listed << "  " << i + 1 << " " << calls[i].Text() << "\n";
    }
    std::cout << walk.name << ": hooked " << ::testing::PrintToString(list.hooked) << ", looked up "
              << ::testing::PrintToString(list.lookups) << ", calls:\n"
              << listed.str();
    // The way the walk is meant to take: Wine has no NtFlushBuffersFileEx, and the hook's
    // stand-in is what the program finds for the Windows 8 way.
    EXPECT_EQ(list.lookups["NtFlushBuffersFileEx"], walk.flushedTogether ? "stand-in" : "absent");
    for (const std::set<std::string>& group : walk.stops) {
        bool found = false;
        for (const ListedCall& call : calls) {
            for (const std::string& kind : group) {
                found = found || Matches(call, kind);
            }
        }
        EXPECT_TRUE(found) << "no stop among " << ::testing::PrintToString(group)
                           << " in the calls:\n"
                           << listed.str();
    }

    int points = 0;
    int converged = 0;
    std::ostringstream attributeLost;
    for (const bool after : {false, true}) {
        for (int stop = 1; stop <= static_cast<int>(calls.size()); ++stop) {
            ++points;
            const Outcome outcome = StopAndRerun(walk, calls, stop, after, reference);
            const std::string where = std::string(after ? "just after" : "before") + " call " +
                                      std::to_string(stop) + " [" + calls[stop - 1].Text() + "]";
            if (outcome.problems.empty()) {
                ++converged;
            } else {
                ADD_FAILURE() << "stopped " << where << ":\n" << outcome.problems;
            }
            for (const auto& lost : outcome.attributeLost) {
                attributeLost << "  stopped " << where << ": " << lost.first << "\n";
            }
        }
    }
    if (!attributeLost.str().empty()) {
        std::cout << walk.name << ": installed writable though staged read-only, by a rerun "
                  << "after a stop that left the staged file's attribute cleared:\n"
                  << attributeLost.str();
    }
    std::cout << walk.name << ": " << calls.size() << " calls, " << points
              << " crash points, converged: " << converged << ", " << clock.Seconds() << " s"
              << std::endl;
    RecordProperty("crash_points", points);
    RecordProperty("converged", converged);
    EXPECT_EQ(converged, points);
}

// Each with the calls it must stop at, one of each group at least: a target removed, a
// read-only one's attribute cleared for that, an empty directory removed, the self-copy
// deleted, a staged file's data written out on its own or in a batch, a read-only staged
// file's attribute cleared and set back, the installs, the runtime archive's rotation and the
// client's launch.
const WalkCase kWalks[] = {
    {"EachStagedFileFlushedOnItsOwn",
     &kInstallation,
     false,
     {{"open"},
      {"flush"},
      {"delete@data.bin"},
      {"attributes@game.dat"},
      {"rmdir@emptydir", "delete@emptydir"},
      {"delete@_tmp_handover.exe"},
      {"rename@_tmp_"},
      {"rename@rt-0.jar"},
      {"launch"}}},
    {"StagedFilesFlushedTogether",
     &kInstallation,
     true,
     {{"open"},
      {"flush-data"},
      {"flush"},
      {"delete@data.bin"},
      {"attributes@game.dat"},
      {"rmdir@emptydir", "delete@emptydir"},
      {"delete@_tmp_handover.exe"},
      {"rename@_tmp_"},
      {"rename@rt-0.jar"},
      {"launch"}}},
    {"ReadOnlyStagedFlushedOnItsOwn",
     &kReadOnlyStaged,
     false,
     {{"attributes@_tmp_a"}, {"attributes@_tmp_b"}, {"flush"}, {"rename"}, {"launch"}},
     true},
    {"ReadOnlyStagedFlushedTogether",
     &kReadOnlyStaged,
     true,
     {{"attributes@_tmp_a"},
      {"attributes@_tmp_b"},
      {"flush-data"},
      {"flush"},
      {"rename"},
      {"launch"}},
     true},
};

INSTANTIATE_TEST_SUITE_P(Ways, CrashWalkWindows, ::testing::ValuesIn(kWalks),
                         [](const ::testing::TestParamInfo<WalkCase>& info) {
                             return std::string(info.param.name);
                         });

// --- The hook on the calls of a program that works relative to directory handles ------------

// What crash-hook-probe does (tests/CrashHookProbe_Win32.cpp): each call as the hook lists it
// (the start of its detail), and the probe's folder when stopped before it and just after it:
// each file with its contents, "*" after one that has the probe's time stamp. A file whose
// deletion was asked for goes when the stopped process's handles close.
struct ProbeCall {
    const char* kind;
    const char* function;
    const char* detail;
    const char* before;
    const char* after;
};
const ProbeCall kProbeCalls[] = {
    {"open", "NtCreateFile", ".\\a access=", "", "a= "},
    {"write", "NtWriteFile", "a 5 bytes", "a= ", "a=hello "},
    {"flush", "NtFlushBuffersFile", "a", "a=hello ", "a=hello "},
    {"open", "NtOpenFile", ".\\a access=", "a=hello ", "a=hello "},
    {"rename", "NtSetInformationFile", "a -> .\\b", "a=hello ", "b=hello "},
    {"attributes", "NtSetInformationFile", "b", "b=hello ", "b=hello* "},
    {"delete", "NtSetInformationFile", "b 0x1", "b=hello* ", ""},
    {"open", "CreateFileW", "c access=", "", "c= "},
    {"flush-data", "NtFlushBuffersFileEx", "c flags=0x1", "c= ", "c= "},
    {"delete", "SetFileInformationByHandle", "c", "c= ", ""},
};

// 2001-01-01 in 100 ns since 1601, the time the probe gives "b".
constexpr ULONGLONG kProbeStamp = 126227808000000000ULL;

std::string ProbeState(const TempTree& tree) {
    std::string state;
    for (const auto& [path, content] : tree.Snapshot()) {
        WIN32_FILE_ATTRIBUTE_DATA data{};
        const bool stamped =
            GetFileAttributesExW((tree / path).c_str(), GetFileExInfoStandard, &data) &&
            ((static_cast<ULONGLONG>(data.ftLastWriteTime.dwHighDateTime) << 32) |
             data.ftLastWriteTime.dwLowDateTime) == kProbeStamp;
        state += path + "=" + content + (stamped ? "*" : "") + " ";
    }
    return state;
}

std::string Lowered(const std::set<std::string>& names) {
    std::string text;
    for (const std::string& name : names) {
        text += Lower(name) + " ";
    }
    return text;
}

// The calls that a Windows layer acting relative to directory handles imports are hooked where
// the program imports them: listed as handover's are, and stopped at before and just after; an
// import that changes files and that no stand-in stops at is named.
TEST(CrashHookWindows, ListsAndStopsAtCallsMadeRelativeToDirectoryHandles) {
    CallList list;
    {
        TempTree tree;
        const RunResult run = Launch(CRASH_HOOK_PROBE_BIN, {}, tree, Plan(tree, true, 0, false));
        list = ReadCallList(CallsFile(tree));
        ASSERT_TRUE(list.ready) << "the hook is not in place: " << run.err;
        ExpectQuietSuccess(run);
        EXPECT_EQ(ProbeState(tree), "");
    }
    const std::string hooked = Lowered(list.hooked);
    for (const char* function :
         {"ntdll.dll!ntcreatefile", "ntdll.dll!ntopenfile", "ntdll.dll!ntsetinformationfile",
          "ntdll.dll!ntwritefile", "ntdll.dll!ntflushbuffersfile",
          "kernel32.dll!setfileinformationbyhandle", "kernel32.dll!createfilew",
          "kernel32.dll!getprocaddress"}) {
        EXPECT_NE(hooked.find(std::string(function) + " "), std::string::npos) << function;
    }
    // The probe imports CreateHardLinkW, which it never calls, for the hook to name.
    EXPECT_EQ(Lowered(list.unhooked), "kernel32.dll!createhardlinkw ");
    EXPECT_EQ(list.lookups["NtFlushBuffersFileEx"], "stand-in");
    ASSERT_EQ(list.calls.size(), std::size(kProbeCalls)) << ::testing::PrintToString(list.calls);
    for (std::size_t i = 0; i < list.calls.size(); ++i) {
        const ListedCall& call = list.calls[i];
        const ProbeCall& expected = kProbeCalls[i];
        EXPECT_EQ(call.kind + " " + call.function,
                  std::string(expected.kind) + " " + expected.function)
            << "call " << i + 1;
        EXPECT_EQ(call.detail.compare(0, std::strlen(expected.detail), expected.detail), 0)
            << "call " << i + 1 << ": " << call.detail;
    }

    for (const bool after : {false, true}) {
        for (std::size_t stop = 1; stop <= list.calls.size(); ++stop) {
            SCOPED_TRACE(std::string(after ? "just after" : "before") + " call " +
                         std::to_string(stop));
            TempTree tree;
            const RunResult run = Launch(CRASH_HOOK_PROBE_BIN, {}, tree,
                                         Plan(tree, true, static_cast<int>(stop), after));
            EXPECT_EQ(run.status, static_cast<int>(kStoppedExitCode)) << run.err;
            EXPECT_EQ(ReadCallList(CallsFile(tree)).calls,
                      std::vector<ListedCall>(list.calls.begin(), list.calls.begin() + stop));
            const ProbeCall& at = kProbeCalls[stop - 1];
            EXPECT_EQ(ProbeState(tree), after ? at.after : at.before);
        }
    }
}

}  // namespace
