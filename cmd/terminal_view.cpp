#include "cmd/terminal_view.h"

#include <algorithm>
#include <cstdio>

#include "engine/ac_record.h"
#include "engine/network_text.h"
#include "engine/rtt_statistics.h"

namespace {

// `title` (the adapter, when several are watched) goes on a line of its own
// above the table; `stats` adds the RTT statistics columns.
void PrintTable(const std::vector<std::unique_ptr<KtAcRecord>>& rows, const std::string& title,
                bool stats) {
    static const AcRowTexts kHeaders = {"St",     "MAC Address", "AC Name",  "Service Name",
                                        "RTT ms", "Pkt send",    "Pkt recv", "Pkt loss"};
    static const std::vector<std::string> kStatsHeaders = {"Min ms", "Mean ms", "Max ms",
                                                           "Jitter ms", "P95 ms"};
    std::vector<std::vector<std::string>> lines{{kHeaders.begin(), kHeaders.end()}};
    if (stats) lines[0].insert(lines[0].end(), kStatsHeaders.begin(), kStatsHeaders.end());
    for (const auto& record : rows) {
        const AcRowTexts row = FormatAcRow(*record);
        lines.emplace_back(row.begin(), row.end());
        if (!stats) continue;
        const auto figures = FormatRttStatistics(ComputeRttStatistics(record->history));
        lines.back().insert(lines.back().end(), figures.begin(), figures.end());
    }
    // Columns line up by characters: a Cyrillic name takes two bytes a letter.
    const size_t columns = lines[0].size();
    std::vector<size_t> widths(columns);
    for (const auto& line : lines)
        for (size_t c = 0; c < columns; ++c)
            widths[c] = std::max(widths[c], CountNetworkTextCharacters(line[c]));
    std::string out = title.empty() ? std::string() : "== " + title + "\n";
    for (const auto& line : lines) {
        for (size_t c = 0; c < columns; ++c) {
            out += line[c];
            if (c + 1 < columns)
                out.append(widths[c] - CountNetworkTextCharacters(line[c]) + 2, ' ');
        }
        out += '\n';
    }
    out += '\n';
    std::fputs(out.c_str(), stdout);
    std::fflush(stdout);
}

}  // namespace

void TerminalView::LogAppended(std::string_view line) {
    if (line.ends_with("\r\n")) line.remove_suffix(2);
    std::fputs(prefix_.c_str(), stdout);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void TerminalView::ProbeCycleEnded() {
    ++cycles_;
    if (monitor_ != nullptr && !quiet_)
        PrintTable(monitor_->Rows(), prefix_.empty() ? prefix_ : monitor_->Settings().deviceName,
                   stats_);
}
