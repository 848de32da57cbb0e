// SPDX-License-Identifier: GPL-3.0-or-later
// End to end through a real sound server: a private PulseAudio with a null sink and a
// source that records the sink's monitor; a STANAG 4285 recording is played into the
// sink with paplay and captured through Qt Multimedia by the capture cycle, which
// feeds the block chain. The chain must lock onto the preamble: the peak lag stays put
// over the last blocks.
#include "receiver/capture/capture.h"
#include "receiver/capture/tests/test_support.h"
#include "signalgen/s4285gen.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>
#include <signal.h>
#include <sndfile.h>

#include <algorithm>
#include <cmath>

namespace cap::test {
namespace {

constexpr const char* SinkName = "propmon_test_sink";
constexpr const char* SourceName = "propmon_test_source";

// Stops a process we started, by its PID, and waits for it.
void StopProcess(QProcess& process) {
    if (process.state() == QProcess::NotRunning) return;
    ::kill(static_cast<pid_t>(process.processId()), SIGTERM);
    if (!process.waitForFinished(3000)) {
        ::kill(static_cast<pid_t>(process.processId()), SIGKILL);
        process.waitForFinished(3000);
    }
}

// A PulseAudio server of our own in a temporary runtime folder.
class PrivatePulse {
  public:
    ~PrivatePulse() { StopProcess(server_); }

    // Empty on success, else why the server is not available.
    QString Start() {
        if (!dir_.isValid()) return "no temporary folder";
        const QString pulse = QStandardPaths::findExecutable("pulseaudio");
        if (pulse.isEmpty()) return "pulseaudio is not installed";
        if (QStandardPaths::findExecutable("paplay").isEmpty() ||
            QStandardPaths::findExecutable("pactl").isEmpty())
            return "paplay/pactl (pulseaudio-utils) are not installed";

        // Clients must never start a server of their own (autospawn) or find another.
        QFile config(dir_.filePath("client.conf"));
        if (!config.open(QIODevice::WriteOnly)) return "cannot write client.conf";
        config.write("autospawn = no\n");
        config.close();

        const QString socket = dir_.filePath("native");
        server_.setProcessEnvironment(Environment());
        server_.setProcessChannelMode(QProcess::MergedChannels);
        server_.start(
            pulse,
            {"-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=false",
             "--system=false", "--log-target=stderr", "-L",
             QString("module-native-protocol-unix socket=%1 auth-anonymous=1").arg(socket), "-L",
             QString("module-null-sink sink_name=%1 rate=9600 channels=1").arg(SinkName), "-L",
             QString("module-remap-source master=%1.monitor source_name=%2")
                 .arg(SinkName, SourceName)});
        if (!server_.waitForStarted(5000)) return "pulseaudio did not start";
        for (int attempt = 0; attempt < 50; ++attempt) {
            if (server_.state() == QProcess::NotRunning)
                return "pulseaudio exited: " + QString::fromLocal8Bit(server_.readAll()).trimmed();
            if (Run("pactl", {"info"}, 2000) == 0) return {};
            QThread::msleep(100);
        }
        return "pulseaudio did not answer: " + QString::fromLocal8Bit(server_.readAll()).trimmed();
    }

    QString Server() const { return "unix:" + dir_.filePath("native"); }
    QString Folder() const { return dir_.path(); }

    QProcessEnvironment Environment() const {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_RUNTIME_DIR", dir_.path());
        env.insert("PULSE_RUNTIME_PATH", dir_.filePath("runtime"));
        env.insert("PULSE_STATE_PATH", dir_.filePath("state"));
        env.insert("PULSE_CLIENTCONFIG", dir_.filePath("client.conf"));
        env.insert("HOME", dir_.path());
        env.insert("PULSE_SERVER", Server());
        return env;
    }

    int Run(const QString& program, const QStringList& args, int timeoutMs) const {
        QProcess process;
        process.setProcessEnvironment(Environment());
        process.start(program, args);
        if (!process.waitForFinished(timeoutMs)) {
            StopProcess(process);
            return -1;
        }
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }

  private:
    QTemporaryDir dir_;
    QProcess server_;
};

bool WriteTestRecording(const QString& path, double seconds) {
    sim::Generator generator(sim::NatoConfig());
    SF_INFO info{};
    info.samplerate = 9600;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(QFile::encodeName(path).constData(), SFM_WRITE, &info);
    if (!file) return false;
    std::vector<int16_t> samples(static_cast<size_t>(seconds * 9600));
    generator.Generate(samples.data(), samples.size());
    const auto written =
        sf_write_short(file, samples.data(), static_cast<sf_count_t>(samples.size()));
    sf_close(file);
    return written == static_cast<sf_count_t>(samples.size());
}

TEST(PulseEndToEnd, CapturedSoundCardSignalLocksTheChainOntoThePreamble) {
    PrivatePulse pulse;
    const QString why = pulse.Start();
    if (!why.isEmpty()) GTEST_SKIP() << "no private PulseAudio server: " << why.toStdString();

    // Qt's sound system reads these when it first connects, below.
    const QProcessEnvironment env = pulse.Environment();
    for (const char* name : {"PULSE_SERVER", "PULSE_CLIENTCONFIG", "PULSE_RUNTIME_PATH"})
        qputenv(name, env.value(name).toUtf8());

    const QString wav = QDir(pulse.Folder()).filePath("s4285.wav");
    ASSERT_TRUE(WriteTestRecording(wav, 20.0));

    WaveInput wave(true);
    CaptureState state;
    FakeHost host(state, wave);
    const QStringList names = DeviceNames(wave);
    ASSERT_FALSE(names.isEmpty()) << "Qt Multimedia lists no input on the private server";
    state.DeviceId = -1; // the server's default source: the sink's remapped monitor

    std::vector<int32_t> peakLags;
    double lastBlockPower = 0;
    host.hooks.TuneIndicator = [&](int32_t) {
        peakLags.push_back(host.chain->Peak.PeakLag);
        double power = 0;
        for (int i = 0; i < rx::BlockLen; ++i)
            power +=
                double(host.chain->Intake.CaptureBlock[i]) * host.chain->Intake.CaptureBlock[i];
        lastBlockPower = power / rx::BlockLen;
    };
    host.Initialise();
    ASSERT_TRUE(host.messages.empty()) << host.messages.front().toStdString();

    QProcess player;
    player.setProcessEnvironment(env);
    player.start("paplay", {"--device=" + QString(SinkName), wav});
    ASSERT_TRUE(player.waitForStarted(5000));

    // About 9.4 blocks per second; take 70 blocks (7.5 s) of which the last 30 count.
    const bool enough = RunUntil([&] { return peakLags.size() >= 70; }, 30000);
    StopProcess(player);
    ReleaseCapture(state, wave);
    ASSERT_TRUE(enough) << "only " << peakLags.size() << " blocks captured";
    EXPECT_TRUE(host.messages.empty());

    // The signal really came through (-16 dBFS is about 5200 RMS).
    EXPECT_GT(std::sqrt(lastBlockPower), 1000.0);
    const std::vector<int32_t> last(peakLags.end() - 30, peakLags.end());
    const auto [low, high] = std::minmax_element(last.begin(), last.end());
    EXPECT_LE(*high - *low, 1) << "peak lag wanders between " << *low << " and " << *high;
}

} // namespace
} // namespace cap::test
