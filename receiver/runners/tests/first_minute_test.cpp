// SPDX-License-Identifier: GPL-3.0-or-later
// A batch run's first minute in the mode the recording's rate suggests is
// that mode's trial: the measurement stage over the same blocks gives the
// trial's share of locked blocks and median peak contrast to the bit, on
// channels whose paths fade in turn and whose repetitions stand out.
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <sndfile.h>

#include <string>
#include <vector>

#include "receiver/analysis/recording_survey.h"
#include "receiver/io/recording.h"
#include "receiver/runners/block_run.h"
#include "s4285gen/channels.h"
#include "s4285gen/s4285gen.h"

namespace runners {
namespace {

std::string WriteRecording(const QTemporaryDir& dir, s4285gen::Watterson channel, double snrDb,
                           int rate) {
    const s4285gen::Config config = s4285gen::WattersonConfig(channel, snrDb, rate);
    std::vector<int16_t> samples(size_t(70 * rate));
    s4285gen::Generator(config).Generate(samples.data(), samples.size());
    const std::string path =
        dir.filePath(QStringLiteral("r%1-%2.wav").arg(int(channel)).arg(rate)).toStdString();
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    EXPECT_NE(file, nullptr) << sf_strerror(nullptr);
    sf_write_short(file, samples.data(), sf_count_t(samples.size()));
    sf_close(file);
    return path;
}

TEST(FirstMinute, ARunsFirstMinuteGivesItsModesTrialToTheBit) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    for (const auto& [channel, snrDb] : {std::pair{s4285gen::Watterson::Poor, 5.0},
                                         std::pair{s4285gen::Watterson::Disturbed, 20.0}}) {
        for (const int rate : {9600, 8000}) {
            const std::string path = WriteRecording(dir, channel, snrDb, rate);
            std::string error;
            const auto choice = analysis::ChooseModeAndChannel(path, 0, std::nullopt,
                                                               analysis::TrialSeconds, error);
            ASSERT_TRUE(choice) << error;
            const analysis::TrialResult& trial = choice->Trials.front();

            const int32_t mode = io::ModeForRate(rate);
            BlockRunSettings settings;
            settings.Csv = dir.filePath(QStringLiteral("blocks.csv")).toStdString();
            settings.Mode = mode;
            BlockRun run(settings);
            ASSERT_TRUE(run.Open(error)) << error;
            auto recording = io::RecordingReader::Open(path, 0, io::ChannelChoice::Left, error);
            ASSERT_TRUE(recording) << error;
            // The minute in buffers of the sound card's size, the last one short.
            auto left = static_cast<int64_t>(analysis::TrialSeconds * rate);
            std::vector<int16_t> buffer(dsp::BlockLen);
            while (left > 0) {
                const auto got =
                    recording->Read(buffer.data(), std::min<int64_t>(dsp::BlockLen, left));
                ASSERT_GT(got, 0);
                run.Feed(buffer.data(), got);
                left -= got;
            }
            const analysis::TrialResult first =
                analysis::TrialOf(mode, io::ChannelChoice::Left, run.Tally(), run.PeakSnrDb());
            EXPECT_EQ(trial.Mode, mode);
            EXPECT_EQ(first.Blocks, trial.Blocks) << rate;
            EXPECT_EQ(first.LockedShare, trial.LockedShare) << rate;
            EXPECT_EQ(first.MedianSnrDb, trial.MedianSnrDb) << rate;
            EXPECT_GT(trial.LockedShare, 0.9) << rate;
        }
    }
}

} // namespace
} // namespace runners
