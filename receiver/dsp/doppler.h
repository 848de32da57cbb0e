// SPDX-License-Identifier: GPL-3.0-or-later
// Stage 4: the Doppler spectra.  Keeps, for 62 consecutive lags from
// LagOffset, the correlation of the latest 256 blocks (one value per frame:
// slow time) and four times per 256 blocks transforms each lag's series with
// a 256-point Hann-windowed FFT.
//
// Input:  CorrLags (the correlator's output, lags 0..511 used); LagOffset
//         (lags taken circularly from it, modulo 512); DopplerShift (held to
//         -128..128); BitReverse, HannWindow and TwoPi.
// Output: SlowRow, the slow-time row this block wrote (0..255);
//         when the return value is true (SlowRow 0, 63, 127 or 195):
//         DopplerMatrix[lag 0..61, row 0..255], the Doppler magnitudes per lag,
//           and DopplerProfile[0..255], their sum over the 62 lags.
//         With DopplerShift 0 zero Doppler is row 128; a signal whose
//         correlation turns by +f cycles per block lies 256 f rows above it.
//         One row is SampleRate / 262144 Hz.
// State:  SlowTime[lag, row]: rows r and r + 256 hold the same value, so the
//         256 latest values of a lag read as one run from any row; SlowRow;
//         the FFT's working arrays SlowColumn, SpecRe, SpecIm.  Zero at start,
//         never reset (a new LagOffset fills the history over 256 blocks, a
//         new DopplerShift shows at the next spectra).
// Runs:   once per block, after the correlator.
//
// Numbers: slow-time values are 20 x c, float.  The FFT is radix-2
// decimation in time in float, loaded in bit-reversed order with
// HannWindow[n] x value x 2 (double products, rounded to float); the twiddle
// turns by +theta per step (theta = TwoPi / span as a float) by the
// trigonometric recurrence, products formed in double and each result rounded
// to float; magnitude = sqrt(re^2 + im^2) / 100 in double.  So
// X[k] = sum of x[n] e^(+2 pi i n k / 256), no 1/256.  DopplerMatrix[j, r] =
// 100 x SpecRe[(r + 128 - DopplerShift) mod 256] in float; DopplerProfile[r]
// is a float sum in increasing lag from 0.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "receiver/dsp/controls.h"
#include "receiver/dsp/tables.h"
#include "receiver/dsp/vector_isa.h"

namespace dsp {

struct DopplerState {
    int32_t SlowRow = 0;
    SlowTimeArray SlowTime{};
    std::array<ComplexSample, FftLen + 1> SlowColumn{}; // one lag's 256 values, FFT input
    std::array<float, FftLen> SpecRe{};                 // FFT working arrays; SpecRe ends
    std::array<float, FftLen> SpecIm{};                 // holding the magnitudes / 100
    DopplerMatrixArray DopplerMatrix{};                 // columns 62..64 stay 0
    std::array<float, FftLen + 1> DopplerProfile{};

    // Two-dimensional arrays store the first index (the lag) fastest.
    ComplexSample& SlowTimeAt(int32_t lag, int32_t row) {
        return SlowTime[static_cast<size_t>(row) * SlowTimeStride + lag];
    }
    ComplexSample SlowTimeAt(int32_t lag, int32_t row) const {
        return SlowTime[static_cast<size_t>(row) * SlowTimeStride + lag];
    }
    float& DopplerMatrixAt(int32_t lag, int32_t row) {
        return DopplerMatrix[static_cast<size_t>(row) * SlowTimeStride + lag];
    }
    float DopplerMatrixAt(int32_t lag, int32_t row) const {
        return DopplerMatrix[static_cast<size_t>(row) * SlowTimeStride + lag];
    }
};

// Returns true when DopplerMatrix and DopplerProfile were recomputed.
bool UpdateDoppler(const SignalTables& tables, const CorrLagArray& corrLags,
                   const ChainControls& controls, DopplerState& doppler);

// The windowed FFT magnitude of SlowColumn into SpecRe (uses SpecIm).
void SlowTimeFft(const SignalTables& tables, DopplerState& doppler);

// DopplerMatrix of lags 0..61 from the 256 slow-time values of each lag from
// SlowRow on (the newest first, then the others from oldest to newest: the
// window applies in this order): for each lag, SlowColumn = those values,
// SlowTimeFft, row r = 100 x SpecRe[(r + 128 - DopplerShift) mod 256].  All
// lags are transformed at once, in the given instruction set (UpdateDoppler
// uses the best this CPU has); SlowColumn, SpecRe and SpecIm are not used.
void DopplerSpectra(const SignalTables& tables, int32_t dopplerShift, DopplerState& doppler,
                    VectorIsa isa);

// True for the slow-time rows after which new spectra are due: 0, 63, 127 and
// 195 (intervals of 63, 64, 68 and 61 blocks).
bool DopplerSpectrumDue(int32_t slowRow);

} // namespace dsp
