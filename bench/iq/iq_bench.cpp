// SPDX-License-Identifier: GPL-3.0-or-later
// The IQ front ends against real time on one core: a 2 MS/s band with 20
// STANAG 4285 channels and a 192 kHz band with 10, the filter bank and front
// ends alone, with a whole chain on every channel, and with all that batch
// mode's --out runs on each (tables, painters, auto-saved grams); the cost of
// one more channel; and the filter bank's speed against
// FFTW's own on transforms of the same size.  The summary after the table
// gives the ratios, all measured in this one run.
#include <benchmark/benchmark.h>

#include <QGuiApplication>
#include <unistd.h>

#include <fftw3.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "receiver/analysis/signal_quality.h"
#include "receiver/dsp/chain.h"
#include "receiver/io/iq_front_end.h"
#include "receiver/runners/block_painting.h"
#include "receiver/runners/block_run.h"
#include "s4285gen/iq_synth.h"

namespace {

double CpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}

// CPU seconds per second of IQ, by measurement name (filled as they run).
std::map<std::string, double>& Costs() {
    static std::map<std::string, double> costs;
    return costs;
}

std::string FrontKey(int khz, int channels, int chains, int band) {
    return std::to_string(khz) + "/" + std::to_string(channels) + "/" + std::to_string(chains) +
           "/" + std::to_string(band);
}

constexpr double BandSeconds = 2.0;

// 20 signals a few kHz apart (both modes) around the centre, in noise: the
// offsets of channel i.
double Offset(double rate, int32_t i, int32_t channels) {
    const double span = std::min(rate * 0.8, 4000.0 * channels);
    return -span / 2.0 + span * (i + 0.5) / channels + 0.37 * i;
}

int32_t ModeOf(int32_t i) {
    return i % 3 == 2 ? dsp::ModeAmateur : dsp::ModeNato;
}

const std::vector<s4285gen::IqSample>& Band(double rate, int32_t channels) {
    static std::map<std::pair<double, int32_t>, std::vector<s4285gen::IqSample>> bands;
    auto& band = bands[{rate, channels}];
    if (!band.empty()) return band;
    s4285gen::IqBand layout;
    layout.SampleRate = rate;
    layout.NoiseDbIn3kHz = -60.0;
    for (int32_t i = 0; i < channels; ++i) {
        s4285gen::IqSignal s;
        s.Audio = ModeOf(i) == dsp::ModeNato ? s4285gen::NatoConfig() : s4285gen::AmateurConfig();
        s.Audio.Paths = {{.DelayMs = 1.0}, {.DelayMs = 3.0, .GainDb = -4.0, .SpreadHz = 0.3}};
        s.Audio.SnrDb = 60.0;
        s.Audio.Seed = uint64_t(i + 1);
        s.CarrierOffsetHz = Offset(rate, i, channels);
        s.Gain = s4285gen::GainForPowerDb(s.Audio, -60.0 + 10.0 + i % 7 * 3.0);
        layout.Signals.push_back(s);
    }
    s4285gen::IqBandGenerator generator(layout);
    band.resize(size_t(BandSeconds * rate));
    generator.Generate(band.data(), band.size());
    return band;
}

// A whole chain on one channel, with the block quality batch mode adds.
struct ChannelChain {
    explicit ChannelChain(int32_t mode) {
        Chain = dsp::MakeChain(mode, Controls, Settings);
        Hooks.BlockProcessed = [this](const dsp::ChainState& done) {
            benchmark::DoNotOptimize(Quality.Add(done.Peak, done.SampleRate).Locked);
        };
    }
    std::unique_ptr<dsp::ChainState> Chain;
    dsp::Settings Settings;
    dsp::ChainControls Controls;
    dsp::DisplayHooks Hooks;
    analysis::QualityTracker Quality;
};

// A receiver per channel as `propmon --batch --out` runs it: the chain, the
// block and channel tables, every painter and the auto-saved grams, into a
// scratch folder removed afterwards.
struct BatchOutRuns {
    explicit BatchOutRuns(int32_t channels)
        : Folder(std::filesystem::temp_directory_path() /
                 ("iq_bench-" + std::to_string(::getpid()))) {
        for (int32_t i = 0; i < channels; ++i) {
            runners::BlockRunSettings s;
            s.Out = (Folder / std::to_string(i)).string();
            s.Csv = s.Out + "/blocks.csv";
            s.ChannelCsv = s.Out + "/channel.csv";
            s.Mode = ModeOf(i);
            Runs.push_back(std::make_unique<runners::BlockRun>(std::move(s)));
            std::string error;
            if (!Runs.back()->Open(error)) Error = error;
        }
    }
    ~BatchOutRuns() {
        Runs.clear();
        std::error_code ignored;
        std::filesystem::remove_all(Folder, ignored);
    }
    std::filesystem::path Folder;
    std::vector<std::unique_ptr<runners::BlockRun>> Runs;
    std::string Error;
};

// state.range(0): IQ rate in kHz; range(1): channels tuned; range(2): 1 with
// a chain on each, 2 with what batch mode's --out runs on each; range(3):
// channels in the band.
void FrontEnds(benchmark::State& state) {
    const double rate = double(state.range(0)) * 1000.0;
    const auto channels = int32_t(state.range(1));
    const bool chains = state.range(2) != 0;
    const std::vector<s4285gen::IqSample>& band = Band(rate, int32_t(state.range(3)));
    std::vector<io::ChannelTuning> tunings;
    for (int32_t i = 0; i < channels; ++i)
        tunings.push_back({Offset(rate, i, int32_t(state.range(3))), ModeOf(i), 0.0f});
    std::string error;
    auto ends = io::IqFrontEnds::Create(rate, tunings, error);
    if (!ends) {
        state.SkipWithError(error.c_str());
        return;
    }
    const bool batchOut = state.range(2) == 2;
    std::vector<std::unique_ptr<ChannelChain>> run;
    for (int32_t i = 0; chains && !batchOut && i < channels; ++i)
        run.push_back(std::make_unique<ChannelChain>(ModeOf(i)));
    const BatchOutRuns outs(batchOut ? channels : 0);
    if (!outs.Error.empty()) {
        state.SkipWithError(outs.Error.c_str());
        return;
    }
    int64_t audio = 0;
    const io::AudioSink sink = [&](int32_t channel, const int16_t* samples, int32_t count) {
        audio += count;
        if (batchOut) outs.Runs[size_t(channel)]->Feed(samples, count);
        if (!chains || batchOut) return;
        ChannelChain& c = *run[size_t(channel)];
        dsp::ResampleBuffer(*c.Chain, c.Settings, c.Controls, c.Hooks, samples, int64_t(count) * 2);
    };
    constexpr size_t chunk = 1 << 16;
    double iqSeconds = 0.0;
    const double start = CpuSeconds();
    for (auto _ : state) {
        for (size_t at = 0; at < band.size(); at += chunk)
            ends->Feed(band.data() + at, std::min(chunk, band.size() - at), sink);
        iqSeconds += BandSeconds;
    }
    const double cost = (CpuSeconds() - start) / iqSeconds;
    Costs()[FrontKey(int(state.range(0)), channels, int(state.range(2)), int(state.range(3)))] =
        cost;
    state.counters["x_real_time"] = 1.0 / cost;
    state.counters["core_pct_live"] = 100.0 * cost;
    state.counters["audio_samples"] = double(audio);
}

// FFTW alone: back-to-back transforms of the filter bank's size over the same
// band, each taking as many new samples as it has points.
void FftLibrary(benchmark::State& state) {
    const double rate = double(state.range(0)) * 1000.0;
    const std::vector<s4285gen::IqSample>& band = Band(rate, 20);
    std::string error;
    auto ends = io::IqFrontEnds::Create(rate, {}, error);
    const int32_t n = ends->Bank().Geometry().FftSize;
    auto* in = static_cast<fftwf_complex*>(fftwf_malloc(sizeof(fftwf_complex) * size_t(n)));
    auto* out = static_cast<fftwf_complex*>(fftwf_malloc(sizeof(fftwf_complex) * size_t(n)));
    fftwf_plan plan =
        fftwf_plan_dft_1d(n, in, out, FFTW_FORWARD, state.range(1) ? FFTW_MEASURE : FFTW_ESTIMATE);
    double iqSeconds = 0.0;
    const double start = CpuSeconds();
    for (auto _ : state) {
        for (size_t at = 0; at + size_t(n) <= band.size(); at += size_t(n)) {
            std::memcpy(in, band.data() + at, sizeof(fftwf_complex) * size_t(n));
            fftwf_execute(plan);
        }
        iqSeconds += double(band.size() / size_t(n) * size_t(n)) / rate;
    }
    const double cost = (CpuSeconds() - start) / iqSeconds;
    Costs()[state.range(1) ? "fftw measured" : "fftw"] = cost;
    state.counters["x_real_time"] = 1.0 / cost;
    state.counters["fft_size"] = n;
    fftwf_destroy_plan(plan);
    fftwf_free(in);
    fftwf_free(out);
}

BENCHMARK(FrontEnds)
    ->ArgNames({"kHz", "channels", "chains", "band"})
    ->Args({2000, 20, 0, 20})
    ->Args({2000, 20, 1, 20})
    ->Args({2000, 20, 2, 20})
    ->Args({2000, 1, 0, 20})
    ->Args({2000, 0, 0, 20})
    ->Args({192, 10, 0, 10})
    ->Args({192, 10, 1, 10})
    ->Args({192, 10, 2, 10})
    ->Args({192, 1, 0, 10})
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2.0);
BENCHMARK(FftLibrary)
    ->ArgNames({"kHz", "measured"})
    ->Args({2000, 0})
    ->Args({2000, 1})
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2.0);

void Line(const char* what, double cost) {
    std::printf("  %-58s %8.1f x real time  %6.2f %% of a core live\n", what, 1.0 / cost,
                100.0 * cost);
}

double Cost(const std::string& name) {
    const auto it = Costs().find(name);
    return it == Costs().end() ? 0.0 : it->second;
}

} // namespace

int main(int argc, char** argv) {
    // The painters draw text: a GUI application, on no display.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    int appArgc = 1;
    QGuiApplication app(appArgc, argv);
    runners::UsePainters();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    const auto front = FrontKey;
    std::printf("\nIQ front ends on one core (CPU time against the recording's length):\n");
    const std::pair<const char*, std::string> rows[] = {
        {"2 MS/s, 20 channels, filter bank and front ends", front(2000, 20, 0, 20)},
        {"2 MS/s, 20 channels, with a whole chain each", front(2000, 20, 1, 20)},
        {"2 MS/s, 20 channels, as batch --out runs them", front(2000, 20, 2, 20)},
        {"2 MS/s, filter bank alone (no channel)", front(2000, 0, 0, 20)},
        {"192 kHz, 10 channels, filter bank and front ends", front(192, 10, 0, 10)},
        {"192 kHz, 10 channels, with a whole chain each", front(192, 10, 1, 10)},
        {"192 kHz, 10 channels, as batch --out runs them", front(192, 10, 2, 10)},
    };
    for (const auto& [what, name] : rows)
        if (Cost(name) > 0.0) Line(what, Cost(name));
    const double one = Cost(front(2000, 1, 0, 20)), twenty = Cost(front(2000, 20, 0, 20));
    const double chains = Cost(front(2000, 20, 1, 20));
    if (one > 0.0 && twenty > 0.0) {
        std::printf("  each channel beyond the first at 2 MS/s: %.3f %% of a core (front end)",
                    100.0 * (twenty - one) / 19.0);
        if (chains > 0.0) std::printf(", %.3f %% with its chain", 100.0 * (chains - one) / 20.0);
        std::printf("\n");
    }
    const double bank = Cost(front(2000, 0, 0, 20));
    const double fft = Cost("fftw");
    const double fftMeasured = Cost("fftw measured");
    if (bank > 0.0 && fft > 0.0) {
        std::printf("  filter bank at 2 MS/s against FFTW's own transforms of its size: %.0f %% "
                    "of FFTW's speed (%.0f %% of FFTW's measured plans)\n",
                    100.0 * fft / bank, fftMeasured > 0.0 ? 100.0 * fftMeasured / bank : 0.0);
    }
    benchmark::Shutdown();
    return 0;
}
