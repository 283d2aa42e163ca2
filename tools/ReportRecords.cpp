#include "tools/ReportRecords.h"

#include <algorithm>
#include <optional>

namespace {

constexpr std::string_view kStartLine = "START: handover\n";
constexpr std::string_view kExitLine = "EXIT: handover\n";
constexpr std::size_t kBlock = 8;

// Whether the "EXIT: handover" line at exitAt can close the record that starts at start.
std::optional<ReportRecord> RecordEndingAt(std::string_view plain, std::size_t start,
                                           std::size_t exitAt) {
    if (exitAt != start && plain[exitAt - 1] != '\n') {
        return std::nullopt;
    }
    const std::size_t textEnd = exitAt + kExitLine.size();
    const std::size_t end = start + (textEnd - start + kBlock - 1) / kBlock * kBlock;
    if (end > plain.size() ||
        !std::all_of(plain.begin() + textEnd, plain.begin() + end, [](char c) { return c == 0; })) {
        return std::nullopt;
    }
    return ReportRecord{start, textEnd - start, end};
}

}  // namespace

std::vector<ReportRecord> SplitRecords(std::string_view plain) {
    std::vector<ReportRecord> records;
    // Whether the data may still hold an end followed by a record start or by the data's end;
    // once a search found none, later searches (over less data) need not look for one.
    bool confirmedEndAhead = true;
    std::size_t start = 0;
    while (start < plain.size()) {
        std::optional<ReportRecord> first;
        std::optional<ReportRecord> confirmed;
        for (std::size_t at = plain.find(kExitLine, start); at != std::string_view::npos;
             at = plain.find(kExitLine, at + 1)) {
            const std::optional<ReportRecord> record = RecordEndingAt(plain, start, at);
            if (!record) {
                continue;
            }
            if (!first) {
                first = record;
                if (!confirmedEndAhead) {
                    break;
                }
            }
            if (record->end == plain.size() ||
                plain.substr(record->end, kStartLine.size()) == kStartLine) {
                confirmed = record;
                break;
            }
        }
        if (!confirmed) {
            confirmedEndAhead = false;
        }
        const std::optional<ReportRecord>& taken = confirmed ? confirmed : first;
        if (!taken) {
            break;
        }
        records.push_back(*taken);
        start = taken->end;
    }
    return records;
}
