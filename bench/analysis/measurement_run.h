// SPDX-License-Identifier: GPL-3.0-or-later
// A generated recording through the chain and the measurement stage, in
// process, with what the generator knows beside what the stage says: the
// accuracy bench's one run.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "receiver/analysis/block_table.h"
#include "receiver/analysis/clock_estimator.h"
#include "receiver/analysis/measurement.h"
#include "s4285gen/s4285gen.h"

namespace bench {

// What the generator put in.
struct Truth {
    double Snr3kDb = 0.0;
    // Per path: lag (peak_lag's units, at the start), input power in dBFS.
    std::vector<double> Lags;
    std::vector<double> Dbfs;
    double MultipathSpreadMs = 0.0; // first to last path within 20 dB
    double RmsDelaySpreadMs = 0.0;
};
Truth TruthOf(const s4285gen::Config& config);

struct RunOptions {
    double Seconds = 240.0;
    // Measure the clock first (at most ClockSeconds, as --clock-ppm auto does)
    // and run with its correction.
    bool AutoClock = false;
    double ClockSeconds = 600.0;
    // Only the clock: no run of the chain and the stage.
    bool ClockOnly = false;
};

struct Run {
    std::vector<analysis::BlockMeasurement> Blocks;
    std::vector<int32_t> PeakLags; // the chain's
    std::vector<double> TimesS;    // at each block's last sample
    std::vector<analysis::ChannelRow> Minutes;
    std::optional<analysis::ClockEstimate> Clock;
    double StageSeconds = 0.0; // CPU time in the stage
    double ChainSeconds = 0.0; // CPU time in the chain
};

Run RunMeasurement(const s4285gen::Config& config, const RunOptions& options);

} // namespace bench
