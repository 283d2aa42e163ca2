// Where the run logs lie in a decrypted failure report: records follow one another, each a log
// that ends with the line "EXIT: handover" and then zero bytes up to the next multiple of 8.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

// One record of decrypted report data: [offset, offset + textLength) is the log,
// [offset + textLength, end) its zero padding.
struct ReportRecord {
    std::size_t offset;
    std::size_t textLength;
    std::size_t end;
};

// Splits decrypted report data into its complete records, oldest first; whatever follows the
// last of them is damage. A logged file name may hold a newline and "EXIT: handover", so an
// end counts only once the data either stops there or goes on with "START: handover"; failing
// any such end, the first well-formed one is taken, so that damage further on costs no more
// than the record it hits.
std::vector<ReportRecord> SplitRecords(std::string_view plain);
