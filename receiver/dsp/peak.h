// SPDX-License-Identifier: GPL-3.0-or-later
// Stage 5: the peak search and the phase step.  Finds the synchronisation
// preamble in the baseband and estimates the frequency offset of the signal
// from the phase turn between preamble symbols one sequence period (31
// symbols, 62 samples) apart.
//
// Input:  Baseband (positions 0..669 for the search, p..p + 160 for the phase
//         step); PeakReference; SampleRate.
// Output: SyncPower[0..511], the sync power of every lag of this block (for
//           finer estimates: sub-sample peak position, signal to noise);
//         PeakLag, the lag of the largest power (ties keep the earliest, all
//           zero gives 0);
//         DopplerHz, the offset in hertz with its sign reversed: a baseband
//           phase turning by theta per sample gives about -theta SampleRate /
//           (4 pi); |DopplerHz| < SampleRate / 248 (38.7 Hz at 9600).
// State:  none beyond the outputs; each block overwrites them.
// Runs:   once per block, after the Doppler spectra.
//
// Numbers:
//   SyncPower[lag] = re^2 + im^2 in double, re and im = sum over k = 0..79 of
//     PeakReference[k] x Baseband[lag + 2k] (double x float), double sums in
//     increasing k from the k = 0 term: exactly SyncPowerAt.
//   PeakLag: each power rounded to float, the first strictly larger wins.
//   Phase step: A + iB = sum over k = 0, 2, .., 98 of x[p + k] x conj(x[p + k + 62]),
//     each product part formed in long double and rounded to double, double
//     sums; A exactly 0 becomes 1e-10; R = atan2(B, A) in long double x
//     0.008064516129 (1/124), rounded to double.
//   DopplerHz = SampleRate x R / (pi x 2) in long double, rounded to double.
//   The tune value is INT(DopplerHz) = floor.
#pragma once

#include <array>
#include <cstdint>

#include "receiver/dsp/tables.h"
#include "receiver/dsp/vector_isa.h"

namespace dsp {

using SyncPowerArray = std::array<double, BasebandLen>;

struct PeakState {
    SyncPowerArray SyncPower{};
    int32_t PeakLag = 0;
    double DopplerHz = 0.0;
};

// The stage: FindSyncPeak, EstimatePhaseStep at the peak, DopplerHz.
void SearchSyncPeak(const SignalTables& tables, const BasebandArray& baseband, int32_t sampleRate,
                    PeakState& peak);

// The squared magnitude of the correlation with PeakReference at one lag.
double SyncPowerAt(const SignalTables& tables, const BasebandArray& baseband, int32_t lag);
// SyncPowerAt for lags 0..511 into syncPower when PeakReference is two-level
// (every tap +c or -c, as BuildSignalTables makes it), run in the given
// instruction set; false, with nothing written, otherwise.
bool TwoLevelSyncPowers(const SignalTables& tables, const BasebandArray& baseband,
                        SyncPowerArray& syncPower, VectorIsa isa);
// Fills syncPower for lags 0..511 and returns the peak lag.
int32_t FindSyncPeak(const SignalTables& tables, const BasebandArray& baseband,
                     SyncPowerArray& syncPower);
// R, the phase step at lag p (radians per baseband sample, scaled by -1/2).
double EstimatePhaseStep(const BasebandArray& baseband, int32_t peakLag);

// a x conj(b): real a.re b.re + a.im b.im and imaginary a.im b.re - a.re b.im,
// each formed in long double and rounded to double.
double ConjProductRe(ComplexSample a, ComplexSample b);
double ConjProductIm(ComplexSample a, ComplexSample b);
// Four-quadrant arctangent in long double, -pi..pi.
double Atan2Ext(double y, double x);
double DopplerFromPhaseStep(int32_t sampleRate, double phaseStep);
int32_t TuneValue(double dopplerHz); // INT: towards minus infinity

} // namespace dsp
