// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/analysis/minute_analysis.h"

#include <algorithm>
#include <cmath>

#include "receiver/analysis/path_doppler.h"
#include "receiver/analysis/signal_quality.h"
#include "receiver/analysis/tone_watch.h"

namespace analysis {

namespace {

constexpr int32_t Lags = dsp::BasebandLen;
// A minute with fewer locked blocks than this (about 2 s) has no paths.
constexpr int64_t MinLockedBlocks = 20;
// Lags of the first-period correlation that hold only noise: inside the
// preamble of every path, away from each path's own lag by the pulse's reach.
constexpr int32_t QuietFromLastPath = 12;
constexpr int32_t QuietBeforeFirstRepeat = 12;
constexpr int32_t MaxQuietLags = 8;
// Lags around a path kept out of a carrier's estimate.
constexpr int32_t CarrierGuardLags = 6;
// The floor of the first-period correlation's power from every this many lags.
constexpr int32_t EvidenceFloorStep = 32;

PathSearchOptions MinuteSearch() {
    PathSearchOptions options;
    options.MinOverFloorDb = 6.0;
    return options;
}

} // namespace

void MinuteAnalysis::Start(int32_t sampleRate, const PulseShape* shape,
                           const CorrelationStore* store) {
    sampleRate_ = sampleRate;
    shape_ = shape;
    store_ = store;
    first_ = store->Blocks();
    blocks_ = locked_ = 0;
    profile_ = {};
    signal_ = noise_ = 0.0;
}

void MinuteAnalysis::Add(const dsp::SyncPowerArray& syncPower, bool locked,
                         const std::optional<PreambleSums>& preamble) {
    ++blocks_;
    if (!locked) return;
    ++locked_;
    for (size_t l = 0; l < size_t(Lags); ++l)
        profile_[l] += syncPower[l];
    if (preamble) {
        signal_ += preamble->SignalPerSample(shape_->ImageShare()) * preamble->Pairs;
        noise_ += preamble->NoisePerSample(shape_->ImageShare()) * preamble->Pairs;
    }
}

PathList MinuteAnalysis::MinutePaths(const dsp::SyncPowerArray& profile) const {
    const StoredPowers powers(*store_, first_, store_->Blocks(), true);
    RepeatEvidence evidence;
    evidence.Powers = &powers;
    PathList paths;
    // Twice: the floor of the second round keeps the first round's paths out.
    for (int round = 0; round < 2; ++round) {
        const FloorMask mask = FloorMaskOf(paths);
        const ProfileFloor floor = FloorAwayFrom(profile, mask);
        double sum = 0.0;
        int32_t count = 0;
        for (int32_t l = 0; l < Lags; l += EvidenceFloorStep)
            if (mask.Keep[size_t(l)]) {
                sum += powers.Power(l);
                ++count;
            }
        evidence.Floor = count > 0 ? sum / count : 0.0;
        paths = FindPaths(*shape_, profile, floor, evidence, MinuteSearch());
    }
    return paths;
}

std::optional<double> MinuteAnalysis::MinuteSnrDb() const {
    if (!(signal_ > 0.0) || !(noise_ > 0.0)) return std::nullopt;
    return 10.0 * std::log10(signal_ / noise_ * shape_->Snr3kPerBaseband(sampleRate_));
}

ChannelRow MinuteAnalysis::Finish() const {
    ChannelRow row;
    row.Blocks = blocks_;
    row.LockedShare = blocks_ > 0 ? double(locked_) / double(blocks_) : 0.0;
    if (locked_ < MinLockedBlocks || !shape_) return row;
    row.SnrDb = MinuteSnrDb();
    dsp::SyncPowerArray profile{};
    for (size_t l = 0; l < size_t(Lags); ++l)
        profile[l] = profile_[l] / double(locked_);
    const PathList paths = MinutePaths(profile);
    if (paths.Count == 0) return row;

    const double lagsPerMs = sampleRate_ / 2.0 / 1000.0;
    const FoundPath& strongest = paths.Paths[0];
    double first = 0.0, last = 0.0, weight = 0.0, mean = 0.0;
    for (int32_t i = 0; i < paths.Count; ++i) {
        const FoundPath& p = paths.Paths[size_t(i)];
        ChannelPath path;
        path.DelayMs = LagDifference(p.Lag, strongest.Lag) / lagsPerMs;
        path.RelDb = 10.0 * std::log10(p.Power / strongest.Power);
        row.Paths[size_t(i)] = path;
        first = std::min(first, path.DelayMs);
        last = std::max(last, path.DelayMs);
        weight += p.Power;
        mean += p.Power * path.DelayMs;
    }
    mean /= weight;
    double spread = 0.0;
    for (int32_t i = 0; i < paths.Count; ++i) {
        const double d = row.Paths[size_t(i)]->DelayMs - mean;
        spread += paths.Paths[size_t(i)].Power * d * d;
    }
    row.MultipathSpreadMs = last - first;
    row.RmsDelaySpreadMs = std::sqrt(spread / weight);
    AddDoppler(paths, row);
    return row;
}

// The first-period correlation of the minute's blocks with the minute's
// steady carriers taken out (each estimated block by block from the lags
// around, away from the paths).
class CleanCorrelation {
  public:
    CleanCorrelation(const CorrelationStore& store, const PathList& paths,
                     std::vector<double> carriersHz, int32_t sampleRate)
        : store_(store), carriersHz_(std::move(carriersHz)), sampleRate_(sampleRate),
          usable_(size_t(KeptLags), 1) {
        for (int32_t i = 0; i < paths.Count; ++i) {
            const auto lag = NearestLag(paths.Paths[size_t(i)].Lag);
            for (int32_t repeat = -1; repeat <= 2; ++repeat)
                for (int32_t d = -CarrierGuardLags; d <= CarrierGuardLags; ++d) {
                    const int32_t l = lag + repeat * RepeatLags + d;
                    if (l >= 0 && l < KeptLags) usable_[size_t(l)] = 0;
                }
        }
    }
    std::complex<double> At(int64_t block, int32_t lag) const {
        const dsp::ComplexSample* corr = store_.Block(block);
        std::complex<double> value(corr[lag].Re, corr[lag].Im);
        for (double hz : carriersHz_)
            value -= CarrierAtLag(corr, KeptLags, usable_, hz, sampleRate_, lag);
        return value;
    }

  private:
    const CorrelationStore& store_;
    std::vector<double> carriersHz_;
    int32_t sampleRate_;
    std::vector<char> usable_;
};

std::vector<double> MinuteAnalysis::MinuteCarriers() const {
    // Carriers found within this much of each other are one; one found in at
    // least this share of the minute's blocks is taken out of every block.
    constexpr double sameCarrierHz = 3.0;
    constexpr double minShare = 0.1;
    std::vector<double> all;
    const int64_t from = std::max(first_, store_->Oldest());
    for (int64_t b = from; b < store_->Blocks(); ++b)
        for (double hz : store_->Carriers(b))
            all.push_back(hz);
    std::sort(all.begin(), all.end());
    std::vector<double> carriers;
    for (size_t i = 0; i < all.size();) {
        size_t j = i;
        double sum = 0.0;
        while (j < all.size() && all[j] - all[i] <= sameCarrierHz)
            sum += all[j++];
        if (double(j - i) >= minShare * double(store_->Blocks() - from))
            carriers.push_back(sum / double(j - i));
        i = j;
    }
    return carriers;
}

double MinuteAnalysis::TapNoise(const PathList& paths, const CleanCorrelation& clean) const {
    const double base = paths.Paths[0].Lag;
    double earliest = 0.0, latest = 0.0;
    for (int32_t i = 1; i < paths.Count; ++i) {
        const double d = LagDifference(paths.Paths[size_t(i)].Lag, base);
        earliest = std::min(earliest, d);
        latest = std::max(latest, d);
    }
    const auto from = int32_t(std::ceil(base + latest)) + QuietFromLastPath;
    const auto to = std::min(from + MaxQuietLags - 1, int32_t(std::floor(base + earliest)) +
                                                          RepeatLags - QuietBeforeFirstRepeat);
    double sum = 0.0;
    int64_t count = 0;
    for (int64_t b = std::max(first_, store_->Oldest()); b < store_->Blocks(); ++b) {
        if (!store_->Locked(b)) continue;
        // Paths too far apart for a quiet lag: half the power of the first
        // period's correlation, which holds the data's part as well, is the
        // best there is.
        if (to < from)
            for (int32_t l = 0; l < Lags; l += EvidenceFloorStep) {
                sum += 0.5 * std::norm(clean.At(b, l));
                ++count;
            }
        for (int32_t q = from; q <= to; ++q) {
            sum += std::norm(clean.At(b, LagIndex(q)));
            ++count;
        }
    }
    return count > 0 ? sum / double(count) : 0.0;
}

void MinuteAnalysis::AddDoppler(const PathList& paths, ChannelRow& row) const {
    const CleanCorrelation clean(*store_, paths, MinuteCarriers(), sampleRate_);
    const double noise = TapNoise(paths, clean);
    const double blockRateHz = sampleRate_ / double(dsp::BlockLen);
    const double periodS = RepeatLags / (sampleRate_ / 2.0);
    const int64_t from = std::max(first_, store_->Oldest());
    for (int32_t i = 0; i < paths.Count; ++i) {
        const int32_t lag = LagIndex(NearestLag(paths.Paths[size_t(i)].Lag));
        PathTaps taps;
        taps.Noise = noise;
        for (int64_t b = from; b < store_->Blocks(); ++b) {
            taps.First.push_back(clean.At(b, lag));
            taps.Second.push_back(clean.At(b, lag + RepeatLags));
            taps.Used.push_back(store_->Locked(b) ? 1 : 0);
        }
        const PathDoppler doppler = MeasurePathDoppler(taps, blockRateHz, periodS);
        row.Paths[size_t(i)]->DopplerHz = doppler.ShiftHz;
        row.Paths[size_t(i)]->DopplerSpreadHz = doppler.SpreadHz;
    }
}

} // namespace analysis
