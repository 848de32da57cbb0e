// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/analysis/block_table.h"

#include "receiver/analysis/table_columns.h"
#include "receiver/analysis/table_text.h"

namespace analysis {

namespace {

using namespace table_text;

void AppendPath(std::string& line, const std::optional<FurtherPath>& path) {
    if (!path) {
        line += ",,";
        return;
    }
    line += ',';
    AppendFixed(line, path->DelayMs, 3);
    line += ',';
    AppendFixed(line, path->RelDb, 2);
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

void AppendBlockRow(std::string& line, const BlockRow& row) {
    AppendInteger(line, row.Block);
    line += ',';
    AppendFixed(line, row.TimeS, 6);
    line += ',';
    AppendInteger(line, row.PeakLag);
    line += ',';
    AppendExact(line, row.DopplerHz);
    line += ',';
    AppendInteger(line, row.TuneHz);
    line += ',';
    AppendFixed(line, row.PeakSnrDb, 2);
    line += row.Locked ? ",1" : ",0";
    AppendPath(line, row.Paths[0]);
    AppendPath(line, row.Paths[1]);
    AppendCell(line, row.SnrDb, 2);
    line += ',';
    if (row.Flags != 0) line += FlagWords(row.Flags);
    AppendCell(line, row.Path1Lag, 2);
    AppendCell(line, row.Path1Dbfs, 2);
    AppendPath(line, row.Paths[2]);
}

std::string FormatBlockRow(const BlockRow& row) {
    std::string line;
    AppendBlockRow(line, row);
    return line;
}

} // namespace analysis
