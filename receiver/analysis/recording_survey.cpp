// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/analysis/recording_survey.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "receiver/analysis/acquisition_monitor.h"
#include "receiver/analysis/correlation_store.h"
#include "receiver/analysis/measurement.h"
#include "receiver/analysis/signal_quality.h"
#include "receiver/dsp/sync_chain.h"

namespace analysis {

namespace {

double Median(std::vector<double> values) {
    if (values.empty()) return 0.0;
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

// Better than `best` by enough to be chosen over it.
bool Better(const TrialResult& trial, const TrialResult& best) {
    if (trial.LockedShare > best.LockedShare + 0.05) return true;
    if (trial.LockedShare < best.LockedShare - 0.05) return false;
    return trial.MedianSnrDb > best.MedianSnrDb + 0.5;
}

// A trial that can no longer come within 5 % of `best` stops early: even
// with every block still to come locked its share would stay below.
std::optional<TrialResult> Trial(const std::string& path, int32_t mode, io::ChannelChoice channel,
                                 double seconds, double duration, const TrialResult* best,
                                 std::string& error) {
    // The measurement stage's lock over the chain as a batch run for tables
    // works it out (the sequence's first period correlated too, for the
    // evidence against its repetitions): a signal is present whichever path
    // is strongest, however the paths fade in turn.  The same stage on the
    // same blocks as the run of the chosen mode.
    MeasurementStage stage;
    const dsp::Settings settings;
    LockTally tally;
    std::vector<double> snr;
    const double rate = io::RateForMode(mode);
    const auto judged =
        int64_t(std::min(seconds, duration) * rate) / dsp::BlockLen - LockWarmUpBlocks;
    const bool read = RunSyncOver(
        path, mode, channel, 0.0L, 1.0f, seconds,
        [&](const dsp::ChainState& chain) {
            const BlockMeasurement& m = stage.Add(chain, settings);
            tally.Add(m.Locked);
            snr.push_back(PeakContrast(chain.Peak).PeakSnrDb);
            if (!best || judged <= 0) return true;
            const int64_t reachable = tally.Locked + std::max<int64_t>(0, judged - tally.Judged);
            return double(reachable) >= (best->LockedShare - 0.05) * double(judged);
        },
        error, KeptLags);
    if (!read) return std::nullopt;
    return TrialOf(mode, channel, tally, std::move(snr));
}

} // namespace

bool RunSyncOver(const std::string& path, int32_t mode, io::ChannelChoice channel,
                 long double correction, float gain, double seconds,
                 const std::function<bool(const dsp::ChainState&)>& onBlock, std::string& error,
                 int32_t firstPeriodLags) {
    auto reader = io::RecordingReader::Open(path, 0, channel, error);
    if (!reader || !reader->ConvertTo(io::RateForMode(mode), error)) return false;
    dsp::SyncChain chain(mode, correction, gain, firstPeriodLags);
    const auto limit = static_cast<int64_t>(seconds * io::RateForMode(mode));
    std::array<int16_t, dsp::BlockLen> buffer{};
    bool going = true;
    for (int64_t done = 0; done < limit && going;) {
        const auto want = static_cast<int32_t>(std::min<int64_t>(dsp::BlockLen, limit - done));
        const int64_t got = reader->Read(buffer.data(), want);
        if (got <= 0) break;
        chain.Feed(buffer.data(), static_cast<int32_t>(got), [&](const dsp::ChainState& state) {
            if (going) going = onBlock(state);
        });
        done += got;
    }
    return true;
}

int32_t FirstTrialMode(int32_t fileRate, int32_t mode) {
    return mode != 0 ? mode : io::ModeForRate(fileRate);
}

TrialResult TrialOf(int32_t mode, io::ChannelChoice channel, const LockTally& tally,
                    std::vector<double> peakSnrDb) {
    TrialResult result;
    result.Mode = mode;
    result.Channel = channel;
    result.Blocks = tally.Blocks;
    result.LockedShare = tally.Share();
    result.MedianSnrDb = Median(std::move(peakSnrDb));
    return result;
}

std::optional<SignalChoice> ChooseModeAndChannel(const std::string& path, int32_t mode,
                                                 std::optional<io::ChannelChoice> channel,
                                                 double seconds, std::string& error,
                                                 const TrialResult* first) {
    const auto reader = io::RecordingReader::Open(path, 0, io::ChannelChoice::Left, error);
    if (!reader) return std::nullopt;
    SignalChoice choice;
    choice.Stereo = reader->Info().Channels == 2;
    const int32_t natural = io::ModeForRate(reader->Info().FileRate);
    std::vector<int32_t> modes{FirstTrialMode(reader->Info().FileRate, mode)};
    if (mode == 0) modes.push_back(-natural);
    std::vector<io::ChannelChoice> channels{channel.value_or(io::ChannelChoice::Left)};
    if (!channel && choice.Stereo)
        channels = {io::ChannelChoice::Left, io::ChannelChoice::Right, io::ChannelChoice::Mix};

    const double duration = double(reader->Info().Frames) / std::max(1, reader->Info().FileRate);
    std::optional<TrialResult> best;
    for (const int32_t m : modes) {
        for (const io::ChannelChoice c : channels) {
            const bool known = first && choice.Trials.empty();
            const auto trial =
                known ? std::optional<TrialResult>(*first)
                      : Trial(path, m, c, seconds, duration, best ? &*best : nullptr, error);
            if (!trial) return std::nullopt;
            choice.Trials.push_back(*trial);
            if (!best || Better(*trial, *best)) best = trial;
        }
    }
    choice.Found = best->LockedShare >= MinLockedShare;
    if (best->LockedShare > 0.0) {
        choice.Mode = best->Mode;
        choice.Channel = best->Channel;
    } else {
        choice.Mode = modes.front();
        choice.Channel = channels.front();
    }
    return choice;
}

std::string ChoiceLine(const SignalChoice& choice) {
    std::string line = choice.Mode == dsp::ModeNato ? "mode: NATO (2400 baud, 1800 Hz)"
                                                    : "mode: AMATEUR (2000 baud, 1500 Hz)";
    line += ", channel: ";
    if (!choice.Stereo)
        line += "mono";
    else if (choice.Channel == io::ChannelChoice::Left)
        line += "left";
    else if (choice.Channel == io::ChannelChoice::Right)
        line += "right";
    else
        line += "mix";
    return line;
}

std::optional<ClockEstimate> MeasureRecordingClock(const std::string& path, int32_t mode,
                                                   io::ChannelChoice channel,
                                                   long double correction, float gain,
                                                   double seconds, std::string& error) {
    ClockEstimator estimator;
    const bool read = RunSyncOver(
        path, mode, channel, correction, gain, seconds,
        [&](const dsp::ChainState& chain) {
            estimator.Add(chain.Peak.SyncPower, correction, chain.SampleRate);
            return true;
        },
        error);
    if (!read) return std::nullopt;
    return estimator.Estimate();
}

std::optional<PathPlacementResult> FindRecordingPaths(const std::string& path, int32_t mode,
                                                      io::ChannelChoice channel,
                                                      long double correction, float gain,
                                                      double seconds, double steadySeconds,
                                                      std::string& error) {
    QualityTracker quality;
    SteadyLock steady(steadySeconds);
    PathPlacementResult result;
    int32_t longest = 0;
    const bool read = RunSyncOver(
        path, mode, channel, correction, gain, seconds,
        [&](const dsp::ChainState& chain) {
            const BlockQuality& q = quality.Add(chain.Peak, chain.SampleRate);
            const bool done = steady.Add(q.Locked, chain.SampleRate);
            if (done || (q.Locked && q.LockedBlocks > longest)) {
                longest = q.LockedBlocks;
                result.Found = true;
                result.StrongestLag = q.SteadyStrongestLag;
                result.AtSeconds = double(quality.Blocks()) * dsp::BlockLen / chain.SampleRate;
            }
            return !done;
        },
        error);
    if (!read) return std::nullopt;
    if (result.Found) result.LagOffset = LagOffsetFor(result.StrongestLag);
    return result;
}

} // namespace analysis
