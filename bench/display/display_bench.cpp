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

constexpr int kRecordingBlocks = 512;

// The same 512 buffers for both measurements.
const std::vector<int16_t>& Recording() {
    static const std::vector<int16_t> samples = [] {
        s4285gen::Config config = s4285gen::NatoConfig();
        config.paths = {s4285gen::Path{.delayMs = 1.0, .gainDb = 0.0, .dopplerHz = 0.6},
                        s4285gen::Path{.delayMs = 3.5, .gainDb = -4.0, .dopplerHz = -1.1}};
        config.snrDb = 20;
        std::vector<int16_t> out(static_cast<size_t>(kRecordingBlocks) * dsp::BlockLen);
        s4285gen::Generator(config).Generate(out.data(), out.size());
        return out;
    }();
    return samples;
}

void RunChain(benchmark::State& state, const dsp::DisplayHooks& hooks, dsp::ChainState& chain,
              const dsp::Settings& settings, const dsp::ChainControls& controls) {
    const std::vector<int16_t>& samples = Recording();
    int64_t block = 0;
    for (auto _ : state) {
        const int16_t* buffer = samples.data() + (block % kRecordingBlocks) * dsp::BlockLen;
        dsp::ResampleBuffer(chain, settings, controls, hooks, buffer, 2 * dsp::BlockLen);
        ++block;
    }
    state.SetItemsProcessed(block);
    state.counters["blocks/s"] =
        benchmark::Counter(static_cast<double>(block), benchmark::Counter::kIsRate);
}

void BM_BareChain(benchmark::State& state) {
    auto chain = dsp::MakeChainState();
    dsp::Settings settings;
    dsp::ChainControls controls;
    dsp::SetSignalParameters(*chain, controls, settings);
    dsp::BuildSignalTables(chain->Tables);
    RunChain(state, dsp::DisplayHooks{}, *chain, settings, controls);
}
BENCHMARK(BM_BareChain)->Unit(benchmark::kMicrosecond);

void BM_ChainWithPaintersAndSnapshots(benchmark::State& state) {
    QTemporaryDir folder;
    auto chain = dsp::MakeChainState();
    dsp::Settings settings;
    dsp::ChainControls controls;
    dsp::SetSignalParameters(*chain, controls, settings);
    dsp::BuildSignalTables(chain->Tables);
    auto display = std::make_unique<display::DisplayState>();
    display->SnapshotFolder = folder.path();
    display->AutoSaveCorrelogram = display::SwitchOn;
    display->AutoSaveDopplergram = display::SwitchOn;
    display->AutoSaveScattergram = display::SwitchOn;
    const dsp::DisplayHooks hooks = display::MakeDisplayHooks(*display, settings, controls);
    RunChain(state, hooks, *chain, settings, controls);
    state.counters["snapshots"] = static_cast<double>(display->SnapshotsWritten);
}
BENCHMARK(BM_ChainWithPaintersAndSnapshots)->Unit(benchmark::kMicrosecond);

// One painter at a time: 0 correlogram, 1 dopplergram, 2 scattergram,
// 3 correlation trace, 4 tune indicator (no snapshots).
void BM_ChainWithOnePainter(benchmark::State& state) {
    auto chain = dsp::MakeChainState();
    dsp::Settings settings;
    dsp::ChainControls controls;
    dsp::SetSignalParameters(*chain, controls, settings);
    dsp::BuildSignalTables(chain->Tables);
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
BENCHMARK(BM_ChainWithOnePainter)->DenseRange(0, 4)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv); // the time marks need fonts
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
