// SPDX-License-Identifier: GPL-3.0-or-later
// Downconversion: mix each block to complex baseband with the carrier
// oscillator, lowpass with the 43-tap filter and decimate by two.
#include "receiver/dsp/downconvert.h"

#include <cstring>

namespace rx {

ComplexSample LowpassSample(const SignalTables& tables, const DownconverterState& down,
                            int32_t start) {
    // One tap at a time in increasing k; each step is formed exactly (the
    // float x float product fits a double) and rounded to float when stored.
    float re = 0.0f;
    float im = 0.0f;
    for (int32_t k = 0; k < LowpassLen; ++k) {
        const double tap = tables.LowpassTaps[k];
        const ComplexSample x = down.MixBuffer[start + k];
        re = static_cast<float>(re + tap * x.re);
        im = static_cast<float>(im + tap * x.im);
    }
    return {re, im};
}

[[gnu::target_clones("avx2", "default")]] void Downconvert(const SignalTables& tables,
                                                           const SampleBlockArray& sampleBlock,
                                                           DownconverterState& down) {
    // Keep the filter history: the last 43 mixed samples of the previous block.
    for (int32_t j = 0; j < LowpassLen; ++j)
        down.MixBuffer[j] = down.MixBuffer[BlockLen + j];

    // Mix to baseband: x times e^(-i phi) moves the carrier to 0 Hz.
    for (int32_t n = 0; n < BlockLen; ++n) {
        const long double x = sampleBlock[n];
        down.MixBuffer[LowpassLen + n] = {static_cast<float>(x * tables.MixCos[n]),
                                          static_cast<float>(-(x * tables.MixSin[n]))};
    }

    // Age the baseband history by one block.
    std::memmove(&down.Baseband[0], &down.Baseband[BasebandLen],
                 2 * BasebandLen * sizeof(ComplexSample));

    // Filter and decimate.  Output i sums taps k over mixed samples 2i + k;
    // splitting the mixed samples into even and odd positions lets the sum
    // run over all 512 outputs at once, tap by tap, in the same order and with
    // the same roundings as LowpassSample.
    constexpr int32_t Half = (LowpassLen + BlockLen + 1) / 2; // 534
    alignas(64) double evenRe[Half], evenIm[Half], oddRe[Half], oddIm[Half];
    for (int32_t m = 0; m < Half; ++m) {
        evenRe[m] = down.MixBuffer[2 * m].re;
        evenIm[m] = down.MixBuffer[2 * m].im;
        const int32_t odd = 2 * m + 1;
        oddRe[m] = odd < LowpassLen + BlockLen ? down.MixBuffer[odd].re : 0.0;
        oddIm[m] = odd < LowpassLen + BlockLen ? down.MixBuffer[odd].im : 0.0;
    }
    alignas(64) float accRe[BasebandLen] = {};
    alignas(64) float accIm[BasebandLen] = {};
    for (int32_t k = 0; k < LowpassLen; ++k) {
        const double tap = tables.LowpassTaps[k];
        const double* srcRe = (k % 2 == 0 ? evenRe : oddRe) + k / 2;
        const double* srcIm = (k % 2 == 0 ? evenIm : oddIm) + k / 2;
        for (int32_t i = 0; i < BasebandLen; ++i) {
            accRe[i] = static_cast<float>(accRe[i] + tap * srcRe[i]);
            accIm[i] = static_cast<float>(accIm[i] + tap * srcIm[i]);
        }
    }
    for (int32_t i = 0; i < BasebandLen; ++i)
        down.Baseband[2 * BasebandLen + i] = {accRe[i], accIm[i]};
}

} // namespace rx
