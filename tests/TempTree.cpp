#include "tests/TempTree.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <boost/filesystem/operations.hpp>

#include "handover/Main_Win32.h"
#include "tools/ReportRecords.h"
#include "util/ByteArray.h"
#include "util/Crypto.h"

namespace fs = boost::filesystem;

namespace {

std::string Slurp(const fs::path& path) {
    return ReadFile(path.string());
}

}  // namespace

TempTree::TempTree() : root_(scratch_.Path().string()) {}

// The scratch folder itself goes when scratch_ does; flags set by a test would stop it.
TempTree::~TempTree() {
    for (const std::string& path : chattrPaths_) {
        std::system(("chattr -i -a '" + path + "' 2>/dev/null").c_str());
    }
}

void TempTree::Write(const std::string& relative, const std::string& content) const {
    fs::create_directories((root_ / relative).parent_path());
    std::ofstream out((root_ / relative).string(), std::ios::binary);
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

void TempTree::Link(const std::string& relative, const std::string& target) const {
    fs::create_directories((root_ / relative).parent_path());
    fs::create_symlink(target, root_ / relative);
}

void TempTree::InstallClient() const {
    fs::copy_file(CLIENT_PROBE_BIN, root_ / "client.exe", fs::copy_option::overwrite_if_exists);
}

bool TempTree::Chattr(const std::string& flags, const std::string& relative) {
    const std::string path = (root_ / relative).string();
    chattrPaths_.push_back(path);
    return std::system(("chattr " + flags + " '" + path + "' 2>/dev/null").c_str()) == 0;
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

RunResult TempTree::Run(const std::vector<std::string>& args,
                        const std::vector<std::string>& prefix) const {
    return RunProgram(Command(args, prefix), root_.string());
}

std::unique_ptr<ChildProcess> TempTree::Start(const std::vector<std::string>& args,
                                              const std::vector<std::string>& prefix) const {
    return std::make_unique<ChildProcess>(Command(args, prefix), root_.string());
}

std::map<std::string, std::string> TempTree::Snapshot() const {
    std::map<std::string, std::string> entries;
    for (fs::recursive_directory_iterator it(root_), end; it != end; ++it) {
        const std::string relative = it->path().string().substr(root_.string().size() + 1);
        if (relative == REPORT_FILE_NAME || relative == "client-probe.txt") {
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

std::string TempTree::WaitForClient(double seconds) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    const fs::path record = root_ / "client-probe.txt";
    while (!fs::exists(record)) {
        if (std::chrono::steady_clock::now() > deadline) {
            return "";
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return Slurp(record);
}

std::string TempTree::ReportBytes() const {
    return fs::is_regular_file(root_ / REPORT_FILE_NAME) ? Slurp(root_ / REPORT_FILE_NAME) : "";
}

std::vector<std::string> TempTree::ReportLogs() const {
    const std::string bytes = ReportBytes();
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

std::vector<std::string> Strace(const std::vector<std::string>& options) {
    const char* asan = std::getenv("ASAN_OPTIONS");
    std::vector<std::string> prefix = {
        "strace", "-E",
        "ASAN_OPTIONS=" + std::string(asan != nullptr ? asan : "") + ":detect_leaks=0"};
    prefix.insert(prefix.end(), options.begin(), options.end());
    return prefix;
}

bool UnderChecker() {
    return std::getenv("HANDOVER_WRAPPER") != nullptr;
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
