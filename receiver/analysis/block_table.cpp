// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/analysis/block_table.h"

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

std::string PathCells(const std::optional<FurtherPath>& path) {
    if (!path) return ",,";
    char text[64];
    std::snprintf(text, sizeof text, ",%.3f,%.2f", path->DelayMs, path->RelDb);
    return text;
}

} // namespace

BlockRow MakeBlockRow(const dsp::ChainState& chain, const BlockQuality& quality, int64_t block,
                      double timeS, const BlockMeasurement* measurement) {
    BlockRow row;
    row.Block = block;
    row.TimeS = timeS;
    row.PeakLag = chain.Peak.PeakLag;
    row.DopplerHz = chain.Peak.DopplerHz;
    row.TuneHz = dsp::TuneValue(chain.Peak.DopplerHz);
    row.PeakSnrDb = quality.PeakSnrDb;
    if (!measurement) {
        row.Locked = quality.Locked;
        row.Paths[0] = quality.Paths[0];
        row.Paths[1] = quality.Paths[1];
        return row;
    }
    const BlockMeasurement& m = *measurement;
    row.Locked = m.Locked;
    for (int32_t i = 1; i < m.PathCount; ++i)
        row.Paths[size_t(i - 1)] =
            FurtherPath{m.Paths[size_t(i)].DelayMs, m.Paths[size_t(i)].RelDb};
    row.SnrDb = m.SnrDb;
    row.Flags = m.Flags;
    if (m.PathCount > 0) row.Path1Lag = m.Paths[0].Lag;
    row.Path1Dbfs = m.Path1Dbfs;
    return row;
}

std::string BlockTableHeader() {
    std::string header = std::string(column::Block) + "," + column::TimeS + "," + column::PeakLag +
                         "," + column::DopplerHz + "," + column::TuneHz + "," + column::PeakSnrDb +
                         "," + column::Locked;
    for (size_t n = 1; n <= 2; ++n)
        header += std::string(",") + column::PathDelayMs[n] + "," + column::PathRelDb[n];
    return header + "," + column::SnrDb + "," + column::Flags + "," + column::Path1Lag + "," +
           column::Path1Dbfs + "," + column::PathDelayMs[3] + "," + column::PathRelDb[3];
}

std::string FormatBlockRow(const BlockRow& row) {
    char text[160];
    std::snprintf(text, sizeof text, "%lld,%.6f,%d,%.17g,%d,%.2f,%d",
                  static_cast<long long>(row.Block), row.TimeS, row.PeakLag, row.DopplerHz,
                  row.TuneHz, row.PeakSnrDb, row.Locked ? 1 : 0);
    return text + PathCells(row.Paths[0]) + PathCells(row.Paths[1]) + Cell(row.SnrDb, "%.2f") +
           "," + FlagWords(row.Flags) + Cell(row.Path1Lag, "%.2f") + Cell(row.Path1Dbfs, "%.2f") +
           PathCells(row.Paths[2]);
}

} // namespace analysis
