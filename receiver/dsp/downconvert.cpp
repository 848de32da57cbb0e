// Downconversion: mix each block to complex baseband with the carrier
// oscillator, lowpass with the 43-tap filter and decimate by two.
#include <cmath>
#include <cstring>
#include <numbers>

#include "receiver/dsp/chain.h"

namespace rx {

namespace {

void BuildOscillator(ChainState& chain) {
    const long double twoPi = std::numbers::pi_v<long double> * 2.0L;
    float phi = 0.0f;
    for (int32_t n = 0; n < BlockLen; ++n) {
        chain.MixCos[n] = std::cos(static_cast<long double>(phi));
        chain.MixSin[n] = std::sin(static_cast<long double>(phi));
        phi = phi + chain.PhaseStep;
        if (phi >= twoPi) phi = static_cast<float>(phi - twoPi);
    }
    chain.MixTableStep = chain.PhaseStep;
}

} // namespace

ComplexSample LowpassSample(const ChainState& chain, int32_t start) {
    // One tap at a time in increasing k; each step is formed exactly (the
    // float x float product fits a double) and rounded to float when stored.
    float re = 0.0f;
    float im = 0.0f;
    for (int32_t k = 0; k < LowpassLen; ++k) {
        const double tap = chain.LowpassTaps[k];
        const ComplexSample x = chain.MixBuffer[start + k];
        re = static_cast<float>(re + tap * x.re);
        im = static_cast<float>(im + tap * x.im);
    }
    return {re, im};
}

[[gnu::target_clones("avx2", "default")]] void Downconvert(ChainState& chain) {
    if (chain.MixTableStep != chain.PhaseStep) BuildOscillator(chain);

    // Keep the filter history: the last 43 mixed samples of the previous block.
    for (int32_t j = 0; j < LowpassLen; ++j)
        chain.MixBuffer[j] = chain.MixBuffer[BlockLen + j];

    // Mix to baseband: x times e^(-i phi) moves the carrier to 0 Hz.
    for (int32_t n = 0; n < BlockLen; ++n) {
        const long double x = chain.SampleBlock[n];
        chain.MixBuffer[LowpassLen + n] = {static_cast<float>(x * chain.MixCos[n]),
                                           static_cast<float>(-(x * chain.MixSin[n]))};
    }

    // Age the baseband history by one block.
    std::memmove(&chain.Baseband[0], &chain.Baseband[BasebandLen],
                 2 * BasebandLen * sizeof(ComplexSample));

    // Filter and decimate.  Output i sums taps k over mixed samples 2i + k;
    // splitting the mixed samples into even and odd positions lets the sum
    // run over all 512 outputs at once, tap by tap, in the same order and with
    // the same roundings as LowpassSample.
    constexpr int32_t Half = (LowpassLen + BlockLen + 1) / 2; // 534
    alignas(64) double evenRe[Half], evenIm[Half], oddRe[Half], oddIm[Half];
    for (int32_t m = 0; m < Half; ++m) {
        evenRe[m] = chain.MixBuffer[2 * m].re;
        evenIm[m] = chain.MixBuffer[2 * m].im;
        const int32_t odd = 2 * m + 1;
        oddRe[m] = odd < LowpassLen + BlockLen ? chain.MixBuffer[odd].re : 0.0;
        oddIm[m] = odd < LowpassLen + BlockLen ? chain.MixBuffer[odd].im : 0.0;
    }
    alignas(64) float accRe[BasebandLen] = {};
    alignas(64) float accIm[BasebandLen] = {};
    for (int32_t k = 0; k < LowpassLen; ++k) {
        const double tap = chain.LowpassTaps[k];
        const double* srcRe = (k % 2 == 0 ? evenRe : oddRe) + k / 2;
        const double* srcIm = (k % 2 == 0 ? evenIm : oddIm) + k / 2;
        for (int32_t i = 0; i < BasebandLen; ++i) {
            accRe[i] = static_cast<float>(accRe[i] + tap * srcRe[i]);
            accIm[i] = static_cast<float>(accIm[i] + tap * srcIm[i]);
        }
    }
    for (int32_t i = 0; i < BasebandLen; ++i)
        chain.Baseband[2 * BasebandLen + i] = {accRe[i], accIm[i]};
}

} // namespace rx
