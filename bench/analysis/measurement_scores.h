// SPDX-License-Identifier: GPL-3.0-or-later
// Scores of a measurement run against what the generator put in: the numbers
// the accuracy bench prints.
#pragma once

#include <optional>
#include <vector>

#include "bench/analysis/measurement_run.h"

namespace bench {

// Blocks after the first 16 (before which no lock can be told).
inline constexpr size_t JudgedFrom = 16;

double Median(std::vector<double> values);
double LockedShare(const Run& run);
// Locked share of the blocks whose rows carry (or lack) a flag.
double LockedShareFlagged(const Run& run, uint32_t flag);
double FlaggedShare(const Run& run, uint32_t flag);
// Median of the blocks' snr_db.
std::optional<double> MedianSnrDb(const Run& run);
// The minutes' snr_db less the truth: the largest deviation.
std::optional<double> WorstMinuteSnrError(const Run& run, const Truth& truth);
// Share of the locked rows whose strongest path lies at a repetition (62 or
// 124 lags, +-3) of a true path and not within 3 lags of one.
double RepetitionShare(const Run& run, const Truth& truth);
// Median of path1_dbfs less the strongest true path's input power.
std::optional<double> Path1DbfsError(const Run& run, const Truth& truth);

// A minute's path matched to a true one by its delay.
struct MatchedPath {
    size_t TruePath = 0;
    double DelayErrorMs = 0.0;
    std::optional<double> DopplerHz;
    std::optional<double> SpreadHz;
};
// The minute's paths matched to the config's paths (the assignment of path 1
// that fits the delays best); unmatched true paths missing.
std::vector<std::optional<MatchedPath>>
MatchMinute(const analysis::ChannelRow& row, const s4285gen::Config& config, double toleranceMs);

} // namespace bench
