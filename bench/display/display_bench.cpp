// SPDX-License-Identifier: GPL-3.0-or-later
// Blocks per second of the block chain alone and of the chain with all five
// painters and all three auto-saves, measured in one run on the same
// generated two-path recording.  Run: build/bin/display_bench
#include <QGuiApplication>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "receiver/display/painters.h"
#include "s4285gen/s4285gen.h"

namespace {

constexpr int RecordingBlocks = 512;

// The same 512 buffers for both measurements.
const std::vector<int16_t>& Recording() {
    static const std::vector<int16_t> Samples = [] {
        s4285gen::Config config = s4285gen::NatoConfig();
        config.Paths = {s4285gen::Path{.DelayMs = 1.0, .GainDb = 0.0, .DopplerHz = 0.6},
                        s4285gen::Path{.DelayMs = 3.5, .GainDb = -4.0, .DopplerHz = -1.1}};
        config.SnrDb = 20;
        std::vector<int16_t> out(static_cast<size_t>(RecordingBlocks) * dsp::BlockLen);
        s4285gen::Generator(config).Generate(out.data(), out.size());
        return out;
    }();
    return Samples;
}

void RunChain(benchmark::State& state, const dsp::DisplayHooks& hooks, dsp::ChainState& chain,
              const dsp::Settings& settings, const dsp::ChainControls& controls) {
    const std::vector<int16_t>& samples = Recording();
    int64_t block = 0;
    for (auto _ : state) {
        const int16_t* buffer = samples.data() + (block % RecordingBlocks) * dsp::BlockLen;
        dsp::ResampleBuffer(chain, settings, controls, hooks, buffer, 2 * dsp::BlockLen);
        ++block;
    }
    state.SetItemsProcessed(block);
    state.counters["blocks/s"] =
        benchmark::Counter(static_cast<double>(block), benchmark::Counter::kIsRate);
}

void BmBareChain(benchmark::State& state) {
    dsp::Settings settings;
    dsp::ChainControls controls;
    auto chain = dsp::MakeChain(dsp::ModeNato, controls, settings);
    RunChain(state, dsp::DisplayHooks{}, *chain, settings, controls);
}
BENCHMARK(BmBareChain)->Unit(benchmark::kMicrosecond);

void BmChainWithPaintersAndSnapshots(benchmark::State& state) {
    QTemporaryDir folder;
    dsp::Settings settings;
    dsp::ChainControls controls;
    auto chain = dsp::MakeChain(dsp::ModeNato, controls, settings);
    auto display = std::make_unique<display::DisplayState>();
    display->SnapshotFolder = folder.path();
    display->AutoSaveCorrelogram = display::SwitchOn;
    display->AutoSaveDopplergram = display::SwitchOn;
    display->AutoSaveScattergram = display::SwitchOn;
    const dsp::DisplayHooks hooks = display::MakeDisplayHooks(*display, settings, controls);
    RunChain(state, hooks, *chain, settings, controls);
    state.counters["snapshots"] = static_cast<double>(display->SnapshotsWritten);
}
BENCHMARK(BmChainWithPaintersAndSnapshots)->Unit(benchmark::kMicrosecond);

// One painter at a time: 0 correlogram, 1 dopplergram, 2 scattergram,
// 3 correlation trace, 4 tune indicator (no snapshots).
void BmChainWithOnePainter(benchmark::State& state) {
    dsp::Settings settings;
    dsp::ChainControls controls;
    auto chain = dsp::MakeChain(dsp::ModeNato, controls, settings);
    auto display = std::make_unique<display::DisplayState>();
    const dsp::DisplayHooks all = display::MakeDisplayHooks(*display, settings, controls);
    dsp::DisplayHooks hooks;
    switch (state.range(0)) {
    case 0:
        hooks.CorrelogramColumn = all.CorrelogramColumn;
        break;
    case 1:
        hooks.DopplergramColumn = all.DopplergramColumn;
        break;
    case 2:
        hooks.ScattergramColumn = all.ScattergramColumn;
        break;
    case 3:
        hooks.CorrelationTrace = all.CorrelationTrace;
        break;
    default:
        hooks.TuneIndicator = all.TuneIndicator;
        break;
    }
    RunChain(state, hooks, *chain, settings, controls);
}
BENCHMARK(BmChainWithOnePainter)->DenseRange(0, 4)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv); // the time marks need fonts
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
