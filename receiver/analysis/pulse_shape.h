// SPDX-License-Identifier: GPL-3.0-or-later
// The shape one propagation path leaves in the sync correlation, and what the
// correlation's numbers are in the units of the input.
//
// A STANAG 4285 transmitter sends root-raised-cosine pulses (roll-off 0.35);
// the chain mixes them to baseband and passes them through its 43-tap lowpass,
// which cuts into the pulse's upper band.  The preamble sent with these pulses
// and correlated with the reference gives, at lag l of a path at the
// fractional lag tau, the amplitude a(l - tau) (real: the preamble is BPSK):
//     SyncPower[l] ~ P a(l - tau)^2 / a(0)^2
// about 0.40 one lag away, nearly 0 two lags (one symbol) away, 0.05 three
// lags away.  Paths closer than about two lags merge into one peak; the shape
// lets a fit tell them apart.  Two paths in one peak add their amplitudes, so
// a profile averaged over blocks holds P1 a1^2 + P2 a2^2 + X a1 a2, the last
// term from their mean interference (it fades out with independent fading).
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "receiver/dsp/tables.h"

namespace analysis {

class PulseShape {
  public:
    // Steps per lag of the tabulated shape, and its reach on each side.
    static constexpr int32_t StepsPerLag = 8;
    static constexpr int32_t ReachLags = 16;

    explicit PulseShape(const dsp::SignalTables& tables);

    // a(offset) / a(0) and its square, offset in lags; 0 beyond the reach.
    // Offsets are taken on the 1/8-lag grid (rounded).
    double Amplitude(double offsetLags) const {
        const double steps = offsetLags * StepsPerLag;
        return AmplitudeAt(static_cast<int32_t>(steps >= 0.0 ? steps + 0.5 : steps - 0.5));
    }
    double Power(double offsetLags) const { return Amplitude(offsetLags) * Amplitude(offsetLags); }
    // Between the grid's points, linearly.
    double AmplitudeBetween(double offsetLags) const {
        const double steps = offsetLags * StepsPerLag;
        const double below = std::floor(steps);
        const auto step = static_cast<int32_t>(below);
        const double part = steps - below;
        return (1.0 - part) * AmplitudeAt(step) + part * AmplitudeAt(step + 1);
    }
    // The same on the grid: index = offset x StepsPerLag.
    double AmplitudeAt(int32_t steps) const {
        const int32_t i = steps + ReachLags * StepsPerLag;
        return i < 0 || i >= int32_t(amplitude_.size()) ? 0.0 : amplitude_[std::size_t(i)];
    }

    // SNR in 3 kHz over SNR in the baseband (signal power over noise power per
    // complex baseband sample): the lowpass passes part of the pulse's band
    // and its own share of white noise.
    double Snr3kPerBaseband(int32_t sampleRate) const;
    // The mixer's image of the signal (twice the carrier below it) that the
    // lowpass lets through and the decimation folds into the baseband, as a
    // share of the signal's baseband power (about -39 dB).
    double ImageShare() const { return imageShare_; }
    // Mean-square input power (full scale 1) of a path whose sync correlation
    // peaks at `syncPower` (the peak of its fitted shape).
    double InputPowerOfSyncPeak(double syncPower) const { return syncPower * inputPerSyncPower_; }

  private:
    std::array<double, 2 * ReachLags * StepsPerLag + 1> amplitude_{};
    double signalGain_ = 1.0;        // power of the pulse through the lowpass / before it
    double noiseGain_ = 1.0;         // sum of the lowpass taps squared
    double inputPerSyncPower_ = 1.0; // see InputPowerOfSyncPeak
    double imageShare_ = 0.0;
};

// The shape for the chain's own tables (they are the same in every chain),
// made once.
const PulseShape& ChainPulseShape();
// The shape for these tables: made once for every set of tables with the
// same lowpass and preamble reference (what the shape is made of), and
// shared by every measurement that asks for it afterwards (the trials of
// the modes, each carrier of a band), from any thread.
std::shared_ptr<const PulseShape> SharedPulseShape(const dsp::SignalTables& tables);

} // namespace analysis
