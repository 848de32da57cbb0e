// SPDX-License-Identifier: GPL-3.0-or-later
// The per-block table: one row for every processed block, the same columns in
// the batch CSV and in the live log.  The column list is defined here once;
// writers take the header and the rows from here and add nothing of their own
// between the columns.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "receiver/analysis/signal_quality.h"
#include "receiver/dsp/chain.h"

namespace analysis {

struct BlockRow {
    int64_t Block = 0;      // blocks processed before this one in the run
    double TimeS = 0.0;     // input seconds from the start of the run to the block's last sample
    int32_t PeakLag = 0;    // lag of the sync peak, baseband samples (2 per symbol)
    double DopplerHz = 0.0; // frequency offset estimate, hertz
    int32_t TuneHz = 0;     // the tune indicator's whole hertz: INT(DopplerHz)
    // Quality (signal_quality.h): the sync peak over the noise floor in dB,
    // the lock, and up to two further paths (delay after the strongest path
    // in ms, power against it in dB) from the sync power averaged over the
    // last 8 blocks.
    double PeakSnrDb = 0.0;
    bool Locked = false;
    std::array<std::optional<FurtherPath>, 2> Paths;
};

// The results of the block the chain has just processed, with its quality
// (the QualityTracker of the run, fed this block).
BlockRow MakeBlockRow(const dsp::ChainState& chain, const BlockQuality& quality, int64_t block,
                      double timeS);

// The column names, comma-separated, without a line end:
// block,time_s,peak_lag,doppler_hz,tune_hz,peak_snr_db,locked,
// path2_delay_ms,path2_rel_db,path3_delay_ms,path3_rel_db
std::string BlockTableHeader();
// One row in the header's order, without a line end; DopplerHz with 17
// significant digits so it reads back exactly; the cells of a path not found
// are empty.
std::string FormatBlockRow(const BlockRow& row);

} // namespace analysis
