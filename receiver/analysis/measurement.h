// SPDX-License-Identifier: GPL-3.0-or-later
// The measurement stage: what a researcher can trust about each block and
// each minute, read from what the chain computed and never written into it
// (the chain's outputs and pictures stay as they are).
//
// Feed it after every block (the chain's BlockProcessed hook, or after
// ProcessBlock) with the chain, the settings it ran with and what only the
// caller knows of the block's input (BlockInputFacts).  It keeps its own
// averages:
//  - the power-delay profile: the sync power (PeakState::SyncPower)
//    averaged exponentially over about 8 blocks (0.85 s NATO), and with it
//    the first-period correlation (CorrelatorState::CorrLags) that tells the
//    sequence's repetitions from paths (path_search.h);
//  - the paths: up to four fitted in that profile, strongest first
//    (delay after the strongest, power against it, the strongest's lag and
//    input power in dBFS);
//  - locked: a STANAG 4285 signal is in this block.  The profile's strongest
//    path stands at least 6 dB over the floor (not a fixed lag: any path,
//    however the paths fade in turn), this block's sync power around the
//    paths holds energy over its floor, and the input was neither dead nor
//    filled;
//  - snr_db: signal over noise in 3 kHz from the preamble's repeated sequence
//    (preamble_snr.h), over the last 8 blocks;
//  - flags (the words of FlagWords).  The measurements of a block read the
//    baseband of it and the two blocks before it, so a fault in any of these
//    three flags the block.
// FinishMinute gives the channel-table row of the blocks since the last call
// (channel_table.h): paths fitted in the minute's profile, their Doppler
// shift and spread over the minute (path_doppler.h), the delay spreads.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "receiver/analysis/channel_table.h"
#include "receiver/analysis/path_search.h"
#include "receiver/dsp/chain.h"

namespace analysis {

// What the caller knows of a block's input that the chain does not keep.
struct BlockInputFacts {
    bool Fill = false;          // the input filled a loss with silence in this block
    int32_t ClippedSamples = 0; // raw samples at full scale, before the gain
};

// The flags of a block, in the order FlagWords writes them.
enum BlockFlag : uint32_t {
    FlagDropout = 1u << 0,       // the input was silent or held at one value
    FlagInterference = 1u << 1,  // a steady carrier in the passband
    FlagClipping = 1u << 2,      // samples at full scale
    FlagFill = 1u << 3,          // the input filled a loss with silence
    FlagGhostRejected = 1u << 4, // the chain's sync peak was a repetition of a path
    FlagClockStep = 1u << 5,     // the wall clock stepped since the block before
    FlagClockUnsynced = 1u << 6, // the system clock was not synchronised
};
// "dropout interference clipping fill ghost-rejected clock-step
// clock-unsynced", the set ones,
// space-separated; empty when none.
std::string FlagWords(uint32_t flags);

struct MeasuredPath {
    double Lag = 0.0;     // peak_lag's units (0 <= Lag < 512), fitted between lags
    double DelayMs = 0.0; // after the strongest path (negative: earlier)
    double RelDb = 0.0;   // power against the strongest path
};

struct BlockMeasurement {
    bool Locked = false;
    std::optional<double> SnrDb; // in 3 kHz
    uint32_t Flags = 0;
    int32_t PathCount = 0;
    std::array<MeasuredPath, MaxPaths> Paths{}; // strongest first
    std::optional<double> Path1Dbfs;            // the strongest path's input power
};

class MeasurementStage {
  public:
    MeasurementStage();
    ~MeasurementStage();
    MeasurementStage(const MeasurementStage&) = delete;
    MeasurementStage& operator=(const MeasurementStage&) = delete;

    // After every block, in order.  A new mode (rate) starts afresh.
    const BlockMeasurement& Add(const dsp::ChainState& chain, const dsp::Settings& settings,
                                const BlockInputFacts& facts = {});
    const BlockMeasurement& Last() const;
    // The row of the blocks since the previous call (utc and start_s left to
    // the caller), and a new minute begun.
    ChannelRow FinishMinute();
    // Blocks since the previous FinishMinute.
    int64_t MinuteBlocks() const;

  private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace analysis
