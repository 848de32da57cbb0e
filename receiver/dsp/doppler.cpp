// Slow-time Doppler analysis: per lag, the correlation of the latest 256
// blocks, transformed four times per 256 blocks with a Hann-windowed FFT.
#include <algorithm>
#include <cmath>

#include "receiver/dsp/chain.h"

namespace rx {

bool DopplerSpectrumDue(int32_t slowRow) {
    // Intervals of 63, 64, 68 and 61 blocks; 195 rather than 191 is how the
    // receiver has always paced them.
    return slowRow == 0 || slowRow == 63 || slowRow == 127 || slowRow == 195;
}

void SlowTimeFft(ChainState& chain) {
    float* re = chain.SpecRe.data();
    float* im = chain.SpecIm.data();

    // Load in bit-reversed order with the window and a factor 2.
    for (int32_t n = 0; n < 256; ++n) {
        const int32_t b = chain.BitReverse[n];
        const double w = chain.HannWindow[n];
        re[b] = static_cast<float>(w * chain.SlowColumn[n].re * 2.0);
        im[b] = static_cast<float>(w * chain.SlowColumn[n].im * 2.0);
    }

    // Radix-2 decimation in time, twiddles by the trigonometric recurrence;
    // the twiddle turns by +theta, so this is the transform with e^(+i...).
    for (int32_t half = 1, span = 2; span <= 256; half = span, span *= 2) {
        const auto theta = static_cast<float>(chain.TwoPi / span);
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

void UpdateDoppler(ChainState& chain, const DisplayHooks& hooks) {
    chain.SlowRow = chain.SlowRow + 1;
    if (chain.SlowRow > SlowRows - 1) chain.SlowRow = 0;

    // Only the first frame of the correlator output is used, taken circularly
    // from the delay window's first lag.
    const int32_t offset = std::clamp(chain.LagOffset, 0, BasebandLen);
    for (int32_t j = 0; j < DopplerLags; ++j) {
        const ComplexSample c = chain.CorrLags[(j + offset) % BasebandLen];
        const ComplexSample v{20.0f * c.re, 20.0f * c.im};
        chain.SlowTimeAt(j, chain.SlowRow) = v;
        chain.SlowTimeAt(j, chain.SlowRow + SlowRows) = v;
    }

    if (DopplerSpectrumDue(chain.SlowRow)) {
        const int32_t s0 = chain.SlowRow;
        const int32_t shift = std::clamp(chain.DopplerShift, -128, 128);
        for (int32_t j = 0; j < DopplerLags; ++j) {
            for (int32_t n = 0; n < SlowRows; ++n)
                chain.SlowColumn[n] = chain.SlowTimeAt(j, s0 + n);
            SlowTimeFft(chain);
            for (int32_t r = 0; r < SlowRows; ++r) {
                chain.DopplerMatrixAt(j, r) = 100.0f * chain.SpecRe[(r + 128 - shift + 256) % 256];
            }
        }
        for (int32_t r = 0; r < SlowRows; ++r) {
            float sum = 0.0f;
            for (int32_t j = 0; j < DopplerLags; ++j)
                sum = sum + chain.DopplerMatrixAt(j, r);
            chain.DopplerProfile[r] = sum;
        }
        if (hooks.DopplergramColumn) hooks.DopplergramColumn(chain);
    }

    if (hooks.ScattergramColumn) hooks.ScattergramColumn(chain);
}

} // namespace rx
