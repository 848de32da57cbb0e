// SPDX-License-Identifier: GPL-3.0-or-later
// What each block's input held that the chain does not keep: raw samples at
// full scale and filled losses land in the block whose samples they are, and
// the measurement stage turns them into the block's flags.  The live log's
// files as a restart finds and leaves them.
#include "receiver/session/block_input.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <string>
#include <vector>

#include "receiver/session/block_log.h"
#include "receiver/session/channel_minutes.h"
#include "receiver/web/log_plots.h"
#include "s4285gen/s4285gen.h"

namespace session {
namespace {

TEST(BlockInputWatch, FullScaleSamplesAndFillsFallInTheBlockThatHoldsThem) {
    dsp::Settings settings;
    dsp::ChainControls controls;
    auto chain = dsp::MakeChain(dsp::ModeNato, controls, settings);
    s4285gen::Config config = s4285gen::NatoConfig();
    config.LevelDbfs = -20;
    s4285gen::Generator generator(config);

    // The first block takes input samples 0..1022, each later one 1024 more:
    // block b ends before sample 1024 (b + 1) - 1.  Buffers of 700 samples,
    // so that blocks straddle them.
    BlockInputWatch watch;
    watch.InputOpened();
    watch.NoteFill(5100, 100); // blocks 4 (4095..5118) and 5
    watch.NoteFill(9000, 1);   // block 8 (8191..9214)
    const std::vector<int64_t> fullScale = {1022, 1023, 1024, 3000, 3001, 3002};
    std::vector<analysis::BlockInputFacts> facts;
    analysis::MeasurementStage stage;
    std::vector<uint32_t> flags;
    dsp::DisplayHooks hooks;
    hooks.BlockProcessed = [&](const dsp::ChainState& done) {
        facts.push_back(watch.TakeBlock(done));
        flags.push_back(stage.Add(done, settings, facts.back()).Flags);
    };
    // Capture buffers are always BlockLen samples long, 700 of them recorded.
    std::vector<int16_t> buffer(dsp::BlockLen, 0);
    for (int64_t start = 0; start < 14 * 700; start += 700) {
        generator.Generate(buffer.data(), 700);
        for (const int64_t at : fullScale)
            if (at >= start && at < start + 700)
                buffer[size_t(at - start)] = at % 2 == 0 ? 32767 : -32768;
        dsp::ResampleBuffer(*chain, settings, controls, hooks, buffer.data(), 2 * 700);
        watch.EndBuffer(*chain, 700);
    }
    ASSERT_GE(facts.size(), 9u);
    const std::vector<int32_t> clipped = {1, 2, 3, 0, 0, 0, 0, 0, 0};
    const std::vector<bool> filled = {false, false, false, false, true, true, false, false, true};
    for (size_t b = 0; b < clipped.size(); ++b) {
        EXPECT_EQ(facts[b].ClippedSamples, clipped[b]) << b;
        EXPECT_EQ(facts[b].Fill, filled[b]) << b;
        // The stage's flags carry them; its measurements read three blocks.
        EXPECT_EQ((flags[b] & analysis::FlagFill) != 0, filled[b] || (b >= 4 && b <= 7)) << b;
        EXPECT_EQ((flags[b] & analysis::FlagClipping) != 0, b <= 4) << b;
    }
}

} // namespace
} // namespace session

namespace session {
namespace {

// A day's log begun by a receiver that wrote fewer columns: the restart puts
// the header of its rows before them, so that a reader by column name (the
// web view's plots) takes every row with its own columns; the channel table
// goes beside it, its day that of the minute.
TEST(BlockLog, ARestartWithOtherColumnsWritesTheirHeaderAndTheChannelTableBeside) {
    QTemporaryDir dir;
    const int64_t dayMs = int64_t(20431) * 86400 * 1000; // 2025-12-09 00:00 UTC
    const QString day = QDir(dir.path()).filePath("propmon-2025-12-09.csv");
    {
        QFile old(day);
        ASSERT_TRUE(old.open(QIODevice::WriteOnly));
        old.write("utc,block,time_s,peak_lag,doppler_hz\n2025-12-09T00:00:01.000Z,0,0.1,12,0.5\n");
    }
    ProblemReporter problems;
    {
        BlockLog log(dir.path(), problems);
        analysis::BlockRow row;
        row.PeakLag = 40;
        row.SnrDb = 17.5;
        log.Write(row, dayMs + 2000);
        analysis::ChannelRow minute;
        minute.Utc = MinuteStamp(dayMs + 60000);
        minute.Blocks = 562;
        log.WriteMinute(minute, dayMs + 60000);
    }
    QFile written(day);
    ASSERT_TRUE(written.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = written.readAll().split('\n');
    ASSERT_EQ(lines.size(), 5); // the last one empty
    EXPECT_EQ(lines[1].toStdString(), "2025-12-09T00:00:01.000Z,0,0.1,12,0.5"); // kept
    EXPECT_EQ(lines[2].toStdString(), BlockLogHeader());
    EXPECT_TRUE(lines[3].startsWith("2025-12-09T00:00:02.000Z,0,0.000000,40,"));

    web::LogFile read(day);
    read.Update();
    ASSERT_EQ(read.Points().size(), 2u);
    EXPECT_FLOAT_EQ(read.Points()[0].PeakLag, 12.0f);
    EXPECT_FLOAT_EQ(read.Points()[1].PeakLag, 40.0f);
    EXPECT_FLOAT_EQ(read.Points()[1].SnrDb, 17.5f);

    QFile channel(QDir(dir.path()).filePath("channel-2025-12-09.csv"));
    ASSERT_TRUE(channel.open(QIODevice::ReadOnly));
    EXPECT_EQ(channel.readAll().toStdString(),
              analysis::ChannelTableHeader() + "\n2025-12-09T00:01:00Z,0.000,562,0.000" +
                  std::string(19, ',') + "\n"); // nothing measured: empty cells
}

} // namespace
} // namespace session
