// The whole program where it meets Windows: the client's command line, files
// that other programs hold open, junctions, read-only files and letter case.
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/filesystem/operations.hpp>
#include <boost/system/error_code.hpp>

#include "tests/TempTree.h"

namespace fs = boost::filesystem;

namespace {

using Snapshot = std::map<std::string, std::string>;

// Holds a file of the tree open as a program that uses it does: shared for reading only, so
// that nobody may write, delete or rename it meanwhile. It lets go after milliseconds, or when
// the test is done with it (kThroughout). program, when given, is a copy of hold-open that does
// the holding, so that that copy is a program running from the tree.
class HeldOpen {
  public:
    static constexpr int kThroughout = 600000;

    HeldOpen(const TempTree& tree, const std::string& relative, int milliseconds,
             const std::string& program = HOLD_OPEN_BIN)
        : marker_(tree.Root().string() + "." + std::to_string(++count_) + ".held") {
        holder_ = std::make_unique<ChildProcess>(
            std::vector<std::string>{program, (tree / relative).string(),
                                     std::to_string(milliseconds), marker_},
            tree.Root().string());
        if (!WaitFor([this] { return fs::exists(marker_); }, kStartSeconds)) {
            holder_->Kill();
            const RunResult ended = holder_->Wait();
            ADD_FAILURE() << "hold-open never held " << relative << " (status " << ended.status
                          << ") " << ended.err;
        }
    }
    // A holder still at it is stopped, and so lets go.
    ~HeldOpen() {
        holder_.reset();
        fs::remove(marker_);
    }

  private:
    static inline int count_ = 0;
    std::string marker_;
    std::unique_ptr<ChildProcess> holder_;
};

bool IsReadOnly(const fs::path& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
}

void MakeReadOnly(const fs::path& path) {
    ASSERT_TRUE(SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY));
}

// As the probe writes a value into its record: printable ASCII as it is, a backslash doubled,
// every other byte as \xNN.
std::string Recorded(const std::string& text) {
    std::string out;
    for (const unsigned char c : text) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c >= 0x20 && c < 0x7f) {
            out += static_cast<char>(c);
        } else {
            static const char kDigits[] = "0123456789abcdef";
            out += {'\\', 'x', kDigits[c >> 4], kDigits[c & 0xf]};
        }
    }
    return out;
}

std::string Repeat(const std::string& text, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) {
        out += text;
    }
    return out;
}

std::vector<std::string> LogTail(const std::string& log, std::size_t n) {
    const auto lines = Lines(log);
    return std::vector<std::string>(lines.end() - std::min(n, lines.size()), lines.end());
}

// Windows hands a program one command line; handover passes on what it got joined by blanks,
// unquoted, and the client's C runtime splits it by its own rules.
TEST(EndToEndWindows, ClientGetsTheArgumentsAsOneUnquotedCommandLine) {
    struct Case {
        std::vector<std::string> args;
        std::string commandLine;  // as the probe records it: a backslash doubled
        std::vector<std::string> argv;
    } cases[] = {
        {{}, "./client.exe", {}},
        {{"a", "b c"}, "./client.exe a b c", {"a", "b", "c"}},
        {{"a", "", "b"}, "./client.exe a  b", {"a", "b"}},
        {{"a", ""}, "./client.exe a ", {"a"}},
        {{"\"quoted arg\"", "back\\slash"},
         "./client.exe \"quoted arg\" back\\\\slash",
         {"quoted arg", "back\\\\slash"}},
        // Outside any ANSI code page: they must not arrive as '?'.
        {{"Ünïcode", "数据", "😀"},
         Recorded("./client.exe Ünïcode 数据 😀"),
         {Recorded("Ünïcode"), Recorded("数据"), Recorded("😀")}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.commandLine);
        TempTree tree;
        tree.InstallClient();
        ExpectQuietSuccess(tree.Run(c.args));
        const std::string record = tree.WaitForClient();
        EXPECT_EQ(ProbeField(record, "cmdline"), std::vector<std::string>{c.commandLine});
        EXPECT_EQ(ProbeField(record, "arg"), c.argv);
    }
}

// Windows counts the command line in UTF-16 code units: 259 of them fit, whatever their UTF-8
// length, and a character outside the Basic Multilingual Plane takes two.
TEST(EndToEndWindows, CommandLineLimitCountsUtf16Units) {
    // "./client.exe" and a blank take 13 units.
    struct Case {
        std::string arg;
        bool launched;
    } cases[] = {
        {Repeat("数", 246), true},        // 259 units, 751 bytes
        {Repeat("😀", 123), true},         // 259 units
        {Repeat("😀", 123) + "a", false},  // 260 units
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arg.size());
        TempTree tree;
        tree.InstallClient();
        ExpectQuietSuccess(tree.Run({c.arg}));
        if (c.launched) {
            EXPECT_EQ(ProbeField(tree.WaitForClient(), "arg"),
                      std::vector<std::string>{Recorded(c.arg)});
        } else {
            EXPECT_FALSE(tree.ClientStarted());
            EXPECT_EQ(LogTail(tree.ReportLogs().at(0), 4)[0],
                      "About to launch client exe with command: ./client.exe " + c.arg);
        }
    }
}

// Names are UTF-16 on Windows: a staged name outside the ANSI code page must replace its own
// target and nothing else, and the run log shows it in UTF-8.
TEST(EndToEndWindows, NamesOutsideTheAnsiCodePageAreInstalled) {
    const std::vector<std::string> names = {"数据.dat", "Ünïcode.txt", "emoji-😀.bin"};
    TempTree tree;  // no client: the run fails at its very end, and the report shows the walk
    for (const std::string& name : names) {
        tree.Write(name, "old");
        tree.Write("_tmp_" + name, "new " + name);
    }
    tree.Write("目录/_tmp_x", "new x");
    ExpectQuietSuccess(tree.Run());
    for (const std::string& name : names) {
        SCOPED_TRACE(ToHex(name));
        EXPECT_EQ(tree.Read(name), "new " + name);
        EXPECT_FALSE(tree.Exists("_tmp_" + name));
    }
    EXPECT_EQ(tree.Read("目录/x"), "new x");
    for (fs::directory_iterator it(tree.Root()), end; it != end; ++it) {
        EXPECT_EQ(it->path().filename().wstring().find(L'?'), std::wstring::npos);
    }
    const std::string log = tree.ReportLogs().at(0);
    for (const std::string& name : names) {
        EXPECT_NE(log.find("Renaming file: \"./_tmp_" + name + "\" to: \".\\" + name + "\"\n"),
                  std::string::npos)
            << ToHex(name) << "\n"
            << log;
    }
    EXPECT_NE(log.find("About to install _tmp_ files in subdirectory: \"./目录\"\n"),
              std::string::npos);
}

// A junction that leads back up would send the walk round for ever; one that leads elsewhere
// is followed.
TEST(EndToEndWindows, JunctionThatLeadsBackUpIsNotEntered) {
    TempTree tree;  // no client: the run fails at its very end, and the report shows the walk
    tree.Write("sub/_tmp_x", "new x");
    tree.Link("sub/up", "..");
    tree.Write("../elsewhere/_tmp_y", "new y");  // beside the tree
    tree.Link("sub/away", "../../elsewhere");
    ExpectQuietSuccess(tree.Run());
    EXPECT_EQ(tree.Read("sub/x"), "new x");
    EXPECT_EQ(tree.Read("../elsewhere/y"), "new y");
    const auto logs = tree.ReportLogs();
    ASSERT_EQ(logs.size(), 1u);
    const auto lines = Lines(logs[0]);
    auto count = [&lines](const std::string& line) {
        return std::count(lines.begin(), lines.end(), line);
    };
    EXPECT_EQ(count("WARNING: not entering directory loop: \"./sub\\up\""), 1) << logs[0];
    EXPECT_EQ(count("About to install _tmp_ files in subdirectory: \"./sub\\up\""), 0);
    EXPECT_EQ(count("About to install _tmp_ files in subdirectory: \"./sub\\away\""), 1);
}

// A target that a running program holds cannot go: after 20 attempts the run fails, and both
// files keep their contents.
TEST(EndToEndWindows, TargetHeldOpenThroughoutStopsTheRun) {
    TempTree tree;
    tree.InstallClient();
    tree.Write("a", "old");
    tree.Write("_tmp_a", "new");
    const HeldOpen held(tree, "a", HeldOpen::kThroughout);
    const Stopwatch clock;
    ExpectQuietSuccess(tree.Run());
    EXPECT_GE(clock.Seconds(), 4.75) << "the removal attempts gave up early";
    EXPECT_FALSE(tree.ClientStarted());
    EXPECT_EQ(tree.Read("a"), "old");
    EXPECT_EQ(tree.Read("_tmp_a"), "new");
    // The whole report, as support reads it.
    const auto logs = tree.ReportLogs();
    ASSERT_EQ(logs.size(), 1u);
    std::vector<std::string> expected = StartLines();
    expected.push_back("About to attempt delete of file: \".\\a\"");
    expected.insert(expected.end(), 20, "WARNING: unable to delete file: \".\\a\" (retrying)");
    // Why, in the system's own words.
    const std::string sharing =
        boost::system::error_code(ERROR_SHARING_VIOLATION, boost::system::system_category())
            .message();
    expected.insert(expected.end(), {"ERROR: remove: \".\\a\": " + sharing,
                                     "ERROR: file: \".\\a\" could not be deleted",
                                     "ERROR: unknown exception", "EXIT: handover"});
    EXPECT_EQ(Lines(logs[0]), expected);
}

TEST(EndToEndWindows, TargetHeldForAMomentIsReplacedOnceLetGo) {
    TempTree tree;
    tree.InstallClient();
    tree.Write("a", "old");
    tree.Write("_tmp_a", "new");
    const HeldOpen held(tree, "a", 1000);
    ExpectQuietSuccess(tree.Run());
    EXPECT_NE(tree.WaitForClient(), "");
    EXPECT_EQ(tree.Read("a"), "new");
    EXPECT_FALSE(tree.Exists("_tmp_a"));
    EXPECT_FALSE(tree.Exists("poker.jex"));
}

// Scanners and indexers open a fresh file and share no writing for a moment: the flush waits
// for the staged file as the removal waits for a target, and it goes in once let go.
TEST(EndToEndWindows, StagedFileHeldForAMomentIsInstalledOnceLetGo) {
    TempTree tree;
    tree.InstallClient();
    tree.Write("a", "old");
    tree.Write("_tmp_a", "new");
    const HeldOpen held(tree, "_tmp_a", 1500);
    ExpectQuietSuccess(tree.Run());
    EXPECT_NE(tree.WaitForClient(), "") << ::testing::PrintToString(tree.ReportLogs());
    EXPECT_EQ(tree.Read("a"), "new");
    EXPECT_FALSE(tree.Exists("_tmp_a"));
    EXPECT_FALSE(tree.Exists("poker.jex"));
}

// A staged file that its writer still holds may not be complete: after 20 attempts it is not
// installed, and its target stays. The whole report, as support reads it.
TEST(EndToEndWindows, StagedFileHeldThroughoutIsNotInstalled) {
    TempTree tree;
    tree.InstallClient();
    tree.Write("a", "old");
    tree.Write("_tmp_a", "new");
    const HeldOpen held(tree, "_tmp_a", HeldOpen::kThroughout);
    const Stopwatch clock;
    ExpectQuietSuccess(tree.Run());
    EXPECT_GE(clock.Seconds(), 4.5) << "the flush attempts gave up early";
    EXPECT_FALSE(tree.ClientStarted());
    EXPECT_EQ(tree.Read("a"), "old");
    EXPECT_EQ(tree.Read("_tmp_a"), "new");
    const auto logs = tree.ReportLogs();
    ASSERT_EQ(logs.size(), 1u);
    std::vector<std::string> lines = Lines(logs[0]);
    const std::string error = "ERROR: file: \"./_tmp_a\" could not be flushed to disk: ";
    ASSERT_GE(lines.size(), 3u);
    std::string& failure = lines[lines.size() - 3];
    EXPECT_EQ(failure.rfind(error, 0), 0u) << failure;
    failure = failure.substr(0, error.size());  // then the system's words for a held file
    std::vector<std::string> expected = StartLines();
    expected.insert(expected.end(), 19, "WARNING: unable to flush file: \"./_tmp_a\" (retrying)");
    expected.insert(expected.end(), {error, "ERROR: unknown exception", "EXIT: handover"});
    EXPECT_EQ(lines, expected);
}

// Windows refuses to delete a read-only file; a target that is read-only is replaced all the
// same, and the installed file keeps the staged file's own attributes.
TEST(EndToEndWindows, ReadOnlyTargetsAreReplaced) {
    struct Case {
        const char* name;
        bool targetReadOnly;
        bool stagedReadOnly;
    } cases[] = {
        {"read-only target", true, false},
        {"read-only staged file", false, true},
        {"both read-only", true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempTree tree;
        tree.InstallClient();
        tree.Write("a", "old");
        tree.Write("_tmp_a", "new");
        if (c.targetReadOnly) {
            MakeReadOnly(tree / "a");
        }
        if (c.stagedReadOnly) {
            MakeReadOnly(tree / "_tmp_a");
        }
        ExpectQuietSuccess(tree.Run());
        EXPECT_NE(tree.WaitForClient(), "") << ::testing::PrintToString(tree.ReportLogs());
        EXPECT_EQ(tree.Read("a"), "new");
        EXPECT_EQ(IsReadOnly(tree / "a"), c.stagedReadOnly);
        EXPECT_FALSE(tree.Exists("_tmp_a"));
    }
}

// Read-only, and kept for another reason: the attribute was not what kept it, and the target
// stays as it was, attribute included.
TEST(EndToEndWindows, ReadOnlyTargetThatStaysKeepsItsAttribute) {
    struct Case {
        const char* why;
        const char* target;
        bool running;  // else held open by another program
    } cases[] = {
        {"held open by another program", "a", false},
        // Windows will not delete a file that a running program is mapped from, as it will
        // not delete a read-only one: the attribute is cleared, and must come back.
        {"a program running from it", "tool.exe", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        TempTree tree;
        tree.InstallClient();
        if (c.running) {
            fs::copy_file(HOLD_OPEN_BIN, tree / c.target);
            tree.Write("tool.cfg", "settings");
        } else {
            tree.Write(c.target, "old");
        }
        tree.Write(std::string("_tmp_") + c.target, "new");
        const std::string before = tree.Read(c.target);
        MakeReadOnly(tree / c.target);
        {
            const HeldOpen held(tree, c.running ? "tool.cfg" : c.target, HeldOpen::kThroughout,
                                c.running ? (tree / c.target).string() : HOLD_OPEN_BIN);
            ExpectQuietSuccess(tree.Run());
        }
        EXPECT_FALSE(tree.ClientStarted());
        EXPECT_EQ(tree.Read(c.target), before);
        EXPECT_TRUE(IsReadOnly(tree / c.target));
        EXPECT_EQ(tree.Read(std::string("_tmp_") + c.target), "new");
        EXPECT_EQ(LogTail(tree.ReportLogs().at(0), 3)[0],
                  "ERROR: file: \".\\" + std::string(c.target) + "\" could not be deleted");
    }
}

// Whoever starts handover may let it inherit handles (the client that stages the update, say);
// none of them may reach the client, which would keep those files open for as long as it runs.
TEST(EndToEndWindows, ClientInheritsNoHandleThatHandoverInherited) {
    TempTree tree;
    tree.InstallClient();
    tree.Write("held.dat", "");
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    const HANDLE handle = CreateFileW((tree / "held.dat").c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      &inherit, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    // handover is started inheriting every inheritable handle of this process; the probe looks
    // for this one by its number and its file.
    const std::wstring named =
        std::to_wstring(reinterpret_cast<std::uintptr_t>(handle)) + L" held.dat";
    ASSERT_TRUE(SetEnvironmentVariableW(L"CLIENT_PROBE_HANDLE", named.c_str()));
    ExpectQuietSuccess(tree.Run());
    const std::string record = tree.WaitForClient();
    SetEnvironmentVariableW(L"CLIENT_PROBE_HANDLE", nullptr);
    CloseHandle(handle);
    EXPECT_EQ(ProbeField(record, "inherited-handle"), std::vector<std::string>{"no"}) << record;
}

// The file system ignores letter case: the staged file replaces its target whatever the case of
// either name, and one file of that name is left, under the staged file's spelling.
TEST(EndToEndWindows, TargetNamedInAnotherCaseIsReplaced) {
    TempTree tree;
    tree.InstallClient();
    tree.Write("app.dll", "old");
    tree.Write("_tmp_App.dll", "new");
    ExpectQuietSuccess(tree.Run());
    EXPECT_NE(tree.WaitForClient(), "");
    std::vector<std::string> names;
    for (fs::directory_iterator it(tree.Root()), end; it != end; ++it) {
        std::string name = it->path().filename().string();
        std::transform(name.begin(), name.end(), name.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (name == "app.dll" || name == "_tmp_app.dll") {
            names.push_back(it->path().filename().string());
        }
    }
    EXPECT_EQ(names, std::vector<std::string>{"App.dll"});
    EXPECT_EQ(tree.Read("app.dll"), "new");
}

// Paths past MAX_PATH (260) work where Windows lets them: the manifest declares the program
// long-path aware, and Windows 10 and later honour that once long paths are enabled on the
// machine. Wine never enforces the limit, so here this shows only that nothing in handover
// itself cuts such a path short.
TEST(EndToEndWindows, TreeDeeperThanMaxPathIsInstalled) {
    TempTree tree;
    tree.InstallClient();
    std::string dir;
    for (int level = 0; level < 6; ++level) {
        dir += std::string(50, static_cast<char>('a' + level)) + "/";
    }
    tree.Write(dir + "file.dat", "old");
    tree.Write(dir + "_tmp_file.dat", "new");
    ASSERT_GT((tree / dir).string().size(), 300u);
    ExpectQuietSuccess(tree.Run());
    EXPECT_NE(tree.WaitForClient(), "") << ::testing::PrintToString(tree.ReportLogs());
    EXPECT_EQ(tree.Read(dir + "file.dat"), "new");
}

}  // namespace
