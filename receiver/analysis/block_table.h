// SPDX-License-Identifier: GPL-3.0-or-later
// The per-block table: one row for every processed block, the same columns in
// the batch CSV and in the live log.  The column list is defined here once
// (the names in table_columns.h); writers take the header and the rows from
// here and add nothing of their own between the columns.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "receiver/analysis/measurement.h"
#include "receiver/analysis/signal_quality.h"
#include "receiver/dsp/chain.h"

namespace analysis {

struct BlockRow {
    int64_t Block = 0;      // blocks processed before this one in the run
    double TimeS = 0.0;     // input seconds from the start of the run to the block's last sample
    int32_t PeakLag = 0;    // lag of the sync peak, baseband samples (2 per symbol)
    double DopplerHz = 0.0; // the tune indicator's composite offset, hertz, sign reversed
    int32_t TuneHz = 0;     // the tune indicator's whole hertz: INT(DopplerHz)
    // The sync peak's contrast: its power over the median power away from it.
    double PeakSnrDb = 0.0;
    // With a measurement: a STANAG 4285 signal is in the block (measurement.h);
    // without: the sync peak held still (signal_quality.h).
    bool Locked = false;
    // Paths 2 to 4, strongest first: delay after the strongest path in ms,
    // power against it in dB.
    std::array<std::optional<FurtherPath>, 3> Paths;
    // From the measurement only: SNR in 3 kHz, flags, the strongest path's lag
    // (peak_lag's units) and input power.
    std::optional<double> SnrDb;
    uint32_t Flags = 0;
    std::optional<double> Path1Lag;
    std::optional<double> Path1Dbfs;
};

// The results of the block the chain has just processed, with its quality
// (the QualityTracker of the run, fed this block) and, where the caller runs
// one, the measurement stage's view of it (which then decides `locked` and
// the paths).
BlockRow MakeBlockRow(const dsp::ChainState& chain, const BlockQuality& quality, int64_t block,
                      double timeS, const BlockMeasurement* measurement = nullptr);

// The column names, comma-separated, without a line end:
// block,time_s,peak_lag,doppler_hz,tune_hz,peak_snr_db,locked,
// path2_delay_ms,path2_rel_db,path3_delay_ms,path3_rel_db,
// snr_db,flags,path1_lag,path1_dbfs,path4_delay_ms,path4_rel_db
std::string BlockTableHeader();
// One row in the header's order, without a line end; DopplerHz with 17
// significant digits so it reads back exactly; cells without a value are
// empty.
std::string FormatBlockRow(const BlockRow& row);
// The same row appended to `line` (a writer's line kept from row to row).
void AppendBlockRow(std::string& line, const BlockRow& row);

} // namespace analysis
