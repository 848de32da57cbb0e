// SPDX-License-Identifier: GPL-3.0-or-later
// The arithmetic of one block, counted from the loops of the chain's stages
// (receiver/dsp), by op class and data type.  Counts are per block with the
// defaults (K = 1); the Doppler spectra run four times in 256 blocks and are
// spread over them.  The loop bounds are the chain's own constants, so a
// change of a dimension changes these counts with it; a change of a loop's
// body has to be carried here by hand.
//
// What is counted: every add or subtract, multiply, divide and square root,
// by the type it is executed in; and every float32 <-> float64 conversion
// the arithmetic needs (Convert): a float value entering float64 arithmetic
// is widened once, a float64 result stored as float is rounded once, so one
// step of a float32 sum with an exact product (acc = float(acc + tap x)) is a
// multiply, an add and two conversions.  Integer -> float conversions and
// rounding to an integer (rint) count as conversions too.
// Not counted: compares and selects, moves and copies, sign flips, the x87
// loads and rounding stores of float and double values, integer index
// arithmetic, and the library calls of sin and atan2 (Calls: counted, but not
// part of the limit).
#pragma once

#include <array>
#include <string>
#include <vector>

#include "bench/core_throughput.h"
#include "receiver/dsp/tables.h"

namespace bench {

struct OpCount {
    std::array<double, OpClassCount> Ops{};
    double Calls = 0; // sin, atan2: not in the limit

    double& operator[](OpClass op) { return Ops[static_cast<size_t>(op)]; }
    double operator[](OpClass op) const { return Ops[static_cast<size_t>(op)]; }
    OpCount& operator+=(const OpCount& other) {
        for (size_t i = 0; i < Ops.size(); ++i)
            Ops[i] += other.Ops[i];
        Calls += other.Calls;
        return *this;
    }
};

struct StageOps {
    std::string Name;
    OpCount Count;
};

// `corrTaps`: the nonzero taps of CorrReference (16: the correlator visits
// only those).
inline std::vector<StageOps> ProcessBlockOps(int corrTaps) {
    using dsp::BasebandLen;
    using dsp::BlockLen;
    using dsp::CorrLagCount;
    using dsp::DopplerLags;
    using dsp::FftLen;
    using dsp::LowpassLen;
    using dsp::SlowRows;
    using dsp::SyncLen;
    using O = OpClass;

    // Downconvert: mix every input sample with the oscillator (each long
    // double product formed from three exact double products, checked against
    // a margin; the rare unsure one again in long double, not counted), then
    // the 43-tap lowpass at every second position, real and imaginary.
    OpCount down;
    down[O::F64Mul] = 2.0 * BlockLen * (3 + 1);  // x times the three parts; the margin
    down[O::F64Add] = 2.0 * BlockLen * (2 + 2);  // their sum; sum -+ margin
    down[O::Convert] = BlockLen * (1 + 2.0 * 3); // x to double; three roundings each
    const double lowpassSteps = 2.0 * LowpassLen * BasebandLen;
    const double mixed = 2.0 * (LowpassLen + BlockLen); // floats of MixBuffer[0..1066]
    down[O::F64Mul] += lowpassSteps;
    down[O::F64Add] += lowpassSteps;
    down[O::Convert] += 2 * lowpassSteps + mixed + LowpassLen;

    // GramCorrelate: the nonzero taps at every lag, then magnitude, grey
    // level (lags 512..1023) and trace per lag.
    OpCount gram;
    const double corrSteps = 2.0 * corrTaps * CorrLagCount;
    const double corrSamples = 2.0 * (CorrLagCount + 2 * (SyncLen - 1));
    gram[O::F64Mul] = corrSteps + CorrLagCount * 2.0 + BasebandLen * 2.0 + CorrLagCount * 2.0;
    gram[O::F64Add] = corrSteps + CorrLagCount * 1.0 + BasebandLen * 1.0 + CorrLagCount * 1.0;
    gram[O::F64Sqrt] = CorrLagCount;
    gram[O::Convert] = 2 * corrSteps + corrSamples + corrTaps + CorrLagCount * 2.0 +
                       BasebandLen * 2.0 + CorrLagCount * 3.0;

    // UpdateDoppler: 62 slow-time values per block; four times in 256
    // blocks the twiddles of the 256-point FFT (once for all lags), then
    // for each of the 62 lags the windowed load, the butterflies and the
    // magnitudes into DopplerMatrix, and the profile.
    OpCount doppler;
    doppler[O::F32Mul] = 2.0 * DopplerLags;
    {
        const double perSpectra = 4.0 / SlowRows; // spectra per block
        const double stages = 8;                  // log2(256)
        const double butterflies = stages * FftLen / 2;
        const double twiddleSteps = FftLen - 1; // 1 + 2 + .. + 128
        OpCount spectra;
        // Per stage: theta, sin(theta / 2), the recurrence's factors; then
        // per twiddle step c = wr wpr + wi wpi, wi -= wi wpr - wr wpi, wr -= c.
        spectra[O::F64Div] = stages;
        spectra[O::F64Mul] = 3 * stages + 4 * twiddleSteps;
        spectra[O::F64Add] = 3 * twiddleSteps;
        spectra[O::F32Add] = twiddleSteps;
        spectra[O::Convert] = 9 * stages + 4 * twiddleSteps + 2 * butterflies;
        spectra.Calls = 2 * stages;
        // Per lag: load w x value x 2; per butterfly tr, ti (double) and
        // the four float sums; per bin the magnitude / 100, then x 100.
        OpCount lag;
        lag[O::F64Mul] = 4.0 * FftLen + 4 * butterflies + 2.0 * FftLen;
        lag[O::F64Add] = 2 * butterflies + FftLen;
        lag[O::F32Add] = 4 * butterflies;
        lag[O::F32Mul] = FftLen;
        lag[O::F64Div] = FftLen;
        lag[O::F64Sqrt] = FftLen;
        lag[O::Convert] = 5.0 * FftLen + 4 * butterflies + 3.0 * FftLen;
        for (size_t i = 0; i < spectra.Ops.size(); ++i)
            spectra.Ops[i] += lag.Ops[i] * DopplerLags;
        spectra[O::F32Add] += 1.0 * FftLen * DopplerLags; // DopplerProfile
        for (size_t i = 0; i < spectra.Ops.size(); ++i)
            doppler.Ops[i] += spectra.Ops[i] * perSpectra;
        doppler.Calls += spectra.Calls * perSpectra;
    }

    // SearchSyncPeak: c x sample once per sample, the +-c sums at every lag,
    // powers; the phase step over 50 pairs in long double, atan2, hertz.
    OpCount peak;
    const double peakSamples = 2.0 * (BasebandLen + 2 * (SyncLen - 1));
    peak[O::F64Mul] = peakSamples + 2.0 * BasebandLen;
    peak[O::F64Add] = 2.0 * SyncLen * BasebandLen + BasebandLen + 2 * 50;
    peak[O::Convert] = peakSamples + BasebandLen;
    peak[O::X87Mul] = 4 * 50 + 1 + 1;
    peak[O::X87Add] = 2 * 50;
    peak[O::X87Div] = 1;
    peak.Calls = 1;

    return {{"Downconvert", down},
            {"GramCorrelate", gram},
            {"UpdateDoppler", doppler},
            {"SearchSyncPeak", peak}};
}

// The resampler in front of ProcessBlock, per block of 1024 outputs:
// interpolation and fraction step in long double, the gain in float.
inline OpCount IntakeOps() {
    OpCount intake;
    intake[OpClass::X87Add] = 3.0 * dsp::BlockLen;
    intake[OpClass::X87Mul] = 2.0 * dsp::BlockLen;
    intake[OpClass::X87Div] = 2.0 * dsp::BlockLen;
    intake[OpClass::F32Mul] = 1.0 * dsp::BlockLen;
    return intake;
}

} // namespace bench
