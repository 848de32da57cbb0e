// SPDX-License-Identifier: GPL-3.0-or-later
// The capture cycle against the scripted device and a stand-in window.
#include "receiver/session/capture.h"
#include "receiver/session/tests/test_support.h"

#include <gtest/gtest.h>

#include <numeric>

namespace session::testing {
namespace {

std::vector<int16_t> Ramp(size_t n, int16_t first) {
    std::vector<int16_t> samples(n);
    std::iota(samples.begin(), samples.end(), first);
    return samples;
}

class CaptureCycle : public ::testing::Test {
  protected:
    CaptureCycle() {
        wave.AddDevice(std::make_unique<io::testing::ScriptedDevice>("Scripted A", script));
        wave.AddDevice(std::make_unique<io::testing::ScriptedDevice>("Scripted B", otherScript));
    }

    // Initialisation plus the open notice: 1024 buffers queued, capture started.
    void StartCapture() {
        host.Initialise();
        Pump();
        ASSERT_EQ(script->Queued(), 1024u);
        ASSERT_TRUE(script->Started);
    }

    std::shared_ptr<io::testing::ScriptedScript> script =
        std::make_shared<io::testing::ScriptedScript>();
    std::shared_ptr<io::testing::ScriptedScript> otherScript =
        std::make_shared<io::testing::ScriptedScript>();
    io::WaveInput wave{false};
    CaptureState state;
    FakeHost host{state, wave};
};

TEST_F(CaptureCycle, InitialisationOpensAtTheChainRateAndTheOpenNoticeQueuesAllSlotsAndStarts) {
    host.Initialise();
    EXPECT_EQ(script->LastOpenRate, 9600);
    ASSERT_EQ(state.CaptureBuffers.size(), 1025u);
    EXPECT_EQ(state.CaptureBuffers[0].Data, nullptr); // slot 0 is never used
    for (size_t slot = 1; slot <= 1024; ++slot) {
        const io::WaveBuffer& header = state.CaptureBuffers[slot];
        ASSERT_NE(header.Data, nullptr);
        ASSERT_EQ(header.BufferLength, 2048u);
        ASSERT_TRUE(std::all_of(header.Data, header.Data + 1024, [](int16_t s) { return s == 0; }));
    }
    // Nothing is queued before the device confirms the open.
    EXPECT_EQ(script->Queued(), 0u);
    EXPECT_FALSE(script->Started);
    Pump();
    EXPECT_EQ(script->Queued(), 1024u);
    EXPECT_EQ(script->Calls[io::WaveOp::Queue], 1024);
    EXPECT_TRUE(script->Started);
    EXPECT_TRUE(host.messages.empty());
}

TEST_F(CaptureCycle, OpenFailureAtInitialisationShowsMessageAndLeavesWindowUpWithoutNotices) {
    script->Failures[io::WaveOp::Open] = io::WaveAllocated;
    host.Initialise();
    Pump();
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0], "No suitable device found");
    EXPECT_EQ(host.windowEnds, 0);
    EXPECT_TRUE(host.notices.empty());
    EXPECT_EQ(state.CaptureBuffers.size(), 1025u); // the buffers are still created
}

TEST_F(CaptureCycle, DefaultInputWithoutSoundCardsIsNoSuitableDevice) {
    state.DeviceId = -1;
    host.Initialise();
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0], "No suitable device found");
}

TEST_F(CaptureCycle, AllocationFailureShowsAcuteAccentMessageAndStopsAtThatSlot) {
    ASSERT_TRUE(OpenCapture(state, wave, host));
    int calls = 0;
    const bool ok = AllocateBuffers(state, wave, host, [&calls](size_t samples) {
        return ++calls == 5 ? nullptr : HeapBuffer(samples);
    });
    EXPECT_FALSE(ok);
    EXPECT_EQ(calls, 5);
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0].toUtf8(), QByteArray("Can\xC2\xB4t alloc Buffers"));
    EXPECT_EQ(host.messages[0].at(3).unicode(), 0x00B4);
    EXPECT_NE(state.CaptureBuffers[4].Data, nullptr);
    EXPECT_EQ(state.CaptureBuffers[5].Data, nullptr);

    // The open notice then queues slots 1..4 and stops at the empty slot with the
    // device's error text; the window stays up.
    Pump();
    EXPECT_EQ(script->Queued(), 4u);
    ASSERT_EQ(host.messages.size(), 2u);
    EXPECT_EQ(host.messages[1], wave.ErrorText(io::WaveInvalidParam));
    EXPECT_EQ(host.windowEnds, 0);
}

TEST_F(CaptureCycle, PrepareFailureInOpenNoticeShowsErrorTextAndQueuesNothingMore) {
    script->Failures[io::WaveOp::Prepare] = io::WaveNoMemory;
    host.Initialise();
    Pump();
    EXPECT_EQ(script->Queued(), 0u);
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0], wave.ErrorText(io::WaveNoMemory));
    EXPECT_EQ(script->Calls[io::WaveOp::Prepare], 1);
    EXPECT_EQ(host.windowEnds, 0);
}

TEST_F(CaptureCycle, FullBuffersReachTheChainInOrderAndAreQueuedAgain) {
    StartCapture();
    const auto first = Ramp(1024, -3000);
    const auto second = Ramp(1024, 100);
    const auto third = Ramp(1024, 5000);
    script->Record(first);
    script->Record(second);
    script->Record(third);
    Pump();
    ASSERT_EQ(host.notices.size(), 4u); // open + three buffers
    EXPECT_EQ(host.notices[1].Buffer, &state.CaptureBuffers[1]);
    EXPECT_EQ(host.notices[2].Buffer, &state.CaptureBuffers[2]);
    EXPECT_EQ(host.notices[3].Buffer, &state.CaptureBuffers[3]);
    EXPECT_TRUE(std::equal(third.begin(), third.end(), host.chain->Intake.CaptureBlock.begin()));
    EXPECT_EQ(host.chain->Intake.WritePos, 0); // 3 x 1024 samples: three whole blocks
    EXPECT_EQ(script->Queued(), 1024u);
    EXPECT_EQ(script->Calls[io::WaveOp::Queue], 1024 + 3);
    EXPECT_TRUE(host.messages.empty());
}

TEST_F(CaptureCycle, ZeroByteBufferHandsNoSamplesOnAndIsStillQueuedAgain) {
    StartCapture();
    script->FinishCurrent(); // returns slot 1 with nothing recorded
    Pump();
    ASSERT_EQ(host.notices.size(), 2u);
    EXPECT_EQ(host.recordedBytes, std::vector<uint32_t>{0});
    EXPECT_EQ(host.chain->Intake.WritePos, 0);
    EXPECT_EQ(script->Queued(), 1024u);
    EXPECT_EQ(script->Calls[io::WaveOp::Queue], 1025);
}

TEST_F(CaptureCycle, ShortBufferHandsOnExactlyTheRecordedSamples) {
    StartCapture();
    const auto samples = Ramp(100, 7);
    script->Record(samples);
    script->FinishCurrent();
    Pump();
    ASSERT_EQ(host.notices.size(), 2u);
    EXPECT_EQ(host.recordedBytes, std::vector<uint32_t>{200});
    EXPECT_EQ(host.chain->Intake.WritePos, 100);
    EXPECT_TRUE(
        std::equal(samples.begin(), samples.end(), host.chain->Intake.CaptureBlock.begin()));
    EXPECT_EQ(script->Queued(), 1024u);

    // Then a full buffer carries on where the short one ended.
    script->Record(Ramp(1024, 0));
    Pump();
    EXPECT_EQ(host.chain->Intake.WritePos, 100);
}

TEST_F(CaptureCycle, QueueFailureAfterABufferShowsErrorTextOnceAndEndsWindow) {
    StartCapture();
    script->Failures[io::WaveOp::Queue] = io::WaveNotEnabled;
    script->Record(Ramp(4096, 0)); // four buffers complete
    Pump();
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0], wave.ErrorText(io::WaveNotEnabled));
    EXPECT_EQ(host.windowEnds, 1);
    EXPECT_FALSE(script->Started); // the failed capture is stopped
}

TEST_F(CaptureCycle, PrepareFailureAfterABufferShowsErrorTextAndEndsWindow) {
    StartCapture();
    const io::WaveResult custom = wave.RegisterErrorText(QString(300, QChar('x')));
    script->Failures[io::WaveOp::Prepare] = custom;
    script->Record(Ramp(1024, 0));
    Pump();
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0].size(), io::MaxErrorTextChars);
    EXPECT_EQ(host.windowEnds, 1);
}

TEST_F(CaptureCycle, NoticesOfAResetAndClosedDeviceAreDroppedWithoutTouchingReleasedBuffers) {
    StartCapture();
    script->Record(Ramp(500, 1)); // slot 1 half full, then the mode switch
    const size_t noticesBefore = host.notices.size();
    RestartCapture(state, wave, host);
    // The old headers and memory are released now; ASan reports any touch of them.
    Pump();
    // Only the new device's open notice got through; the 1024 returned buffers of the
    // closed device were dropped.
    ASSERT_EQ(host.notices.size(), noticesBefore + 1);
    EXPECT_EQ(host.chain->Intake.WritePos, 0);
    EXPECT_TRUE(std::all_of(host.chain->Intake.CaptureBlock.begin(),
                            host.chain->Intake.CaptureBlock.end(),
                            [](int16_t s) { return s == 0; }));
    EXPECT_EQ(script->Queued(), 1024u);
    EXPECT_TRUE(host.messages.empty());
}

TEST_F(CaptureCycle, NoticesDispatchedWhileTheDriverIsDestroyedFindTheDeviceClosed) {
    // Destroying a sound system's stream may run a nested event loop; the reset
    // notices of the device being closed come through it.
    int nestedLoops = 0;
    script->WhileClosing = [&] {
        ++nestedLoops;
        Pump();
    };
    StartCapture();
    script->Record(Ramp(500, 1));
    const size_t noticesBefore = host.notices.size();
    RestartCapture(state, wave, host); // the mode path: reset, then close
    EXPECT_EQ(nestedLoops, 1);
    EXPECT_EQ(host.notices.size(), noticesBefore); // none reached the window
    EXPECT_EQ(host.chain->Intake.WritePos, 0);
    script->WhileClosing = [&] { ++nestedLoops; }; // the window ends without one
    Pump();
    ASSERT_EQ(host.notices.size(), noticesBefore + 1); // the new device's open notice
    EXPECT_EQ(script->Queued(), 1024u);
    EXPECT_TRUE(script->Started);
    EXPECT_TRUE(host.messages.empty());
}

TEST_F(CaptureCycle, DeviceRefusingToStartAtItsOpenNoticeIsNoSuitableDevice) {
    script->Failures[io::WaveOp::Start] = io::WaveNotEnabled;
    host.Initialise();
    Pump();
    EXPECT_EQ(host.messages, std::vector<QString>{"No suitable device found"});
    EXPECT_EQ(host.windowEnds, 0);    // as after a failed open: the window stays
    EXPECT_EQ(script->Sink, nullptr); // released, so no buffer waits on it
    EXPECT_EQ(state.CaptureDevice, 0u);
    // Another input can be chosen afterwards.
    script->Failures.clear();
    state.DeviceId = 1;
    EXPECT_TRUE(SwitchDevice(state, wave, host));
    EXPECT_TRUE(otherScript->Started);
}

TEST_F(CaptureCycle, ModeSwitchToAmateurReopensAt8000) {
    StartCapture();
    script->Record(Ramp(1024, 9));
    Pump();
    dsp::SetReceiverMode(*host.chain, dsp::ModeAmateur);
    RestartCapture(state, wave, host);
    EXPECT_EQ(host.initialisations, 2);
    EXPECT_EQ(script->Calls[io::WaveOp::Reset], 1);
    EXPECT_EQ(script->Calls[io::WaveOp::Close], 1);
    EXPECT_EQ(script->Calls[io::WaveOp::Unprepare], 1024);
    EXPECT_TRUE(std::all_of(host.chain->Intake.CaptureBlock.begin(),
                            host.chain->Intake.CaptureBlock.end(),
                            [](int16_t s) { return s == 0; }));
    EXPECT_EQ(script->Opens, 2);
    EXPECT_EQ(script->LastOpenRate, 8000);
    Pump();
    EXPECT_EQ(script->Queued(), 1024u);
    EXPECT_TRUE(script->Started);
}

TEST_F(CaptureCycle, NatoSwitchInNatoModeReopensAnyway) {
    StartCapture();
    dsp::SetReceiverMode(*host.chain, dsp::ModeNato);
    RestartCapture(state, wave, host);
    Pump();
    EXPECT_EQ(script->Opens, 2);
    EXPECT_EQ(script->LastOpenRate, 9600);
    EXPECT_EQ(script->Queued(), 1024u);
    EXPECT_TRUE(script->Started);
}

TEST_F(CaptureCycle, SwitchDeviceReleasesTheOldDeviceAndQueuesTheNewOneOnce) {
    StartCapture();
    StopCapture(state, wave);
    EXPECT_FALSE(script->Started);
    EXPECT_EQ(DeviceNames(wave), QStringList({"Scripted A", "Scripted B"}));
    state.DeviceId = 1;
    ASSERT_TRUE(SwitchDevice(state, wave, host));
    EXPECT_EQ(script->Sink, nullptr); // the old device is closed
    EXPECT_TRUE(otherScript->Started);
    Pump();
    EXPECT_EQ(otherScript->Calls[io::WaveOp::Queue], 1024); // not queued a second time
    EXPECT_EQ(otherScript->Queued(), 1024u);
    otherScript->Record(Ramp(1024, 0));
    Pump();
    EXPECT_EQ(otherScript->Queued(), 1024u);
    EXPECT_TRUE(host.messages.empty());
    EXPECT_EQ(host.windowEnds, 0);
}

TEST_F(CaptureCycle, SwitchDeviceOpenFailureShowsMessageAndEndsWindow) {
    StartCapture();
    StopCapture(state, wave);
    otherScript->Failures[io::WaveOp::Open] = io::WaveBadFormat;
    state.DeviceId = 1;
    EXPECT_FALSE(SwitchDevice(state, wave, host));
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0], "No suitable device found");
    EXPECT_EQ(host.windowEnds, 1);
}

TEST_F(CaptureCycle, SwitchDeviceStartFailureShowsErrorTextAndEndsWindow) {
    StartCapture();
    StopCapture(state, wave);
    otherScript->Failures[io::WaveOp::Start] = io::WaveNotEnabled;
    state.DeviceId = 1;
    EXPECT_FALSE(SwitchDevice(state, wave, host));
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0], wave.ErrorText(io::WaveNotEnabled));
    EXPECT_EQ(host.windowEnds, 1);
}

TEST_F(CaptureCycle, SwitchDeviceQueueingFailureEndsWindowWithOneMessage) {
    StartCapture();
    StopCapture(state, wave);
    otherScript->Failures[io::WaveOp::Prepare] = io::WaveNoMemory;
    state.DeviceId = 1;
    EXPECT_FALSE(SwitchDevice(state, wave, host));
    EXPECT_EQ(host.messages, std::vector<QString>{wave.ErrorText(io::WaveNoMemory)});
    EXPECT_EQ(host.windowEnds, 1);
}

TEST_F(CaptureCycle, ReleaseCaptureClosesTheDeviceAndLaterNoticesAreDropped) {
    StartCapture();
    script->Record(Ramp(1024, 0)); // a notice is pending
    ReleaseCapture(state, wave);
    EXPECT_EQ(script->Sink, nullptr);
    EXPECT_TRUE(state.CaptureBuffers.empty());
    const size_t before = host.notices.size();
    Pump();
    EXPECT_EQ(host.notices.size(), before);
}

} // namespace
} // namespace session::testing
