// Runs the real handover-report binary on report files written here the way handover writes
// them: each run log encrypted on its own under support's key (kReportKeyHex), the records
// appended.

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include <gtest/gtest.h>

#include "handover/Main_Win32.h"
#include "tests/TestSupport.h"
#include "util/ByteArray.h"
#include "util/Crypto.h"

namespace fs = std::filesystem;

namespace {

void WriteFile(const fs::path& path, const std::string& content) {
    std::ofstream out(path, std::ios_base::binary | std::ios_base::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    ASSERT_TRUE(out.good()) << path;
}

// A scratch folder to run handover-report in.
class ReportDir : public ScratchDir {
  public:
    ReportDir() : ScratchDir("handover-report-test") {}
    RunResult Run(const std::vector<std::string>& args) const {
        std::vector<std::string> command{HANDOVER_REPORT_BIN};
        command.insert(command.end(), args.begin(), args.end());
        return RunProgram(command, Path());
    }
};

// A run log as handover writes it on failure; middle holds the lines between the fixed ones.
std::string RunLog(const std::string& middle) {
    return "START: handover\nAwaiting client exit\n" + middle +
           "ERROR: unknown exception\nEXIT: handover\n";
}

// A run log padded (by its middle) to exactly length bytes.
std::string RunLogOfLength(std::size_t length) {
    const std::size_t fixed = RunLog("").size() + 1;
    return RunLog(std::string(length - fixed, 'x') + "\n");
}

std::string Padding(const std::string& log) {
    return std::string((8 - log.size() % 8) % 8, '\0');
}

std::string Encrypted(const std::string& log) {
    const Kvo::ByteArray plain(log.data(), log.size());
    const std::unique_ptr<Kvo::ByteArray> cipher =
        Kvo::EncryptTripleDes(plain, FromHex(kReportKeyHex));
    return std::string(reinterpret_cast<const char*>(cipher->Data()), cipher->Size());
}

// The report handover leaves after failing once per log.
std::string Report(const std::vector<std::string>& logs) {
    std::string report;
    for (const std::string& log : logs) {
        report += Encrypted(log);
    }
    return report;
}

// What handover-report prints for these records, numbered first..first+size-1 of count.
std::string Shown(const std::vector<std::string>& logs, std::size_t first, std::size_t count) {
    std::ostringstream text;
    for (std::size_t i = 0; i < logs.size(); ++i) {
        text << "--- record " << first + i << " of " << count << ": " << logs[i].size()
             << " bytes ---\n"
             << logs[i];
    }
    return text.str();
}

const std::vector<std::string>& TwoLogs() {
    static const std::vector<std::string> logs{
        RunLog("About to install _tmp_ files\nAbout to rename old RT\n"),
        RunLog("About to launch the client\nAbout to launch client exe with command: "
               "./client.exe -x\nERROR: unable to launch client exe\n")};
    return logs;
}

class HandoverReport : public testing::Test {
  protected:
    ReportDir dir_;
};

TEST_F(HandoverReport, ShowsEveryRecordOldestFirstUnderAHeader) {
    ASSERT_NE(TwoLogs()[0].size() % 8, 0u);
    ASSERT_NE(TwoLogs()[1].size() % 8, 0u);
    WriteFile(dir_.Path() / "two.jex", Report(TwoLogs()));

    const RunResult result = dir_.Run({"two.jex"});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, Shown(TwoLogs(), 1, 2));
    EXPECT_EQ(result.err, "");
}

// A record as a run that found the client still running leaves it, encrypted by the openssl
// command (des-ede3, no padding of its own, on the zero-padded log) under support's key.
TEST_F(HandoverReport, ShowsARecordEncryptedElsewhereUnderSupportsKey) {
    const std::string log =
        "START: handover\nAwaiting client exit\n"
        "Waiting for session file: \"./session.dat\" to be deleted\n"
        "ERROR: The client process did not remove the session file. Client process is "
        "assumedly still running\n"
        "ERROR: unknown exception\nEXIT: handover\n";
    const std::string record = FromHex(
        "7049dd7d740488dd94fb4357097f1b7b6fc78d971e1b2c279a2d551d8cb36ec0"
        "aa43256b12a17a9dbe12d3b4790a143826631d0490623b049473eb5e1d638ff7"
        "dfd298e7be262b366bbf52da618ba1a39370082eee9ae2732d04f1edfa82f764"
        "28313dd7aa4dd1dd50dda87e0f5f70124942996eaa9d4b8c85f992a7d7e1b11a"
        "5e25328509d215170601217fb5a7c6b4c4763b7a21ce80b041369c3bf51eafcf"
        "fe3a741b3f65363153f121aa23d1c469a68c1627ab46f601ca81310d66fe015a"
        "f9afc63b98b7e02e63d41f762cc9f465128642b7b1d358495d6d3ef035b5220b"
        "9eef8b4044cdd466e5816f4c12ddf917");
    ASSERT_EQ(record.size(), 240u);
    WriteFile(dir_.Path() / "session.jex", record + record);

    const RunResult result = dir_.Run({"session.jex"});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, Shown({log, log}, 1, 2));
    EXPECT_EQ(result.err, "");
}

TEST_F(HandoverReport, ReadsThePokerJexOfTheWorkingDirectoryByDefault) {
    WriteFile(dir_.Path() / REPORT_FILE_NAME, Report(TwoLogs()));

    const RunResult all = dir_.Run({});
    EXPECT_EQ(all.status, 0) << all.err;
    EXPECT_EQ(all.out, Shown(TwoLogs(), 1, 2));

    const RunResult last = dir_.Run({"--last"});
    EXPECT_EQ(last.status, 0) << last.err;
    EXPECT_EQ(last.out, Shown({TwoLogs()[1]}, 2, 2));
}

TEST_F(HandoverReport, LastShowsTheNewestRecordOnly) {
    WriteFile(dir_.Path() / "two.jex", Report(TwoLogs()));

    const RunResult result = dir_.Run({"--last", "two.jex"});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, Shown({TwoLogs()[1]}, 2, 2));
}

TEST_F(HandoverReport, RawIsTheDecryptedContentWithItsPadding) {
    WriteFile(dir_.Path() / "two.jex", Report(TwoLogs()));

    const RunResult result = dir_.Run({"--raw", "two.jex"});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out,
              TwoLogs()[0] + Padding(TwoLogs()[0]) + TwoLogs()[1] + Padding(TwoLogs()[1]));
    EXPECT_EQ(result.err, "");
}

// Every amount of padding, none included, with each record's end next to another's start.
TEST_F(HandoverReport, EveryPaddingLengthEndsItsRecord) {
    std::vector<std::string> logs;
    for (std::size_t length = 96; length < 104; ++length) {
        logs.push_back(RunLogOfLength(length));
        ASSERT_EQ(logs.back().size(), length);
    }
    WriteFile(dir_.Path() / "eight.jex", Report(logs));

    const RunResult result = dir_.Run({"eight.jex"});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, Shown(logs, 1, logs.size()));
}

TEST_F(HandoverReport, EmptyReportHoldsNoRecords) {
    WriteFile(dir_.Path() / "empty.jex", "");

    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"empty.jex"}, {"--last", "empty.jex"}, {"--raw", "empty.jex"}}) {
        const RunResult result = dir_.Run(args);
        EXPECT_EQ(result.status, 0) << args[0];
        EXPECT_EQ(result.out, "") << args[0];
    }
}

// A logged file name may contain a newline and "EXIT: handover": such a line must not end
// the record, whether or not it happens to end on a block boundary.
TEST_F(HandoverReport, ExitLineInsideALoggedNameDoesNotSplitTheRecord) {
    std::vector<std::string> logs;
    for (std::size_t shift = 0; shift < 8; ++shift) {
        logs.push_back(RunLog("About to install _tmp_ files\nInstalling ./" +
                              std::string(shift, 'n') + "\nEXIT: handover\n.jar as ./" +
                              std::string(shift, 'n') + "\nEXIT: handover\n\n.jar\n"));
    }
    WriteFile(dir_.Path() / "names.jex", Report(logs));

    const RunResult result = dir_.Run({"names.jex"});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, Shown(logs, 1, logs.size()));

    const RunResult last = dir_.Run({"--last", "names.jex"});
    EXPECT_EQ(last.out, Shown({logs.back()}, logs.size(), logs.size()));
}

struct DamageCase {
    const char* name;
    std::string tail;    // appended to the report of TwoLogs()
    bool thirdComplete;  // whether the tail starts with a complete third record
};

// The complete records are shown, the damage is placed right after them, and the status is 1.
TEST_F(HandoverReport, DamagedTailAfterCompleteRecords) {
    const std::string good = Report(TwoLogs());
    const std::string thirdLog = RunLog("About to rename old RT\n");
    const std::string third = Encrypted(thirdLog);
    // A record that logs a name holding "EXIT: handover", cut at the end of the block where
    // that text ends; the cut ends no record, since the text either does not start a line or
    // is followed by more text, not by padding.
    const auto cutAfterLoggedExit = [](const std::string& before, bool endsBlock) {
        for (std::size_t shift = 0;; ++shift) {
            const std::string log = RunLog("Installing ./" + std::string(shift, 'n') + before +
                                           "EXIT: handover\n.jar\n");
            const std::size_t end = log.find("EXIT: handover\n") + 15;
            if ((end % 8 == 0) == endsBlock) {
                return Encrypted(log).substr(0, (end + 7) / 8 * 8);
            }
        }
    };
    const std::vector<DamageCase> cases{
        {"record cut after an exit inside a line", cutAfterLoggedExit("", true), false},
        {"record cut after an exit line inside a block", cutAfterLoggedExit("\n", false), false},
        {"three stray bytes", "abc", false},
        {"record cut inside a block", third.substr(0, 21), false},
        {"record cut at a block boundary", third.substr(0, 24), false},
        {"record without its last block", third.substr(0, third.size() - 8), false},
        {"blocks of garbage", std::string(32, '\x5a'), false},
        {"record and a stray byte", third + "z", true},
    };
    for (const DamageCase& c : cases) {
        SCOPED_TRACE(c.name);
        WriteFile(dir_.Path() / "damaged.jex", good + c.tail);
        std::vector<std::string> complete = TwoLogs();
        std::size_t damageAt = good.size();
        if (c.thirdComplete) {
            complete.push_back(thirdLog);
            damageAt += third.size();
        }

        const RunResult all = dir_.Run({"damaged.jex"});
        EXPECT_EQ(all.status, 1);
        EXPECT_EQ(all.out, Shown(complete, 1, complete.size()));
        EXPECT_NE(all.err.find("damaged from byte offset " + std::to_string(damageAt) + ":"),
                  std::string::npos)
            << all.err;

        const RunResult last = dir_.Run({"--last", "damaged.jex"});
        EXPECT_EQ(last.status, 1);
        EXPECT_EQ(last.out, Shown({complete.back()}, complete.size(), complete.size()));

        // Every whole block is decrypted; only a partial block at the very end is left out.
        const RunResult raw = dir_.Run({"--raw", "damaged.jex"});
        EXPECT_EQ(raw.status, 1);
        EXPECT_EQ(raw.out.substr(0, good.size()),
                  TwoLogs()[0] + Padding(TwoLogs()[0]) + TwoLogs()[1] + Padding(TwoLogs()[1]));
        EXPECT_EQ(raw.out.size(), (good.size() + c.tail.size()) / 8 * 8);
    }
}

TEST_F(HandoverReport, DataThatIsNoRecordIsDamageFromTheStart) {
    // Encrypted under another key, the logs do not decrypt to records.
    const std::string log = TwoLogs()[0];
    const Kvo::ByteArray plain(log.data(), log.size());
    const std::string otherKey(24, 'k');
    const std::unique_ptr<Kvo::ByteArray> cipher = Kvo::EncryptTripleDes(plain, otherKey);
    WriteFile(dir_.Path() / "other.jex",
              std::string(reinterpret_cast<const char*>(cipher->Data()), cipher->Size()));

    const RunResult result = dir_.Run({"other.jex"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_NE(result.err.find("damaged from byte offset 0:"), std::string::npos) << result.err;
}

struct CommandLineCase {
    std::vector<std::string> args;
    int status;
    bool onStdout;       // where the text goes: stdout, else stderr
    std::string inText;  // a part of that text
};

TEST_F(HandoverReport, CommandLineAndFileErrors) {
    fs::create_directory(dir_.Path() / "folder.jex");
    WriteFile(dir_.Path() / "two.jex", Report(TwoLogs()));
    const std::vector<CommandLineCase> cases{
        {{"--help"}, 0, true, "Exit status:"},
        {{"--help"}, 0, true, "--raw"},
        {{"--help"}, 0, true, "--last"},
        {{"--help"}, 0, true, "multiple of 8"},
        {{"--version"}, 0, true, "handover-report " PROJECT_VERSION "\n"},
        {{"missing.jex"}, 2, false, "cannot open 'missing.jex': No such file or directory"},
        {{"--last", "missing.jex"}, 2, false, "missing.jex"},
        {{"--raw", "missing.jex"}, 2, false, "missing.jex"},
        {{}, 2, false, "cannot open 'poker.jex'"},
        {{"folder.jex"}, 2, false, "'folder.jex'"},
        {{"--first", "two.jex"}, 2, false, "unknown option '--first'"},
        {{"--first", "two.jex"}, 2, false, "Usage: handover-report"},
        {{"--last", "--raw", "two.jex"}, 2, false, "Usage: handover-report"},
        {{"two.jex", "two.jex"}, 2, false, "Usage: handover-report"},
    };
    for (const CommandLineCase& c : cases) {
        std::string line;
        for (const std::string& arg : c.args) {
            line += " " + arg;
        }
        SCOPED_TRACE("handover-report" + line);
        const RunResult result = dir_.Run(c.args);
        EXPECT_EQ(result.status, c.status);
        const std::string& text = c.onStdout ? result.out : result.err;
        EXPECT_NE(text.find(c.inText), std::string::npos) << text;
        if (c.status != 0) {
            EXPECT_EQ(result.out, "");
        }
    }
}

// Support staff keep reports in folders named in their own language: on Windows the name must
// reach the file whole, whatever the ANSI code page, and an error names it in UTF-8.
TEST_F(HandoverReport, ReadsAReportInAFolderNamedOutsideTheCodePage) {
    const std::string folder = "报告-Ünï-😀";
    fs::create_directory(dir_.Path() / fs::u8path(folder));
    WriteFile(dir_.Path() / fs::u8path(folder) / REPORT_FILE_NAME, Report(TwoLogs()));

    const RunResult shown = dir_.Run({(fs::u8path(folder) / REPORT_FILE_NAME).u8string()});
    EXPECT_EQ(shown.status, 0) << shown.err;
    EXPECT_EQ(shown.out, Shown(TwoLogs(), 1, 2));

    const std::string missing = (fs::u8path(folder) / "missing.jex").u8string();
    const RunResult error = dir_.Run({missing});
    EXPECT_EQ(error.status, 2);
    EXPECT_NE(error.err.find("cannot open '" + missing + "': No such file or directory"),
              std::string::npos)
        << error.err;
}

TEST_F(HandoverReport, DoubleDashLetsAFileNameStartWithADash) {
    WriteFile(dir_.Path() / "-two.jex", Report(TwoLogs()));

    const RunResult result = dir_.Run({"--last", "--", "-two.jex"});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, Shown({TwoLogs()[1]}, 2, 2));
}

}  // namespace
