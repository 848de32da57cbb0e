// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/analysis/lag_kernels.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>

#include "receiver/dsp/vector_isa.h"

namespace analysis {

namespace {

constexpr int32_t Lags = dsp::BasebandLen;

[[gnu::always_inline]] inline void AverageBody(double* average, const double* value,
                                               double weight) {
#pragma omp simd
    for (int32_t l = 0; l < Lags; ++l)
        average[l] += weight * (value[l] - average[l]);
}

[[gnu::always_inline]] inline void SlideBody(double* sum, const dsp::ComplexSample* in,
                                             const dsp::ComplexSample* out) {
    if (!out) {
#pragma omp simd
        for (int32_t l = 0; l < Lags; ++l)
            sum[l] += double(in[l].Re) * in[l].Re + double(in[l].Im) * in[l].Im;
        return;
    }
#pragma omp simd
    for (int32_t l = 0; l < Lags; ++l)
        sum[l] += (double(in[l].Re) * in[l].Re + double(in[l].Im) * in[l].Im) -
                  (double(out[l].Re) * out[l].Re + double(out[l].Im) * out[l].Im);
}

[[gnu::always_inline]] inline SampleScan ScanBody(const float* block, float previous, float level,
                                                  float topShare) {
    SampleScan scan;
    int32_t equal = block[0] == previous ? 1 : 0;
    float top = 0.0f;
#pragma omp simd reduction(+ : equal) reduction(max : top)
    for (int32_t n = 1; n < dsp::BlockLen; ++n) {
        equal += block[n] == block[n - 1] ? 1 : 0;
        top = std::max(top, std::abs(block[n]));
    }
    top = std::max(top, std::abs(block[0]));
    const float atTop = topShare * top;
    int32_t atLevel = 0, flat = 0;
#pragma omp simd reduction(+ : atLevel, flat)
    for (int32_t n = 0; n < dsp::BlockLen; ++n) {
        atLevel += std::abs(block[n]) >= level ? 1 : 0;
        flat += std::abs(block[n]) >= atTop ? 1 : 0;
    }
    scan.Equal = equal;
    scan.Top = top;
    scan.AtLevel = atLevel;
    scan.AtTop = flat;
    return scan;
}

[[gnu::always_inline]] inline float KthBody(const float* values, int32_t count, int32_t k) {
    alignas(64) uint32_t keys[dsp::BasebandLen];
    uint32_t lowest = ~0u, highest = 0u;
#pragma omp simd reduction(min : lowest) reduction(max : highest)
    for (int32_t n = 0; n < count; ++n) {
        const auto bits = std::bit_cast<uint32_t>(values[n]);
        keys[n] = bits ^ ((bits >> 31) != 0u ? 0xFFFFFFFFu : 0x80000000u);
        lowest = std::min(lowest, keys[n]);
        highest = std::max(highest, keys[n]);
    }
    // The bits above the highest one in which the keys differ are all alike;
    // the eight below it sort the keys into 256 bins, and the k-th key is
    // the one k places on among those of the bin that holds it.
    const uint32_t differ = lowest ^ highest;
    uint32_t found = lowest;
    if (differ != 0u) {
        const int top = 31 - std::countl_zero(differ);
        const int shift = std::max(top - 7, 0);
        std::array<int32_t, 256> counts{};
        for (int32_t n = 0; n < count; ++n)
            ++counts[(keys[n] >> shift) & 255u];
        uint32_t bin = 0;
        while (k >= counts[bin])
            k -= counts[bin++];
        int32_t inBin = 0;
        for (int32_t n = 0; n < count; ++n)
            if (((keys[n] >> shift) & 255u) == bin) keys[inBin++] = keys[n];
        std::nth_element(keys, keys + k, keys + inBin);
        found = keys[k];
    }
    const uint32_t bits = (found & 0x80000000u) != 0u ? found ^ 0x80000000u : ~found;
    return std::bit_cast<float>(bits);
}

[[gnu::always_inline]] inline int32_t LargestBody(const double* values, int32_t count) {
    // Eight running maxima side by side (one alone waits on each comparison),
    // then the first value equal to the largest.
    constexpr int32_t side = 8;
    double part[side];
    for (int32_t j = 0; j < side; ++j)
        part[j] = values[std::min(j, count - 1)];
    int32_t n = 0;
    for (; n + side <= count; n += side)
        for (int32_t j = 0; j < side; ++j)
            part[j] = values[n + j] > part[j] ? values[n + j] : part[j];
    double top = part[0];
    for (int32_t j = 1; j < side; ++j)
        top = part[j] > top ? part[j] : top;
    for (; n < count; ++n)
        top = values[n] > top ? values[n] : top;
    for (n = 0; n < count; ++n)
        if (values[n] == top) return n;
    return 0;
}

float KthBaseline(const float* v, int32_t c, int32_t k) {
    return KthBody(v, c, k);
}
[[RX_TARGET_AVX2]] float KthAvx2(const float* v, int32_t c, int32_t k) {
    return KthBody(v, c, k);
}
[[RX_TARGET_AVX512]] float KthAvx512(const float* v, int32_t c, int32_t k) {
    return KthBody(v, c, k);
}

int32_t LargestBaseline(const double* v, int32_t c) {
    return LargestBody(v, c);
}
[[RX_TARGET_AVX2]] int32_t LargestAvx2(const double* v, int32_t c) {
    return LargestBody(v, c);
}
[[RX_TARGET_AVX512]] int32_t LargestAvx512(const double* v, int32_t c) {
    return LargestBody(v, c);
}

void AverageBaseline(double* a, const double* v, double w) {
    AverageBody(a, v, w);
}
[[RX_TARGET_AVX2]] void AverageAvx2(double* a, const double* v, double w) {
    AverageBody(a, v, w);
}
[[RX_TARGET_AVX512]] void AverageAvx512(double* a, const double* v, double w) {
    AverageBody(a, v, w);
}

void SlideBaseline(double* s, const dsp::ComplexSample* in, const dsp::ComplexSample* out) {
    SlideBody(s, in, out);
}
[[RX_TARGET_AVX2]] void SlideAvx2(double* s, const dsp::ComplexSample* in,
                                  const dsp::ComplexSample* out) {
    SlideBody(s, in, out);
}
[[RX_TARGET_AVX512]] void SlideAvx512(double* s, const dsp::ComplexSample* in,
                                      const dsp::ComplexSample* out) {
    SlideBody(s, in, out);
}

SampleScan ScanBaseline(const float* b, float p, float l, float t) {
    return ScanBody(b, p, l, t);
}
[[RX_TARGET_AVX2]] SampleScan ScanAvx2(const float* b, float p, float l, float t) {
    return ScanBody(b, p, l, t);
}
[[RX_TARGET_AVX512]] SampleScan ScanAvx512(const float* b, float p, float l, float t) {
    return ScanBody(b, p, l, t);
}

} // namespace

void AverageLags(double* average, const double* value, double weight) {
    switch (dsp::BestVectorIsa()) {
    case dsp::VectorIsa::Avx512:
        return AverageAvx512(average, value, weight);
    case dsp::VectorIsa::Avx2:
        return AverageAvx2(average, value, weight);
    default:
        return AverageBaseline(average, value, weight);
    }
}

void SlideLagPowers(double* sum, const dsp::ComplexSample* in, const dsp::ComplexSample* out) {
    switch (dsp::BestVectorIsa()) {
    case dsp::VectorIsa::Avx512:
        return SlideAvx512(sum, in, out);
    case dsp::VectorIsa::Avx2:
        return SlideAvx2(sum, in, out);
    default:
        return SlideBaseline(sum, in, out);
    }
}

SampleScan ScanSamples(const float* block, float previous, float level, float topShare) {
    switch (dsp::BestVectorIsa()) {
    case dsp::VectorIsa::Avx512:
        return ScanAvx512(block, previous, level, topShare);
    case dsp::VectorIsa::Avx2:
        return ScanAvx2(block, previous, level, topShare);
    default:
        return ScanBaseline(block, previous, level, topShare);
    }
}

float KthSmallest(const float* values, int32_t count, int32_t k) {
    switch (dsp::BestVectorIsa()) {
    case dsp::VectorIsa::Avx512:
        return KthAvx512(values, count, k);
    case dsp::VectorIsa::Avx2:
        return KthAvx2(values, count, k);
    default:
        return KthBaseline(values, count, k);
    }
}

int32_t FirstLargest(const double* values, int32_t count) {
    switch (dsp::BestVectorIsa()) {
    case dsp::VectorIsa::Avx512:
        return LargestAvx512(values, count);
    case dsp::VectorIsa::Avx2:
        return LargestAvx2(values, count);
    default:
        return LargestBaseline(values, count);
    }
}

} // namespace analysis
