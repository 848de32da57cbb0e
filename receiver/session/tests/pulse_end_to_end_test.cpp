// SPDX-License-Identifier: GPL-3.0-or-later
// End to end through real sound servers: a private PulseAudio and a private PipeWire
// session, each with a null sink named "SDR Audio" into which a STANAG 4285 recording
// is played (paplay), as an SDR program plays its audio. Its monitor is captured by
// the native driver (and, on PulseAudio, through Qt Multimedia, the fallback) and fed
// by the capture cycle into the block chain, which must lock onto the preamble: the
// peak lag stays put over the last blocks.
#include "receiver/io/pulse_source.h"
#include "receiver/io/tests/sound_servers.h"
#include "receiver/session/capture.h"
#include "receiver/session/tests/test_support.h"

#include <QDir>
#include <QThread>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

namespace session::testing {
namespace {

// Watches the chain: the peak lag of every block and the level of the last.
struct LockWatch {
    explicit LockWatch(FakeHost& host) {
        host.Hooks.TuneIndicator = [this, &host](int32_t) {
            PeakLags.push_back(host.OwnChain->Peak.PeakLag);
            double power = 0;
            for (int i = 0; i < dsp::BlockLen; ++i)
                power += double(host.OwnChain->Intake.CaptureBlock[i]) *
                         host.OwnChain->Intake.CaptureBlock[i];
            LastRms = std::sqrt(power / dsp::BlockLen);
        };
    }
    // The peak lag of the last `blocks` blocks stays within one lag.
    ::testing::AssertionResult Locked(size_t blocks) const {
        if (PeakLags.size() < blocks)
            return ::testing::AssertionFailure() << "only " << PeakLags.size() << " blocks";
        const auto [low, high] = std::minmax_element(PeakLags.end() - blocks, PeakLags.end());
        if (*high - *low > 1)
            return ::testing::AssertionFailure()
                   << "peak lag wanders between " << *low << " and " << *high;
        return ::testing::AssertionSuccess();
    }
    std::vector<int32_t> PeakLags;
    double LastRms = 0;
};

int IndexOf(const QStringList& names, const QString& name) {
    return static_cast<int>(names.indexOf(name));
}

class LiveServer : public ::testing::TestWithParam<io::testing::ServerKind> {
  protected:
    void SetUp() override {
        const QString why = server_.Start();
        if (!why.isEmpty())
            GTEST_SKIP() << "no private " << io::testing::KindName(GetParam())
                         << " server: " << why.toStdString();
        server_.UseInThisProcess();
        ASSERT_GE(server_.LoadNullSink("sdr", "SDR Audio"), 0);
        wav_ = QDir(server_.Folder()).filePath("s4285.wav");
        ASSERT_TRUE(io::testing::WriteTestRecording(wav_, 20.0));
    }

    io::testing::PrivateSoundServer server_{GetParam()};
    QString wav_;
};

TEST_P(LiveServer, MonitorOfAnSdrSinkIsListedAndItsSignalLocksTheChain) {
    io::WaveInput wave(true, io::SoundSystemChoice::PulseAudio);
    CaptureState state;
    FakeHost host(state, wave);
    LockWatch watch(host);
    const QStringList names = DeviceNames(wave);
    EXPECT_EQ(wave.SoundSystemLabel(), "PulseAudio");
    ASSERT_FALSE(names.isEmpty());
    EXPECT_EQ(names.front(), io::PulseDefaultEntryName());
    state.DeviceId = IndexOf(names, "Monitor of SDR Audio");
    ASSERT_GT(state.DeviceId, 0) << names.join(" | ").toStdString();

    host.Initialise();
    ASSERT_TRUE(host.Messages.empty()) << host.Messages.front().toStdString();
    server_.Play("sdr", wav_);
    // About 9.4 blocks per second: 45 blocks, of which the last 20 count.
    const bool enough = RunUntil([&] { return watch.PeakLags.size() >= 45; }, 30000);

    // The stream as the server sees it: propmon's, on the chosen monitor.
    QString source;
    EXPECT_EQ(server_.StreamProperty("application.id", &source), "propmon");
    EXPECT_EQ(source, "sdr.monitor");
    EXPECT_EQ(server_.StreamProperty("application.icon_name"), "propmon");
    EXPECT_EQ(server_.StreamProperty("media.role"), "production");
    EXPECT_EQ(server_.StreamProperty("media.name"), "STANAG 4285 capture");

    ReleaseCapture(state, wave);
    ASSERT_TRUE(enough) << "only " << watch.PeakLags.size() << " blocks captured";
    EXPECT_TRUE(host.Messages.empty());
    EXPECT_GT(watch.LastRms, 1000.0); // the signal came through (-16 dBFS is ~5200 RMS)
    EXPECT_TRUE(watch.Locked(20));
}

// The user moves propmon's stream to another source (pavucontrol does what pactl
// move-source-output does); at the next start the server puts it back there.
TEST_P(LiveServer, ServerPutsTheStreamBackOnTheSourceTheUserMovedItTo) {
    ASSERT_GE(server_.LoadNullSink("quiet", "Quiet"), 0);
    ASSERT_TRUE(server_.SetDefaultSource("quiet.monitor"));
    {
        io::WaveInput wave(true, io::SoundSystemChoice::PulseAudio);
        CaptureState state;
        FakeHost host(state, wave);
        state.DeviceId = 0; // the server's choice
        host.Initialise();
        ASSERT_TRUE(RunUntil([&] { return server_.StreamIndex() >= 0; }, 5000));
        QString source;
        server_.StreamProperty("application.id", &source);
        EXPECT_EQ(source, "quiet.monitor");
        // pipewire-pulse can lose a move as it can a default (see SetDefaultSource):
        // move until it shows.
        bool moved = false;
        for (int attempt = 0; attempt < 5 && !moved; ++attempt) {
            ASSERT_EQ(server_.Pactl({"move-source-output", QString::number(server_.StreamIndex()),
                                     "sdr.monitor"}),
                      0);
            moved = RunUntil(
                [&] {
                    QThread::msleep(50);
                    server_.StreamProperty("application.id", &source);
                    return source == "sdr.monitor";
                },
                1000);
        }
        ASSERT_TRUE(moved) << "the stream stays on " << source.toStdString();
        ReleaseCapture(state, wave);
    }
    // propmon starts again: a new client, a new stream, nothing chosen by name.
    io::WaveInput wave(true, io::SoundSystemChoice::PulseAudio);
    CaptureState state;
    FakeHost host(state, wave);
    LockWatch watch(host);
    state.DeviceId = 0;
    host.Initialise();
    server_.Play("sdr", wav_);
    const bool enough = RunUntil([&] { return watch.PeakLags.size() >= 25; }, 20000);
    QString source;
    server_.StreamProperty("application.id", &source);
    ReleaseCapture(state, wave);
    EXPECT_EQ(source, "sdr.monitor");
    ASSERT_TRUE(enough);
    EXPECT_GT(watch.LastRms, 1000.0); // the signal of the sink it was moved to
}

INSTANTIATE_TEST_SUITE_P(Servers, LiveServer,
                         ::testing::Values(io::testing::ServerKind::PulseAudio,
                                           io::testing::ServerKind::PipeWire),
                         [](const auto& info) { return std::string(KindName(info.param)); });

// Where no sound server answers, Qt Multimedia takes the sound cards; here it is
// made to, on a PulseAudio server, and must deliver the same.
TEST(QtMultimediaFallback, CapturedMonitorLocksTheChainOntoThePreamble) {
    // Qt Multimedia keeps the sound server it first reached for the whole process;
    // CTest runs every test in a process of its own.
    if (!qEnvironmentVariableIsEmpty("CAPTURE_QT_SERVER_USED"))
        GTEST_SKIP() << "Qt Multimedia already met a server in this process; run alone";
    io::testing::PrivateSoundServer server(io::testing::ServerKind::PulseAudio);
    const QString why = server.Start();
    if (!why.isEmpty()) GTEST_SKIP() << "no private PulseAudio server: " << why.toStdString();
    qputenv("CAPTURE_QT_SERVER_USED", "1");
    server.UseInThisProcess();
    ASSERT_GE(server.LoadNullSink("sdr", "SDR Audio", 9600), 0);
    // Qt Multimedia lists no monitor sources: the monitor is remapped into a source.
    ASSERT_EQ(server.Pactl({"load-module", "module-remap-source", "master=sdr.monitor",
                            "source_name=sdr_remap"}),
              0);
    ASSERT_TRUE(server.SetDefaultSource("sdr_remap"));
    const QString wav = QDir(server.Folder()).filePath("s4285.wav");
    ASSERT_TRUE(io::testing::WriteTestRecording(wav, 20.0));

    io::WaveInput wave(true, io::SoundSystemChoice::QtMultimedia);
    CaptureState state;
    FakeHost host(state, wave);
    LockWatch watch(host);
    ASSERT_FALSE(DeviceNames(wave).isEmpty()) << "Qt Multimedia lists no input";
    EXPECT_EQ(wave.SoundSystemLabel(), "Qt Multimedia");
    state.DeviceId = -1; // the server's default source: the remapped monitor
    host.Initialise();
    ASSERT_TRUE(host.Messages.empty()) << host.Messages.front().toStdString();
    server.Play("sdr", wav);
    const bool enough = RunUntil([&] { return watch.PeakLags.size() >= 45; }, 30000);
    ReleaseCapture(state, wave);
    ASSERT_TRUE(enough) << "only " << watch.PeakLags.size() << " blocks captured";
    EXPECT_TRUE(host.Messages.empty());
    EXPECT_GT(watch.LastRms, 1000.0);
    EXPECT_TRUE(watch.Locked(20));
}

} // namespace
} // namespace session::testing
