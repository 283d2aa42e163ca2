// The report's record splitting on arbitrary bytes: taken as decrypted text (so the fuzzer can
// reach the structure), and as a report file that is decrypted first.
#include <cstdint>
#include <cstdlib>
#include <string>

#include <string_view>
#include "fuzz/Check.h"
#include "handover/Main_Win32.h"
#include "tools/ReportRecords.h"
#include "util/ByteArray.h"
#include "util/Crypto.h"
#include "util/CryptoKeys.h"

namespace {

void CheckRecords(std::string_view plain) {
    std::size_t expectedOffset = 0;
    for (const ReportRecord& record : SplitRecords(plain)) {
        Check(record.offset == expectedOffset);
        Check(record.end <= plain.size());
        Check((record.end - record.offset) % 8 == 0);
        Check(record.end - record.offset - record.textLength < 8);
        const std::string_view exitLine = "EXIT: handover\n";
        Check(record.textLength >= exitLine.size());
        Check(plain.substr(record.offset + record.textLength - exitLine.size(), exitLine.size()) ==
              exitLine);
        for (std::size_t i = record.offset + record.textLength; i < record.end; ++i) {
            Check(plain[i] == '\0');
        }
        expectedOffset = record.end;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    if (data[0] % 2 == 0) {
        CheckRecords(bytes);
        return 0;
    }
    static const std::string& key =
        (Kvo::CryptoKeys::Instance(), Kvo::CryptoKeys::GetKey(REPORT_KEY_ID));
    const Kvo::ByteArray cipher(bytes.data(), bytes.size() / 8 * 8);
    const auto plain = Kvo::DecryptTripleDes(cipher, key);
    CheckRecords(std::string_view(reinterpret_cast<const char*>(plain->Data()), plain->Size()));
    return 0;
}
