// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/analysis/iq_survey.h"

#include "receiver/analysis/acquisition_monitor.h"
#include "receiver/analysis/signal_finder.h"
#include "receiver/analysis/signal_quality.h"

namespace analysis {

std::optional<std::vector<ClockEstimate>>
MeasureChannelClocks(const std::string& path, bool asIq,
                     const std::vector<io::ChannelTuning>& tunings, long double correction,
                     float gain, double seconds, std::string& error) {
    std::vector<ClockEstimator> estimators(tunings.size());
    const bool read = RunSyncChannels(
        path, asIq, tunings, std::vector<long double>(tunings.size(), correction), gain, seconds,
        [&](int32_t channel, const dsp::ChainState& chain) {
            estimators[size_t(channel)].Add(chain.Peak.SyncPower, correction, chain.SampleRate);
        },
        error);
    if (!read) return std::nullopt;
    std::vector<ClockEstimate> estimates;
    for (const ClockEstimator& estimator : estimators)
        estimates.push_back(estimator.Estimate());
    return estimates;
}

std::optional<std::vector<PathPlacementResult>>
FindChannelPaths(const std::string& path, bool asIq, const std::vector<io::ChannelTuning>& tunings,
                 const std::vector<long double>& corrections, float gain, double seconds,
                 double steadySeconds, std::string& error) {
    struct Search {
        QualityTracker Quality;
        SteadyLock Steady;
        PathPlacementResult Result;
        int32_t Longest = 0;
        bool Done = false;
    };
    std::vector<Search> searches(tunings.size(),
                                 Search{{}, SteadyLock(steadySeconds), {}, 0, false});
    const bool read = RunSyncChannels(
        path, asIq, tunings, corrections, gain, seconds,
        [&](int32_t channel, const dsp::ChainState& chain) {
            Search& s = searches[size_t(channel)];
            if (s.Done) return;
            const BlockQuality& q = s.Quality.Add(chain.Peak, chain.SampleRate);
            s.Done = s.Steady.Add(q.Locked, chain.SampleRate);
            if (s.Done || (q.Locked && q.LockedBlocks > s.Longest)) {
                s.Longest = q.LockedBlocks;
                s.Result.Found = true;
                s.Result.StrongestLag = q.SteadyStrongestLag;
                s.Result.AtSeconds = double(s.Quality.Blocks()) * dsp::BlockLen / chain.SampleRate;
            }
        },
        error);
    if (!read) return std::nullopt;
    std::vector<PathPlacementResult> results;
    for (Search& s : searches) {
        if (s.Result.Found) s.Result.LagOffset = LagOffsetFor(s.Result.StrongestLag);
        results.push_back(s.Result);
    }
    return results;
}

} // namespace analysis
