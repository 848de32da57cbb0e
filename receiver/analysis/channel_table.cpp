// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/analysis/channel_table.h"

#include "receiver/analysis/table_columns.h"
#include "receiver/analysis/table_text.h"

namespace analysis {

std::string ChannelTableHeader() {
    std::string header = std::string(column::Utc) + "," + column::StartS + "," + column::Blocks +
                         "," + column::LockedShare + "," + column::SnrDb + "," +
                         column::MultipathSpreadMs + "," + column::RmsDelaySpreadMs;
    for (size_t n = 0; n < 4; ++n)
        header += std::string(",") + column::PathDelayMs[n] + "," + column::PathRelDb[n] + "," +
                  column::PathDopplerHz[n] + "," + column::PathDopplerSpreadHz[n];
    return header;
}

std::string FormatChannelRow(const ChannelRow& row) {
    using namespace table_text;
    std::string text = row.Utc;
    text += ',';
    AppendFixed(text, row.StartS, 3);
    text += ',';
    AppendInteger(text, row.Blocks);
    text += ',';
    AppendFixed(text, row.LockedShare, 3);
    AppendCell(text, row.SnrDb, 2);
    AppendCell(text, row.MultipathSpreadMs, 3);
    AppendCell(text, row.RmsDelaySpreadMs, 3);
    for (const auto& path : row.Paths) {
        if (!path) {
            text += ",,,,";
            continue;
        }
        AppendCell(text, path->DelayMs, 3);
        AppendCell(text, path->RelDb, 2);
        AppendCell(text, path->DopplerHz, 3);
        AppendCell(text, path->DopplerSpreadHz, 3);
    }
    return text;
}

} // namespace analysis
