// Peak search over the synchronisation preamble and the frequency-offset
// estimate from the phase step between preamble periods.
#include <cmath>

#include "receiver/dsp/chain.h"

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

double SyncPowerAt(const ChainState& chain, int32_t lag) {
    double re = 0.0;
    double im = 0.0;
    for (int32_t k = 0; k < SyncLen; ++k) {
        const ComplexSample x = chain.Baseband[lag + 2 * k];
        re = re + chain.PeakReference[k] * x.re;
        im = im + chain.PeakReference[k] * x.im;
    }
    return re * re + im * im;
}

[[gnu::target_clones("avx2", "default")]] int32_t FindSyncPeak(const ChainState& chain) {
    // The reference values are +-c with c a float, so every product c x is
    // exact in double: form them once, then each lag's sums are additions of
    // +-products in the same order as SyncPowerAt, for all lags at once.
    constexpr int32_t Span = BasebandLen + 2 * (SyncLen - 1); // 670 samples read
    const double c = chain.PeakReference[0] < 0 ? -chain.PeakReference[0] : chain.PeakReference[0];
    alignas(64) double pre[Span], pim[Span];
    for (int32_t j = 0; j < Span; ++j) {
        pre[j] = c * chain.Baseband[j].re;
        pim[j] = c * chain.Baseband[j].im;
    }
    alignas(64) double re[BasebandLen] = {};
    alignas(64) double im[BasebandLen] = {};
    for (int32_t k = 0; k < SyncLen; ++k) {
        const double ref = chain.PeakReference[k];
        const double* srcRe = pre + 2 * k;
        const double* srcIm = pim + 2 * k;
        if (ref == c) {
            for (int32_t i = 0; i < BasebandLen; ++i) {
                re[i] = re[i] + srcRe[i];
                im[i] = im[i] + srcIm[i];
            }
        } else if (ref == -c) {
            for (int32_t i = 0; i < BasebandLen; ++i) {
                re[i] = re[i] - srcRe[i];
                im[i] = im[i] - srcIm[i];
            }
        } else {
            // Not a two-level reference: fall back to the plain sums.
            int32_t best = 0;
            float bestPower = 0.0f;
            for (int32_t lag = 0; lag < BasebandLen; ++lag) {
                const auto v = static_cast<float>(SyncPowerAt(chain, lag));
                if (v > bestPower) {
                    bestPower = v;
                    best = lag;
                }
            }
            return best;
        }
    }
    float best = 0.0f;
    int32_t peak = 0;
    for (int32_t lag = 0; lag < BasebandLen; ++lag) {
        const auto v = static_cast<float>(re[lag] * re[lag] + im[lag] * im[lag]);
        if (v > best) {
            best = v;
            peak = lag;
        }
    }
    return peak;
}

double EstimatePhaseStep(const ChainState& chain, int32_t peakLag) {
    // Pairs of samples one sequence period (31 symbols, 62 samples) apart,
    // one pair per symbol over the first 50 symbols of the preamble.
    double a = 0.0;
    double b = 0.0;
    for (int32_t k = 0; k <= 98; k += 2) {
        const ComplexSample x0 = chain.Baseband[peakLag + k];
        const ComplexSample x1 = chain.Baseband[peakLag + k + 62];
        a = a + ConjProductRe(x0, x1);
        b = b + ConjProductIm(x0, x1);
    }
    if (a == 0.0) a = 1e-10;
    return static_cast<double>(Atan2Ext(b, a) * 0.008064516129L);
}

} // namespace rx
