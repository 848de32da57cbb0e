// SPDX-License-Identifier: GPL-3.0-or-later
#include "bench/analysis/measurement_run.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "receiver/dsp/sync_chain.h"

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

std::optional<analysis::ClockEstimate> MeasureClock(const std::vector<int16_t>& samples,
                                                    int32_t mode, int32_t sampleRate,
                                                    double seconds) {
    dsp::SyncChain chain(mode, 0.0L);
    analysis::ClockEstimator estimator;
    const auto count = std::min<size_t>(samples.size(), size_t(seconds * sampleRate));
    for (size_t at = 0; at + dsp::BlockLen <= count; at += dsp::BlockLen)
        chain.Feed(&samples[at], dsp::BlockLen, [&](const dsp::ChainState& state) {
            estimator.Add(state.Peak.SyncPower, 0.0L, state.SampleRate);
        });
    const analysis::ClockEstimate estimate = estimator.Estimate();
    if (!estimate.Valid) return std::nullopt;
    return estimate;
}

} // namespace

Truth TruthOf(const s4285gen::Config& config) {
    Truth truth;
    truth.Snr3kDb = config.SnrDb + 10.0 * std::log10(config.SampleRate / 2.0 / 3000.0);
    double signal = 0.0, strongest = -1e300;
    for (const s4285gen::Path& p : config.Paths) {
        signal += std::pow(10.0, p.GainDb / 10.0) / 2.0;
        strongest = std::max(strongest, p.GainDb);
    }
    const double noise = signal / std::pow(10.0, config.SnrDb / 10.0);
    // The generator's scale, for the RMS level (the disturbances' share left out:
    // the bench's dBFS cases have none).
    const double scale = std::pow(10.0, config.LevelDbfs / 20.0) / std::sqrt(signal + noise);
    double first = 1e300, last = -1e300, weight = 0.0, mean = 0.0;
    for (const s4285gen::Path& p : config.Paths) {
        const double lagsPerMs = config.SampleRate / 2.0 / 1000.0;
        truth.Lags.push_back(std::fmod(12.0 + p.DelayMs * lagsPerMs, 512.0));
        const double power = std::pow(10.0, p.GainDb / 10.0) / 2.0 * scale * scale;
        truth.Dbfs.push_back(10.0 * std::log10(power));
        if (p.GainDb >= strongest - 20.0) {
            first = std::min(first, p.DelayMs);
            last = std::max(last, p.DelayMs);
        }
        weight += std::pow(10.0, p.GainDb / 10.0);
        mean += std::pow(10.0, p.GainDb / 10.0) * p.DelayMs;
    }
    mean /= weight;
    double spread = 0.0;
    for (const s4285gen::Path& p : config.Paths)
        spread += std::pow(10.0, p.GainDb / 10.0) * (p.DelayMs - mean) * (p.DelayMs - mean);
    truth.MultipathSpreadMs = last - first;
    truth.RmsDelaySpreadMs = std::sqrt(spread / weight);
    return truth;
}

Run RunMeasurement(const s4285gen::Config& config, const RunOptions& options) {
    Run run;
    const int32_t mode = config.SampleRate == 8000 ? dsp::ModeAmateur : dsp::ModeNato;
    // A second more, so that the last minute of Seconds ends within the input.
    std::vector<int16_t> samples(size_t((options.Seconds + 1.0) * config.SampleRate));
    s4285gen::Generator(config).Generate(samples.data(), samples.size());

    dsp::Settings settings;
    dsp::ChainControls controls;
    auto chain = dsp::MakeChain(mode, controls, settings);
    if (options.AutoClock) {
        run.Clock = MeasureClock(samples, mode, config.SampleRate, options.ClockSeconds);
        if (run.Clock) {
            const analysis::ClockSetting setting =
                analysis::SplitClockCorrection(run.Clock->TotalPpm);
            settings.ClockPpm = setting.ClockPpm;
            settings.ClockOffset = setting.ClockOffset;
        }
        if (options.ClockOnly) return run;
    }

    analysis::MeasurementStage stage;
    Clock::duration inStage{};
    int64_t blocks = 0, samplesIn = 0;
    double minuteEnd = 60.0;
    dsp::DisplayHooks hooks;
    hooks.BlockProcessed = [&](const dsp::ChainState& state) {
        const double timeS =
            double(samplesIn - (dsp::BlockLen - 1 - state.Intake.ResampleInputPos)) /
            config.SampleRate;
        const auto start = Clock::now();
        run.Blocks.push_back(stage.Add(state, settings));
        if (timeS >= minuteEnd) {
            run.Minutes.push_back(stage.FinishMinute());
            run.Minutes.back().StartS = minuteEnd - 60.0;
            minuteEnd += 60.0;
        }
        inStage += Clock::now() - start;
        run.PeakLags.push_back(state.Peak.PeakLag);
        run.TimesS.push_back(timeS);
        ++blocks;
    };
    const auto start = Clock::now();
    for (size_t at = 0; at + dsp::BlockLen <= samples.size(); at += dsp::BlockLen) {
        samplesIn = int64_t(at) + dsp::BlockLen;
        dsp::ResampleBuffer(*chain, settings, controls, hooks, &samples[at], 2 * dsp::BlockLen);
    }
    const Clock::duration total = Clock::now() - start;
    run.StageSeconds = Seconds(inStage);
    run.ChainSeconds = Seconds(total - inStage);
    return run;
}

} // namespace bench
