// SPDX-License-Identifier: GPL-3.0-or-later
// The gram correlator: correlation of the baseband with the synchronisation
// reference at 1024 lags, grey levels along three frames of time, the K-block
// correlogram average and the smoothed correlation trace.
#include "receiver/dsp/correlator.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace dsp {

ComplexSample CorrelateAt(const SignalTables& tables, const BasebandArray& baseband, int32_t lag) {
    float re = 0.0f;
    float im = 0.0f;
    for (int32_t k = 0; k < SyncLen; ++k) {
        const double ref = tables.CorrReference[k];
        const ComplexSample x = baseband[lag + 2 * k];
        re = static_cast<float>(re + ref * x.Re);
        im = static_cast<float>(im + ref * x.Im);
    }
    return {re, im};
}

namespace {

constexpr int32_t CorrSpan = CorrLagCount + 2 * (SyncLen - 1); // 1182 samples read

// CorrelateAt for lags 0..lags - 1 at once.  The baseband is widened to doubles with
// re and im interleaved (sample j at 2j and 2j + 1), so the two sums of lag i
// are elements 2i and 2i + 1 of one run, and tap k reads that run 4k further
// on: the sums of every lag advance together, tap by tap in increasing k, each
// step the same exact product and the same rounding to float as CorrelateAt.
// Terms of a zero reference tap leave a sum unchanged (at most the sign of an
// all-zero sum differs, which no magnitude sees), so only the nonzero taps
// are visited.
[[gnu::always_inline]] inline void CorrelateAllLagsBody(const SignalTables& tables,
                                                        const BasebandArray& baseband,
                                                        CorrLagArray& out, int32_t lags) {
    const int32_t span = lags + 2 * (SyncLen - 1);
    alignas(64) double x[2 * CorrSpan];
    for (int32_t j = 0; j < span; ++j) {
        x[2 * j] = baseband[j].Re;
        x[2 * j + 1] = baseband[j].Im;
    }
    alignas(64) float sum[2 * CorrLagCount] = {};
    for (int32_t k = 0; k < SyncLen; ++k) {
        const double ref = tables.CorrReference[k];
        if (ref == 0.0) continue;
        const double* src = x + 4 * k;
        for (int32_t j = 0; j < 2 * lags; ++j)
            sum[j] = static_cast<float>(sum[j] + ref * src[j]);
    }
    for (int32_t i = 0; i < lags; ++i)
        out[i] = {sum[2 * i], sum[2 * i + 1]};
}

void CorrelateAllLagsBaseline(const SignalTables& tables, const BasebandArray& baseband,
                              CorrLagArray& out, int32_t lags) {
    CorrelateAllLagsBody(tables, baseband, out, lags);
}
[[RX_TARGET_AVX2]] void CorrelateAllLagsAvx2(const SignalTables& tables,
                                             const BasebandArray& baseband, CorrLagArray& out,
                                             int32_t lags) {
    CorrelateAllLagsBody(tables, baseband, out, lags);
}
[[RX_TARGET_AVX512]] void CorrelateAllLagsAvx512(const SignalTables& tables,
                                                 const BasebandArray& baseband, CorrLagArray& out,
                                                 int32_t lags) {
    CorrelateAllLagsBody(tables, baseband, out, lags);
}

} // namespace

void CorrelateAllLags(const SignalTables& tables, const BasebandArray& baseband, CorrLagArray& out,
                      VectorIsa isa, int32_t lags) {
    lags = std::clamp(lags, 0, CorrLagCount);
    if (lags == 0) return;
    switch (isa) {
    case VectorIsa::Avx512:
        return CorrelateAllLagsAvx512(tables, baseband, out, lags);
    case VectorIsa::Avx2:
        return CorrelateAllLagsAvx2(tables, baseband, out, lags);
    case VectorIsa::Baseline:
        break;
    }
    CorrelateAllLagsBaseline(tables, baseband, out, lags);
}

namespace {

// Per lag: the parts apart, the magnitude, the trace, and for lags 512..1023
// the grey level appended to the history.  ROUND is rint under the default
// round-to-nearest-even mode: the same result as nearbyint without saving and
// restoring the floating-point environment.
[[gnu::always_inline]] inline void LagMagnitudes(const ComplexSample* __restrict lags,
                                                 float* __restrict re, float* __restrict im,
                                                 TracePoint* __restrict points,
                                                 double* __restrict magnitude) {
    for (int32_t i = 0; i < CorrLagCount; ++i) {
        re[i] = lags[i].Re;
        im[i] = lags[i].Im;
        const double m = std::sqrt(static_cast<double>(lags[i].Re) * lags[i].Re +
                                   static_cast<double>(lags[i].Im) * lags[i].Im);
        magnitude[i] = m;
        points[i].X = static_cast<float>(0.5 * points[i].X + 500.0 * m);
        points[i].Y = static_cast<float>(512 - i);
    }
}

[[gnu::always_inline]] inline void LagLevelsBody(double gain, CorrelatorState& gram) {
    alignas(64) double magnitude[CorrLagCount];
    LagMagnitudes(gram.CorrLags.data(), gram.CorrRe.data(), gram.CorrIm.data(),
                  gram.TracePoints.Points.data(), magnitude);
    for (int32_t i = BasebandLen; i < CorrLagCount; ++i) {
        gram.CorrHistory[BasebandLen + i] =
            static_cast<float>(std::rint(255.0 - 5000.0 * magnitude[i] * gain));
    }
}

void LagLevelsBaseline(double gain, CorrelatorState& gram) {
    LagLevelsBody(gain, gram);
}
[[RX_TARGET_AVX2]] void LagLevelsAvx2(double gain, CorrelatorState& gram) {
    LagLevelsBody(gain, gram);
}
[[RX_TARGET_AVX512]] void LagLevelsAvx512(double gain, CorrelatorState& gram) {
    LagLevelsBody(gain, gram);
}

} // namespace

void LagLevels(float corrGain, CorrelatorState& gram, VectorIsa isa) {
    switch (isa) {
    case VectorIsa::Avx512:
        return LagLevelsAvx512(corrGain, gram);
    case VectorIsa::Avx2:
        return LagLevelsAvx2(corrGain, gram);
    case VectorIsa::Baseline:
        break;
    }
    LagLevelsBaseline(corrGain, gram);
}

bool GramCorrelate(const SignalTables& tables, const BasebandArray& baseband, float corrGain,
                   const ChainControls& controls, CorrelatorState& gram) {
    gram.TracePoints.Count = BasebandLen;

    const int32_t k = std::max(controls.AverageCount, 1);
    gram.AverageTick = gram.AverageTick + 1;
    if (gram.AverageTick > k) gram.AverageTick = 0;

    CorrelateAllLags(tables, baseband, gram.CorrLags, BestVectorIsa());

    // The grey-level record moves on by one block (512 positions); lags
    // 512..1023 of this block append to it.  Lags 0..511 cover the same
    // baseband samples as lags 512..1023 of the previous block, already kept.
    std::memmove(&gram.CorrHistory[0], &gram.CorrHistory[BasebandLen],
                 2 * BasebandLen * sizeof(float));
    LagLevels(corrGain, gram, BestVectorIsa());

    const int32_t offset = std::clamp(controls.LagOffset, 0, BasebandLen);
    if (k == 1) {
        std::memcpy(&gram.CorrAverage[0], &gram.CorrHistory[offset], CorrLagCount * sizeof(float));
    } else {
        const long double weight = k - 1;
        for (int32_t i = 0; i < CorrLagCount; ++i) {
            gram.CorrAverage[i] = static_cast<float>(
                (weight * gram.CorrAverage[i] + gram.CorrHistory[offset + i]) / k);
        }
    }

    return gram.AverageTick == k;
}

} // namespace dsp
