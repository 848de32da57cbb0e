// SPDX-License-Identifier: GPL-3.0-or-later
// An unattended station's sound card glitches: the source it records from goes away
// (its module unloaded, as when a USB sound card drops off) and comes back. Through
// real servers, PulseAudio and PipeWire: with Reconnect the loss and the return are
// told as one line each, no block is processed meanwhile, and capture goes on with
// the chain locking onto the preamble again; without it, one message and the end.
#include "receiver/io/tests/sound_servers.h"
#include "receiver/session/capture.h"
#include "receiver/session/tests/test_support.h"

#include <QDir>

#include <gtest/gtest.h>

#include <chrono>

namespace session::testing {
namespace {

struct GlitchCase {
    io::testing::ServerKind Kind;
    bool Reconnect;
};

class SourceGlitch : public ::testing::TestWithParam<GlitchCase> {};

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

TEST_P(SourceGlitch, LostSourceIsRetriedAndCaptureGoesOnOnlyWithReconnect) {
    const GlitchCase param = GetParam();
    io::testing::PrivateSoundServer server(param.Kind);
    const QString why = server.Start();
    if (!why.isEmpty())
        GTEST_SKIP() << "no private " << io::testing::KindName(param.Kind)
                     << " server: " << why.toStdString();
    server.UseInThisProcess();
    int module = server.LoadNullSink("sdr", "SDR Audio");
    ASSERT_GE(module, 0);
    const QString wav = QDir(server.Folder()).filePath("s4285.wav");
    ASSERT_TRUE(io::testing::WriteTestRecording(wav, 30.0));

    io::WaveInput wave(true, io::SoundSystemChoice::PulseAudio);
    CaptureState state;
    FakeHost host(state, wave);
    std::vector<int64_t> blockTimes;
    std::vector<int32_t> lags;
    host.Hooks.TuneIndicator = [&](int32_t) {
        blockTimes.push_back(NowMs());
        lags.push_back(host.OwnChain->Peak.PeakLag);
    };
    state.DeviceId = static_cast<int32_t>(DeviceNames(wave).indexOf("Monitor of SDR Audio"));
    ASSERT_GT(state.DeviceId, 0);
    state.Reconnect = param.Reconnect;
    state.RetryIntervalMs = 1000;
    host.Initialise();
    server.Play("sdr", wav);
    ASSERT_TRUE(RunUntil([&] { return blockTimes.size() >= 15; }, 15000));

    ASSERT_EQ(server.Pactl({"unload-module", QString::number(module)}), 0);
    if (!param.Reconnect) {
        EXPECT_TRUE(RunUntil([&] { return host.RunEnds > 0; }, 5000));
        RunUntil([] { return false; }, 500);
        EXPECT_EQ(host.Messages.size(), 1u);
        EXPECT_EQ(host.RunEnds, 1);
        EXPECT_TRUE(host.Events.empty());
        ReleaseCapture(state, wave);
        return;
    }
    ASSERT_TRUE(RunUntil([&] { return !host.Events.empty(); }, 5000)) << "the loss went unseen";
    EXPECT_EQ(host.Events[0].rfind("input lost: Monitor of SDR Audio: ", 0), 0u) << host.Events[0];
    const size_t atLoss = blockTimes.size();
    RunUntil([] { return false; }, 2500); // two retries find nothing
    EXPECT_EQ(blockTimes.size(), atLoss) << "blocks while the source was away";
    EXPECT_EQ(host.Events.size(), 1u);

    // The card is back (same source name): capture goes on by itself.
    server.StopPlaying();
    module = server.LoadNullSink("sdr", "SDR Audio");
    ASSERT_GE(module, 0);
    server.Play("sdr", wav);
    ASSERT_TRUE(RunUntil([&] { return host.Events.size() >= 2; }, 5000)) << "never came back";
    EXPECT_EQ(host.Events[1].rfind("input back after ", 0), 0u) << host.Events[1];
    EXPECT_NE(host.Events[1].find(": Monitor of SDR Audio"), std::string::npos);
    const bool enough = RunUntil([&] { return blockTimes.size() >= atLoss + 30; }, 15000);
    ReleaseCapture(state, wave);
    ASSERT_TRUE(enough) << blockTimes.size() - atLoss << " blocks after the return";
    EXPECT_TRUE(host.Messages.empty());
    EXPECT_EQ(host.RunEnds, 0);
    // The gap shows in the block times; then the chain is locked again.
    EXPECT_GE(blockTimes[atLoss] - blockTimes[atLoss - 1], 2500);
    const auto [low, high] = std::minmax_element(lags.end() - 15, lags.end());
    EXPECT_LE(*high - *low, 1);
}

INSTANTIATE_TEST_SUITE_P(Servers, SourceGlitch,
                         ::testing::Values(GlitchCase{io::testing::ServerKind::PulseAudio, true},
                                           GlitchCase{io::testing::ServerKind::PipeWire, true},
                                           GlitchCase{io::testing::ServerKind::PulseAudio, false},
                                           GlitchCase{io::testing::ServerKind::PipeWire, false}),
                         [](const auto& info) {
                             return std::string(KindName(info.param.Kind)) +
                                    (info.param.Reconnect ? "Reconnect" : "WithoutReconnect");
                         });

} // namespace
} // namespace session::testing
