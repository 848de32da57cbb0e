// SPDX-License-Identifier: GPL-3.0-or-later
// The measurement stage's minute: what it sums of each block until the
// channel-table row is made, and how the row is made.
//
// Of every locked block it sums the sync power (the minute's power-delay
// profile) and the preamble's signal and noise.  The first-period
// correlation of every block is in the stage's store (correlation_store.h),
// from which each path's taps are taken once the minute's paths are known.
#pragma once

#include <complex>
#include <cstdint>
#include <optional>
#include <vector>

#include "receiver/analysis/channel_table.h"
#include "receiver/analysis/correlation_store.h"
#include "receiver/analysis/path_search.h"
#include "receiver/analysis/preamble_snr.h"
#include "receiver/analysis/pulse_shape.h"
#include "receiver/dsp/chain.h"

namespace analysis {

class MinuteAnalysis {
  public:
    // A fresh minute at this rate, beginning with the store's next block, with
    // the shape the paths are fitted with.
    void Start(int32_t sampleRate, const PulseShape* shape, const CorrelationStore* store);
    // A block (already in the store): locked or not, and its preamble's sums.
    void Add(const dsp::SyncPowerArray& syncPower, bool locked,
             const std::optional<PreambleSums>& preamble);

    int64_t Blocks() const { return blocks_; }
    // The row of the minute (utc and start_s empty).
    ChannelRow Finish() const;

  private:
    PathList MinutePaths(const dsp::SyncPowerArray& profile) const;
    std::optional<double> MinuteSnrDb() const;
    void AddDoppler(const PathList& paths, ChannelRow& row) const;
    std::vector<double> MinuteCarriers() const;
    double TapNoise(const PathList& paths, const class CleanCorrelation& clean) const;

    int32_t sampleRate_ = 9600;
    const PulseShape* shape_ = nullptr;
    const CorrelationStore* store_ = nullptr;
    int64_t first_ = 0; // the minute's first block in the store
    int64_t blocks_ = 0;
    int64_t locked_ = 0;
    dsp::SyncPowerArray profile_{};
    double signal_ = 0.0, noise_ = 0.0; // preamble power sums over locked blocks
};

} // namespace analysis
