// SPDX-License-Identifier: GPL-3.0-or-later
// A program that writes its samples into a pipe in pieces of any size, a
// byte of a sample in one write and the other in the next: what reaches the
// capture buffers is exactly the samples it wrote.
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "receiver/io/stream_devices.h"
#include "receiver/io/tests/sound_servers.h"
#include "receiver/session/capture.h"
#include "receiver/session/tests/test_support.h"

namespace session::testing {
namespace {

// Keeps the samples of every buffer the capture cycle hands on.
struct KeepingHost : FakeHost {
    using FakeHost::FakeHost;
    void DeliverNotice(const io::WaveNotice& notice) override {
        if (notice.Kind == io::WaveNoticeKind::Data && Wave.IsOpen(notice.Device))
            Kept.insert(Kept.end(), notice.Buffer->Data,
                        notice.Buffer->Data + notice.Buffer->BytesRecorded / 2);
        FakeHost::DeliverNotice(notice);
    }
    std::vector<int16_t> Kept;
};

TEST(PipePieces, OddSizedWritesDeliverExactlyTheSamplesWritten) {
    QTemporaryDir dir;
    const QString raw = QDir(dir.path()).filePath("signal.raw");
    // At the capture rate itself, so that no rate conversion stands between
    // the pipe and the buffers.
    if (!io::testing::WriteRawTestSignal(raw, 3.0, 9600)) GTEST_SKIP() << "sox cannot run";
    QFile file(raw);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    ASSERT_EQ(bytes.size() % 2, 0);

    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    std::thread writer([&] {
        // 1001 bytes at a time with pauses, so that every read ends mid-sample.
        for (qsizetype at = 0; at < bytes.size(); at += 1001) {
            const auto n = static_cast<size_t>(std::min<qsizetype>(1001, bytes.size() - at));
            if (::write(fds[1], bytes.constData() + at, n) != static_cast<ssize_t>(n)) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        ::close(fds[1]);
    });

    int ended = 0;
    io::StreamReports reports;
    reports.Ended = [&] { ++ended; };
    io::WaveInput wave(false);
    CaptureState state;
    state.DeviceId = wave.AddDevice(
        std::make_unique<io::PipeStreamDevice>(fds[0], 9600, io::SampleEncoding::S16, reports));
    KeepingHost host(state, wave);
    host.Initialise();
    const bool done = RunUntil([&] { return ended > 0; }, 30000);
    RunUntil([] { return false; }, 200);
    ReleaseCapture(state, wave);
    writer.join();
    ::close(fds[0]);
    ASSERT_TRUE(done) << "the end of the input was never seen";

    const auto* written = reinterpret_cast<const int16_t*>(bytes.constData());
    const std::vector<int16_t> expected(written, written + bytes.size() / 2);
    ASSERT_EQ(host.Kept.size(), expected.size());
    EXPECT_TRUE(host.Kept == expected);
}

} // namespace
} // namespace session::testing
