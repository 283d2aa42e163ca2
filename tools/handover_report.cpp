// handover-report: shows the run logs stored in a failure report, for the vendor's support staff.
// Usage and exit statuses: see kHelp below, or run `handover-report --help`.

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "handover/Main_Win32.h"
#include "tools/BinaryOutput.h"
#include "tools/HandoverReport.h"
#include "tools/ReportRecords.h"
#include "util/ByteArray.h"
#include "util/Crypto.h"
#include "util/CryptoKeys.h"

namespace {

constexpr char kProgram[] = "handover-report";
constexpr std::size_t kBlock = 8;

enum ExitStatus { kOk = 0, kDamaged = 1, kCannotRun = 2 };

constexpr char kUsage[] =
    "Usage: handover-report [--last | --raw] [FILE]\n"
    "       handover-report --help | --version\n";

constexpr char kHelp[] =
    "Shows the run logs stored in a handover failure report.\n"
    "\n"
    "Whenever a run of handover fails, it appends one record to the report file poker.jex in\n"
    "its working directory. A record is the run's whole log, encrypted with triple DES (three\n"
    "keys, ECB) under the report key; the log's last block is padded with zero bytes to a\n"
    "multiple of 8. Records follow one another with nothing between them, oldest first.\n"
    "Decrypted, a record's text starts with the line \"START: handover\" and ends with the line\n"
    "\"EXIT: handover\", each line ended by LF; then come the padding zeros. As a logged file\n"
    "name may itself hold a line \"EXIT: handover\", a record ends at the first such line\n"
    "whose padding is followed by the end of the file or by the line \"START: handover\".\n"
    "\n"
    "Options:\n"
    "  (none)       every record's log, padding removed, each after a header line\n"
    "                 --- record N of M: L bytes ---\n"
    "               where record 1 is the oldest and L is the log's length\n"
    "  --last       the newest record only, with its header line\n"
    "  --raw        the whole decrypted content, padding included, byte for byte, no headers\n"
    "  --help       this text\n"
    "  --version    the version of handover that this decoder belongs to\n"
    "  --           ends the options (for a FILE whose name starts with '-')\n"
    "  FILE         the report to read; poker.jex in the working directory by default\n"
    "\n"
    "A damaged report (its length is not a multiple of 8, or it ends in an incomplete\n"
    "record) still gets every complete record shown; the byte offset where the damage starts\n"
    "is then reported on standard error. With --raw, only a partial block at the very end is\n"
    "left out.\n"
    "\n"
    "Exit status:\n"
    "  0  the report was read completely (an empty report holds no records)\n"
    "  1  the report is damaged; the complete records before the damage were shown\n"
    "  2  bad command line, or the file cannot be opened or read\n";

enum class Mode { kAll, kLast, kRaw };

struct Options {
    Mode mode = Mode::kAll;
    std::string file = REPORT_FILE_NAME;
};

// Raised for anything that keeps the report from being read at all; what() is the whole
// message, after the program name.
class CannotRun : public std::runtime_error {
  public:
    explicit CannotRun(const std::string& message, bool showUsage = false)
        : std::runtime_error(message), showUsage_(showUsage) {}
    bool ShowUsage() const { return showUsage_; }

  private:
    bool showUsage_;
};

Options ParseOptions(const std::vector<std::string>& args) {
    Options options;
    bool modeGiven = false;
    bool fileGiven = false;
    bool optionsEnded = false;
    for (const std::string& arg : args) {
        if (!optionsEnded && arg == "--") {
            optionsEnded = true;
        } else if (!optionsEnded && (arg == "--last" || arg == "--raw")) {
            if (modeGiven) {
                throw CannotRun("give at most one of --last and --raw", true);
            }
            modeGiven = true;
            options.mode = arg == "--last" ? Mode::kLast : Mode::kRaw;
        } else if (!optionsEnded && arg.size() > 1 && arg[0] == '-') {
            throw CannotRun("unknown option '" + arg + "'", true);
        } else {
            if (fileGiven) {
                throw CannotRun("only one FILE may be given", true);
            }
            fileGiven = true;
            options.file = arg;
        }
    }
    return options;
}

// The system's reason for the last failure, which the streams leave in errno.
std::string ErrnoText(const char* fallback) {
    return errno != 0 ? std::strerror(errno) : fallback;
}

std::string ReadWholeFile(const std::string& file) {
    // The name is UTF-8: on Windows the path holds it in UTF-16, whatever the ANSI code page.
    const std::filesystem::path path = std::filesystem::u8path(file);
    // A directory opens like a file on some systems and only fails on reading, with a less
    // telling message.
    std::error_code ignored;
    if (std::filesystem::is_directory(path, ignored)) {
        throw CannotRun("cannot read '" + file + "': it is a directory");
    }
    errno = 0;
    std::ifstream in(path, std::ios_base::in | std::ios_base::binary);
    if (!in) {
        throw CannotRun("cannot open '" + file + "': " + ErrnoText("open failed"));
    }
    std::string data;
    std::vector<char> chunk(1 << 16);
    while (in.read(chunk.data(), static_cast<std::streamsize>(chunk.size())) || in.gcount() > 0) {
        data.append(chunk.data(), static_cast<std::size_t>(in.gcount()));
    }
    if (in.bad()) {
        throw CannotRun("cannot read '" + file + "': " + ErrnoText("read failed"));
    }
    return data;
}

// Decrypts the whole blocks at the front of data in place. ECB lets the data go through the
// cipher in pieces, which keeps within Kvo::ByteArray's 32-bit size whatever the file's.
void DecryptWholeBlocks(std::string& data, const std::string& key) {
    constexpr std::size_t kPiece = std::size_t{1} << 20;
    const std::size_t whole = data.size() / kBlock * kBlock;
    for (std::size_t offset = 0; offset < whole; offset += kPiece) {
        const std::size_t n = std::min(kPiece, whole - offset);
        const Kvo::ByteArray cipher(data.data() + offset, n);
        const std::unique_ptr<Kvo::ByteArray> plain = Kvo::DecryptTripleDes(cipher, key);
        std::copy_n(plain->Data(), n, data.begin() + static_cast<std::ptrdiff_t>(offset));
    }
}

void WriteRecord(std::string_view plain, const ReportRecord& record, std::size_t number,
                 std::size_t count) {
    std::cout << "--- record " << number << " of " << count << ": " << record.textLength
              << " bytes ---\n";
    std::cout.write(plain.data() + record.offset, static_cast<std::streamsize>(record.textLength));
}

int Run(const Options& options) {
    std::string data = ReadWholeFile(options.file);
    const std::size_t fileLength = data.size();

    Kvo::CryptoKeys::Instance();
    DecryptWholeBlocks(data, Kvo::CryptoKeys::GetKey(REPORT_KEY_ID));
    // A partial block at the end cannot be decrypted: it is damage whatever it held.
    data.resize(fileLength / kBlock * kBlock);
    const std::string_view plain = data;

    const std::vector<ReportRecord> records = SplitRecords(plain);
    if (options.mode == Mode::kRaw) {
        std::cout.write(plain.data(), static_cast<std::streamsize>(plain.size()));
    } else if (options.mode == Mode::kLast && !records.empty()) {
        WriteRecord(plain, records.back(), records.size(), records.size());
    } else if (options.mode == Mode::kAll) {
        for (std::size_t i = 0; i < records.size(); ++i) {
            WriteRecord(plain, records[i], i + 1, records.size());
        }
    }
    std::cout.flush();
    if (!std::cout) {
        throw CannotRun("cannot write to standard output");
    }

    const std::size_t completeEnd = records.empty() ? 0 : records.back().end;
    if (completeEnd < fileLength) {
        std::cerr << kProgram << ": " << options.file << ": damaged from byte offset "
                  << completeEnd << ": the last " << fileLength - completeEnd << " of "
                  << fileLength << " bytes are not a complete record (" << records.size()
                  << " complete record" << (records.size() == 1 ? "" : "s") << " before them)";
        if (fileLength % kBlock != 0) {
            std::cerr << "; the file length is not a multiple of " << kBlock;
        }
        std::cerr << '\n';
        return kDamaged;
    }
    if (fileLength == 0) {
        std::cerr << kProgram << ": " << options.file << ": the report is empty, no records\n";
    }
    return kOk;
}

}  // namespace

int ReportMain(const std::vector<std::string>& args) {
    UseBinaryOutput();
    std::ios_base::sync_with_stdio(false);
    for (std::size_t i = 0; i < args.size() && args[i] != "--"; ++i) {
        if (args[i] == "--help") {
            std::cout << kUsage << '\n' << kHelp;
            return kOk;
        }
        if (args[i] == "--version") {
            std::cout << kProgram << ' ' << HANDOVER_VERSION << '\n';
            return kOk;
        }
    }
    try {
        return Run(ParseOptions(args));
    } catch (const CannotRun& e) {
        std::cerr << kProgram << ": " << e.what() << '\n';
        if (e.ShowUsage()) {
            std::cerr << kUsage << "Try 'handover-report --help' for more.\n";
        }
    } catch (const std::exception& e) {
        // Kvo errors carry their own trail lines, each ended by LF.
        const std::string_view what = e.what();
        std::cerr << kProgram << ": cannot read the report: " << what;
        if (what.empty() || what.back() != '\n') {
            std::cerr << '\n';
        }
    }
    return kCannotRun;
}
