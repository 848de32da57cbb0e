// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/analysis/preamble_snr.h"

#include <cmath>

namespace analysis {

namespace {

constexpr int32_t PeriodLags = 62;
// The pulse's reach kept clear of the data on each side: 6 symbols, beyond
// which its tails hold -50 dB of its energy.
constexpr int32_t MarginLags = 12;
// The preamble's last lag from its first path: 80 symbols, two lags each.
constexpr int32_t PreambleLags = 2 * dsp::SyncLen - 2;
constexpr int32_t MinPairs = 16;

} // namespace

std::optional<PreambleSums> PreamblePairs(const dsp::BasebandArray& baseband, double firstLag,
                                          double lastLag) {
    const auto first = int32_t(std::floor(firstLag));
    const auto spread = int32_t(std::ceil(lastLag)) - first;
    if (first < 0 || spread < 0) return std::nullopt;
    // u at first + n must not reach back to the data before the latest path's
    // preamble, v at first + n + 62 not on to the data after the earliest's.
    const int32_t from = spread + MarginLags;
    const int32_t to = PreambleLags - PeriodLags - MarginLags;
    if (to - from + 1 < MinPairs) return std::nullopt;
    if (first + to + PeriodLags >= int32_t(baseband.size())) return std::nullopt;
    PreambleSums sums;
    double crossRe = 0.0, crossIm = 0.0, power = 0.0;
#pragma omp simd reduction(+ : crossRe, crossIm, power)
    for (int32_t n = from; n <= to; ++n) {
        const dsp::ComplexSample u = baseband[size_t(first + n)];
        const dsp::ComplexSample v = baseband[size_t(first + n + PeriodLags)];
        crossRe += double(v.Re) * u.Re + double(v.Im) * u.Im;
        crossIm += double(v.Im) * u.Re - double(v.Re) * u.Im;
        power +=
            double(u.Re) * u.Re + double(u.Im) * u.Im + double(v.Re) * v.Re + double(v.Im) * v.Im;
    }
    sums.Cross = {crossRe, crossIm};
    sums.Power = power;
    sums.Pairs = to - from + 1;
    return sums;
}

} // namespace analysis
