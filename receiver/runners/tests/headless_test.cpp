// SPDX-License-Identifier: GPL-3.0-or-later
// The headless runner in process: a scripted input and a replayed recording
// drive the same capture cycle, chain and block log as the window.  How a run
// ends decides its exit status and its last line; the settings file and the
// log are written on every way out.
#include "receiver/runners/headless.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>
#include <sndfile.h>

#include <csignal>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "receiver/io/paced_devices.h"
#include "receiver/io/tests/scripted_device.h"
#include "receiver/session/termination.h"

namespace runners {
namespace {

std::vector<std::string> Lines(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

class HeadlessRun : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        state_.SettingsPath = dir_.filePath("Stanag4285.set").toStdString();
        state_.Display.SnapshotFolder = dir_.path();
        session::PrepareReceiver(state_);
        session::ReceiverOptions options;
        options.Log = dir_.filePath("logs");
        session::ApplyReceiverOptions(state_, options);
    }

    // Runs to the end; what it wrote on stderr lands in err_.
    int Run() {
        ::testing::internal::CaptureStderr();
        const int status = RunHeadless(state_, wave_);
        err_ = ::testing::internal::GetCapturedStderr();
        return status;
    }

    // The rows of the day's block log (one file a day; a run of a second
    // stays inside one unless it starts at midnight).
    std::vector<std::string> LogRows() const {
        const QStringList days =
            QDir(dir_.filePath("logs")).entryList({QStringLiteral("propmon-*.csv")});
        std::vector<std::string> rows;
        for (const QString& day : days)
            for (const std::string& line :
                 Lines(QDir(dir_.filePath("logs")).filePath(day).toStdString()))
                rows.push_back(line);
        return rows;
    }

    QTemporaryDir dir_;
    session::ReceiverState state_;
    io::WaveInput wave_{false};
    std::string err_;
};

TEST_F(HeadlessRun, ScriptedInputRunsUntilSigtermThenSavesAndLogsEveryBlock) {
    auto script = std::make_shared<io::testing::ScriptedScript>();
    wave_.AddDevice(std::make_unique<io::testing::ScriptedDevice>("Scripted", script));
    // Six blocks of input, then the service manager's stop.
    QTimer feed;
    bool fed = false;
    QObject::connect(&feed, &QTimer::timeout, [&] {
        if (!script->Started) return;
        if (!fed) {
            EXPECT_EQ(script->Record(std::vector<int16_t>(6 * dsp::BlockLen, 100)),
                      size_t(6 * dsp::BlockLen));
            fed = true;
        } else if (state_.BlockCount >= 6) {
            std::raise(SIGTERM);
        }
    });
    feed.start(5);
    const int status = Run();

    EXPECT_EQ(status, session::ExitSuccess);
    EXPECT_EQ(state_.BlockCount, 6);
    EXPECT_EQ(script->LastOpenRate, 9600);
    EXPECT_EQ(script->Sink, nullptr) << "the input is closed at the end";
    EXPECT_NE(err_.find("propmon: input 0: Scripted\n"), std::string::npos) << err_;
    EXPECT_NE(err_.find("propmon: stopped by SIGTERM after 6 blocks (0:00:00 of input)\n"),
              std::string::npos)
        << err_;
    const std::vector<std::string> rows = LogRows();
    ASSERT_EQ(rows.size(), 7u) << "a header and one row a block";
    EXPECT_EQ(rows[0].rfind("utc", 0), 0u) << rows[0];
    EXPECT_TRUE(QFileInfo::exists(QString::fromStdString(state_.SettingsPath)));
}

// An input that cannot be opened, and one that fails while running: one
// event line with the reason, exit status 1, the settings written all the same.
class HeadlessFailure : public HeadlessRun, public ::testing::WithParamInterface<io::WaveOp> {};

TEST_P(HeadlessFailure, EndsWithStatusOneAndSaysCaptureFailed) {
    auto script = std::make_shared<io::testing::ScriptedScript>();
    wave_.AddDevice(std::make_unique<io::testing::ScriptedDevice>("Scripted", script));
    const io::WaveOp failing = GetParam();
    if (failing == io::WaveOp::Open) script->Failures[failing] = io::WaveAllocated;
    QTimer feed;
    QObject::connect(&feed, &QTimer::timeout, [&] {
        if (!script->Started || script->Failures.count(failing)) return;
        // Two blocks arrive; requeueing the buffers then fails.
        script->Failures[failing] = io::WaveError;
        script->Record(std::vector<int16_t>(2 * dsp::BlockLen, 0));
    });
    feed.start(5);
    const int status = Run();

    EXPECT_EQ(status, session::ExitFailure);
    EXPECT_NE(err_.find("capture failed after "), std::string::npos) << err_;
    EXPECT_EQ(err_.find("stopped by"), std::string::npos) << err_;
    EXPECT_TRUE(QFileInfo::exists(QString::fromStdString(state_.SettingsPath)));
    EXPECT_EQ(script->Sink, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Inputs, HeadlessFailure,
                         ::testing::Values(io::WaveOp::Open, io::WaveOp::Queue),
                         [](const auto& info) {
                             return info.param == io::WaveOp::Open ? "OpenRefused" : "RequeueFails";
                         });

TEST_F(HeadlessRun, TheEndOfAReplayedRecordingEndsTheRunWithStatusZero) {
    // 5.5 blocks at the NATO rate: five whole blocks, the rest never makes one.
    const std::string path = dir_.filePath("short.wav").toStdString();
    SF_INFO info{};
    info.samplerate = 9600;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(file, nullptr);
    const std::vector<int16_t> samples(5 * dsp::BlockLen + dsp::BlockLen / 2, 1000);
    ASSERT_EQ(sf_write_short(file, samples.data(), sf_count_t(samples.size())),
              sf_count_t(samples.size()));
    sf_close(file);
    wave_.AddDevice(std::make_unique<io::RecordingDevice>(QString::fromStdString(path)));

    const int status = Run();

    EXPECT_EQ(status, session::ExitSuccess);
    EXPECT_EQ(state_.BlockCount, 5);
    EXPECT_NE(err_.find("propmon: end of input from "), std::string::npos) << err_;
    EXPECT_NE(err_.find(" after 5 blocks (0:00:00 of input)\n"), std::string::npos) << err_;
    EXPECT_EQ(LogRows().size(), 6u);
}

} // namespace
} // namespace runners
