// SPDX-License-Identifier: GPL-3.0-or-later
// The constant tables of the chain: synchronisation sequence in its two
// forms, the 43-tap lowpass, FFT permutation and window, mixing oscillator.
#include <cmath>
#include <cstdint>
#include <numbers>
#include <thread>

#include "receiver/dsp/tables.h"

namespace dsp {

namespace {

// One period of the m-sequence b[n+5] = b[n+2] XOR b[n]: 16 ones, 15 zeros.
constexpr std::array<int32_t, 31> SyncBits = {0, 1, 0, 1, 1, 0, 0, 1, 1, 1, 1, 1, 0, 0, 0, 1,
                                              1, 0, 1, 1, 1, 0, 1, 0, 1, 0, 0, 0, 0, 1, 0};

// Taps 0..21 of the symmetric anti-alias lowpass; 22..42 mirror 20..0.
constexpr std::array<double, 22> LowpassHalf = {
    -0.00177868490585, -0.0103341998675,  -0.00112763430547, 0.00228213234741, 0.00668936140064,
    0.00638440522604,  0.000235942310842, -0.00864959993006, -0.0136725348567, -0.00910469000385,
    0.0048760975508,   0.0203811326578,   0.0253860155435,   0.0117128495191,  -0.0174006222407,
    -0.0455661423886,  -0.0498811611031,  -0.0135906928703,  0.0624522097793,  0.156547755698,
    0.234221010827,    0.264278252776};

// `value` cut into doubles of its top 29, next 24 and last 11 significant
// bits (of the 64 of a long double), each with its sign; they add up to it.
std::array<double, 3> CutInThree(long double value) {
    int exponent = 0;
    const long double fraction = std::frexp(std::fabs(value), &exponent); // 0.5 .. 1, or 0
    const auto significand = static_cast<uint64_t>(std::ldexp(fraction, 64));
    const uint64_t low11 = (uint64_t{1} << 11) - 1;
    const uint64_t low35 = (uint64_t{1} << 35) - 1;
    const uint64_t bits[3] = {significand & ~low35, significand & low35 & ~low11,
                              significand & low11};
    std::array<double, 3> parts{};
    for (int i = 0; i < 3; ++i) {
        parts[size_t(i)] = std::ldexp(static_cast<double>(bits[i]), exponent - 64);
        if (std::signbit(value)) parts[size_t(i)] = -parts[size_t(i)];
    }
    return parts;
}

} // namespace

float CarrierPhaseStep() {
    const long double twoPi = 8.0L * std::atan(1.0L);
    return static_cast<float>(twoPi * 1800.0L / 9600.0L);
}

int32_t ReverseBits(int32_t value, int32_t width) {
    int32_t result = 0;
    for (int32_t b = 0; b < width; ++b) {
        result = result * 2 + (value & 1);
        value /= 2;
    }
    return result;
}

void BuildSignalTables(SignalTables& tables, TableBuild build) {
    tables.TwoPi = 8.0 * std::atan(1.0);
    tables.PhaseStep = CarrierPhaseStep();
    for (int32_t n = 0; n < FftLen; ++n)
        tables.BitReverse[n] = ReverseBits(n, 8);

    const float theta = static_cast<float>(tables.TwoPi / 256.0);
    for (int32_t n = 0; n < FftLen; ++n) {
        tables.HannWindow[n] =
            static_cast<float>(0.5L + 0.5L * std::cos(static_cast<long double>(theta) * (n - 128)));
        // Let the rest of the desktop breathe while the table is built.
        if (build == TableBuild::YieldingToTheDesktop) std::this_thread::yield();
    }

    std::array<int32_t, SyncLen> syncSymbols{};
    for (int32_t k = 0; k < SyncLen; ++k)
        syncSymbols[k] = 1 - 2 * SyncBits[k % 31];

    const float hundredth = 0.01f;
    tables.CorrReference.fill(0.0f);
    for (int32_t k = 0; k < 31; ++k)
        tables.CorrReference[k] = hundredth * SyncBits[k];
    tables.PeakReference.fill(0.0);
    for (int32_t k = 0; k < SyncLen; ++k)
        tables.PeakReference[k] = static_cast<double>(hundredth) * syncSymbols[k];

    tables.LowpassTaps.fill(0.0f);
    for (int32_t k = 0; k < 22; ++k) {
        tables.LowpassTaps[k] = static_cast<float>(LowpassHalf[k]);
        tables.LowpassTaps[42 - k] = static_cast<float>(LowpassHalf[k]);
    }

    // The oscillator's phase is a float, stepped and wrapped as the mixer
    // has always stepped it; 2 pi here is pi x 2 in extended precision.
    const long double twoPi = std::numbers::pi_v<long double> * 2.0L;
    float phi = 0.0f;
    for (int32_t n = 0; n < BlockLen; ++n) {
        tables.MixCos[n] = std::cos(static_cast<long double>(phi));
        tables.MixSin[n] = std::sin(static_cast<long double>(phi));
        const auto cosParts = CutInThree(tables.MixCos[n]);
        const auto sinParts = CutInThree(tables.MixSin[n]);
        for (size_t i = 0; i < 3; ++i) {
            tables.MixCosParts[i][n] = cosParts[i];
            tables.MixSinParts[i][n] = sinParts[i];
        }
        phi = phi + tables.PhaseStep;
        if (phi >= twoPi) phi = static_cast<float>(phi - twoPi);
    }
}

} // namespace dsp
