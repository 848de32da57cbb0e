// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/analysis/block_table.h"

#include <cstdio>

namespace analysis {

BlockRow MakeBlockRow(const dsp::ChainState& chain, const BlockQuality& quality, int64_t block,
                      double timeS) {
    BlockRow row;
    row.Block = block;
    row.TimeS = timeS;
    row.PeakLag = chain.Peak.PeakLag;
    row.DopplerHz = chain.Peak.DopplerHz;
    row.TuneHz = dsp::TuneValue(chain.Peak.DopplerHz);
    row.PeakSnrDb = quality.PeakSnrDb;
    row.Locked = quality.Locked;
    row.Paths = quality.Paths;
    return row;
}

std::string BlockTableHeader() {
    return "block,time_s,peak_lag,doppler_hz,tune_hz,peak_snr_db,locked,"
           "path2_delay_ms,path2_rel_db,path3_delay_ms,path3_rel_db";
}

std::string FormatBlockRow(const BlockRow& row) {
    char text[256];
    int used = std::snprintf(text, sizeof text, "%lld,%.6f,%d,%.17g,%d,%.2f,%d",
                             static_cast<long long>(row.Block), row.TimeS, row.PeakLag,
                             row.DopplerHz, row.TuneHz, row.PeakSnrDb, row.Locked ? 1 : 0);
    for (const auto& path : row.Paths) {
        const size_t at = static_cast<size_t>(used);
        if (path)
            used += std::snprintf(text + at, sizeof text - at, ",%.3f,%.2f", path->DelayMs,
                                  path->RelDb);
        else
            used += std::snprintf(text + at, sizeof text - at, ",,");
    }
    return text;
}

} // namespace analysis
