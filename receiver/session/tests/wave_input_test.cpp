// SPDX-License-Identifier: GPL-3.0-or-later
// The wave-input layer: buffer rules, notice delivery, and the paced devices.
#include "receiver/io/paced_devices.h"
#include "receiver/io/tests/scripted_device.h"
#include "receiver/io/wave_input.h"
#include "receiver/session/tests/test_support.h"

#include <QDateTime>
#include <QDialog>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>
#include <sndfile.h>

#include <chrono>
#include <cmath>
#include <numeric>
#include <thread>

namespace session::testing {
namespace {

// An open scripted device with its notices collected.
class WaveLayer : public ::testing::Test {
  protected:
    WaveLayer() {
        wave_.AddDevice(std::make_unique<io::testing::ScriptedDevice>("Scripted", script_));
        EXPECT_EQ(wave_.Open(handle_, 0, 9600,
                             [this](const io::WaveNotice& n) {
                                 notices_.push_back(n);
                                 if (onNotice_) onNotice_(n);
                             }),
                  io::WaveOk);
        for (auto& memory : memories_)
            memory.assign(1024, 0);
        for (size_t i = 0; i < buffers_.size(); ++i) {
            buffers_[i].Data = memories_[i].data();
            buffers_[i].BufferLength = 2048;
        }
    }
    void QueueAll() {
        for (auto& buffer : buffers_) {
            ASSERT_EQ(wave_.Prepare(handle_, buffer), io::WaveOk);
            ASSERT_EQ(wave_.Queue(handle_, buffer), io::WaveOk);
        }
    }
    std::vector<const io::WaveBuffer*> DataNotices() const {
        std::vector<const io::WaveBuffer*> result;
        for (const auto& n : notices_)
            if (n.Kind == io::WaveNoticeKind::Data) result.push_back(n.Buffer);
        return result;
    }

    std::shared_ptr<io::testing::ScriptedScript> script_ =
        std::make_shared<io::testing::ScriptedScript>();
    io::WaveInput wave_{false};
    io::WaveHandle handle_ = 0;
    std::vector<io::WaveNotice> notices_;
    std::function<void(const io::WaveNotice&)> onNotice_;
    std::array<std::vector<int16_t>, 3> memories_;
    std::array<io::WaveBuffer, 3> buffers_{};
};

TEST_F(WaveLayer, OpenIsConfirmedByANoticeThroughTheEventQueue) {
    EXPECT_NE(handle_, 0u);
    EXPECT_TRUE(notices_.empty());
    Pump();
    ASSERT_EQ(notices_.size(), 1u);
    EXPECT_EQ(notices_[0].Kind, io::WaveNoticeKind::Open);
    EXPECT_EQ(notices_[0].Device, handle_);
}

TEST_F(WaveLayer, BufferRulesAreEnforcedWithResultCodes) {
    io::WaveBuffer& b = buffers_[0];
    EXPECT_EQ(wave_.Queue(handle_, b), io::WaveUnprepared);
    io::WaveBuffer empty;
    EXPECT_EQ(wave_.Prepare(handle_, empty), io::WaveInvalidParam);
    EXPECT_EQ(wave_.Prepare(handle_, b), io::WaveOk);
    EXPECT_EQ(wave_.Prepare(handle_, b), io::WaveOk); // again: no effect, succeeds
    EXPECT_EQ(wave_.Queue(handle_, b), io::WaveOk);
    EXPECT_EQ(wave_.Queue(handle_, b), io::WaveStillQueued);
    EXPECT_EQ(wave_.Unprepare(handle_, b), io::WaveStillQueued);
    EXPECT_EQ(wave_.Reset(handle_), io::WaveOk);
    EXPECT_EQ(wave_.Unprepare(handle_, b), io::WaveOk);
    EXPECT_EQ(wave_.Queue(handle_, b), io::WaveUnprepared);
    EXPECT_EQ(wave_.Close(handle_), io::WaveOk);
    EXPECT_EQ(wave_.Prepare(handle_, b), io::WaveInvalidHandle);
    EXPECT_EQ(wave_.Start(handle_), io::WaveInvalidHandle);
    EXPECT_EQ(wave_.Close(handle_), io::WaveInvalidHandle);
    EXPECT_EQ(wave_.Open(handle_, 7, 9600, {}), io::WaveBadDeviceId);
}

TEST_F(WaveLayer, SamplesFillQueuedBuffersInOrderOnlyWhileStarted) {
    QueueAll();
    std::vector<int16_t> samples(2500);
    std::iota(samples.begin(), samples.end(), 0);
    EXPECT_EQ(script_->Record(samples), 0u); // not started: nothing recorded
    ASSERT_EQ(wave_.Start(handle_), io::WaveOk);
    EXPECT_EQ(script_->Record(samples), 2500u);
    Pump();
    ASSERT_EQ(DataNotices(), (std::vector<const io::WaveBuffer*>{&buffers_[0], &buffers_[1]}));
    EXPECT_EQ(memories_[1][0], 1024);
    EXPECT_TRUE(buffers_[0].Flags & io::WaveBufferDone);
    EXPECT_FALSE(buffers_[0].Flags & io::WaveBufferQueued);
    EXPECT_EQ(buffers_[2].BytesRecorded, 2 * (2500u - 2048u));
    // With every buffer used up, further samples are lost, as on a sound card.
    EXPECT_EQ(script_->Record(std::vector<int16_t>(2000)), 1024u - (2500u - 2048u));
}

// Buffers are dated by their samples from the stream's start, not by when the
// device wrote them: a write a little late changes nothing, a pause of more
// than a second dates the stream afresh, and a device may give the time
// itself. Fill marked ahead lands in the buffer that holds it.
TEST_F(WaveLayer, BuffersAreDatedBySamplesAndSayWhichOfThemAreFill) {
    constexpr double bufferMs = 1024 * 1000.0 / 9600;
    const auto requeue = [this](io::WaveBuffer& buffer) {
        ASSERT_EQ(wave_.Prepare(handle_, buffer), io::WaveOk);
        ASSERT_EQ(wave_.Queue(handle_, buffer), io::WaveOk);
    };
    QueueAll();
    wave_.Start(handle_);
    const int64_t before = QDateTime::currentMSecsSinceEpoch();
    script_->Record(std::vector<int16_t>(1024));
    const int64_t first = buffers_[0].DoneWallMs;
    EXPECT_NEAR(double(first - before), 0.0, 100.0);
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    script_->Sink->MarkFill(1024 + 100, 50); // in the next buffer but one
    script_->Record(std::vector<int16_t>(1024));
    EXPECT_NEAR(double(buffers_[1].DoneWallMs - first), bufferMs, 1.0);
    EXPECT_EQ(buffers_[1].FillSamples, 0u);
    script_->Record(std::vector<int16_t>(1024));
    EXPECT_EQ(buffers_[2].FillSamples, 50u);
    EXPECT_EQ(buffers_[2].FillFirst, 100u);
    EXPECT_EQ(buffers_[2].FillEnd, 150u);

    requeue(buffers_[0]);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    const int64_t resumed = QDateTime::currentMSecsSinceEpoch();
    script_->Record(std::vector<int16_t>(1024));
    EXPECT_EQ(buffers_[0].FillSamples, 0u); // cleared when queued again
    EXPECT_NEAR(double(buffers_[0].DoneWallMs - resumed), 0.0, 100.0);

    requeue(buffers_[1]);
    script_->Sink->SetTime(1.7e12);
    script_->Record(std::vector<int16_t>(1024));
    EXPECT_EQ(buffers_[1].DoneWallMs, std::llround(1.7e12 + 1023 * 1000.0 / 9600));
}

TEST_F(WaveLayer, StopReturnsThePartlyFilledBufferAndKeepsTheEmptyOnesQueued) {
    QueueAll();
    wave_.Start(handle_);
    script_->Record(std::vector<int16_t>(10, 5));
    ASSERT_EQ(wave_.Stop(handle_), io::WaveOk);
    Pump();
    ASSERT_EQ(DataNotices().size(), 1u);
    EXPECT_EQ(buffers_[0].BytesRecorded, 20u);
    EXPECT_EQ(script_->Queued(), 2u);
    wave_.Start(handle_);
    script_->Record(std::vector<int16_t>(1024, 1));
    Pump();
    EXPECT_EQ(DataNotices().back(), &buffers_[1]);
}

TEST_F(WaveLayer, ResetReturnsEveryQueuedBufferInOrder) {
    QueueAll();
    wave_.Start(handle_);
    ASSERT_EQ(wave_.Reset(handle_), io::WaveOk);
    EXPECT_FALSE(script_->Started);
    Pump();
    EXPECT_EQ(DataNotices(),
              (std::vector<const io::WaveBuffer*>{&buffers_[0], &buffers_[1], &buffers_[2]}));
    EXPECT_EQ(script_->Queued(), 0u);
}

TEST_F(WaveLayer, NoticesOfAClosedHandleAreDroppedAndHandlesAreNeverReused) {
    QueueAll();
    wave_.Start(handle_);
    script_->Record(std::vector<int16_t>(1024));
    const io::WaveHandle first = handle_;
    ASSERT_EQ(wave_.Close(first), io::WaveOk);
    io::WaveHandle second = 0;
    ASSERT_EQ(
        wave_.Open(second, 0, 9600, [this](const io::WaveNotice& n) { notices_.push_back(n); }),
        io::WaveOk);
    EXPECT_NE(second, first);
    Pump();
    ASSERT_EQ(notices_.size(), 1u);
    EXPECT_EQ(notices_[0].Device, second);
}

TEST_F(WaveLayer, HandlerMayCloseTheDeviceWhileItsNoticeIsBeingHandled) {
    io::WaveHandle h = 0;
    int calls = 0;
    ASSERT_EQ(wave_.Open(h, 0, 9600,
                         [&](const io::WaveNotice&) {
                             ++calls;
                             wave_.Close(h);
                         }),
              io::WaveOk);
    Pump();
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(wave_.IsOpen(h));
}

TEST_F(WaveLayer, NoticesAreHandledInsideAModalDialogLoop) {
    QueueAll();
    wave_.Start(handle_);
    int depth = 0;
    int handledInside = 0;
    onNotice_ = [&](const io::WaveNotice& n) {
        if (n.Kind != io::WaveNoticeKind::Data) return;
        if (depth > 0) {
            ++handledInside;
            return;
        }
        // The first buffer's handler runs a modal dialog, as a command would; the
        // next buffer completes meanwhile and is handled from inside its loop.
        ++depth;
        QDialog dialog;
        QTimer::singleShot(0, [&] { script_->Record(std::vector<int16_t>(1024)); });
        QTimer::singleShot(150, &dialog, &QDialog::accept);
        dialog.exec();
        --depth;
    };
    script_->Record(std::vector<int16_t>(1024));
    RunUntil([&] { return handledInside > 0 && depth == 0; }, 3000);
    EXPECT_EQ(handledInside, 1);
    EXPECT_EQ(depth, 0);
}

TEST(WaveErrors, TextsAreShortAndKnownForEveryCode) {
    io::WaveInput wave(false);
    for (const io::WaveResult code :
         {io::WaveOk, io::WaveError, io::WaveBadDeviceId, io::WaveNotEnabled, io::WaveAllocated,
          io::WaveInvalidHandle, io::WaveNoDriver, io::WaveNoMemory, io::WaveNotSupported,
          io::WaveInvalidParam, io::WaveBadFormat, io::WaveStillQueued, io::WaveUnprepared}) {
        const QString text = wave.ErrorText(code);
        EXPECT_FALSE(text.isEmpty());
        EXPECT_LE(text.size(), io::MaxErrorTextChars);
        EXPECT_FALSE(text.startsWith("Unknown")) << code;
    }
    const io::WaveResult longText = wave.RegisterErrorText(QString(200, QChar('e')));
    EXPECT_EQ(wave.ErrorText(longText), QString(126, QChar('e')));
    EXPECT_TRUE(wave.ErrorText(static_cast<io::WaveResult>(555)).contains("555"));
}

TEST(WaveDevices, ListIsExactlyTheAddedDevicesWithoutSoundCards) {
    io::WaveInput wave(false);
    EXPECT_EQ(wave.DeviceCount(), 0);
    EXPECT_EQ(wave.AddDevice(std::make_unique<io::TestSignalDevice>()), 0);
    EXPECT_EQ(wave.AddDevice(std::make_unique<io::RecordingDevice>("/x/y/band.wav")), 1);
    EXPECT_EQ(wave.DeviceCount(), 2);
    EXPECT_EQ(wave.DeviceName(0), "Built-in STANAG 4285 test signal");
    EXPECT_EQ(wave.DeviceName(1), "Recording band.wav");
    EXPECT_EQ(wave.DeviceName(2), "");
    io::WaveHandle h = 0;
    EXPECT_EQ(wave.Open(h, -1, 9600, {}), io::WaveBadDeviceId); // no default input
}

// A device opened in the layer with a few buffers queued and the notices counted.
struct PacedRun {
    explicit PacedRun(std::unique_ptr<io::WaveDevice> device, int32_t rate, size_t bufferCount = 8)
        : Memories(bufferCount, std::vector<int16_t>(1024)), Buffers(bufferCount) {
        Wave.AddDevice(std::move(device));
        Result = Wave.Open(Handle, 0, rate, [this](const io::WaveNotice& n) {
            if (n.Kind == io::WaveNoticeKind::Data) Done.push_back(n.Buffer);
        });
        if (Result != io::WaveOk) return;
        for (size_t i = 0; i < Buffers.size(); ++i) {
            Buffers[i].Data = Memories[i].data();
            Buffers[i].BufferLength = 2048;
            Wave.Prepare(Handle, Buffers[i]);
            Wave.Queue(Handle, Buffers[i]);
        }
        Wave.Start(Handle);
    }
    io::WaveInput Wave{false};
    io::WaveHandle Handle = 0;
    io::WaveResult Result = io::WaveError;
    std::vector<std::vector<int16_t>> Memories;
    std::vector<io::WaveBuffer> Buffers;
    std::vector<const io::WaveBuffer*> Done;
};

TEST(TestSignal, DeliversALiveSignalAtRealTimePace) {
    PacedRun run(std::make_unique<io::TestSignalDevice>(), 9600);
    ASSERT_EQ(run.Result, io::WaveOk);
    QElapsedTimer clock;
    clock.start();
    RunUntil([&] { return run.Done.size() >= 3; }, 3000);
    const qint64 elapsedMs = clock.elapsed();
    ASSERT_EQ(run.Done.size(), 3u);
    // Three buffers of 1024 samples take 320 ms at 9600 samples/s.
    EXPECT_GE(elapsedMs, 300);
    EXPECT_LT(elapsedMs, 1000);
    double power = 0;
    for (size_t i = 0; i < 3; ++i)
        for (int16_t s : run.Memories[i])
            power += double(s) * s;
    const double rmsDbfs = 10 * std::log10(power / (3 * 1024) / (32767.0 * 32767.0));
    EXPECT_NEAR(rmsDbfs, -16, 3);
}

TEST(TestSignal, OpensAtTheAmateurRateToo) {
    PacedRun run(std::make_unique<io::TestSignalDevice>(), 8000);
    ASSERT_EQ(run.Result, io::WaveOk);
    EXPECT_TRUE(RunUntil([&] { return !run.Done.empty(); }, 2000));
}

// Writes a recording with libsndfile; the samples of channel c at frame i are
// i * (c + 1) (wrapped to 16 bits).
QString WriteRecording(const QTemporaryDir& dir, int rate, int channels, int frames) {
    const QString path = dir.filePath("rec.wav");
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(QFile::encodeName(path).constData(), SFM_WRITE, &info);
    EXPECT_NE(file, nullptr);
    std::vector<int16_t> data(static_cast<size_t>(frames * channels));
    for (int i = 0; i < frames; ++i)
        for (int c = 0; c < channels; ++c)
            data[static_cast<size_t>(i * channels + c)] = static_cast<int16_t>(i * (c + 1));
    sf_writef_short(file, data.data(), frames);
    sf_close(file);
    return path;
}

TEST(Recording, PlaysInRealTimeAndStopsAfterTheLastPartialBuffer) {
    QTemporaryDir dir;
    const QString path = WriteRecording(dir, 9600, 2, 3000);
    std::string error;
    const auto reader =
        io::RecordingReader::Open(path.toStdString(), 0, io::ChannelChoice::Left, error);
    ASSERT_NE(reader, nullptr) << error;
    EXPECT_EQ(reader->Info().FileRate, 9600);
    EXPECT_EQ(reader->Info().Frames, 3000);

    PacedRun run(std::make_unique<io::RecordingDevice>(path), 9600);
    ASSERT_EQ(run.Result, io::WaveOk);
    ASSERT_TRUE(RunUntil([&] { return run.Done.size() >= 3; }, 3000));
    RunUntil([] { return false; }, 300); // nothing more comes
    ASSERT_EQ(run.Done.size(), 3u);
    EXPECT_EQ(run.Done[0]->BytesRecorded, 2048u);
    EXPECT_EQ(run.Done[2]->BytesRecorded, 2u * (3000 - 2048));
    // The first channel, in order, across the buffers.
    EXPECT_EQ(run.Memories[1][5], 1024 + 5);
    EXPECT_EQ(run.Memories[2][951], 2999);
}

TEST(Recording, AtAnotherRateItIsConvertedAndUnreadableItDoesNotOpen) {
    QTemporaryDir dir;
    // 4800 samples at 9600/s are half a second: 4000 samples at 8000/s.
    const QString path = WriteRecording(dir, 9600, 1, 4800);
    PacedRun otherRate(std::make_unique<io::RecordingDevice>(path), 8000);
    ASSERT_EQ(otherRate.Result, io::WaveOk);
    ASSERT_TRUE(RunUntil([&] { return otherRate.Done.size() >= 4; }, 3000));
    RunUntil([] { return false; }, 300);
    ASSERT_EQ(otherRate.Done.size(), 4u);
    EXPECT_NEAR(double(otherRate.Done[3]->BytesRecorded) / 2, 4000 - 3 * 1024, 2);
    PacedRun missing(std::make_unique<io::RecordingDevice>(dir.filePath("none.wav")), 9600);
    EXPECT_NE(missing.Result, io::WaveOk);
    std::string error;
    EXPECT_EQ(io::RecordingReader::Open(dir.filePath("none.wav").toStdString(), 0,
                                        io::ChannelChoice::Left, error),
              nullptr);
    EXPECT_NE(error.find("none.wav"), std::string::npos) << error;
}

} // namespace
} // namespace session::testing
