// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/analysis/path_doppler.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace analysis {

namespace {

constexpr double Pi = std::numbers::pi;
constexpr int32_t MaxLagBlocks = 64;
constexpr int32_t MinBlocks = 16;
// The block rate measures the spread while R(1) keeps this share of the
// signal's power; R(k) is fitted down to MinShareOfR1 of R(1).
constexpr double MinBlockCoherence = 0.3;
constexpr double MinShareOfR1 = 0.2;

using Complex = std::complex<double>;

// R(k) = mean of tap[b + k] conj(tap[b]) over the used pairs, and their count.
Complex LagProduct(const PathTaps& taps, int32_t k, int32_t& pairs) {
    const auto n = int32_t(taps.First.size());
    Complex sum{};
    pairs = 0;
    for (int32_t b = 0; b + k < n; ++b) {
        if (!taps.Used[size_t(b)] || !taps.Used[size_t(b + k)]) continue;
        sum += taps.First[size_t(b + k)] * std::conj(taps.First[size_t(b)]);
        ++pairs;
    }
    return pairs > 0 ? sum / double(pairs) : Complex{};
}

// sigma^2 (kT)^2 2 pi^2 = a k^2: a from ln |R(k)| = c - a k^2, k = 1 .. while
// |R(k)| stays above the fit's floor (R(k) formed only that far); nothing
// when R(1) is already gone.
std::optional<double> BlockRateDecay(const PathTaps& taps, Complex r0, Complex r1, double signal) {
    const double first = std::abs(r1);
    if (!(signal > 0.0) || first < MinBlockCoherence * signal) return std::nullopt;
    double sx = 0, sy = 0, sxx = 0, sxy = 0, sw = 0;
    int32_t points = 0;
    const auto last = std::min<int32_t>(MaxLagBlocks, int32_t(taps.First.size()) - 1);
    for (int32_t k = 1; k <= last; ++k) {
        int32_t pairs = 0;
        const double m = std::abs(LagProduct(taps, k, pairs));
        // Below this the estimate of R(k) is mostly its own noise.
        const double noise = 3.0 * std::abs(r0) / std::sqrt(std::max(1, pairs));
        if (m < MinShareOfR1 * first || m < noise) break;
        const double x = double(k) * k, y = std::log(m), w = m * m;
        sw += w;
        sx += w * x;
        sy += w * y;
        sxx += w * x * x;
        sxy += w * x * y;
        ++points;
    }
    if (points >= 2) {
        const double slope = (sw * sxy - sx * sy) / (sw * sxx - sx * sx);
        return std::max(0.0, -slope);
    }
    // One lag only: against the signal's own power.
    return std::max(0.0, -std::log(std::min(1.0, first / signal)));
}

double SpreadFromDecay(double a, double lagS) {
    return 2.0 * std::sqrt(a / (2.0 * Pi * Pi * lagS * lagS));
}

} // namespace

PathDoppler MeasurePathDoppler(const PathTaps& taps, double blockRateHz, double periodS) {
    PathDoppler result;
    const auto n = int32_t(taps.First.size());
    if (n < MinBlocks || taps.Second.size() != taps.First.size() ||
        taps.Used.size() != taps.First.size())
        return result;
    Complex cross{};
    double firstPower = 0.0, secondPower = 0.0;
    int32_t used = 0;
    for (int32_t b = 0; b < n; ++b) {
        if (!taps.Used[size_t(b)]) continue;
        cross += taps.Second[size_t(b)] * std::conj(taps.First[size_t(b)]);
        firstPower += std::norm(taps.First[size_t(b)]);
        secondPower += std::norm(taps.Second[size_t(b)]);
        ++used;
    }
    if (used < MinBlocks) return result;
    const double signal1 = firstPower / used - taps.Noise;
    const double signal2 = secondPower / used - taps.Noise;
    if (!(signal1 > 0.0) || !(signal2 > 0.0)) return result;
    const double coarseHz = std::arg(cross) / (2.0 * Pi * periodS);
    const double within = std::min(1.0, std::abs(cross) / used / std::sqrt(signal1 * signal2));

    int32_t pairs = 0;
    const Complex r0 = LagProduct(taps, 0, pairs);
    const Complex r1 = LagProduct(taps, 1, pairs);
    const auto decay = BlockRateDecay(taps, r0, r1, signal1);
    if (decay) {
        // R(1)'s phase, taken to the multiple of the block rate the preamble's
        // own phase points to.
        const double fineHz = std::arg(r1) / (2.0 * Pi) * blockRateHz;
        const double turns = std::round((coarseHz - fineHz) / blockRateHz);
        result.ShiftHz = fineHz + turns * blockRateHz;
        result.SpreadHz = SpreadFromDecay(*decay, 1.0 / blockRateHz);
        return result;
    }
    result.ShiftHz = coarseHz;
    const double floor = std::exp(-2.0 * Pi * Pi * std::pow(MaxSpreadHz / 2.0 * periodS, 2.0));
    result.SpreadHz = within <= floor ? MaxSpreadHz : SpreadFromDecay(-std::log(within), periodS);
    return result;
}

} // namespace analysis
