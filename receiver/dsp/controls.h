// SPDX-License-Identifier: GPL-3.0-or-later
// What the operator sets and the chain reads: the six numbers kept in the
// settings file, and the controls of the window that are not kept.  The
// receiver (or a batch run, or a test) owns one of each and passes them to the
// chain by const reference; the chain never writes them.
#pragma once

#include <cstdint>

namespace dsp {

// The six numbers kept in the settings file.
struct Settings {
    long double ClockOffset = 0.0L; // fine sample-clock correction, a fraction
    long double ClockPpm = 0.0L;    // coarse correction in whole ppm
    float InputGain = 1.0f;         // multiplies every input sample
    float CorrGain = 1.0f;          // grey scale of the correlogram
    float DopplerGain = 1.0f;       // grey scale of the dopplergram
    float ScatterGain = 1.0f;       // grey scale of the scattergram
};

// The total clock correction: input samples skipped (+) or repeated (-) per
// output sample.
long double ClockCorrection(const Settings& settings);

// The delay window, the Doppler axis and the averaging the operator chose.
struct ChainControls {
    int32_t AverageCount = 1; // K, correlogram averages; the correlator reads at least 1
    int32_t LagOffset = 0;    // first lag of the correlogram window and of the Doppler
                              // lags, 0..512 (a click on the correlation panel)
    int32_t DopplerShift = 0; // circular shift of the Doppler rows, -128..128 ("+" / "-")
};

} // namespace dsp
