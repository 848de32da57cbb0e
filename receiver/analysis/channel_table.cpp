// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/analysis/channel_table.h"

#include <cstdio>

#include "receiver/analysis/table_columns.h"

namespace analysis {

namespace {

std::string Cell(const std::optional<double>& value, const char* format) {
    if (!value) return ",";
    char text[64];
    std::snprintf(text, sizeof text, format, *value);
    return std::string(",") + text;
}

} // namespace

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
    char start[96];
    std::snprintf(start, sizeof start, ",%.3f,%lld,%.3f", row.StartS,
                  static_cast<long long>(row.Blocks), row.LockedShare);
    std::string text = row.Utc + start + Cell(row.SnrDb, "%.2f") +
                       Cell(row.MultipathSpreadMs, "%.3f") + Cell(row.RmsDelaySpreadMs, "%.3f");
    for (const auto& path : row.Paths) {
        if (!path) {
            text += ",,,,";
            continue;
        }
        text += Cell(path->DelayMs, "%.3f") + Cell(path->RelDb, "%.2f") +
                Cell(path->DopplerHz, "%.3f") + Cell(path->DopplerSpreadHz, "%.3f");
    }
    return text;
}

} // namespace analysis
