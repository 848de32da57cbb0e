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
#include "signalgen/s4285gen.h"

namespace {

constexpr int kRecordingBlocks = 512;

// The same 512 buffers for both measurements.
const std::vector<int16_t>& Recording() {
    static const std::vector<int16_t> samples = [] {
        sim::Config config = sim::NatoConfig();
        config.paths = {sim::Path{.delayMs = 1.0, .gainDb = 0.0, .dopplerHz = 0.6},
                        sim::Path{.delayMs = 3.5, .gainDb = -4.0, .dopplerHz = -1.1}};
        config.snrDb = 20;
        std::vector<int16_t> out(static_cast<size_t>(kRecordingBlocks) * rx::BlockLen);
        sim::Generator(config).Generate(out.data(), out.size());
        return out;
    }();
    return samples;
}

void RunChain(benchmark::State& state, const rx::DisplayHooks& hooks, rx::ChainState& chain,
              const rx::Settings& settings, const rx::ChainControls& controls) {
    const std::vector<int16_t>& samples = Recording();
    int64_t block = 0;
    for (auto _ : state) {
        const int16_t* buffer = samples.data() + (block % kRecordingBlocks) * rx::BlockLen;
        rx::ResampleBuffer(chain, settings, controls, hooks, buffer, 2 * rx::BlockLen);
        ++block;
    }
    state.SetItemsProcessed(block);
    state.counters["blocks/s"] =
        benchmark::Counter(static_cast<double>(block), benchmark::Counter::kIsRate);
}

void BM_BareChain(benchmark::State& state) {
    auto chain = rx::MakeChainState();
    rx::Settings settings;
    rx::ChainControls controls;
    rx::SetSignalParameters(*chain, controls, settings);
    rx::BuildSignalTables(chain->Tables);
    RunChain(state, rx::DisplayHooks{}, *chain, settings, controls);
}
BENCHMARK(BM_BareChain)->Unit(benchmark::kMicrosecond);

void BM_ChainWithPaintersAndSnapshots(benchmark::State& state) {
    QTemporaryDir folder;
    auto chain = rx::MakeChainState();
    rx::Settings settings;
    rx::ChainControls controls;
    rx::SetSignalParameters(*chain, controls, settings);
    rx::BuildSignalTables(chain->Tables);
    auto display = std::make_unique<rx::DisplayState>();
    display->SnapshotFolder = folder.path();
    display->AutoSaveCorrelogram = rx::SwitchOn;
    display->AutoSaveDopplergram = rx::SwitchOn;
    display->AutoSaveScattergram = rx::SwitchOn;
    const rx::DisplayHooks hooks = rx::MakeDisplayHooks(*display, settings, controls);
    RunChain(state, hooks, *chain, settings, controls);
    state.counters["snapshots"] = static_cast<double>(display->SnapshotsWritten);
}
BENCHMARK(BM_ChainWithPaintersAndSnapshots)->Unit(benchmark::kMicrosecond);

// One painter at a time: 0 correlogram, 1 dopplergram, 2 scattergram,
// 3 correlation trace, 4 tune indicator (no snapshots).
void BM_ChainWithOnePainter(benchmark::State& state) {
    auto chain = rx::MakeChainState();
    rx::Settings settings;
    rx::ChainControls controls;
    rx::SetSignalParameters(*chain, controls, settings);
    rx::BuildSignalTables(chain->Tables);
    auto display = std::make_unique<rx::DisplayState>();
    const rx::DisplayHooks all = rx::MakeDisplayHooks(*display, settings, controls);
    rx::DisplayHooks hooks;
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
