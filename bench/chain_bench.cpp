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
#include <unistd.h>
#include <utility>
#include <vector>

#include "bench/chain_ops.h"
#include "bench/core_throughput.h"
#include "receiver/analysis/measurement.h"
#include "receiver/dsp/chain.h"
#include "s4285gen/channels.h"
#include "s4285gen/s4285gen.h"

namespace {

std::vector<int16_t> Recording(int blocks) {
    s4285gen::Config config = s4285gen::NatoConfig();
    config.Paths = {{.DelayMs = 3.0}, {.DelayMs = 5.5, .GainDb = -4.0, .DopplerHz = 0.7}};
    config.SnrDb = 15;
    std::vector<int16_t> samples(size_t(blocks) * dsp::BlockLen);
    s4285gen::Generator(config).Generate(samples.data(), samples.size());
    return samples;
}

// The whole chain from sound buffers on: resampler (with a clock correction),
// intake, ProcessBlock with every computing step; no display attached.
void ProcessBlocks(benchmark::State& state) {
    const int blocks = 256;
    const auto samples = Recording(blocks);
    dsp::Settings settings;
    settings.ClockPpm = 3;
    dsp::ChainControls controls;
    auto chain = dsp::MakeChain(dsp::ModeNato, controls, settings);
    const dsp::DisplayHooks hooks;
    for (auto _ : state) {
        for (int b = 0; b < blocks; ++b)
            dsp::ResampleBuffer(*chain, settings, controls, hooks,
                                &samples[size_t(b) * dsp::BlockLen], 2 * dsp::BlockLen);
        benchmark::DoNotOptimize(chain->Peak.DopplerHz);
    }
    state.SetItemsProcessed(state.iterations() * blocks);
    state.counters["x_real_time"] = benchmark::Counter(double(state.iterations()) * blocks / 9.375,
                                                       benchmark::Counter::kIsRate);
}
BENCHMARK(ProcessBlocks)->Unit(benchmark::kMillisecond);

// A running chain, a block of the test signal as its input, for the per-block
// and per-stage benchmarks.
struct StageChain {
    std::unique_ptr<dsp::ChainState> Chain;
    dsp::Settings Settings;
    dsp::ChainControls Controls;
    StageChain() {
        Chain = dsp::MakeChain(dsp::ModeNato, Controls, Settings);
        const auto samples = Recording(4);
        for (int n = 0; n < dsp::BlockLen; ++n)
            Chain->Intake.SampleBlock[n] = samples[size_t(n)] / 32767.0f;
        const dsp::DisplayHooks hooks;
        for (int b = 0; b < 3; ++b)
            dsp::ProcessBlock(*Chain, Settings, Controls, hooks);
    }
};

// The per-block steps on their own, for where the time goes.
void ProcessBlockOnly(benchmark::State& state) {
    StageChain r;
    const dsp::DisplayHooks hooks;
    for (auto _ : state)
        dsp::ProcessBlock(*r.Chain, r.Settings, r.Controls, hooks);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(ProcessBlockOnly)->Unit(benchmark::kMicrosecond);

// The measurement stage after each block (receiver/acquisition/measurement.h),
// on its own: fed over and over the chain as 64 blocks of a signal left it,
// a channel-table row every minute.  Arg 0: this benchmark's two-path signal;
// arg 1: the Good channel, two fading paths 0.5 ms apart in one peak.
void MeasurementStageOnly(benchmark::State& state) {
    s4285gen::Config config = s4285gen::WattersonConfig(s4285gen::Watterson::Good, 15);
    if (state.range(0) == 0) {
        config.Paths = {{.DelayMs = 3.0}, {.DelayMs = 5.5, .GainDb = -4.0, .DopplerHz = 0.7}};
        config.SnrDb = 15;
    }
    s4285gen::Generator generator(config);
    StageChain r;
    std::vector<std::unique_ptr<dsp::ChainState>> blocks;
    dsp::DisplayHooks hooks;
    hooks.BlockProcessed = [&](const dsp::ChainState& chain) {
        if (blocks.size() < 64) blocks.push_back(std::make_unique<dsp::ChainState>(chain));
    };
    std::vector<int16_t> buffer(dsp::BlockLen);
    while (blocks.size() < 64) {
        generator.Generate(buffer.data(), buffer.size());
        dsp::ResampleBuffer(*r.Chain, r.Settings, r.Controls, hooks, buffer.data(),
                            2 * dsp::BlockLen);
    }
    analysis::MeasurementStage stage;
    const int64_t minute = 563;
    size_t next = 0;
    const auto one = [&] {
        stage.Add(*blocks[next], r.Settings);
        next = (next + 1) % blocks.size();
        if (stage.MinuteBlocks() >= minute) stage.FinishMinute();
    };
    for (int64_t b = 0; b < 2 * minute; ++b) // the stage's rings filled
        one();
    for (auto _ : state)
        one();
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(MeasurementStageOnly)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// Each stage on its own, for where the time of ProcessBlock goes.
void StageDownconvert(benchmark::State& state) {
    StageChain s;
    for (auto _ : state) {
        dsp::Downconvert(s.Chain->Tables, s.Chain->Intake.SampleBlock, s.Chain->Downconverter);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(StageDownconvert)->Unit(benchmark::kMicrosecond);

// The kernels inside the stages, each in every instruction set this CPU has.
using Kernel = void (*)(StageChain& s, dsp::VectorIsa isa);

void KernelBench(benchmark::State& state, Kernel kernel, dsp::VectorIsa isa) {
    StageChain s;
    for (auto _ : state) {
        kernel(s, isa);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}

void StageGramCorrelate(benchmark::State& state) {
    StageChain s;
    for (auto _ : state) {
        dsp::GramCorrelate(s.Chain->Tables, s.Chain->Downconverter.Baseband, s.Settings.CorrGain,
                           s.Controls, s.Chain->Correlator);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(StageGramCorrelate)->Unit(benchmark::kMicrosecond);

// Four spectra per 256 blocks: the mean over whole cycles.
void StageUpdateDoppler(benchmark::State& state) {
    StageChain s;
    for (auto _ : state) {
        for (int b = 0; b < dsp::SlowRows; ++b)
            dsp::UpdateDoppler(s.Chain->Tables, s.Chain->Correlator.CorrLags, s.Controls,
                               s.Chain->Doppler);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * dsp::SlowRows);
}
BENCHMARK(StageUpdateDoppler)->Unit(benchmark::kMillisecond);

void StageSearchSyncPeak(benchmark::State& state) {
    StageChain s;
    for (auto _ : state) {
        dsp::SearchSyncPeak(s.Chain->Tables, s.Chain->Downconverter.Baseband, s.Chain->SampleRate,
                            s.Chain->Peak);
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

int CorrelatorTaps() {
    dsp::SignalTables tables;
    dsp::BuildSignalTables(tables);
    return int(std::count_if(tables.CorrReference.begin(), tables.CorrReference.end(),
                             [](float tap) { return tap != 0.0f; }));
}

// The stages' op counts, and the whole block's last.
std::vector<bench::StageOps> BlockOps() {
    auto stages = bench::ProcessBlockOps(CorrelatorTaps());
    bench::OpCount total;
    for (const auto& stage : stages)
        total += stage.Count;
    stages.push_back({"ProcessBlock", total});
    return stages;
}

// The float64 adds, multiplies and conversions of one block (or stage) issued
// together from registers at the widest width: blocks per second if these
// were all there was to do.
void MixedLimit(benchmark::State& state, bench::OpCount count) {
    using bench::OpClass;
    double done = 0;
    for (auto _ : state)
        done += bench::RunMix(bench::WidestWidth(), count[OpClass::F64Add], count[OpClass::F64Mul],
                              count[OpClass::Convert], 1 << 10);
    state.counters["blocks_per_second"] = benchmark::Counter(done, benchmark::Counter::kIsRate);
}

void RegisterLimitBenchmarks() {
    for (int i = 0; i < bench::OpClassCount; ++i) {
        const auto op = static_cast<bench::OpClass>(i);
        for (auto width : {bench::Width::Sse128, bench::Width::Avx256, bench::Width::Avx512,
                           bench::Width::X87}) {
            if (!bench::OpClassHasWidth(op, width) || !bench::WidthSupported(width)) continue;
            benchmark::RegisterBenchmark(ThroughputName(op, width).c_str(), Throughput, op, width)
                ->MinTime(0.2);
        }
    }
    for (const auto& stage : BlockOps())
        benchmark::RegisterBenchmark(("Mixed/" + stage.Name).c_str(), MixedLimit, stage.Count)
            ->MinTime(0.2);
    for (dsp::VectorIsa isa : dsp::SupportedVectorIsas()) {
        const std::string suffix = std::string("/") + dsp::VectorIsaName(isa);
        const std::pair<const char*, Kernel> kernels[] = {
            {"KernelLowpass",
             [](StageChain& s, dsp::VectorIsa isa) {
                 dsp::LowpassAll(s.Chain->Tables, s.Chain->Downconverter, isa);
             }},
            {"KernelCorrelate",
             [](StageChain& s, dsp::VectorIsa isa) {
                 dsp::CorrelateAllLags(s.Chain->Tables, s.Chain->Downconverter.Baseband,
                                       s.Chain->Correlator.CorrLags, isa);
             }},
            {"KernelSyncPowers",
             [](StageChain& s, dsp::VectorIsa isa) {
                 dsp::TwoLevelSyncPowers(s.Chain->Tables, s.Chain->Downconverter.Baseband,
                                         s.Chain->Peak.SyncPower, isa);
             }},
        };
        for (const auto& [name, kernel] : kernels)
            benchmark::RegisterBenchmark((name + suffix).c_str(), KernelBench, kernel, isa)
                ->Unit(benchmark::kMicrosecond);
    }
}

// Prints the usual table, and at the end the chain against the limit.
//
// The limit of a stage (or of the whole block) is the time this core needs
// for its arithmetic alone: its float64 adds, multiplies and conversions
// issued together (Mixed/..., measured: the core overlaps them as far as its
// units allow), plus its remaining classes one after another at their own
// throughput (float32 adds and multiplies, float64 divisions and roots, the
// x87 operations), each class at the widest width this CPU has.  Loads,
// stores, shuffles, index arithmetic and loop overhead count nothing.
class LimitReporter : public benchmark::ConsoleReporter {
  public:
    LimitReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.error_occurred || run.run_type != Run::RT_Iteration) continue;
            for (const char* counter : {"items_per_second", "blocks_per_second"}) {
                const auto rate = run.counters.find(counter);
                if (rate == run.counters.end()) continue;
                rates_[run.run_name.function_name] = rate->second;
                if (!run.run_name.args.empty())
                    rates_[run.run_name.function_name + "/" + run.run_name.args] = rate->second;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        StageShares();
        using bench::OpClass;
        std::array<double, bench::OpClassCount> best{};
        std::printf("\nThroughput of this core, element operations per ns:\n");
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
        if (std::count(best.begin(), best.end(), 0.0) > 0) {
            std::printf("(not every throughput measured: no limit; run without a filter)\n");
            return;
        }

        const auto serialSeconds = [&](const bench::OpCount& count, OpClass op) {
            return count[op] / best[size_t(op)];
        };
        std::printf("\nOne block: ops by class; time at the limit against measured\n");
        std::printf("  %-15s", "stage");
        for (int i = 0; i < bench::OpClassCount; ++i)
            std::printf(" %8s", bench::OpClassName(static_cast<OpClass>(i)));
        std::printf(" %6s %9s %9s %9s %6s\n", "calls", "mixed_us", "limit_us", "meas_us", "share");
        double blockLimit = 0, blockSerial = 0, blockOverlap = 0;
        for (const auto& stage : BlockOps()) {
            const bench::OpCount& count = stage.Count;
            const auto mixed = rates_.find("Mixed/" + stage.Name);
            if (mixed == rates_.end()) return;
            const double mixedSeconds = 1 / mixed->second;
            double seconds = mixedSeconds, serial = 0, overlap = 0;
            for (int i = 0; i < bench::OpClassCount; ++i) {
                const auto op = static_cast<OpClass>(i);
                const double alone = serialSeconds(count, op);
                serial += alone;
                overlap = std::max(overlap, alone);
                if (op != OpClass::F64Add && op != OpClass::F64Mul && op != OpClass::Convert)
                    seconds += alone;
            }
            std::printf("  %-15s", stage.Name.c_str());
            for (double n : count.Ops)
                std::printf(" %8.0f", n);
            std::printf(" %6.1f %9.2f %9.2f", count.Calls, mixedSeconds * 1e6, seconds * 1e6);
            const auto measured = rates_.find(stage.Name == "ProcessBlock" ? "ProcessBlockOnly"
                                                                           : "Stage" + stage.Name);
            if (measured != rates_.end()) {
                const double measuredSeconds = 1 / measured->second;
                std::printf(" %9.2f %5.0f%%", measuredSeconds * 1e6,
                            100 * seconds / measuredSeconds);
            }
            std::printf("\n");
            if (stage.Name == "ProcessBlock") {
                blockLimit = seconds;
                blockSerial = serial;
                blockOverlap = overlap;
            }
        }

        const auto measured = rates_.find("ProcessBlockOnly");
        if (measured == rates_.end()) return;
        const double blocks = measured->second;
        std::printf("\nProcessBlock: %.0f blocks/s; the limit %.0f blocks/s: %.2f of it\n", blocks,
                    1 / blockLimit, blocks * blockLimit);
        std::printf("  bounds for comparison: every class one after another %.0f blocks/s"
                    " (%.2f of it); every class at once, the busiest alone %.0f blocks/s"
                    " (%.2f of it)\n",
                    1 / blockSerial, blocks * blockSerial, 1 / blockOverlap, blocks * blockOverlap);
    }

  private:
    // The measurement stage against the bare chain, both from this run.
    void StageShares() const {
        const auto chain = rates_.find("ProcessBlockOnly");
        if (chain == rates_.end()) return;
        for (const char* signal : {"0", "1"}) {
            const auto stage = rates_.find(std::string("MeasurementStageOnly/") + signal);
            if (stage == rates_.end()) continue;
            std::printf(
                "\nMeasurement stage (%s): %.2f us a block, %.2f of ProcessBlock's %.2f us\n",
                signal[0] == '0' ? "two paths 2.5 ms apart"
                                 : "Good channel, paths 0.5 ms apart in one peak",
                1e6 / stage->second, chain->second / stage->second, 1e6 / chain->second);
        }
    }

    std::map<std::string, double> rates_;
};

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RegisterLimitBenchmarks();
    LimitReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
