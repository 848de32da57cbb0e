// SPDX-License-Identifier: GPL-3.0-or-later
// CPU time per second of live capture: the built-in STANAG 4285 test signal, paced
// in real time, through the capture cycle into the block chain, with and without the
// five painters. Reported as percent of one core (process CPU time from getrusage
// over the wall time of the run). The run lasts CAPTURE_BENCH_SECONDS (default 60).
#include "receiver/capture/capture.h"
#include "receiver/capture/paced_devices.h"
#include "receiver/display/painters.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QGuiApplication>
#include <QTimer>

#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <cstdlib>

namespace {

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

class LiveHost : public cap::CaptureHost {
  public:
    LiveHost(cap::CaptureState& state, cap::WaveInput& wave, bool paint)
        : state_(state), wave_(wave) {
        rx::SetSignalParameters(*chain_, controls_, settings_);
        rx::BuildSignalTables(chain_->Tables);
        if (paint) {
            display_ = std::make_unique<rx::DisplayState>();
            hooks_ = rx::MakeDisplayHooks(*display_, settings_, controls_);
        }
        const auto paintTune = hooks_.TuneIndicator;
        hooks_.TuneIndicator = [this, paintTune](int32_t hz) {
            ++blocks;
            if (paintTune) paintTune(hz);
        };
    }
    void ShowCaptureMessage(const QString& text) override { failure = text; }
    void EndWindow() override {}
    rx::ChainState& Chain() override { return *chain_; }
    const rx::Settings& ChainSettings() override { return settings_; }
    const rx::ChainControls& ChainControls() override { return controls_; }
    const rx::DisplayHooks& ChainHooks() override { return hooks_; }
    void WaveMessage(const cap::WaveNotice& notice) override {
        if (notice.Kind == cap::WaveNoticeKind::Open)
            cap::OnWaveOpen(state_, wave_, *this, notice);
        else
            cap::OnWaveData(state_, wave_, *this, notice);
    }
    void Initialise() override {
        cap::OpenCapture(state_, wave_, *this);
        cap::AllocateBuffers(state_, wave_, *this);
    }

    int64_t blocks = 0;
    QString failure;

  private:
    cap::CaptureState& state_;
    cap::WaveInput& wave_;
    std::unique_ptr<rx::ChainState> chain_ = rx::MakeChainState();
    rx::Settings settings_;
    rx::ChainControls controls_;
    std::unique_ptr<rx::DisplayState> display_;
    rx::DisplayHooks hooks_;
};

void LiveCapture(benchmark::State& state, bool paint) {
    const char* env = std::getenv("CAPTURE_BENCH_SECONDS");
    const int seconds = env ? std::max(1, std::atoi(env)) : 60;
    for (auto _ : state) {
        cap::WaveInput wave(false);
        cap::CaptureState capture;
        capture.DeviceId = wave.AddDevice(std::make_unique<cap::TestSignalDevice>());
        LiveHost host(capture, wave, paint);
        QElapsedTimer clock;
        clock.start();
        const double cpuStart = CpuSeconds();
        host.Initialise();
        QEventLoop loop;
        QTimer::singleShot(seconds * 1000, &loop, &QEventLoop::quit);
        loop.exec();
        const double cpu = CpuSeconds() - cpuStart;
        const double wall = clock.nsecsElapsed() / 1e9;
        cap::ReleaseCapture(capture, wave);
        state.SetIterationTime(wall);
        state.counters["cpu_percent_of_one_core"] = 100.0 * cpu / wall;
        state.counters["blocks_per_second"] = host.blocks / wall;
        if (!host.failure.isEmpty()) state.SkipWithError(host.failure.toStdString().c_str());
    }
}

void ChainOnly(benchmark::State& state) {
    LiveCapture(state, false);
}
void ChainAndPainters(benchmark::State& state) {
    LiveCapture(state, true);
}

BENCHMARK(ChainOnly)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(ChainAndPainters)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
