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
        wave_.AddDevice(std::make_unique<io::testing::ScriptedDevice>("Scripted A", script_));
        wave_.AddDevice(std::make_unique<io::testing::ScriptedDevice>("Scripted B", otherScript_));
    }

    // Initialisation plus the open notice: 1024 buffers queued, capture started.
    void StartCapture() {
        host_.Initialise();
        Pump();
        ASSERT_EQ(script_->Queued(), 1024u);
        ASSERT_TRUE(script_->Started);
    }

    std::shared_ptr<io::testing::ScriptedScript> script_ =
        std::make_shared<io::testing::ScriptedScript>();
    std::shared_ptr<io::testing::ScriptedScript> otherScript_ =
        std::make_shared<io::testing::ScriptedScript>();
    io::WaveInput wave_{false};
    CaptureState state_;
    FakeHost host_{state_, wave_};
};

TEST_F(CaptureCycle, InitialisationOpensAtTheChainRateAndTheOpenNoticeQueuesAllSlotsAndStarts) {
    host_.Initialise();
    EXPECT_EQ(script_->LastOpenRate, 9600);
    ASSERT_EQ(state_.CaptureBuffers.size(), 1025u);
    EXPECT_EQ(state_.CaptureBuffers[0].Data, nullptr); // slot 0 is never used
    for (size_t slot = 1; slot <= 1024; ++slot) {
        const io::WaveBuffer& header = state_.CaptureBuffers[slot];
        ASSERT_NE(header.Data, nullptr);
        ASSERT_EQ(header.BufferLength, 2048u);
        ASSERT_TRUE(std::all_of(header.Data, header.Data + 1024, [](int16_t s) { return s == 0; }));
    }
    // Nothing is queued before the device confirms the open.
    EXPECT_EQ(script_->Queued(), 0u);
    EXPECT_FALSE(script_->Started);
    Pump();
    EXPECT_EQ(script_->Queued(), 1024u);
    EXPECT_EQ(script_->Calls[io::WaveOp::Queue], 1024);
    EXPECT_TRUE(script_->Started);
    EXPECT_TRUE(host_.Messages.empty());
}

TEST_F(CaptureCycle, OpenFailureAtInitialisationShowsMessageAndLeavesWindowUpWithoutNotices) {
    script_->Failures[io::WaveOp::Open] = io::WaveAllocated;
    host_.Initialise();
    Pump();
    ASSERT_EQ(host_.Messages.size(), 1u);
    EXPECT_EQ(host_.Messages[0], "No suitable device found");
    EXPECT_EQ(host_.RunEnds, 0);
    EXPECT_TRUE(host_.Notices.empty());
    EXPECT_EQ(state_.CaptureBuffers.size(), 1025u); // the buffers are still created
}

TEST_F(CaptureCycle, DefaultInputWithoutSoundCardsIsNoSuitableDevice) {
    state_.DeviceId = -1;
    host_.Initialise();
    ASSERT_EQ(host_.Messages.size(), 1u);
    EXPECT_EQ(host_.Messages[0], "No suitable device found");
}

TEST_F(CaptureCycle, AllocationFailureShowsAcuteAccentMessageAndStopsAtThatSlot) {
    ASSERT_TRUE(OpenCapture(state_, wave_, host_));
    int calls = 0;
    const bool ok = AllocateBuffers(state_, wave_, host_, [&calls](size_t samples) {
        return ++calls == 5 ? nullptr : HeapBuffer(samples);
    });
    EXPECT_FALSE(ok);
    EXPECT_EQ(calls, 5);
    ASSERT_EQ(host_.Messages.size(), 1u);
    EXPECT_EQ(host_.Messages[0].toUtf8(), QByteArray("Can\xC2\xB4t alloc Buffers"));
    EXPECT_EQ(host_.Messages[0].at(3).unicode(), 0x00B4);
    EXPECT_NE(state_.CaptureBuffers[4].Data, nullptr);
    EXPECT_EQ(state_.CaptureBuffers[5].Data, nullptr);

    // The open notice then queues slots 1..4 and stops at the empty slot with the
    // device's error text; the window stays up.
    Pump();
    EXPECT_EQ(script_->Queued(), 4u);
    ASSERT_EQ(host_.Messages.size(), 2u);
    EXPECT_EQ(host_.Messages[1], wave_.ErrorText(io::WaveInvalidParam));
    EXPECT_EQ(host_.RunEnds, 0);
}

TEST_F(CaptureCycle, PrepareFailureInOpenNoticeShowsErrorTextAndQueuesNothingMore) {
    script_->Failures[io::WaveOp::Prepare] = io::WaveNoMemory;
    host_.Initialise();
    Pump();
    EXPECT_EQ(script_->Queued(), 0u);
    ASSERT_EQ(host_.Messages.size(), 1u);
    EXPECT_EQ(host_.Messages[0], wave_.ErrorText(io::WaveNoMemory));
    EXPECT_EQ(script_->Calls[io::WaveOp::Prepare], 1);
    EXPECT_EQ(host_.RunEnds, 0);
}

TEST_F(CaptureCycle, FullBuffersReachTheChainInOrderAndAreQueuedAgain) {
    StartCapture();
    const auto first = Ramp(1024, -3000);
    const auto second = Ramp(1024, 100);
    const auto third = Ramp(1024, 5000);
    script_->Record(first);
    script_->Record(second);
    script_->Record(third);
    Pump();
    ASSERT_EQ(host_.Notices.size(), 4u); // open + three buffers
    EXPECT_EQ(host_.Notices[1].Buffer, &state_.CaptureBuffers[1]);
    EXPECT_EQ(host_.Notices[2].Buffer, &state_.CaptureBuffers[2]);
    EXPECT_EQ(host_.Notices[3].Buffer, &state_.CaptureBuffers[3]);
    EXPECT_TRUE(
        std::equal(third.begin(), third.end(), host_.OwnChain->Intake.CaptureBlock.begin()));
    EXPECT_EQ(host_.OwnChain->Intake.WritePos, 0); // 3 x 1024 samples: three whole blocks
    EXPECT_EQ(script_->Queued(), 1024u);
    EXPECT_EQ(script_->Calls[io::WaveOp::Queue], 1024 + 3);
    EXPECT_TRUE(host_.Messages.empty());
}

TEST_F(CaptureCycle, ZeroByteBufferHandsNoSamplesOnAndIsStillQueuedAgain) {
    StartCapture();
    script_->FinishCurrent(); // returns slot 1 with nothing recorded
    Pump();
    ASSERT_EQ(host_.Notices.size(), 2u);
    EXPECT_EQ(host_.RecordedBytes, std::vector<uint32_t>{0});
    EXPECT_EQ(host_.OwnChain->Intake.WritePos, 0);
    EXPECT_EQ(script_->Queued(), 1024u);
    EXPECT_EQ(script_->Calls[io::WaveOp::Queue], 1025);
}

TEST_F(CaptureCycle, ShortBufferHandsOnExactlyTheRecordedSamples) {
    StartCapture();
    const auto samples = Ramp(100, 7);
    script_->Record(samples);
    script_->FinishCurrent();
    Pump();
    ASSERT_EQ(host_.Notices.size(), 2u);
    EXPECT_EQ(host_.RecordedBytes, std::vector<uint32_t>{200});
    EXPECT_EQ(host_.OwnChain->Intake.WritePos, 100);
    EXPECT_TRUE(
        std::equal(samples.begin(), samples.end(), host_.OwnChain->Intake.CaptureBlock.begin()));
    EXPECT_EQ(script_->Queued(), 1024u);

    // Then a full buffer carries on where the short one ended.
    script_->Record(Ramp(1024, 0));
    Pump();
    EXPECT_EQ(host_.OwnChain->Intake.WritePos, 100);
}

TEST_F(CaptureCycle, QueueFailureAfterABufferShowsErrorTextOnceAndEndsWindow) {
    StartCapture();
    script_->Failures[io::WaveOp::Queue] = io::WaveNotEnabled;
    script_->Record(Ramp(4096, 0)); // four buffers complete
    Pump();
    ASSERT_EQ(host_.Messages.size(), 1u);
    EXPECT_EQ(host_.Messages[0], wave_.ErrorText(io::WaveNotEnabled));
    EXPECT_EQ(host_.RunEnds, 1);
    EXPECT_FALSE(script_->Started); // the failed capture is stopped
}

TEST_F(CaptureCycle, PrepareFailureAfterABufferShowsErrorTextAndEndsWindow) {
    StartCapture();
    const io::WaveResult custom = wave_.RegisterErrorText(QString(300, QChar('x')));
    script_->Failures[io::WaveOp::Prepare] = custom;
    script_->Record(Ramp(1024, 0));
    Pump();
    ASSERT_EQ(host_.Messages.size(), 1u);
    EXPECT_EQ(host_.Messages[0].size(), io::MaxErrorTextChars);
    EXPECT_EQ(host_.RunEnds, 1);
}

TEST_F(CaptureCycle, NoticesOfAResetAndClosedDeviceAreDroppedWithoutTouchingReleasedBuffers) {
    StartCapture();
    script_->Record(Ramp(500, 1)); // slot 1 half full, then the mode switch
    const size_t noticesBefore = host_.Notices.size();
    RestartCapture(state_, wave_, host_);
    // The old headers and memory are released now; ASan reports any touch of them.
    Pump();
    // Only the new device's open notice got through; the 1024 returned buffers of the
    // closed device were dropped.
    ASSERT_EQ(host_.Notices.size(), noticesBefore + 1);
    EXPECT_EQ(host_.OwnChain->Intake.WritePos, 0);
    EXPECT_TRUE(std::all_of(host_.OwnChain->Intake.CaptureBlock.begin(),
                            host_.OwnChain->Intake.CaptureBlock.end(),
                            [](int16_t s) { return s == 0; }));
    EXPECT_EQ(script_->Queued(), 1024u);
    EXPECT_TRUE(host_.Messages.empty());
}

TEST_F(CaptureCycle, NoticesDispatchedWhileTheDriverIsDestroyedFindTheDeviceClosed) {
    // Destroying a sound system's stream may run a nested event loop; the reset
    // notices of the device being closed come through it.
    int nestedLoops = 0;
    script_->WhileClosing = [&] {
        ++nestedLoops;
        Pump();
    };
    StartCapture();
    script_->Record(Ramp(500, 1));
    const size_t noticesBefore = host_.Notices.size();
    RestartCapture(state_, wave_, host_); // the mode path: reset, then close
    EXPECT_EQ(nestedLoops, 1);
    EXPECT_EQ(host_.Notices.size(), noticesBefore); // none reached the window
    EXPECT_EQ(host_.OwnChain->Intake.WritePos, 0);
    script_->WhileClosing = [&] { ++nestedLoops; }; // the window ends without one
    Pump();
    ASSERT_EQ(host_.Notices.size(), noticesBefore + 1); // the new device's open notice
    EXPECT_EQ(script_->Queued(), 1024u);
    EXPECT_TRUE(script_->Started);
    EXPECT_TRUE(host_.Messages.empty());
}

TEST_F(CaptureCycle, DeviceRefusingToStartAtItsOpenNoticeIsNoSuitableDevice) {
    script_->Failures[io::WaveOp::Start] = io::WaveNotEnabled;
    host_.Initialise();
    Pump();
    EXPECT_EQ(host_.Messages, std::vector<QString>{"No suitable device found"});
    EXPECT_EQ(host_.RunEnds, 0);       // as after a failed open: the window stays
    EXPECT_EQ(script_->Sink, nullptr); // released, so no buffer waits on it
    EXPECT_EQ(state_.CaptureDevice, 0u);
    // Another input can be chosen afterwards.
    script_->Failures.clear();
    state_.DeviceId = 1;
    EXPECT_TRUE(SwitchDevice(state_, wave_, host_));
    EXPECT_TRUE(otherScript_->Started);
}

TEST_F(CaptureCycle, ModeSwitchToAmateurReopensAt8000) {
    StartCapture();
    script_->Record(Ramp(1024, 9));
    Pump();
    dsp::SetReceiverMode(*host_.OwnChain, dsp::ModeAmateur);
    RestartCapture(state_, wave_, host_);
    EXPECT_EQ(host_.Initialisations, 2);
    EXPECT_EQ(script_->Calls[io::WaveOp::Reset], 1);
    EXPECT_EQ(script_->Calls[io::WaveOp::Close], 1);
    EXPECT_EQ(script_->Calls[io::WaveOp::Unprepare], 1024);
    EXPECT_TRUE(std::all_of(host_.OwnChain->Intake.CaptureBlock.begin(),
                            host_.OwnChain->Intake.CaptureBlock.end(),
                            [](int16_t s) { return s == 0; }));
    EXPECT_EQ(script_->Opens, 2);
    EXPECT_EQ(script_->LastOpenRate, 8000);
    Pump();
    EXPECT_EQ(script_->Queued(), 1024u);
    EXPECT_TRUE(script_->Started);
}

TEST_F(CaptureCycle, NatoSwitchInNatoModeReopensAnyway) {
    StartCapture();
    dsp::SetReceiverMode(*host_.OwnChain, dsp::ModeNato);
    RestartCapture(state_, wave_, host_);
    Pump();
    EXPECT_EQ(script_->Opens, 2);
    EXPECT_EQ(script_->LastOpenRate, 9600);
    EXPECT_EQ(script_->Queued(), 1024u);
    EXPECT_TRUE(script_->Started);
}

TEST_F(CaptureCycle, SwitchDeviceReleasesTheOldDeviceAndQueuesTheNewOneOnce) {
    StartCapture();
    StopCapture(state_, wave_);
    EXPECT_FALSE(script_->Started);
    EXPECT_EQ(DeviceNames(wave_), QStringList({"Scripted A", "Scripted B"}));
    state_.DeviceId = 1;
    ASSERT_TRUE(SwitchDevice(state_, wave_, host_));
    EXPECT_EQ(script_->Sink, nullptr); // the old device is closed
    EXPECT_TRUE(otherScript_->Started);
    Pump();
    EXPECT_EQ(otherScript_->Calls[io::WaveOp::Queue], 1024); // not queued a second time
    EXPECT_EQ(otherScript_->Queued(), 1024u);
    otherScript_->Record(Ramp(1024, 0));
    Pump();
    EXPECT_EQ(otherScript_->Queued(), 1024u);
    EXPECT_TRUE(host_.Messages.empty());
    EXPECT_EQ(host_.RunEnds, 0);
}

TEST_F(CaptureCycle, SwitchDeviceOpenFailureShowsMessageAndEndsWindow) {
    StartCapture();
    StopCapture(state_, wave_);
    otherScript_->Failures[io::WaveOp::Open] = io::WaveBadFormat;
    state_.DeviceId = 1;
    EXPECT_FALSE(SwitchDevice(state_, wave_, host_));
    ASSERT_EQ(host_.Messages.size(), 1u);
    EXPECT_EQ(host_.Messages[0], "No suitable device found");
    EXPECT_EQ(host_.RunEnds, 1);
}

TEST_F(CaptureCycle, SwitchDeviceStartFailureShowsErrorTextAndEndsWindow) {
    StartCapture();
    StopCapture(state_, wave_);
    otherScript_->Failures[io::WaveOp::Start] = io::WaveNotEnabled;
    state_.DeviceId = 1;
    EXPECT_FALSE(SwitchDevice(state_, wave_, host_));
    ASSERT_EQ(host_.Messages.size(), 1u);
    EXPECT_EQ(host_.Messages[0], wave_.ErrorText(io::WaveNotEnabled));
    EXPECT_EQ(host_.RunEnds, 1);
}

TEST_F(CaptureCycle, SwitchDeviceQueueingFailureEndsWindowWithOneMessage) {
    StartCapture();
    StopCapture(state_, wave_);
    otherScript_->Failures[io::WaveOp::Prepare] = io::WaveNoMemory;
    state_.DeviceId = 1;
    EXPECT_FALSE(SwitchDevice(state_, wave_, host_));
    EXPECT_EQ(host_.Messages, std::vector<QString>{wave_.ErrorText(io::WaveNoMemory)});
    EXPECT_EQ(host_.RunEnds, 1);
}

TEST_F(CaptureCycle, ReleaseCaptureClosesTheDeviceAndLaterNoticesAreDropped) {
    StartCapture();
    script_->Record(Ramp(1024, 0)); // a notice is pending
    ReleaseCapture(state_, wave_);
    EXPECT_EQ(script_->Sink, nullptr);
    EXPECT_TRUE(state_.CaptureBuffers.empty());
    const size_t before = host_.Notices.size();
    Pump();
    EXPECT_EQ(host_.Notices.size(), before);
}

} // namespace
} // namespace session::testing
