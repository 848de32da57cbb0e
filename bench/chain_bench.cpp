// SPDX-License-Identifier: GPL-3.0-or-later
// Blocks per second of the block chain on one core, against the real-time
// rate of the NATO mode (9600 / 1024 = 9.375 blocks per second), and against
// this core's arithmetic limit: the op counts of one block (chain_ops.h)
// divided by the measured throughput of each op class (core_throughput.h).
// The summary at the end is computed from the figures of this one run.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <vector>

#include "bench/chain_ops.h"
#include "bench/core_throughput.h"
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

// Each stage on its own over a running chain (a block of the test signal as
// input), for where the time of ProcessBlock goes.
struct StageChain {
    std::unique_ptr<rx::ChainState> chain = rx::MakeChainState();
    rx::Settings settings;
    rx::ChainControls controls;
    StageChain() {
        rx::SetSignalParameters(*chain, controls, settings);
        rx::BuildSignalTables(chain->Tables);
        const auto samples = Recording(4);
        for (int n = 0; n < rx::BlockLen; ++n)
            chain->Intake.SampleBlock[n] = samples[size_t(n)] / 32767.0f;
        const rx::DisplayHooks hooks;
        for (int b = 0; b < 3; ++b)
            rx::ProcessBlock(*chain, settings, controls, hooks);
    }
};

void StageDownconvert(benchmark::State& state) {
    StageChain s;
    for (auto _ : state) {
        rx::Downconvert(s.chain->Tables, s.chain->Intake.SampleBlock, s.chain->Downconverter);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(StageDownconvert)->Unit(benchmark::kMicrosecond);

void StageGramCorrelate(benchmark::State& state) {
    StageChain s;
    for (auto _ : state) {
        rx::GramCorrelate(s.chain->Tables, s.chain->Downconverter.Baseband, s.settings.CorrGain,
                          s.controls, s.chain->Correlator);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(StageGramCorrelate)->Unit(benchmark::kMicrosecond);

// Four spectra per 256 blocks: the mean over whole cycles.
void StageUpdateDoppler(benchmark::State& state) {
    StageChain s;
    for (auto _ : state) {
        for (int b = 0; b < rx::SlowRows; ++b)
            rx::UpdateDoppler(s.chain->Tables, s.chain->Correlator.CorrLags, s.controls,
                              s.chain->Doppler);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * rx::SlowRows);
}
BENCHMARK(StageUpdateDoppler)->Unit(benchmark::kMillisecond);

void StageSearchSyncPeak(benchmark::State& state) {
    StageChain s;
    for (auto _ : state) {
        rx::SearchSyncPeak(s.chain->Tables, s.chain->Downconverter.Baseband, s.chain->SampleRate,
                           s.chain->Peak);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(StageSearchSyncPeak)->Unit(benchmark::kMicrosecond);

// This core's throughput of one op class at one width.
void Throughput(benchmark::State& state, bench::OpClass op, bench::Width width) {
    int64_t done = 0;
    for (auto _ : state)
        done += bench::RunOperations(op, width, 1 << 16);
    state.SetItemsProcessed(done);
}

std::string ThroughputName(bench::OpClass op, bench::Width width) {
    return std::string("Throughput/") + bench::OpClassName(op) + "/" + bench::WidthName(width);
}

void RegisterThroughputs() {
    for (int i = 0; i < bench::OpClassCount; ++i) {
        const auto op = static_cast<bench::OpClass>(i);
        for (auto width : {bench::Width::Sse128, bench::Width::Avx256, bench::Width::Avx512,
                           bench::Width::X87}) {
            if (!bench::OpClassHasWidth(op, width) || !bench::WidthSupported(width)) continue;
            benchmark::RegisterBenchmark(ThroughputName(op, width).c_str(), Throughput, op, width)
                ->MinTime(0.2);
        }
    }
}

int CorrelatorTaps() {
    rx::SignalTables tables;
    rx::BuildSignalTables(tables);
    return int(std::count_if(tables.CorrReference.begin(), tables.CorrReference.end(),
                             [](float tap) { return tap != 0.0f; }));
}

// Prints the usual table, and at the end the chain against the limit.
class LimitReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.error_occurred || run.run_type != Run::RT_Iteration) continue;
            const auto rate = run.counters.find("items_per_second");
            if (rate != run.counters.end()) rates_[run.run_name.function_name] = rate->second.value;
        }
        ConsoleReporter::ReportRuns(runs);
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        using bench::OpClass;
        // The best width of each class: the limit assumes every op could run there.
        std::array<double, bench::OpClassCount> best{};
        std::printf("\nThroughput of this core, element operations per ns (best width):\n");
        for (int i = 0; i < bench::OpClassCount; ++i) {
            const auto op = static_cast<OpClass>(i);
            std::printf("  %-9s", bench::OpClassName(op));
            for (auto width : {bench::Width::Sse128, bench::Width::Avx256, bench::Width::Avx512,
                               bench::Width::X87}) {
                const auto it = rates_.find(ThroughputName(op, width));
                if (it == rates_.end()) continue;
                std::printf("  %s %6.2f", bench::WidthName(width), it->second / 1e9);
                best[i] = std::max(best[i], it->second);
            }
            std::printf("\n");
        }
        for (double b : best)
            if (b <= 0) {
                std::printf("(throughputs not all measured: no limit; run without a filter)\n");
                return;
            }

        // Seconds at the limit: each class's count at its best throughput, the
        // classes one after another (no overlap between them).
        const auto limitSeconds = [&](const bench::OpCount& count, bool withConversions) {
            double seconds = 0;
            for (int i = 0; i < bench::OpClassCount; ++i) {
                if (!withConversions && static_cast<OpClass>(i) == OpClass::Convert) continue;
                seconds += count.ops[size_t(i)] / best[size_t(i)];
            }
            return seconds;
        };
        const auto stages = bench::ProcessBlockOps(CorrelatorTaps());
        bench::OpCount total;
        std::printf("\nOne block: ops by class, time at the limit against measured\n");
        std::printf("  %-15s", "stage");
        for (int i = 0; i < bench::OpClassCount; ++i)
            std::printf(" %8s", bench::OpClassName(static_cast<OpClass>(i)));
        std::printf(" %7s %9s %9s %6s\n", "calls", "limit_us", "meas_us", "share");
        const auto row = [&](const std::string& name, const bench::OpCount& count,
                             const std::string& measured) {
            std::printf("  %-15s", name.c_str());
            for (double n : count.ops)
                std::printf(" %8.0f", n);
            const double limitUs = limitSeconds(count, true) * 1e6;
            std::printf(" %7.1f %9.2f", count.calls, limitUs);
            const auto it = rates_.find(measured);
            if (it != rates_.end()) {
                const double measuredUs = 1e6 / it->second;
                std::printf(" %9.2f %5.0f%%", measuredUs, 100 * limitUs / measuredUs);
            }
            std::printf("\n");
        };
        for (const auto& stage : stages) {
            row(stage.name, stage.count, "Stage" + stage.name);
            total += stage.count;
        }
        row("ProcessBlock", total, "ProcessBlockOnly");

        const auto measured = rates_.find("ProcessBlockOnly");
        if (measured == rates_.end()) return;
        const double limitBlocks = 1 / limitSeconds(total, true);
        const double bareLimitBlocks = 1 / limitSeconds(total, false);
        std::printf("\nProcessBlock: %.0f blocks/s; limit %.0f blocks/s: %.2f of the limit\n",
                    measured->second, limitBlocks, measured->second / limitBlocks);
        std::printf("  counting adds, multiplies, divisions and roots only (no conversions):"
                    " limit %.0f blocks/s, %.2f of it\n",
                    bareLimitBlocks, measured->second / bareLimitBlocks);
    }

  private:
    std::map<std::string, double> rates_;
};

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RegisterThroughputs();
    LimitReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
