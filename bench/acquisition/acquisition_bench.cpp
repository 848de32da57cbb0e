// SPDX-License-Identifier: GPL-3.0-or-later
// The acquisition's work per block against the chain's: the block quality
// (sync SNR, lock, further paths), the clock-error estimator and the whole
// monitor of a running receiver, each fed the blocks of a two-path signal, and
// ProcessBlock itself for the ratio.  Also the estimate over ten minutes of
// blocks, which the window forms once every 16 blocks.
#include <benchmark/benchmark.h>

#include <vector>

#include "receiver/analysis/acquisition_monitor.h"
#include "receiver/analysis/clock_estimator.h"
#include "receiver/analysis/signal_quality.h"
#include "receiver/dsp/sync_chain.h"
#include "s4285gen/s4285gen.h"

namespace {

// The peak stage's output of `blocks` blocks of a two-path signal 50 ppm off.
std::vector<dsp::PeakState> Blocks(int blocks) {
    s4285gen::Config config = s4285gen::NatoConfig();
    config.Paths = {{.DelayMs = 1, .SpreadHz = 0.2}, {.DelayMs = 3, .GainDb = -3, .SpreadHz = 0.5}};
    config.SnrDb = 10;
    config.ClockPpm = 50;
    s4285gen::Generator generator(config);
    dsp::SyncChain chain(dsp::ModeNato, 0.0L);
    std::vector<dsp::PeakState> peaks;
    std::vector<int16_t> buffer(dsp::BlockLen);
    while (int(peaks.size()) < blocks) {
        generator.Generate(buffer.data(), buffer.size());
        chain.Feed(buffer.data(), dsp::BlockLen,
                   [&](const dsp::ChainState& state) { peaks.push_back(state.Peak); });
    }
    return peaks;
}

const std::vector<dsp::PeakState>& SomeBlocks() {
    static const std::vector<dsp::PeakState> Peaks = Blocks(1024);
    return Peaks;
}

void ProcessBlockAlone(benchmark::State& state) {
    dsp::Settings settings;
    dsp::ChainControls controls;
    auto chain = dsp::MakeChain(dsp::ModeNato, controls, settings);
    const dsp::DisplayHooks hooks;
    for (auto _ : state)
        dsp::ProcessBlock(*chain, settings, controls, hooks);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(ProcessBlockAlone)->Unit(benchmark::kMicrosecond);

void BlockQuality(benchmark::State& state) {
    const auto& peaks = SomeBlocks();
    analysis::QualityTracker quality;
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(quality.Add(peaks[i], 9600).PeakSnrDb);
        i = (i + 1) % peaks.size();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BlockQuality)->Unit(benchmark::kMicrosecond);

void ClockEstimatorAdd(benchmark::State& state) {
    const auto& peaks = SomeBlocks();
    analysis::ClockEstimator estimator;
    size_t i = 0;
    for (auto _ : state) {
        estimator.Add(peaks[i].SyncPower, 0.0L, 9600);
        i = (i + 1) % peaks.size();
        if (estimator.Blocks() > 16000) estimator.Restart();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(ClockEstimatorAdd)->Unit(benchmark::kMicrosecond);

// The whole monitor after a block, as the window and a run without one use it
// (quality, events, level, clock measurement and path placing).
void MonitorOnBlock(benchmark::State& state) {
    const auto& peaks = SomeBlocks();
    auto chain = dsp::MakeChainState();
    dsp::Settings settings;
    dsp::ChainControls controls;
    analysis::AcquisitionMonitor monitor(analysis::MonitorOptions{.AutoPlacePaths = true});
    monitor.StartClockMeasurement();
    size_t i = 0;
    for (auto _ : state) {
        chain->Peak = peaks[i];
        benchmark::DoNotOptimize(monitor.OnBlock(*chain, settings, controls));
        i = (i + 1) % peaks.size();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(MonitorOnBlock)->Unit(benchmark::kMicrosecond);

// One estimate over ten minutes of blocks (5625).
void ClockEstimateOfTenMinutes(benchmark::State& state) {
    static const std::vector<dsp::PeakState> Peaks = Blocks(5625);
    analysis::ClockEstimator estimator;
    for (const dsp::PeakState& peak : Peaks)
        estimator.Add(peak.SyncPower, 0.0L, 9600);
    for (auto _ : state)
        benchmark::DoNotOptimize(estimator.Estimate().TotalPpm);
}
BENCHMARK(ClockEstimateOfTenMinutes)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
