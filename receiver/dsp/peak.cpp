// SPDX-License-Identifier: GPL-3.0-or-later
// Peak search over the synchronisation preamble and the frequency-offset
// estimate from the phase step between preamble periods.
#include "receiver/dsp/peak.h"

#include <cmath>
#include <cstring>
#include <numbers>

namespace dsp {

double ConjProductRe(ComplexSample a, ComplexSample b) {
    return static_cast<double>(static_cast<long double>(a.Re) * b.Re +
                               static_cast<long double>(a.Im) * b.Im);
}

double ConjProductIm(ComplexSample a, ComplexSample b) {
    return static_cast<double>(static_cast<long double>(a.Im) * b.Re -
                               static_cast<long double>(a.Re) * b.Im);
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
        re = re + tables.PeakReference[k] * x.Re;
        im = im + tables.PeakReference[k] * x.Im;
    }
    return re * re + im * im;
}

namespace {

constexpr int32_t PeakSpan = BasebandLen + 2 * (SyncLen - 1); // 670 samples read

constexpr uint64_t SignBit = uint64_t{1} << 63;

// SyncPowerAt for all lags at once.  The reference values are +-c with c a
// float, so every product c x is exact in double: form them once, re and im
// interleaved (sample j at 2j and 2j + 1), then the two sums of lag i are
// elements 2i and 2i + 1 of one run and tap k adds that run 4k further on,
// its sign flipped for a -c tap (s + (-p) is s - p, bit for bit): additions of
// +-products in the same order as SyncPowerAt.  Blocks of sums stay in
// registers (Count vectors of Bytes) while all 80 taps go by.
template <int Bytes, int Count>
[[gnu::always_inline]] inline void TwoLevelSyncPowersBody(const SignalTables& tables,
                                                          const BasebandArray& baseband, double c,
                                                          SyncPowerArray& syncPower) {
    typedef double Doubles __attribute__((vector_size(Bytes)));
    typedef uint64_t Bits __attribute__((vector_size(Bytes)));
    constexpr int32_t lanes = Bytes / sizeof(double);
    constexpr int32_t block = lanes * Count;
    static_assert(2 * BasebandLen % block == 0);

    alignas(64) double product[2 * PeakSpan];
    for (int32_t j = 0; j < PeakSpan; ++j) {
        product[2 * j] = c * baseband[j].Re;
        product[2 * j + 1] = c * baseband[j].Im;
    }
    uint64_t flip[SyncLen];
    for (int32_t k = 0; k < SyncLen; ++k)
        flip[k] = tables.PeakReference[k] == c ? 0 : SignBit;

    alignas(64) double sum[2 * BasebandLen];
    for (int32_t j0 = 0; j0 < 2 * BasebandLen; j0 += block) {
        Doubles a[Count] = {};
        for (int32_t k = 0; k < SyncLen; ++k) {
            const double* src = product + 4 * k + j0;
            const Bits sign = Bits{} + flip[k];
#pragma GCC unroll 16
            for (int32_t v = 0; v < Count; ++v) {
                Doubles p;
                std::memcpy(&p, src + v * lanes, sizeof p);
                a[v] = a[v] + (Doubles)((Bits)p ^ sign);
            }
        }
#pragma GCC unroll 16
        for (int32_t v = 0; v < Count; ++v)
            std::memcpy(sum + j0 + v * lanes, &a[v], sizeof a[v]);
    }
    for (int32_t lag = 0; lag < BasebandLen; ++lag)
        syncPower[lag] = sum[2 * lag] * sum[2 * lag] + sum[2 * lag + 1] * sum[2 * lag + 1];
}

void TwoLevelSyncPowersBaseline(const SignalTables& tables, const BasebandArray& baseband, double c,
                                SyncPowerArray& syncPower) {
    TwoLevelSyncPowersBody<16, 8>(tables, baseband, c, syncPower);
}
[[RX_TARGET_AVX2]] void TwoLevelSyncPowersAvx2(const SignalTables& tables,
                                               const BasebandArray& baseband, double c,
                                               SyncPowerArray& syncPower) {
    TwoLevelSyncPowersBody<32, 8>(tables, baseband, c, syncPower);
}
[[RX_TARGET_AVX512]] void TwoLevelSyncPowersAvx512(const SignalTables& tables,
                                                   const BasebandArray& baseband, double c,
                                                   SyncPowerArray& syncPower) {
    TwoLevelSyncPowersBody<64, 8>(tables, baseband, c, syncPower);
}

} // namespace

bool TwoLevelSyncPowers(const SignalTables& tables, const BasebandArray& baseband,
                        SyncPowerArray& syncPower, VectorIsa isa) {
    const double c =
        tables.PeakReference[0] < 0 ? -tables.PeakReference[0] : tables.PeakReference[0];
    for (int32_t k = 0; k < SyncLen; ++k)
        if (tables.PeakReference[k] != c && tables.PeakReference[k] != -c) return false;
    switch (isa) {
    case VectorIsa::Avx512:
        TwoLevelSyncPowersAvx512(tables, baseband, c, syncPower);
        return true;
    case VectorIsa::Avx2:
        TwoLevelSyncPowersAvx2(tables, baseband, c, syncPower);
        return true;
    case VectorIsa::Baseline:
        break;
    }
    TwoLevelSyncPowersBaseline(tables, baseband, c, syncPower);
    return true;
}

int32_t FindSyncPeak(const SignalTables& tables, const BasebandArray& baseband,
                     SyncPowerArray& syncPower) {
    if (!TwoLevelSyncPowers(tables, baseband, syncPower, BestVectorIsa())) {
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

} // namespace dsp
