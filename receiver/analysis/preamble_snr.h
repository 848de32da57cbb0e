// SPDX-License-Identifier: GPL-3.0-or-later
// Signal and noise power from the preamble itself.
//
// Inside the preamble the 31-symbol sequence repeats, so wherever a baseband
// sample and the one 62 samples (a period) later are both made of preamble
// symbols alone, whatever the paths, the two carry the same signal, turned by
// the Doppler shift over the period, and independent noise:
//     u = s + n1,  v = s e^(i theta) + n2
// With C = sum of v conj(u) and E = sum of |u|^2 + |v|^2 over m such pairs,
//     signal per sample = |C| / m,   noise per sample = (E - 2 |C|) / (2 m).
// No model of the channel is needed: its delays, gains and the pulse shape
// cancel.  The pairs must keep clear of the data symbols on both sides of the
// preamble by the reach of the pulse (6 symbols leave -50 dB of it), which
// leaves 63 - (spread of the paths in lags) pairs.  What fades within the
// 12.9 ms of a period counts as noise (only fast flutter fades that fast).
#pragma once

#include <algorithm>
#include <complex>
#include <cstdint>
#include <optional>

#include "receiver/dsp/tables.h"

namespace analysis {

struct PreambleSums {
    std::complex<double> Cross{}; // sum of v conj(u)
    double Power = 0.0;           // sum of |u|^2 + |v|^2
    int32_t Pairs = 0;

    PreambleSums& operator+=(const PreambleSums& other) {
        Cross += other.Cross;
        Power += other.Power;
        Pairs += other.Pairs;
        return *this;
    }
    PreambleSums& operator-=(const PreambleSums& other) {
        Cross -= other.Cross;
        Power -= other.Power;
        Pairs -= other.Pairs;
        return *this;
    }
    // `image`: the share of the signal's power that the chain's mixer image
    // adds (PulseShape::ImageShare).  The image turns by half a cycle over a
    // period, so it takes `image` from the signal and twice that comes out as
    // noise; both are given back here.
    double SignalPerSample(double image = 0.0) const {
        return Pairs > 0 ? std::abs(Cross) / Pairs / (1.0 - image) : 0.0;
    }
    double NoisePerSample(double image = 0.0) const {
        if (Pairs <= 0) return 0.0;
        const double measured = std::max(0.0, Power - 2.0 * std::abs(Cross)) / (2.0 * Pairs);
        // At most 60 dB under the signal: beyond, the chain's float sums.
        const double signal = SignalPerSample(image);
        return std::max(1e-6 * signal, measured - 2.0 * image * signal);
    }
};

// The preamble's pairs in the baseband of a block whose earliest path lies at
// `firstLag` and latest at `lastLag` (lastLag - firstLag the spread, in lags,
// 0 .. 62; firstLag 0 .. 512).  Nothing when the spread leaves too few pairs.
std::optional<PreambleSums> PreamblePairs(const dsp::BasebandArray& baseband, double firstLag,
                                          double lastLag);

} // namespace analysis
