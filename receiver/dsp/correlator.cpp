// SPDX-License-Identifier: GPL-3.0-or-later
// The gram correlator: correlation of the baseband with the synchronisation
// reference at 1024 lags, grey levels along three frames of time, the K-block
// correlogram average and the smoothed correlation trace.
#include "receiver/dsp/correlator.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace rx {

ComplexSample CorrelateAt(const SignalTables& tables, const BasebandArray& baseband, int32_t lag) {
    float re = 0.0f;
    float im = 0.0f;
    for (int32_t k = 0; k < SyncLen; ++k) {
        const double ref = tables.CorrReference[k];
        const ComplexSample x = baseband[lag + 2 * k];
        re = static_cast<float>(re + ref * x.re);
        im = static_cast<float>(im + ref * x.im);
    }
    return {re, im};
}

namespace {

// CorrelateAt for all 1024 lags at once.  Terms of a zero reference tap leave
// a sum unchanged (at most the sign of an all-zero sum differs, which no
// magnitude sees), so only the nonzero taps are visited, in increasing k, each
// with the same exact product and the same rounding to float as CorrelateAt.
[[gnu::target_clones("avx2", "default")]] void CorrelateAllLags(const SignalTables& tables,
                                                                const BasebandArray& baseband,
                                                                float* outRe, float* outIm) {
    constexpr int32_t Span = CorrLagCount + 2 * (SyncLen - 1); // 1182 samples read
    alignas(64) double re[Span], im[Span];
    for (int32_t j = 0; j < Span; ++j) {
        re[j] = baseband[j].re;
        im[j] = baseband[j].im;
    }
    std::fill(outRe, outRe + CorrLagCount, 0.0f);
    std::fill(outIm, outIm + CorrLagCount, 0.0f);
    for (int32_t k = 0; k < SyncLen; ++k) {
        const double ref = tables.CorrReference[k];
        if (ref == 0.0) continue;
        const double* srcRe = re + 2 * k;
        const double* srcIm = im + 2 * k;
        for (int32_t i = 0; i < CorrLagCount; ++i) {
            outRe[i] = static_cast<float>(outRe[i] + ref * srcRe[i]);
            outIm[i] = static_cast<float>(outIm[i] + ref * srcIm[i]);
        }
    }
}

} // namespace

// ROUND is rint under the default round-to-nearest-even mode: the same result
// as nearbyint without saving and restoring the floating-point environment.

bool GramCorrelate(const SignalTables& tables, const BasebandArray& baseband, float corrGain,
                   const ChainControls& controls, CorrelatorState& gram) {
    gram.TracePoints.count = BasebandLen;

    const int32_t k = std::max(controls.AverageCount, 1);
    gram.AverageTick = gram.AverageTick + 1;
    if (gram.AverageTick > k) gram.AverageTick = 0;

    CorrelateAllLags(tables, baseband, gram.CorrRe.data(), gram.CorrIm.data());

    // The grey-level record moves on by one block (512 positions); lags
    // 512..1023 of this block append to it.  Lags 0..511 cover the same
    // baseband samples as lags 512..1023 of the previous block, already kept.
    std::memmove(&gram.CorrHistory[0], &gram.CorrHistory[BasebandLen],
                 2 * BasebandLen * sizeof(float));
    const double gain = corrGain;
    for (int32_t i = 0; i < CorrLagCount; ++i) {
        const float re = gram.CorrRe[i];
        const float im = gram.CorrIm[i];
        gram.CorrLags[i] = {re, im};
        const double m = std::sqrt(static_cast<double>(re) * re + static_cast<double>(im) * im);
        if (i >= BasebandLen) {
            gram.CorrHistory[BasebandLen + i] =
                static_cast<float>(std::rint(255.0 - 5000.0 * m * gain));
        }
        TracePoint& point = gram.TracePoints.points[i];
        point.x = static_cast<float>(0.5 * point.x + 500.0 * m);
        point.y = static_cast<float>(512 - i);
    }

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

} // namespace rx
