// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/acquisition/block_table.h"

#include <cstdio>

namespace rx {

BlockRow MakeBlockRow(const ChainState& chain, int64_t block, double timeS) {
    BlockRow row;
    row.Block = block;
    row.TimeS = timeS;
    row.PeakLag = chain.Peak.PeakLag;
    row.DopplerHz = chain.Peak.DopplerHz;
    row.TuneHz = TuneValue(chain.Peak.DopplerHz);
    return row;
}

std::string BlockTableHeader() {
    return "block,time_s,peak_lag,doppler_hz,tune_hz";
}

std::string FormatBlockRow(const BlockRow& row) {
    char text[160];
    std::snprintf(text, sizeof text, "%lld,%.6f,%d,%.17g,%d", static_cast<long long>(row.Block),
                  row.TimeS, row.PeakLag, row.DopplerHz, row.TuneHz);
    return text;
}

} // namespace rx
