// SPDX-License-Identifier: GPL-3.0-or-later
// Acquisition over a recording before it is run: which mode and channel carry
// the signal, the sound card's clock error, and where the paths lie.  Each
// reads the recording afresh through the sync part of the chain only (the
// mode trials with the first-period correlation too).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "receiver/analysis/clock_estimator.h"
#include "receiver/analysis/signal_quality.h"
#include "receiver/dsp/chain.h"
#include "receiver/io/recording.h"

namespace analysis {

// The first minute decides mode and channel.
inline constexpr double TrialSeconds = 60.0;

struct TrialResult {
    int32_t Mode = dsp::ModeNato;
    io::ChannelChoice Channel = io::ChannelChoice::Left;
    int64_t Blocks = 0;       // run before the trial ended
    double LockedShare = 0.0; // locked blocks / blocks after the warm-up (LockTally)
    double MedianSnrDb = 0.0; // of the sync peak
};

struct SignalChoice {
    int32_t Mode = dsp::ModeNato;
    io::ChannelChoice Channel = io::ChannelChoice::Left;
    bool Stereo = false;
    bool Found = false; // the chosen trial locked (at least MinLockedShare)
    std::vector<TrialResult> Trials;
};

// Tries each mode (both when `mode` is 0) and each channel (left, right and
// the mix of a stereo recording when `channel` is empty) on the first
// `seconds` of the recording and keeps the one that locks best: the largest
// share of locked blocks, locked as the measurement stage tells it (a signal
// present, whichever path is strongest) over the part of the chain a batch
// run for tables works out; within 5 % of it, the higher median peak SNR
// when better by half a dB; else the earlier of the order tried (the mode the
// recording's rate suggests first; left, right, mix).  A trial that can no
// longer come within 5 % of the best so far stops early.  Without any lock
// it keeps that first mode and the left channel.  Nothing on a read failure
// (the reason in `error`).  `first`, when given, is the first trial's result
// (FirstTrialMode, left channel) as a run already found it: it is not run
// again.
std::optional<SignalChoice> ChooseModeAndChannel(const std::string& path, int32_t mode,
                                                 std::optional<io::ChannelChoice> channel,
                                                 double seconds, std::string& error,
                                                 const TrialResult* first = nullptr);
// The first trial ChooseModeAndChannel runs: the mode the recording's rate
// suggests (`mode` when not 0), its left channel.
int32_t FirstTrialMode(int32_t fileRate, int32_t mode);
// A trial's result from the locks and sync peak contrasts of its blocks (the
// first int64(seconds x the mode's rate) samples, fewer in a shorter
// recording), as the measurement stage and PeakContrast told them.
TrialResult TrialOf(int32_t mode, io::ChannelChoice channel, const LockTally& tally,
                    std::vector<double> peakSnrDb);

// "mode: NATO (2400 baud, 1800 Hz), channel: right" (channel "mono" for a
// mono recording).
std::string ChoiceLine(const SignalChoice& choice);

// The sync part of the chain over at most the first `seconds` of the
// recording in `mode` and `channel`, with the correction and gain; onBlock
// after every block, returning false to stop; with `firstPeriodLags` the
// first-period correlation at those first lags too (SyncChain).  False when
// the recording cannot be opened; one that breaks off ends the run where it
// breaks (the run of the whole chain tells the reason).
bool RunSyncOver(const std::string& path, int32_t mode, io::ChannelChoice channel,
                 long double correction, float gain, double seconds,
                 const std::function<bool(const dsp::ChainState&)>& onBlock, std::string& error,
                 int32_t firstPeriodLags = 0);

// The clock error from at most the first `seconds` of the recording, measured
// with `correction` in place.
std::optional<ClockEstimate> MeasureRecordingClock(const std::string& path, int32_t mode,
                                                   io::ChannelChoice channel,
                                                   long double correction, float gain,
                                                   double seconds, std::string& error);

// Where the paths lie at the start of the recording, as the chain sees them
// with `correction`: the LagOffset that places the strongest path 10 lags
// above the bottom of the correlogram, taken once the lock has held for
// `steadySeconds` (SteadyLock; failing that within `seconds`, where the longest lock
// ended).  Found false when nothing locked.
struct PathPlacementResult {
    bool Found = false;
    int32_t LagOffset = 0;
    double StrongestLag = 0.0;
    double AtSeconds = 0.0; // of the recording
};
std::optional<PathPlacementResult> FindRecordingPaths(const std::string& path, int32_t mode,
                                                      io::ChannelChoice channel,
                                                      long double correction, float gain,
                                                      double seconds, double steadySeconds,
                                                      std::string& error);

} // namespace analysis
