// SPDX-License-Identifier: GPL-3.0-or-later
// The Doppler shift and spread of one propagation path over a window of
// blocks (the stage uses the minute of its channel-table row).
//
// The path's tap is the chain's first-period correlation (CorrLags) at the
// path's lag: one complex value per block, the path's gain times its Doppler
// rotation (a signal f Hz above the carrier turns it by +f per second: the
// sign of s4285sim), with noise that is independent from block to block.
//  - Block rate (9.375 Hz NATO): the autocorrelation R(k) of the taps over k
//    blocks.  Its phase turns by 2 pi f k T: the shift from R(1).  Its
//    magnitude, for the Gaussian Doppler spectrum of a Watterson path of
//    two-sided width 2 sigma, falls as exp(-2 pi^2 sigma^2 (k T)^2); noise
//    only adds to R(0), so a straight line through ln |R(k)| against k^2 for
//    k >= 1 gives sigma without knowing the noise.  It sees spreads up to
//    about 2 Hz (sigma T well below one).
//  - Within the preamble: the tap one sequence period (62 lags, 12.9 ms NATO)
//    later, CorrLags[lag + 62], holds the second period of the same
//    preamble.  Their correlation over the blocks turns by 2 pi f 12.9 ms (the
//    shift without the block rate's ambiguity of 9.375 Hz) and its magnitude
//    against the taps' powers, less their noise, is
//    exp(-2 pi^2 sigma^2 (12.9 ms)^2): spreads from a few hertz to about
//    60 Hz (Flutter's 10 Hz, 30 Hz of a disturbed high-latitude path).
#pragma once

#include <complex>
#include <cstdint>
#include <optional>
#include <vector>

namespace analysis {

struct PathTaps {
    std::vector<std::complex<double>> First;  // the tap, block by block
    std::vector<std::complex<double>> Second; // one sequence period later
    std::vector<char> Used;                   // the blocks that count (locked)
    double Noise = 0.0;                       // noise power of one tap
};

struct PathDoppler {
    std::optional<double> ShiftHz;
    std::optional<double> SpreadHz; // two-sided, 2 sigma
};

// The largest spread told: beyond it the preamble's two periods hold nothing
// of each other any more.
inline constexpr double MaxSpreadHz = 60.0;

PathDoppler MeasurePathDoppler(const PathTaps& taps, double blockRateHz, double periodS);

} // namespace analysis
