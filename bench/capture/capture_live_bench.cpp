// SPDX-License-Identifier: GPL-3.0-or-later
// CPU time per second of live capture: the built-in STANAG 4285 test signal, paced
// in real time, through the capture cycle into the block chain, with and without the
// five painters; then the same signal, with the painters, through every input path
// the receiver has: the monitor of a sink it is played into on a private PulseAudio
// and a private PipeWire server (native driver), the same through Qt Multimedia (the
// fallback), UDP datagrams at 48000 samples/s and a pipe from sox at 48000 samples/s.
// Reported as percent of one core (process CPU time from getrusage over the wall
// time of the run; the sound servers run as processes of their own, and the CPU of
// the thread that feeds UDP or the pipe is taken off). The run lasts
// CAPTURE_BENCH_SECONDS (default 60).
#include "receiver/display/painters.h"
#include "receiver/io/paced_devices.h"
#include "receiver/io/stream_devices.h"
#include "receiver/io/tests/sound_servers.h"
#include "receiver/session/capture.h"

#include <QDir>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>

#include <QElapsedTimer>
#include <QEventLoop>
#include <QGuiApplication>
#include <QTimer>

#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <thread>
#include <vector>

namespace {

double CpuSeconds(int who = RUSAGE_SELF) {
    rusage usage{};
    getrusage(who, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

class LiveHost : public session::CaptureHost {
  public:
    LiveHost(session::CaptureState& state, io::WaveInput& wave, bool paint)
        : state_(state), wave_(wave) {
        chain_ = dsp::MakeChain(dsp::ModeNato, controls_, settings_);
        if (paint) {
            display_ = std::make_unique<display::DisplayState>();
            hooks_ = display::MakeDisplayHooks(*display_, settings_, controls_);
        }
        const auto paintTune = hooks_.TuneIndicator;
        hooks_.TuneIndicator = [this, paintTune](int32_t hz) {
            ++Blocks;
            if (paintTune) paintTune(hz);
        };
    }
    void ReportFailure(const QString& text) override { Failure = text; }
    void EndRun() override {}
    dsp::ChainState& Chain() override { return *chain_; }
    const dsp::Settings& ChainSettings() override { return settings_; }
    const dsp::ChainControls& ChainControls() override { return controls_; }
    const dsp::DisplayHooks& ChainHooks() override { return hooks_; }
    void DeliverNotice(const io::WaveNotice& notice) override {
        if (notice.Kind == io::WaveNoticeKind::Open)
            session::OnWaveOpen(state_, wave_, *this, notice);
        else
            session::OnWaveData(state_, wave_, *this, notice);
    }
    void Initialise() override {
        session::OpenCapture(state_, wave_, *this);
        session::AllocateBuffers(state_, wave_, *this);
    }

    int64_t Blocks = 0;
    QString Failure;

  private:
    session::CaptureState& state_;
    io::WaveInput& wave_;
    std::unique_ptr<dsp::ChainState> chain_;
    dsp::Settings settings_;
    dsp::ChainControls controls_;
    std::unique_ptr<display::DisplayState> display_;
    dsp::DisplayHooks hooks_;
};

int BenchSeconds() {
    const char* env = std::getenv("CAPTURE_BENCH_SECONDS");
    return env ? std::max(1, std::atoi(env)) : 60;
}

// Runs capture from `device` (an index of `wave`) for the bench's time; `feederCpu`
// gives the CPU seconds of a feeding thread to take off.
void Measure(benchmark::State& state, io::WaveInput& wave, int32_t device, bool paint,
             const std::function<double()>& feederCpu = {}) {
    session::CaptureState capture;
    capture.DeviceId = device;
    LiveHost host(capture, wave, paint);
    QElapsedTimer clock;
    clock.start();
    const double cpuStart = CpuSeconds();
    host.Initialise();
    QEventLoop loop;
    QTimer::singleShot(BenchSeconds() * 1000, &loop, &QEventLoop::quit);
    loop.exec();
    double cpu = CpuSeconds() - cpuStart;
    const double wall = clock.nsecsElapsed() / 1e9;
    session::ReleaseCapture(capture, wave);
    if (feederCpu) cpu -= feederCpu();
    state.SetIterationTime(wall);
    state.counters["cpu_percent_of_one_core"] = 100.0 * cpu / wall;
    state.counters["blocks_per_second"] = host.Blocks / wall;
    if (!host.Failure.isEmpty()) state.SkipWithError(host.Failure.toStdString().c_str());
    if (host.Blocks == 0) state.SkipWithError("no block was captured");
}

void LiveCapture(benchmark::State& state, bool paint) {
    for (auto _ : state) {
        io::WaveInput wave(false);
        const int32_t device = wave.AddDevice(std::make_unique<io::TestSignalDevice>());
        Measure(state, wave, device, paint);
    }
}

void ChainOnly(benchmark::State& state) {
    LiveCapture(state, false);
}
void ChainAndPainters(benchmark::State& state) {
    LiveCapture(state, true);
}

// A private server with a sink "SDR Audio" playing the signal; the capture takes its
// monitor (or, through Qt Multimedia, which lists no monitors, a remap of it).
void ThroughServer(benchmark::State& state, io::testing::ServerKind kind,
                   io::SoundSystemChoice system) {
    for (auto _ : state) {
        io::testing::PrivateSoundServer server(kind);
        const QString why = server.Start();
        if (!why.isEmpty()) {
            state.SkipWithError(why.toStdString().c_str());
            return;
        }
        server.UseInThisProcess();
        server.LoadNullSink("sdr", "SDR Audio");
        const QString wav = QDir(server.Folder()).filePath("s4285.wav");
        io::testing::WriteTestRecording(wav, BenchSeconds() + 10);
        QString source = "Monitor of SDR Audio";
        if (system == io::SoundSystemChoice::QtMultimedia) {
            server.Pactl({"load-module", "module-remap-source", "master=sdr.monitor",
                          "source_name=sdr_remap", "source_properties=device.description=Remap"});
            source = "Remap";
        }
        io::WaveInput wave(true, system);
        const QStringList names = session::DeviceNames(wave);
        const auto device = static_cast<int32_t>(names.indexOf(source));
        if (device < 0) {
            state.SkipWithError(
                ("no source " + source + " in " + names.join(" | ")).toStdString().c_str());
            return;
        }
        server.Play("sdr", wav);
        Measure(state, wave, device, true);
    }
}

void QtMultimediaOnPulseAudio(benchmark::State& state) {
    ThroughServer(state, io::testing::ServerKind::PulseAudio, io::SoundSystemChoice::QtMultimedia);
}
void PulseAudioNative(benchmark::State& state) {
    ThroughServer(state, io::testing::ServerKind::PulseAudio, io::SoundSystemChoice::PulseAudio);
}
void PipeWirePulseNative(benchmark::State& state) {
    ThroughServer(state, io::testing::ServerKind::PipeWire, io::SoundSystemChoice::PulseAudio);
}

// The signal at 48000 samples/s, 16-bit little-endian mono.
std::vector<char> Signal48k(const QString& folder) {
    const QString raw = QDir(folder).filePath("s4285.raw");
    if (!io::testing::WriteRawTestSignal(raw, BenchSeconds() + 10, 48000)) return {};
    QFile file(raw);
    file.open(QIODevice::ReadOnly);
    const QByteArray bytes = file.readAll();
    return std::vector<char>(bytes.begin(), bytes.end());
}

// Writes `signal` in 20 ms pieces at real-time pace through `send`; its own CPU time
// ends up in `cpu`.
void Feed(const std::vector<char>& signal, const std::function<void(const char*, size_t)>& send,
          std::atomic<bool>& stop, std::atomic<double>& cpu) {
    constexpr size_t piece = 960 * 2;
    const auto start = std::chrono::steady_clock::now();
    for (size_t k = 0; (k + 1) * piece <= signal.size() && !stop; ++k) {
        std::this_thread::sleep_until(start + std::chrono::microseconds(20000 * (k + 1)));
        send(signal.data() + k * piece, piece);
    }
    cpu = CpuSeconds(RUSAGE_THREAD);
}

void Udp48k(benchmark::State& state) {
    for (auto _ : state) {
        QTemporaryDir dir;
        const std::vector<char> signal = Signal48k(dir.path());
        if (signal.empty()) {
            state.SkipWithError("sox is not installed");
            return;
        }
        io::WaveInput wave(false);
        const uint16_t port = 47355;
        const int32_t device = wave.AddDevice(std::make_unique<io::UdpStreamDevice>(
            QHostAddress(QHostAddress::LocalHost), port, 48000, io::StreamReports{}));
        const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        std::atomic<bool> stop{false};
        std::atomic<double> feederCpu{0};
        std::thread feeder(
            Feed, std::cref(signal),
            [&](const char* data, size_t bytes) {
                ::sendto(fd, data, bytes, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
            },
            std::ref(stop), std::ref(feederCpu));
        Measure(state, wave, device, true, [&] {
            stop = true;
            feeder.join();
            return feederCpu.load();
        });
        ::close(fd);
    }
}

// sox decodes the recording into a pipe; a feeding thread passes it on at real-time
// pace, as a receiver program writing its audio would.
void StdinFromSox48k(benchmark::State& state) {
    for (auto _ : state) {
        QTemporaryDir dir;
        const std::vector<char> signal = Signal48k(dir.path());
        if (signal.empty()) {
            state.SkipWithError("sox is not installed");
            return;
        }
        int fds[2];
        if (::pipe(fds) != 0) return;
        io::WaveInput wave(false);
        const int32_t device = wave.AddDevice(std::make_unique<io::PipeStreamDevice>(
            fds[0], 48000, io::SampleEncoding::S16, io::StreamReports{}));
        std::atomic<bool> stop{false};
        std::atomic<double> feederCpu{0};
        std::thread feeder(
            Feed, std::cref(signal),
            [&](const char* data, size_t bytes) {
                if (::write(fds[1], data, bytes) < 0) stop = true;
            },
            std::ref(stop), std::ref(feederCpu));
        Measure(state, wave, device, true, [&] {
            stop = true;
            feeder.join();
            return feederCpu.load();
        });
        ::close(fds[1]);
        ::close(fds[0]);
    }
}

BENCHMARK(ChainOnly)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(ChainAndPainters)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
// Qt Multimedia first: it keeps the first sound server it meets for the whole run.
BENCHMARK(QtMultimediaOnPulseAudio)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(PulseAudioNative)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(PipeWirePulseNative)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(Udp48k)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(StdinFromSox48k)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
