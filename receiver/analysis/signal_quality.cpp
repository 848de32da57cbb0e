// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/analysis/signal_quality.h"

#include "receiver/analysis/lag_kernels.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace analysis {

namespace {

constexpr int32_t Lags = dsp::BasebandLen;

int32_t Wrap(int32_t lag) {
    return lag & (Lags - 1); // 512 lags: the circle by a mask
}

// Marks the guard zones around `lag` and its repetitions 62 and 124 lags away.
void MarkGuards(std::array<bool, Lags>& masked, int32_t lag) {
    for (int32_t repeat = -2; repeat <= 2; ++repeat)
        for (int32_t d = -PeakGuardLags; d <= PeakGuardLags; ++d)
            masked[static_cast<size_t>(Wrap(lag + repeat * SequenceRepeatLags + d))] = true;
}

// The first lag of the largest power.
int32_t Strongest(const dsp::SyncPowerArray& power) {
    return FirstLargest(power.data(), Lags);
}

} // namespace

int32_t LagDifference(int32_t a, int32_t b) {
    return Wrap(a - b + Lags / 2) - Lags / 2;
}

double SubLagPeak(const dsp::SyncPowerArray& power, int32_t lag) {
    const double left = std::sqrt(power[static_cast<size_t>(Wrap(lag - 1))]);
    const double centre = std::sqrt(power[static_cast<size_t>(Wrap(lag))]);
    const double right = std::sqrt(power[static_cast<size_t>(Wrap(lag + 1))]);
    const double curvature = left - 2.0 * centre + right;
    double offset = 0.0;
    if (curvature < 0.0) offset = std::clamp(0.5 * (left - right) / curvature, -0.5, 0.5);
    double position = Wrap(lag) + offset;
    if (position < 0.0) position += Lags;
    if (position >= Lags) position -= Lags;
    return position;
}

double NoiseFloor(const dsp::SyncPowerArray& power, int32_t peakLag) {
    std::array<bool, Lags> masked{};
    MarkGuards(masked, peakLag);
    // Every second lag: neighbouring lags (half a symbol apart) are
    // correlated, and half the values make the median twice as fast.
    std::array<float, Lags / 2> away;
    size_t count = 0;
    for (size_t lag = 0; lag < Lags; lag += 2)
        if (!masked[lag]) away[count++] = static_cast<float>(power[lag]);
    if (count == 0) return 0.0;
    return KthSmallest(away.data(), int32_t(count), int32_t(count / 2));
}

double PowerRatioDb(double peak, double floor) {
    if (!(peak > 0.0)) return 0.0;
    if (!(floor > 0.0)) return 99.0;
    return std::min(99.0, 10.0 * std::log10(peak / floor));
}

std::array<std::optional<FurtherPath>, 2> FindFurtherPaths(const dsp::SyncPowerArray& power,
                                                           int32_t strongestLag, double floor,
                                                           int32_t sampleRate) {
    std::array<std::optional<FurtherPath>, 2> paths;
    const double strongest = power[static_cast<size_t>(Wrap(strongestLag))];
    if (!(strongest > 0.0)) return paths;
    const double minPower = std::max(floor * std::pow(10.0, PathMinSnrDb / 10.0),
                                     strongest * std::pow(10.0, -PathRangeDb / 10.0));
    const double strongestAt = SubLagPeak(power, strongestLag);
    const double lagsPerMs = sampleRate / 2.0 / 1000.0;

    std::array<bool, Lags> masked{};
    MarkGuards(masked, strongestLag);
    for (auto& path : paths) {
        int32_t best = -1;
        for (int32_t lag = 0; lag < Lags; ++lag) {
            const double v = power[static_cast<size_t>(lag)];
            if (masked[static_cast<size_t>(lag)] || !(v >= minPower) || !(v > 0.0)) continue;
            if (best >= 0 && v <= power[static_cast<size_t>(best)]) continue;
            // A local maximum over two lags on each side: the top of a peak,
            // not the flank of a stronger one.
            bool top = true;
            for (int32_t d = 1; d <= 2 && top; ++d)
                top = v >= power[static_cast<size_t>(Wrap(lag - d))] &&
                      v > power[static_cast<size_t>(Wrap(lag + d))];
            if (top) best = lag;
        }
        if (best < 0) break;
        path = FurtherPath{LagDifference(SubLagPeak(power, best), strongestAt) / lagsPerMs,
                           10.0 * std::log10(power[static_cast<size_t>(best)] / strongest)};
        MarkGuards(masked, best);
    }
    return paths;
}

void SteadyLock::Reset() {
    recent_.clear();
    next_ = filled_ = 0;
    locked_ = 0;
    sampleRate_ = 0;
}

bool SteadyLock::Add(bool locked, int32_t sampleRate) {
    if (sampleRate != sampleRate_ || recent_.empty()) {
        Reset();
        sampleRate_ = sampleRate;
        recent_.assign(
            static_cast<size_t>(std::max(1.0, std::ceil(seconds_ * sampleRate / dsp::BlockLen))),
            0);
    }
    if (filled_ == recent_.size())
        locked_ -= recent_[next_];
    else
        ++filled_;
    recent_[next_] = locked ? 1 : 0;
    locked_ += recent_[next_];
    next_ = (next_ + 1) % recent_.size();
    return locked && filled_ == recent_.size() &&
           double(locked_) >= SteadyLockedShare * double(recent_.size());
}

void QualityTracker::Reset() {
    *this = QualityTracker();
}

BlockQuality PeakContrast(const dsp::PeakState& peak) {
    const int32_t lag = Wrap(peak.PeakLag);
    BlockQuality quality;
    quality.FloorPower = NoiseFloor(peak.SyncPower, lag);
    quality.PeakSnrDb = PowerRatioDb(peak.SyncPower[static_cast<size_t>(lag)], quality.FloorPower);
    return quality;
}

const BlockQuality& QualityTracker::Add(const dsp::PeakState& peak, int32_t sampleRate) {
    BlockQuality quality = PeakContrast(peak);

    // The running sum of the last PathAverageBlocks blocks, formed afresh
    // every 1024 blocks so that rounding cannot pile up.
    dsp::SyncPowerArray& oldest = recentPower_[static_cast<size_t>(blocks_ % PathAverageBlocks)];
    const bool afresh = blocks_ % 1024 == 0;
    for (size_t i = 0; i < Lags; ++i) {
        sum_[i] += peak.SyncPower[i] - oldest[i];
        oldest[i] = peak.SyncPower[i];
    }
    ++blocks_;
    if (afresh) {
        sum_ = {};
        for (const dsp::SyncPowerArray& block : recentPower_)
            for (size_t i = 0; i < Lags; ++i)
                sum_[i] += block[i];
    }
    const double count = double(std::min<int64_t>(blocks_, PathAverageBlocks));
    const double weight = 1.0 / double(std::min<int64_t>(blocks_, SteadyAverageBlocks));
    for (size_t i = 0; i < Lags; ++i) {
        average_[i] = std::max(0.0, sum_[i]) / count;
        steadyAverage_[i] += weight * (peak.SyncPower[i] - steadyAverage_[i]);
    }
    quality.SteadyStrongestLag = SubLagPeak(steadyAverage_, Strongest(steadyAverage_));
    const int32_t strongest = Strongest(average_);
    const double averageFloor = NoiseFloor(average_, strongest);
    quality.StrongestLag = SubLagPeak(average_, strongest);
    // Paths only from a full average: fewer blocks leave noise peaks standing.
    if (blocks_ >= PathAverageBlocks)
        quality.Paths = FindFurtherPaths(average_, strongest, averageFloor, sampleRate);

    // Lock follows the peak of the averaged power: where two paths of about
    // the same strength fade in turn, the peak of single blocks jumps between
    // them while the averaged one holds still.
    const auto slot = static_cast<size_t>((blocks_ - 1) % LockBlocks);
    recentLags_[slot] = strongest;
    quality.AverageSnrDb = PowerRatioDb(average_[static_cast<size_t>(strongest)], averageFloor);
    recentSnrDb_[slot] = quality.AverageSnrDb;
    if (blocks_ >= LockBlocks) {
        int32_t low = 0, high = 0;
        bool strong = true;
        for (size_t i = 0; i < LockBlocks; ++i) {
            const int32_t d = LagDifference(recentLags_[i], strongest);
            low = std::min(low, d);
            high = std::max(high, d);
            strong = strong && recentSnrDb_[i] >= MinLockSnrDb;
        }
        quality.Locked = strong && high - low <= LockSpreadLags;
    }
    quality.LockedBlocks = quality.Locked ? last_.LockedBlocks + 1 : 0;
    last_ = quality;
    return last_;
}

} // namespace analysis
