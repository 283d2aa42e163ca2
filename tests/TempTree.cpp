#include "tests/TempTree.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>
#include <boost/filesystem/operations.hpp>

#include "handover/Main_Win32.h"
#include "handover/Utf8Paths.h"
#include "tools/ReportRecords.h"
#include "util/ByteArray.h"
#include "util/Crypto.h"

namespace fs = boost::filesystem;

namespace {

std::string Slurp(const fs::path& path) {
    return ReadFile(std::filesystem::path(path.native()));
}

}  // namespace

// Names in the tests are UTF-8, as handover takes them.
TempTree::TempTree()
    : root_((UseUtf8Paths(), fs::path(scratch_.Path().native()) / "home" / "app")) {
    fs::create_directories(root_);
}

void TempTree::Write(const std::string& relative, const std::string& content) const {
    fs::create_directories((root_ / relative).parent_path());
    std::ofstream out(std::filesystem::path((root_ / relative).native()), std::ios::binary);
    out << content;
    if (!out) {
        throw std::runtime_error("cannot write " + relative);
    }
}

std::string TempTree::Read(const std::string& relative) const {
    return Slurp(root_ / relative);
}

bool TempTree::Exists(const std::string& relative) const {
    return fs::exists(fs::symlink_status(root_ / relative));
}

void TempTree::MakeDir(const std::string& relative) const {
    fs::create_directories(root_ / relative);
}

void TempTree::InstallClient() const {
    fs::copy_file(CLIENT_PROBE_BIN, root_ / "client.exe", fs::copy_option::overwrite_if_exists);
}

std::vector<std::string> TempTree::Command(const std::vector<std::string>& args,
                                           const std::vector<std::string>& prefix) const {
    std::vector<std::string> command = prefix;
    // HANDOVER_WRAPPER runs the program under a checker, e.g. "valgrind --error-exitcode=99".
    if (const char* wrapper = std::getenv("HANDOVER_WRAPPER")) {
        std::istringstream words(wrapper);
        for (std::string word; words >> word;) {
            command.push_back(word);
        }
    }
    command.push_back(HANDOVER_BIN);
    command.insert(command.end(), args.begin(), args.end());
    return command;
}

void TempTree::KeepClientRunning(int seconds) const {
    Write("client-probe.linger", std::to_string(seconds));
}

RunResult TempTree::Run(const std::vector<std::string>& args,
                        const std::vector<std::string>& prefix) const {
    return RunProgram(Command(args, prefix), std::filesystem::path(root_.native()));
}

std::unique_ptr<ChildProcess> TempTree::Start(const std::vector<std::string>& args,
                                              const std::vector<std::string>& prefix) const {
    return std::make_unique<ChildProcess>(Command(args, prefix),
                                          std::filesystem::path(root_.native()));
}

namespace {

// Every entry below dir but those below skip, by path relative to dir.
std::map<std::string, std::string> SnapshotOf(const fs::path& dir, const fs::path& skip) {
    std::map<std::string, std::string> entries;
    for (fs::recursive_directory_iterator it(dir), end; it != end; ++it) {
        if (it->path() == skip) {
            it.disable_recursion_pending();
            continue;
        }
        const std::string relative =
            it->path().generic_string().substr(dir.generic_string().size() + 1);
        if (relative == REPORT_FILE_NAME || relative == "client-probe.txt" ||
            relative == "client-probe.linger") {
            continue;
        }
        const fs::file_status status = it->symlink_status();
        if (fs::is_symlink(status)) {
            entries[relative] = "link:" + fs::read_symlink(it->path()).string();
        } else if (fs::is_directory(status)) {
            entries[relative] = "dir";
        } else if (fs::is_regular_file(status)) {
            entries[relative] = relative == "client.exe" ? "<client>" : Slurp(it->path());
        } else {
            entries[relative] = "special";
        }
    }
    return entries;
}

}  // namespace

std::map<std::string, std::string> TempTree::Snapshot() const {
    return SnapshotOf(root_, fs::path());
}

std::map<std::string, std::string> TempTree::SnapshotOutside() const {
    auto entries = SnapshotOf(Scratch(), root_);
    // The tree itself, and the output files of the programs run in it ("home/app.<n>.out").
    for (auto it = entries.begin(); it != entries.end();) {
        it = it->first.compare(0, 8, "home/app") == 0 ? entries.erase(it) : std::next(it);
    }
    return entries;
}

std::string TempTree::WaitForClient(double seconds) const {
    const fs::path path = root_ / "client-probe.txt";
    std::string record;
    // The probe renames its whole record into place, but under Wine the rename may hold the file
    // a moment after its name appears, and a read then finds nothing: read until it is there.
    WaitFor(
        [&path, &record] {
            record = fs::exists(path) ? Slurp(path) : "";
            return !record.empty();
        },
        seconds);
    return record;
}

std::string TempTree::ReportBytes() const {
    return fs::is_regular_file(root_ / REPORT_FILE_NAME) ? Slurp(root_ / REPORT_FILE_NAME) : "";
}

std::vector<std::string> TempTree::ReportLogs() const {
    return ReportLogsOf(ReportBytes());
}

std::vector<std::string> ReportLogsOf(const std::string& bytes) {
    const Kvo::ByteArray cipher(bytes.data(), bytes.size());
    const auto plain = Kvo::DecryptTripleDes(cipher, FromHex(kReportKeyHex));
    const std::string text(reinterpret_cast<const char*>(plain->Data()), plain->Size());
    std::vector<std::string> logs;
    std::size_t end = 0;
    for (const ReportRecord& record : SplitRecords(text)) {
        logs.push_back(text.substr(record.offset, record.textLength));
        end = record.end;
    }
    if (end != text.size()) {
        throw std::runtime_error("report damaged, or not under support's key, from byte " +
                                 std::to_string(end));
    }
    return logs;
}

WorkingDirectory::WorkingDirectory(const fs::path& dir) : previous_(fs::current_path()) {
    fs::current_path(dir);
}

WorkingDirectory::~WorkingDirectory() {
    fs::current_path(previous_);
}

bool UnderChecker() {
    return std::getenv("HANDOVER_WRAPPER") != nullptr;
}

std::string Native(const std::string& path) {
    std::string native = path;
    for (std::size_t i = 2; i < native.size(); ++i) {
        if (native[i] == '/') {
            native[i] = kPreferredSeparator;
        }
    }
    return native;
}

std::vector<std::string> ProbeField(const std::string& record, const std::string& key) {
    std::vector<std::string> values;
    for (const std::string& line : Lines(record)) {
        if (line.compare(0, key.size() + 1, key + "=") == 0) {
            values.push_back(line.substr(key.size() + 1));
        }
    }
    return values;
}

std::vector<std::string> Concat(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

void ExpectQuietSuccess(const RunResult& run) {
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "");
}

double Stopwatch::Seconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

std::string NativeTarget(const std::string& path) {
    std::string native = Native(path);
    if (native.compare(0, 2, "./") == 0 && native.find('/', 2) == std::string::npos &&
        native.find(kPreferredSeparator, 2) == std::string::npos) {
        native[1] = kPreferredSeparator;
    }
    return native;
}

std::string Quoted(const std::string& text) {
    return "\"" + text + "\"";
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> StartLines() {
    return {"START: handover", "Awaiting client exit",
            "Waiting for session file: \"./session.dat\" to be deleted",
            "Session file has been deleted. The client process has exited.",
            "About to install _tmp_ files"};
}

std::string SnapshotDifference(const std::map<std::string, std::string>& expected,
                               const std::map<std::string, std::string>& actual) {
    std::ostringstream out;
    for (const auto& [path, content] : expected) {
        const auto it = actual.find(path);
        if (it == actual.end()) {
            out << "  missing " << path << " (" << content << ")\n";
        } else if (it->second != content) {
            out << "  " << path << ": " << it->second << " instead of " << content << "\n";
        }
    }
    for (const auto& [path, content] : actual) {
        if (expected.count(path) == 0) {
            out << "  extra " << path << " (" << content << ")\n";
        }
    }
    return out.str();
}
