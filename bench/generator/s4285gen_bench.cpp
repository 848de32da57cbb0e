// SPDX-License-Identifier: GPL-3.0-or-later
// Speed of the STANAG 4285 test-signal generator, as seconds of recording produced
// per second of one core ("audio_s" rate). A 10-minute two-path recording should
// take a few seconds at most, i.e. a rate well above 100.
#include "s4285gen/s4285gen.h"

#include <benchmark/benchmark.h>

#include <vector>

namespace {

void Generate(benchmark::State& state, const s4285gen::Config& config) {
    s4285gen::Generator generator(config);
    std::vector<int16_t> buffer(config.SampleRate); // one second per iteration
    for (auto _ : state) {
        generator.Generate(buffer.data(), buffer.size());
        benchmark::DoNotOptimize(buffer.data());
    }
    state.counters["audio_s"] =
        benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}

void OnePath(benchmark::State& state) {
    Generate(state, s4285gen::NatoConfig());
}

void TwoPaths(benchmark::State& state) {
    s4285gen::Config c = s4285gen::NatoConfig();
    c.Paths = {{0, 0, 0.5, 0}, {3, -4, -1, 0}};
    Generate(state, c);
}

void TwoFadingPaths(benchmark::State& state) {
    s4285gen::Config c = s4285gen::NatoConfig();
    c.Paths = {{0, 0, 0.5, 0.3}, {3, -4, -1, 1.0}};
    Generate(state, c);
}

void LiveDemo(benchmark::State& state) {
    Generate(state, s4285gen::LiveDemoConfig(9600));
}

BENCHMARK(OnePath);
BENCHMARK(TwoPaths);
BENCHMARK(TwoFadingPaths);
BENCHMARK(LiveDemo);

} // namespace
