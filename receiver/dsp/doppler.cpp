// SPDX-License-Identifier: GPL-3.0-or-later
// Slow-time Doppler analysis: per lag, the correlation of the latest 256
// blocks, transformed four times per 256 blocks with a Hann-windowed FFT.
#include "receiver/dsp/doppler.h"

#include <algorithm>
#include <cmath>

namespace rx {

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
        re[b] = static_cast<float>(w * doppler.SlowColumn[n].re * 2.0);
        im[b] = static_cast<float>(w * doppler.SlowColumn[n].im * 2.0);
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

bool UpdateDoppler(const SignalTables& tables, const CorrLagArray& corrLags,
                   const ChainControls& controls, DopplerState& doppler) {
    doppler.SlowRow = doppler.SlowRow + 1;
    if (doppler.SlowRow > SlowRows - 1) doppler.SlowRow = 0;

    // Only the first frame of the correlator output is used, taken circularly
    // from the delay window's first lag.
    const int32_t offset = std::clamp(controls.LagOffset, 0, BasebandLen);
    for (int32_t j = 0; j < DopplerLags; ++j) {
        const ComplexSample c = corrLags[(j + offset) % BasebandLen];
        const ComplexSample v{20.0f * c.re, 20.0f * c.im};
        doppler.SlowTimeAt(j, doppler.SlowRow) = v;
        doppler.SlowTimeAt(j, doppler.SlowRow + SlowRows) = v;
    }

    if (!DopplerSpectrumDue(doppler.SlowRow)) return false;

    // The 256 latest values of each lag, the newest first and then the
    // others from oldest to newest: the window applies in this order.
    const int32_t s0 = doppler.SlowRow;
    const int32_t shift = std::clamp(controls.DopplerShift, -128, 128);
    for (int32_t j = 0; j < DopplerLags; ++j) {
        for (int32_t n = 0; n < SlowRows; ++n)
            doppler.SlowColumn[n] = doppler.SlowTimeAt(j, s0 + n);
        SlowTimeFft(tables, doppler);
        for (int32_t r = 0; r < SlowRows; ++r) {
            doppler.DopplerMatrixAt(j, r) = 100.0f * doppler.SpecRe[(r + 128 - shift + 256) % 256];
        }
    }
    for (int32_t r = 0; r < SlowRows; ++r) {
        float sum = 0.0f;
        for (int32_t j = 0; j < DopplerLags; ++j)
            sum = sum + doppler.DopplerMatrixAt(j, r);
        doppler.DopplerProfile[r] = sum;
    }
    return true;
}

} // namespace rx
