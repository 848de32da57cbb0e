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

namespace {

constexpr int32_t MixPairs = (LowpassLen + BlockLen + 1) / 2; // 534 even and odd positions

// The lowpass for all 512 outputs at once.  The mixed samples are widened to
// doubles and split by the parity of their position, re and im interleaved
// (position 2m to even[2m], even[2m + 1]; 2m + 1 likewise to odd), so that
// output i, part c (0 re, 1 im) is element 2i + c of one run and tap k reads
// that run k places further on in the even (k even) or odd (k odd) half.  The
// sums of every output advance together, tap by tap in increasing k, each step
// the same exact product and the same rounding to float as LowpassSample.
[[gnu::always_inline]] inline void LowpassAllBody(const SignalTables& tables,
                                                  DownconverterState& down) {
    alignas(64) double even[2 * MixPairs], odd[2 * MixPairs];
    for (int32_t m = 0; m < MixPairs; ++m) {
        even[2 * m] = down.MixBuffer[2 * m].re;
        even[2 * m + 1] = down.MixBuffer[2 * m].im;
        odd[2 * m] = down.MixBuffer[2 * m + 1].re; // [1067] is spare and never read
        odd[2 * m + 1] = down.MixBuffer[2 * m + 1].im;
    }
    alignas(64) float sum[2 * BasebandLen] = {};
    for (int32_t k = 0; k < LowpassLen; ++k) {
        const double tap = tables.LowpassTaps[k];
        const double* src = k % 2 == 0 ? even + k : odd + (k - 1);
        for (int32_t j = 0; j < 2 * BasebandLen; ++j)
            sum[j] = static_cast<float>(sum[j] + tap * src[j]);
    }
    for (int32_t i = 0; i < BasebandLen; ++i)
        down.Baseband[2 * BasebandLen + i] = {sum[2 * i], sum[2 * i + 1]};
}

void LowpassAllBaseline(const SignalTables& tables, DownconverterState& down) {
    LowpassAllBody(tables, down);
}
[[RX_TARGET_AVX2]] void LowpassAllAvx2(const SignalTables& tables, DownconverterState& down) {
    LowpassAllBody(tables, down);
}
[[RX_TARGET_AVX512]] void LowpassAllAvx512(const SignalTables& tables, DownconverterState& down) {
    LowpassAllBody(tables, down);
}

} // namespace

void LowpassAll(const SignalTables& tables, DownconverterState& down, VectorIsa isa) {
    switch (isa) {
    case VectorIsa::Avx512:
        return LowpassAllAvx512(tables, down);
    case VectorIsa::Avx2:
        return LowpassAllAvx2(tables, down);
    case VectorIsa::Baseline:
        break;
    }
    LowpassAllBaseline(tables, down);
}

void Downconvert(const SignalTables& tables, const SampleBlockArray& sampleBlock,
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

    // Filter and decimate into the newest block.
    LowpassAll(tables, down, BestVectorIsa());
}

} // namespace rx
