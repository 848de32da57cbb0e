// SPDX-License-Identifier: GPL-3.0-or-later
// The sound card's clock error against the transmitter, from the drift of the
// sync peak across blocks.
//
// The transmitter sends one frame every 1024 symbol quarters; a card whose
// clock runs fast by c records 1024 (1 + c) samples per frame, and the
// resampler, consuming 1 + e input samples per output sample (e the
// correction ClockOffset + ClockPpm / 1e6), turns them into 1024 (1 + c) /
// (1 + e) samples.  The preamble therefore moves by
//     512 ((1 + c) / (1 + e) - 1)  lags per block  (two lags per symbol)
// and c = e + r (1 + e) with r = drift / 512: the estimate measures the
// residual r with the current correction in place, and the total is what the
// correction must become for the peak to stand still.
//
// The sync power of every 16 blocks (1.7 s) is summed into a delay profile
// of the chunk; chunks whose profile stands clear of the noise are kept.  The
// drift is found by aligning the whole profiles, not by following one peak:
// where paths fade in turn or lie within a lobe of each other, the strongest
// peak jumps and wobbles, while the profile as a whole only moves with the
// clock.
//  1. A first drift: the median over neighbouring chunks of the shift between
//     their profiles (circular cross-correlation, sub-lag by a parabola
//     through its maximum), per block.
//  2. Three rounds: every profile moved back by the drift so far (to the
//     middle of the measurement; the 512 lags hold one frame period of 512
//     plus the drift, so each crossing of the peak from one end of the lags
//     to the other adds one drift more) and summed into a template; each profile's
//     remaining shift against the template; a straight line through these
//     shifts against time, shifts far off the line dropped (median absolute
//     deviation) and the line fitted again; its slope corrects the drift.
// Each chunk's shift is measured against the template's paths, each free in
// power (clock_shift.h), so that paths fading in turn within one peak do not
// move it.  The uncertainty is the larger of the line's standard error, made
// larger by the residuals' correlation from chunk to chunk, and a jackknife
// over eight stretches of time (slow wobbles of the profile count too).
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "receiver/analysis/signal_quality.h"
#include "receiver/dsp/controls.h"

namespace analysis {

struct ClockEstimate {
    bool Valid = false;           // enough of a steady peak was seen
    double ResidualPpm = 0.0;     // the drift left with the current correction
    double TotalPpm = 0.0;        // the card's error: the correction that stops the drift
    double UncertaintyPpm = 0.0;  // one standard uncertainty of both
    double CorrectionPpm = 0.0;   // the correction in place while measuring
    int64_t Blocks = 0;           // blocks seen since the start of the measurement
    int64_t Observations = 0;     // blocks in the chunks that entered the fit
    double DriftLagsPerBlock = 0; // the fitted drift
};

// The correction as the window's controls hold it: whole ppm (ClockPpm, the
// floor of the total) and the rest as a fraction on the clock slider's grid of
// 0.005 ppm (ClockOffset; slider position 10000 + 200 x the rest in ppm).
struct ClockSetting {
    long double ClockPpm = 0.0L;
    long double ClockOffset = 0.0L;
    int32_t SliderPosition = 10000;
};
ClockSetting SplitClockCorrection(double totalPpm);

// The jackknife variance of a straight line's slope through (times[i],
// values[i]) (times rising): the time span cut into `groups` stretches of
// equal length, the slope s_g fitted without each stretch that holds points,
// and (G - 1) / G x the sum of (s_g - their mean)^2 over the G slopes.
double JackknifeSlopeVariance(const std::vector<double>& times, const std::vector<double>& values,
                              int32_t groups);

class ClockEstimator {
  public:
    // After every block: its sync power, the correction the chain ran it with
    // and the rate.  A new correction or rate restarts the measurement.
    void Add(const dsp::SyncPowerArray& power, long double correction, int32_t sampleRate);
    ClockEstimate Estimate() const;
    void Restart();
    int64_t Blocks() const { return blocks_; }

    using Profile = std::array<float, dsp::BasebandLen>;
    struct Chunk {
        double CentreBlock = 0.0;          // its time: blocks since the start, weighted by strength
        ClockEstimator::Profile Profile{}; // power over the floor, peak 1
    };
    const std::vector<Chunk>& Chunks() const { return chunks_; }

  private:
    std::vector<Chunk> chunks_;
    dsp::SyncPowerArray sum_{};
    int32_t summed_ = 0;
    double weightedTime_ = 0.0; // block times of the chunk weighted by their peak power
    double weight_ = 0.0;
    int64_t blocks_ = 0;
    long double correction_ = 0.0L;
    int32_t sampleRate_ = 0;
};

} // namespace analysis
