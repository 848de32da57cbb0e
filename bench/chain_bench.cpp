// SPDX-License-Identifier: GPL-3.0-or-later
// Blocks per second of the block chain on one core, against the real-time
// rate of the NATO mode (9600 / 1024 = 9.375 blocks per second).
#include <benchmark/benchmark.h>

#include <vector>

#include "receiver/dsp/chain.h"
#include "signalgen/s4285gen.h"

namespace {

std::vector<int16_t> Recording(int blocks) {
    sim::Config config = sim::NatoConfig();
    config.paths = {{.delayMs = 3.0}, {.delayMs = 5.5, .gainDb = -4.0, .dopplerHz = 0.7}};
    config.snrDb = 15;
    std::vector<int16_t> samples(size_t(blocks) * rx::BlockLen);
    sim::Generator(config).Generate(samples.data(), samples.size());
    return samples;
}

// The whole chain from sound buffers on: resampler (with a clock correction),
// intake, ProcessBlock with every computing step; no display attached.
void ProcessBlocks(benchmark::State& state) {
    const int blocks = 256;
    const auto samples = Recording(blocks);
    auto chain = rx::MakeChainState();
    rx::Settings settings;
    settings.ClockPpm = 3;
    rx::ChainControls controls;
    rx::SetSignalParameters(*chain, controls, settings);
    rx::BuildSignalTables(chain->Tables);
    const rx::DisplayHooks hooks;
    for (auto _ : state) {
        for (int b = 0; b < blocks; ++b)
            rx::ResampleBuffer(*chain, settings, controls, hooks,
                               &samples[size_t(b) * rx::BlockLen], 2 * rx::BlockLen);
        benchmark::DoNotOptimize(chain->Peak.DopplerHz);
    }
    state.SetItemsProcessed(state.iterations() * blocks);
    state.counters["x_real_time"] = benchmark::Counter(double(state.iterations()) * blocks / 9.375,
                                                       benchmark::Counter::kIsRate);
}
BENCHMARK(ProcessBlocks)->Unit(benchmark::kMillisecond);

// The per-block steps on their own, for where the time goes.
void ProcessBlockOnly(benchmark::State& state) {
    auto chain = rx::MakeChainState();
    rx::Settings settings;
    rx::ChainControls controls;
    rx::SetSignalParameters(*chain, controls, settings);
    rx::BuildSignalTables(chain->Tables);
    const auto samples = Recording(4);
    for (int n = 0; n < rx::BlockLen; ++n)
        chain->Intake.SampleBlock[n] = samples[size_t(n)] / 32767.0f;
    const rx::DisplayHooks hooks;
    for (auto _ : state)
        rx::ProcessBlock(*chain, settings, controls, hooks);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(ProcessBlockOnly)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
