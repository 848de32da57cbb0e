// SPDX-License-Identifier: GPL-3.0-or-later
// Slow-time Doppler analysis: per lag, the correlation of the latest 256
// blocks, transformed four times per 256 blocks with a Hann-windowed FFT.
#include "receiver/dsp/doppler.h"

#include <algorithm>
#include <cmath>

namespace dsp {

bool DopplerSpectrumDue(int32_t slowRow) {
    // Intervals of 63, 64, 68 and 61 blocks; 195 rather than 191 is how the
    // receiver has always paced them.
    return slowRow == 0 || slowRow == 63 || slowRow == 127 || slowRow == 195;
}

void SlowTimeFft(const SignalTables& tables, DopplerState& doppler) {
    float* re = doppler.SpecRe.data();
    float* im = doppler.SpecIm.data();

    // Load in bit-reversed order with the window and a factor 2.
    for (int32_t n = 0; n < 256; ++n) {
        const int32_t b = tables.BitReverse[n];
        const double w = tables.HannWindow[n];
        re[b] = static_cast<float>(w * doppler.SlowColumn[n].Re * 2.0);
        im[b] = static_cast<float>(w * doppler.SlowColumn[n].Im * 2.0);
    }

    // Radix-2 decimation in time, twiddles by the trigonometric recurrence;
    // the twiddle turns by +theta, so this is the transform with e^(+i...).
    for (int32_t half = 1, span = 2; span <= 256; half = span, span *= 2) {
        const auto theta = static_cast<float>(tables.TwoPi / span);
        const auto t = static_cast<float>(std::sin(theta * 0.5));
        const auto wpr = static_cast<float>(t * 2.0 * t);
        const auto wpi = static_cast<float>(std::sin(static_cast<double>(theta)));
        for (int32_t g = 0; g < 256; g += span) {
            float wr = 1.0f;
            float wi = 0.0f;
            for (int32_t q = 0; q < half; ++q) {
                const int32_t a = g + q;
                const int32_t b = a + half;
                const auto tr = static_cast<float>(static_cast<double>(re[b]) * wr -
                                                   static_cast<double>(im[b]) * wi);
                const auto ti = static_cast<float>(static_cast<double>(re[b]) * wi +
                                                   static_cast<double>(im[b]) * wr);
                re[b] = re[a] - tr;
                im[b] = im[a] - ti;
                re[a] = re[a] + tr;
                im[a] = im[a] + ti;
                const auto c = static_cast<float>(static_cast<double>(wr) * wpr +
                                                  static_cast<double>(wi) * wpi);
                wi = static_cast<float>(
                    wi - (static_cast<double>(wi) * wpr - static_cast<double>(wr) * wpi));
                wr = wr - c;
            }
        }
    }

    for (int32_t k = 0; k < 256; ++k) {
        const double power =
            static_cast<double>(re[k]) * re[k] + static_cast<double>(im[k]) * im[k];
        re[k] = static_cast<float>(std::sqrt(power) / 100.0);
    }
}

namespace {

constexpr int32_t FftLanes = 16; // lags transformed side by side

// The twiddle of every butterfly: stage `half` (1, 2, 4, .. 128) uses
// Wr/Wi[half - 1 + q] at q = 0..half - 1.  SlowTimeFft turns its twiddle by
// the recurrence afresh in every group and for every lag, always through the
// same values; here it is turned once.
struct FftTwiddles {
    std::array<float, FftLen - 1> Wr{};
    std::array<float, FftLen - 1> Wi{};
};

FftTwiddles MakeFftTwiddles(const SignalTables& tables) {
    FftTwiddles twiddles;
    for (int32_t half = 1, span = 2; span <= 256; half = span, span *= 2) {
        const auto theta = static_cast<float>(tables.TwoPi / span);
        const auto t = static_cast<float>(std::sin(theta * 0.5));
        const auto wpr = static_cast<float>(t * 2.0 * t);
        const auto wpi = static_cast<float>(std::sin(static_cast<double>(theta)));
        float wr = 1.0f;
        float wi = 0.0f;
        for (int32_t q = 0; q < half; ++q) {
            twiddles.Wr[half - 1 + q] = wr;
            twiddles.Wi[half - 1 + q] = wi;
            const auto c =
                static_cast<float>(static_cast<double>(wr) * wpr + static_cast<double>(wi) * wpi);
            wi = static_cast<float>(
                wi - (static_cast<double>(wi) * wpr - static_cast<double>(wr) * wpi));
            wr = wr - c;
        }
    }
    return twiddles;
}

// The steps of SlowTimeFft for FftLanes lags side by side: each lag's numbers
// go through the same operations in the same order.
[[gnu::always_inline]] inline void LoadWindowed(const ComplexSample* __restrict slow, double w,
                                                float* __restrict re, float* __restrict im) {
    for (int32_t l = 0; l < FftLanes; ++l) {
        re[l] = static_cast<float>(w * slow[l].Re * 2.0);
        im[l] = static_cast<float>(w * slow[l].Im * 2.0);
    }
}

[[gnu::always_inline]] inline void Butterfly(float* __restrict reA, float* __restrict imA,
                                             float* __restrict reB, float* __restrict imB,
                                             double wr, double wi) {
    for (int32_t l = 0; l < FftLanes; ++l) {
        const double rb = reB[l];
        const double ib = imB[l];
        const auto tr = static_cast<float>(rb * wr - ib * wi);
        const auto ti = static_cast<float>(rb * wi + ib * wr);
        reB[l] = reA[l] - tr;
        imB[l] = imA[l] - ti;
        reA[l] = reA[l] + tr;
        imA[l] = imA[l] + ti;
    }
}

// 100 x the magnitude / 100, as SlowTimeFft leaves it in SpecRe and
// UpdateDoppler scales it into DopplerMatrix.
[[gnu::always_inline]] inline void MatrixRow(const float* __restrict re, const float* __restrict im,
                                             float* __restrict out) {
    for (int32_t l = 0; l < FftLanes; ++l) {
        const double power =
            static_cast<double>(re[l]) * re[l] + static_cast<double>(im[l]) * im[l];
        out[l] = 100.0f * static_cast<float>(std::sqrt(power) / 100.0);
    }
}

// SlowTimeFft of FftLanes lags at once (j0 .. j0 + 15), then DopplerMatrix.
// SlowTime's spare columns 62..64 are zero; the last group of lags transforms
// them too and drops their results.
[[gnu::always_inline]] inline void DopplerSpectraBody(const SignalTables& tables,
                                                      const FftTwiddles& twiddles, int32_t shift,
                                                      DopplerState& doppler) {
    const int32_t s0 = doppler.SlowRow;
    for (int32_t j0 = 0; j0 < DopplerLags; j0 += FftLanes) {
        alignas(64) float re[FftLen][FftLanes];
        alignas(64) float im[FftLen][FftLanes];

        for (int32_t n = 0; n < FftLen; ++n) {
            const int32_t b = tables.BitReverse[n];
            LoadWindowed(&doppler.SlowTime[size_t(s0 + n) * SlowTimeStride + j0],
                         tables.HannWindow[n], re[b], im[b]);
        }

        for (int32_t half = 1, span = 2; span <= 256; half = span, span *= 2) {
            for (int32_t g = 0; g < 256; g += span) {
                for (int32_t q = 0; q < half; ++q) {
                    Butterfly(re[g + q], im[g + q], re[g + q + half], im[g + q + half],
                              twiddles.Wr[half - 1 + q], twiddles.Wi[half - 1 + q]);
                }
            }
        }

        const int32_t lanes = std::min(FftLanes, DopplerLags - j0);
        for (int32_t r = 0; r < SlowRows; ++r) {
            const int32_t k = (r + 128 - shift + 256) % 256;
            alignas(64) float row[FftLanes];
            MatrixRow(re[k], im[k], row);
            std::copy_n(row, lanes, &doppler.DopplerMatrix[size_t(r) * SlowTimeStride + j0]);
        }
    }
}

void DopplerSpectraBaseline(const SignalTables& tables, const FftTwiddles& twiddles, int32_t shift,
                            DopplerState& doppler) {
    DopplerSpectraBody(tables, twiddles, shift, doppler);
}
[[RX_TARGET_AVX2]] void DopplerSpectraAvx2(const SignalTables& tables, const FftTwiddles& twiddles,
                                           int32_t shift, DopplerState& doppler) {
    DopplerSpectraBody(tables, twiddles, shift, doppler);
}
[[RX_TARGET_AVX512]] void DopplerSpectraAvx512(const SignalTables& tables,
                                               const FftTwiddles& twiddles, int32_t shift,
                                               DopplerState& doppler) {
    DopplerSpectraBody(tables, twiddles, shift, doppler);
}

} // namespace

void DopplerSpectra(const SignalTables& tables, int32_t dopplerShift, DopplerState& doppler,
                    VectorIsa isa) {
    const FftTwiddles twiddles = MakeFftTwiddles(tables);
    const int32_t shift = std::clamp(dopplerShift, -128, 128);
    switch (isa) {
    case VectorIsa::Avx512:
        return DopplerSpectraAvx512(tables, twiddles, shift, doppler);
    case VectorIsa::Avx2:
        return DopplerSpectraAvx2(tables, twiddles, shift, doppler);
    case VectorIsa::Baseline:
        break;
    }
    DopplerSpectraBaseline(tables, twiddles, shift, doppler);
}

bool UpdateDoppler(const SignalTables& tables, const CorrLagArray& corrLags,
                   const ChainControls& controls, DopplerState& doppler) {
    doppler.SlowRow = doppler.SlowRow + 1;
    if (doppler.SlowRow > SlowRows - 1) doppler.SlowRow = 0;

    // Only the first frame of the correlator output is used, taken circularly
    // from the delay window's first lag.
    const int32_t offset = std::clamp(controls.LagOffset, 0, BasebandLen);
    for (int32_t j = 0; j < DopplerLags; ++j) {
        const ComplexSample c = corrLags[(j + offset) % BasebandLen];
        const ComplexSample v{20.0f * c.Re, 20.0f * c.Im};
        doppler.SlowTimeAt(j, doppler.SlowRow) = v;
        doppler.SlowTimeAt(j, doppler.SlowRow + SlowRows) = v;
    }

    if (!DopplerSpectrumDue(doppler.SlowRow)) return false;

    DopplerSpectra(tables, controls.DopplerShift, doppler, BestVectorIsa());
    for (int32_t r = 0; r < SlowRows; ++r) {
        float sum = 0.0f;
        for (int32_t j = 0; j < DopplerLags; ++j)
            sum = sum + doppler.DopplerMatrixAt(j, r);
        doppler.DopplerProfile[r] = sum;
    }
    return true;
}

} // namespace dsp
