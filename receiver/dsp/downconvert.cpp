// SPDX-License-Identifier: GPL-3.0-or-later
// Downconversion: mix each block to complex baseband with the carrier
// oscillator, lowpass with the 43-tap filter and decimate by two.
#include "receiver/dsp/downconvert.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace dsp {

ComplexSample LowpassSample(const SignalTables& tables, const DownconverterState& down,
                            int32_t start) {
    // One tap at a time in increasing k; each step is formed exactly (the
    // float x float product fits a double) and rounded to float when stored.
    float re = 0.0f;
    float im = 0.0f;
    for (int32_t k = 0; k < LowpassLen; ++k) {
        const double tap = tables.LowpassTaps[k];
        const ComplexSample x = down.MixBuffer[start + k];
        re = static_cast<float>(re + tap * x.Re);
        im = static_cast<float>(im + tap * x.Im);
    }
    return {re, im};
}

namespace {

// Mixing.  Each part of the oscillator is x times a value C in long double,
// rounded to float: RN24(RN64(x C)).  Done in double: C is cut in three parts
// (tables) so that x times each is exact, their sum s is within 2^-51 |s| of
// x C, and so are x C and its long double rounding; when s - d and s + d
// (d = 2^-48 |s|) round to the same float, every value between them does,
// those two included, and that float is the result.  Otherwise (x C within
// 2^-48 of halfway between two floats: about one product in ten million, or
// x infinite or NaN) the product is formed in long double as it always was.
// x = 0 gives the zero with the sign of x C, as x times the first part has it.
[[gnu::always_inline]] inline float MixPart(double x, double c0, double c1, double c2,
                                            uint32_t& unsure) {
    const double p0 = x * c0;
    const double s = (p0 + x * c1) + x * c2;
    const double d = std::fabs(s) * 0x1p-48;
    const auto below = static_cast<float>(s - d);
    const auto above = static_cast<float>(s + d);
    const auto signedZero = static_cast<float>(p0);
    // Selections by masks: the loop stays free of branches and vectorises.
    const uint32_t zero = 0u - static_cast<uint32_t>(x == 0.0);
    const uint32_t finite = 0u - static_cast<uint32_t>(std::fabs(x) <= 0x1p127);
    const uint32_t result = std::bit_cast<uint32_t>(below);
    unsure |= ((result ^ std::bit_cast<uint32_t>(above)) & ~zero) | ~finite;
    return std::bit_cast<float>((result & ~zero) | (std::bit_cast<uint32_t>(signedZero) & zero));
}

[[gnu::always_inline]] inline void MixBody(const SignalTables& tables,
                                           const float* __restrict sampleBlock,
                                           ComplexSample* __restrict mixed,
                                           uint32_t* __restrict unsure) {
    for (int32_t n = 0; n < BlockLen; ++n) {
        const double x = sampleBlock[n];
        uint32_t u = 0;
        const float re = MixPart(x, tables.MixCosParts[0][n], tables.MixCosParts[1][n],
                                 tables.MixCosParts[2][n], u);
        const float im = MixPart(x, tables.MixSinParts[0][n], tables.MixSinParts[1][n],
                                 tables.MixSinParts[2][n], u);
        mixed[n].Re = re;
        mixed[n].Im = -im;
        unsure[n] = u;
    }
}

void MixBaseline(const SignalTables& tables, const float* sampleBlock, ComplexSample* mixed,
                 uint32_t* unsure) {
    MixBody(tables, sampleBlock, mixed, unsure);
}
[[RX_TARGET_AVX2]] void MixAvx2(const SignalTables& tables, const float* sampleBlock,
                                ComplexSample* mixed, uint32_t* unsure) {
    MixBody(tables, sampleBlock, mixed, unsure);
}
[[RX_TARGET_AVX512]] void MixAvx512(const SignalTables& tables, const float* sampleBlock,
                                    ComplexSample* mixed, uint32_t* unsure) {
    MixBody(tables, sampleBlock, mixed, unsure);
}

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
        even[2 * m] = down.MixBuffer[2 * m].Re;
        even[2 * m + 1] = down.MixBuffer[2 * m].Im;
        odd[2 * m] = down.MixBuffer[2 * m + 1].Re; // [1067] is spare and never read
        odd[2 * m + 1] = down.MixBuffer[2 * m + 1].Im;
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

ComplexSample MixSample(const SignalTables& tables, float sample, int32_t n) {
    const long double x = sample;
    return {static_cast<float>(x * tables.MixCos[n]), static_cast<float>(-(x * tables.MixSin[n]))};
}

void MixBlock(const SignalTables& tables, const SampleBlockArray& sampleBlock,
              DownconverterState& down, VectorIsa isa) {
    ComplexSample* mixed = &down.MixBuffer[LowpassLen];
    alignas(64) uint32_t unsure[BlockLen];
    switch (isa) {
    case VectorIsa::Avx512:
        MixAvx512(tables, sampleBlock.data(), mixed, unsure);
        break;
    case VectorIsa::Avx2:
        MixAvx2(tables, sampleBlock.data(), mixed, unsure);
        break;
    case VectorIsa::Baseline:
        MixBaseline(tables, sampleBlock.data(), mixed, unsure);
        break;
    }
    for (int32_t n = 0; n < BlockLen; ++n)
        if (unsure[n] != 0) mixed[n] = MixSample(tables, sampleBlock[n], n);
}

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
    MixBlock(tables, sampleBlock, down, BestVectorIsa());

    // Age the baseband history by one block.
    std::memmove(&down.Baseband[0], &down.Baseband[BasebandLen],
                 2 * BasebandLen * sizeof(ComplexSample));

    // Filter and decimate into the newest block.
    LowpassAll(tables, down, BestVectorIsa());
}

} // namespace dsp
