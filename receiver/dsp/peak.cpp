// SPDX-License-Identifier: GPL-3.0-or-later
// Peak search over the synchronisation preamble and the frequency-offset
// estimate from the phase step between preamble periods.
#include "receiver/dsp/peak.h"

#include <cmath>
#include <numbers>

namespace rx {

double ConjProductRe(ComplexSample a, ComplexSample b) {
    return static_cast<double>(static_cast<long double>(a.re) * b.re +
                               static_cast<long double>(a.im) * b.im);
}

double ConjProductIm(ComplexSample a, ComplexSample b) {
    return static_cast<double>(static_cast<long double>(a.im) * b.re -
                               static_cast<long double>(a.re) * b.im);
}

double Atan2Ext(double y, double x) {
    return static_cast<double>(
        std::atan2(static_cast<long double>(y), static_cast<long double>(x)));
}

double SyncPowerAt(const SignalTables& tables, const BasebandArray& baseband, int32_t lag) {
    double re = 0.0;
    double im = 0.0;
    for (int32_t k = 0; k < SyncLen; ++k) {
        const ComplexSample x = baseband[lag + 2 * k];
        re = re + tables.PeakReference[k] * x.re;
        im = im + tables.PeakReference[k] * x.im;
    }
    return re * re + im * im;
}

namespace {

// SyncPowerAt for all lags at once.  The reference values are +-c with c a
// float, so every product c x is exact in double: form them once, then each
// lag's sums are additions of +-products in the same order as SyncPowerAt.
// False, with nothing written, when the reference is not two-level.
[[gnu::target_clones("avx2", "default")]] bool TwoLevelSyncPowers(const SignalTables& tables,
                                                                  const BasebandArray& baseband,
                                                                  SyncPowerArray& syncPower) {
    constexpr int32_t Span = BasebandLen + 2 * (SyncLen - 1); // 670 samples read
    const double c =
        tables.PeakReference[0] < 0 ? -tables.PeakReference[0] : tables.PeakReference[0];
    for (int32_t k = 0; k < SyncLen; ++k)
        if (tables.PeakReference[k] != c && tables.PeakReference[k] != -c) return false;

    alignas(64) double pre[Span], pim[Span];
    for (int32_t j = 0; j < Span; ++j) {
        pre[j] = c * baseband[j].re;
        pim[j] = c * baseband[j].im;
    }
    alignas(64) double re[BasebandLen] = {};
    alignas(64) double im[BasebandLen] = {};
    for (int32_t k = 0; k < SyncLen; ++k) {
        const double* srcRe = pre + 2 * k;
        const double* srcIm = pim + 2 * k;
        if (tables.PeakReference[k] == c) {
            for (int32_t i = 0; i < BasebandLen; ++i) {
                re[i] = re[i] + srcRe[i];
                im[i] = im[i] + srcIm[i];
            }
        } else {
            for (int32_t i = 0; i < BasebandLen; ++i) {
                re[i] = re[i] - srcRe[i];
                im[i] = im[i] - srcIm[i];
            }
        }
    }
    for (int32_t lag = 0; lag < BasebandLen; ++lag)
        syncPower[lag] = re[lag] * re[lag] + im[lag] * im[lag];
    return true;
}

} // namespace

int32_t FindSyncPeak(const SignalTables& tables, const BasebandArray& baseband,
                     SyncPowerArray& syncPower) {
    if (!TwoLevelSyncPowers(tables, baseband, syncPower)) {
        for (int32_t lag = 0; lag < BasebandLen; ++lag)
            syncPower[lag] = SyncPowerAt(tables, baseband, lag);
    }
    float best = 0.0f;
    int32_t peak = 0;
    for (int32_t lag = 0; lag < BasebandLen; ++lag) {
        const auto v = static_cast<float>(syncPower[lag]);
        if (v > best) {
            best = v;
            peak = lag;
        }
    }
    return peak;
}

double EstimatePhaseStep(const BasebandArray& baseband, int32_t peakLag) {
    // Pairs of samples one sequence period (31 symbols, 62 samples) apart,
    // one pair per symbol over the first 50 symbols of the preamble.
    double a = 0.0;
    double b = 0.0;
    for (int32_t k = 0; k <= 98; k += 2) {
        const ComplexSample x0 = baseband[peakLag + k];
        const ComplexSample x1 = baseband[peakLag + k + 62];
        a = a + ConjProductRe(x0, x1);
        b = b + ConjProductIm(x0, x1);
    }
    if (a == 0.0) a = 1e-10;
    return static_cast<double>(Atan2Ext(b, a) * 0.008064516129L);
}

double DopplerFromPhaseStep(int32_t sampleRate, double phaseStep) {
    return static_cast<double>(sampleRate * static_cast<long double>(phaseStep) /
                               (std::numbers::pi_v<long double> * 2.0L));
}

int32_t TuneValue(double dopplerHz) {
    const double whole = std::floor(dopplerHz);
    if (!(whole > -1e9)) return -1000000000; // also NaN: never from the chain
    if (whole > 1e9) return 1000000000;
    return static_cast<int32_t>(whole);
}

void SearchSyncPeak(const SignalTables& tables, const BasebandArray& baseband, int32_t sampleRate,
                    PeakState& peak) {
    peak.PeakLag = FindSyncPeak(tables, baseband, peak.SyncPower);
    const double r = EstimatePhaseStep(baseband, peak.PeakLag);
    peak.DopplerHz = DopplerFromPhaseStep(sampleRate, r);
}

} // namespace rx
