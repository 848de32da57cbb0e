// SPDX-License-Identifier: GPL-3.0-or-later
// Writes refused half-way, as by a full disk: the file size limit makes every
// write past a few bytes fail (EFBIG, the signal ignored), and where the test
// may mount one, a tmpfs that is already full (ENOSPC).  Whatever fails, the
// old file stays whole, no partial or temporary file is left behind and the
// program says what happened or, where it must, carries on.
#include "hardening_support.h"

#include "receiver/display/display_state.h"
#include "receiver/display/painters.h"
#include "receiver/display/snapshot.h"
#include "receiver/dsp/chain.h"
#include "receiver/session/settings_file.h"
#include "reelmaker/movie.h"
#include "reelmaker/picture.h"

#include <QImage>

#include <cstring>
#include <random>
#include <sys/mount.h>

namespace hardening {
namespace {

dsp::Settings SomeSettings(float gain) {
    dsp::Settings s;
    s.ClockOffset = 0.00002L;
    s.ClockPpm = -3;
    s.InputGain = gain;
    s.CorrGain = 0.8f;
    return s;
}

using WriteRefused = TempDirTest;

TEST_F(WriteRefused, SettingsFileKeepsTheOldValuesWhole) {
    const std::string path = (dir_ / "Stanag4285.set").string();
    ASSERT_TRUE(session::WriteSettings(SomeSettings(2.5f), path));
    const std::string before = ReadBytes(path);
    {
        FileSizeCap cap(64); // the file is about 330 bytes
        EXPECT_FALSE(session::WriteSettings(SomeSettings(7.0f), path));
    }
    EXPECT_EQ(ReadBytes(path), before);
    EXPECT_EQ(Names(dir_), std::vector<std::string>{"Stanag4285.set"});
    // Room again: the next end of a run writes it.
    EXPECT_TRUE(session::WriteSettings(SomeSettings(7.0f), path));
    EXPECT_EQ(session::ParseSettings(ReadBytes(path)).InputGain, 7.0f);
}

// The chain over noise with every painter and all three auto-saves on.
struct Receiver {
    std::unique_ptr<dsp::ChainState> Chain;
    dsp::Settings Settings;
    dsp::ChainControls Controls;
    display::DisplayState Display;
    dsp::DisplayHooks Hooks;
    int64_t Blocks = 0;
    int32_t Seconds = 0;
    std::mt19937 Noise{4285};

    explicit Receiver(const fs::path& folder) {
        Chain = dsp::MakeChain(dsp::ModeNato, Controls, Settings);
        Display.SnapshotFolder = QString::fromStdString(folder.string());
        Display.AutoSaveCorrelogram = Display.AutoSaveDopplergram = Display.AutoSaveScattergram =
            display::SwitchOn;
        // Every snapshot its own name.
        Display.Clock = [this] {
            ++Seconds;
            return display::TimeOfDay{Seconds / 3600 % 24, Seconds / 60 % 60, Seconds % 60};
        };
        Hooks = display::MakeDisplayHooks(Display, Settings, Controls);
        const auto tune = Hooks.TuneIndicator;
        Hooks.TuneIndicator = [this, tune](int32_t hz) {
            tune(hz);
            ++Blocks;
        };
    }
    void Run(int64_t count) {
        std::normal_distribution<float> gauss(0.0f, 3000.0f);
        std::vector<int16_t> buffer(dsp::BlockLen);
        const int64_t until = Blocks + count;
        while (Blocks < until) {
            for (int16_t& s : buffer)
                s = int16_t(std::clamp(gauss(Noise), -32768.0f, 32767.0f));
            dsp::ResampleBuffer(*Chain, Settings, Controls, Hooks, buffer.data(),
                                2 * dsp::BlockLen);
        }
    }
};

// Every snapshot file is a whole BMP: its size field is its size.
void ExpectOnlyWholeSnapshots(const fs::path& folder, int64_t& count) {
    count = 0;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        if (!entry.is_regular_file()) continue;
        const std::string name = entry.path().filename().string();
        EXPECT_TRUE(name.size() > 4 && name.substr(name.size() - 4) == ".BMP")
            << "stray file " << entry.path();
        const std::string bytes = ReadBytes(entry.path());
        ASSERT_GE(bytes.size(), 54u) << entry.path();
        uint32_t size = 0;
        std::memcpy(&size, bytes.data() + 2, 4);
        EXPECT_EQ(size, bytes.size()) << "partial snapshot " << entry.path();
        ++count;
    }
}

TEST_F(WriteRefused, SnapshotsLeaveNoPartialFileAndTheReceiverCarriesOn) {
    Receiver receiver(dir_);
    {
        FileSizeCap cap(4096); // every gram snapshot is larger
        receiver.Run(300);
    }
    EXPECT_EQ(receiver.Blocks, 300);
    EXPECT_GT(receiver.Display.SnapshotsFailed, 0);
    EXPECT_EQ(receiver.Display.SnapshotsWritten, 0);
    int64_t files = 0;
    ExpectOnlyWholeSnapshots(dir_, files);
    EXPECT_EQ(files, 0);

    // Room again: the next snapshots are written, the chain never stopped.
    const int64_t failed = receiver.Display.SnapshotsFailed;
    receiver.Run(300);
    EXPECT_EQ(receiver.Display.SnapshotsFailed, failed);
    EXPECT_GT(receiver.Display.SnapshotsWritten, 0);
    ExpectOnlyWholeSnapshots(dir_, files);
    EXPECT_EQ(files, receiver.Display.SnapshotsWritten);
}

TEST_F(WriteRefused, FinalPanelPicturesAreNotCutOffAndTheFailureIsReported) {
    Receiver receiver(dir_);
    receiver.Display.AutoSaveCorrelogram = receiver.Display.AutoSaveDopplergram =
        receiver.Display.AutoSaveScattergram = display::SwitchOff;
    receiver.Run(40);
    const QString folder = QString::fromStdString(dir_.string());
    bool written = true;
    {
        FileSizeCap cap(100); // every picture is larger; most fit the write buffer
        written = display::WritePanelPngs(receiver.Display, folder);
    }
    EXPECT_FALSE(written);
    // Whatever is there is a whole picture.
    for (const std::string& name : Names(dir_)) {
        QImage picture;
        EXPECT_TRUE(picture.load(QString::fromStdString((dir_ / name).string())))
            << "cut-off picture " << name;
    }
    EXPECT_TRUE(display::WritePanelPngs(receiver.Display, folder));
    EXPECT_EQ(Names(dir_).size(), 5u);
}

TEST_F(WriteRefused, BatchTableFailsWithAReasonAndLeavesTheOldTableWhole) {
    const fs::path recording = WriteRecording("rec.wav", 12.0);
    const fs::path csv = dir_ / "blocks.csv";
    WriteBytes(csv, "the table of an earlier run\n");
    const RunResult r = RunProgram(std::string(PROPMON_BIN) + " --batch " + recording.string() +
                                       " --csv " + csv.string(),
                                   dir_, FileSizeLimit(2048)); // the table needs about 6 KB
    EXPECT_EQ(r.Signal, 0);
    EXPECT_EQ(r.Status, 1) << r.Err;
    EXPECT_NE(r.Err.find("propmon: cannot write " + csv.string() + ": File too large"),
              std::string::npos)
        << r.Err;
    EXPECT_EQ(ReadBytes(csv), "the table of an earlier run\n");
    EXPECT_EQ(Names(dir_), (std::vector<std::string>{"blocks.csv", "rec.wav"}));
}

TEST_F(WriteRefused, BatchSnapshotsFailWithAReasonAndNoPartialFile) {
    const fs::path recording = WriteRecording("rec.wav", 60.0);
    const fs::path out = dir_ / "out";
    const RunResult r = RunProgram(
        std::string(PROPMON_BIN) + " --batch " + recording.string() + " --out " + out.string(),
        dir_,
        FileSizeLimit(50 * 1024)); // the table (42 kB) fits, no snapshot (54 kB) does
    EXPECT_EQ(r.Signal, 0);
    EXPECT_EQ(r.Status, 1) << r.Err;
    EXPECT_NE(r.Err.find("could not be written"), std::string::npos) << r.Err;
    int64_t files = 0;
    for (const char* gram : {"Correlograms", "Dopplergrams", "Scattergrams"}) {
        int64_t n = 0;
        if (fs::exists(out / gram)) ExpectOnlyWholeSnapshots(out / gram, n);
        files += n;
    }
    EXPECT_EQ(files, 0);
    for (const auto& entry : fs::directory_iterator(out))
        EXPECT_EQ(entry.path().filename().string().find(".part"), std::string::npos)
            << entry.path();
}

void SavePictures(const fs::path& dir, int count) {
    for (int i = 0; i < count; ++i) {
        QImage picture(300 + 20 * i, 200, QImage::Format_RGB32);
        picture.fill(qRgb(40 * i, 120, 200 - 30 * i));
        ASSERT_TRUE(picture.save(
            QString::fromStdString((dir / ("p" + std::to_string(i) + ".png")).string())));
    }
}

TEST_F(WriteRefused, MovieFailsClearlyAndTheExistingMovieStaysUntouched) {
    SavePictures(dir_, 3);
    const fs::path movie = dir_ / "movie.avi";
    WriteBytes(movie, "an earlier movie");
    const std::string command = std::string(REELMAKER_BIN) + " --batch -o " + movie.string() + " " +
                                (dir_ / "p0.png").string() + " " + (dir_ / "p1.png").string() +
                                " " + (dir_ / "p2.png").string();
    // A full frame is 676800 bytes: the second one does not fit.
    const RunResult r = RunProgram(command, dir_, FileSizeLimit(1024 * 1024));
    EXPECT_EQ(r.Signal, 0);
    EXPECT_EQ(r.Status, 1) << r.Err;
    EXPECT_NE(r.Err.find("reelmaker: error writing frame 2: "), std::string::npos) << r.Err;
    EXPECT_EQ(r.Err.find("Unknown error"), std::string::npos) << r.Err;
    EXPECT_EQ(ReadBytes(movie), "an earlier movie");
    EXPECT_EQ(Names(dir_), (std::vector<std::string>{"movie.avi", "p0.png", "p1.png", "p2.png"}));

    // Without an earlier movie no file appears at the name.
    fs::remove(movie);
    const RunResult fresh = RunProgram(command, dir_, FileSizeLimit(1024 * 1024));
    EXPECT_EQ(fresh.Status, 1) << fresh.Err;
    EXPECT_EQ(Names(dir_), (std::vector<std::string>{"p0.png", "p1.png", "p2.png"}));
}

TEST_F(WriteRefused, MovieWhoseIndexDoesNotFitFailsAtTheEndWithoutAFile) {
    const fs::path path = dir_ / "movie.avi";
    WriteBytes(path, "an earlier movie");
    // Headers 4620 bytes, two full frames of 676808 with their chunk headers;
    // the idx1 index needs 40 bytes more than the limit leaves.
    const uint64_t framesEnd = 4620 + 2 * 676808;
    reelmaker::MovieWriter movie;
    reelmaker::CompressOptions options;
    options.FccType = reelmaker::StreamTypeVideo;
    options.FccHandler = reelmaker::FullFramesFourCC;
    options.DwFlags = reelmaker::CompressValid;
    QImage frame(reelmaker::BoxWidth, reelmaker::BoxHeight, QImage::Format_RGB32);
    frame.fill(qRgb(10, 20, 30));
    bool finished = true;
    {
        FileSizeCap cap(framesEnd + 20);
        ASSERT_TRUE(reelmaker::MovieOpen(movie, QString::fromStdString(path.string()), 5));
        ASSERT_TRUE(reelmaker::MovieCreateStream(movie, 5));
        ASSERT_TRUE(reelmaker::MovieSetCodec(movie, options));
        ASSERT_TRUE(reelmaker::MovieSetFormat(movie));
        for (int i = 0; i < 2; ++i)
            if (reelmaker::MovieWriteFrame(movie, frame) == reelmaker::FrameResult::Failed) break;
        finished = reelmaker::MovieFinish(movie);
    }
    if (!finished) reelmaker::MovieAbandon(movie);
    EXPECT_FALSE(finished);
    EXPECT_FALSE(movie.Error.empty());
    EXPECT_EQ(ReadBytes(path), "an earlier movie");
    EXPECT_EQ(Names(dir_), std::vector<std::string>{"movie.avi"});
}

// A real full disk: a small tmpfs filled to the last byte.  Needs the right
// to mount (root in a container that allows it); skipped otherwise.
class FullDisk : public TempDirTest {
  protected:
    fs::path full_;
    bool mounted_ = false;
    void SetUp() override {
        TempDirTest::SetUp();
        full_ = dir_ / "full";
        fs::create_directories(full_);
        if (::mount("tmpfs", full_.c_str(), "tmpfs", 0, "size=2m") != 0) {
            GTEST_SKIP() << "cannot mount a tmpfs here (" << std::strerror(errno)
                         << "); the file size limit tests cover the same paths";
        }
        mounted_ = true;
    }
    void TearDown() override {
        if (mounted_) ::umount2(full_.c_str(), MNT_DETACH);
        TempDirTest::TearDown();
    }
    // Fills the file system to the last byte.
    void Fill() {
        std::ofstream filler(full_ / "filler", std::ios::binary);
        const std::string block(4096, 'x');
        while (filler.write(block.data(), std::streamsize(block.size())))
            ;
        filler.clear();
        filler.close();
        std::ofstream last(full_ / "filler-tail", std::ios::binary);
        while (last.put('x'))
            ;
    }
};

TEST_F(FullDisk, SettingsSnapshotTableAndMovieAllFailCleanly) {
    const std::string settings = (full_ / "Stanag4285.set").string();
    ASSERT_TRUE(session::WriteSettings(SomeSettings(2.5f), settings));
    const std::string before = ReadBytes(settings);
    const fs::path movie = full_ / "movie.avi";
    WriteBytes(movie, "an earlier movie");
    SavePictures(dir_, 2);
    const fs::path recording = WriteRecording("rec.wav", 12.0);
    Fill();

    EXPECT_FALSE(session::WriteSettings(SomeSettings(7.0f), settings));
    EXPECT_EQ(ReadBytes(settings), before);

    QImage panel(561, 216, QImage::Format_RGB32);
    panel.fill(Qt::gray);
    EXPECT_FALSE(display::SaveGramSnapshot(panel, 216, 560, display::Gram::Correlogram,
                                           QString::fromStdString(full_.string()), {1, 2, 3}));

    const RunResult batch = RunProgram(std::string(PROPMON_BIN) + " --batch " + recording.string() +
                                           " --csv " + (full_ / "blocks.csv").string(),
                                       dir_);
    EXPECT_EQ(batch.Status, 1) << batch.Err;
    EXPECT_NE(batch.Err.find("No space left on device"), std::string::npos) << batch.Err;

    const RunResult reel =
        RunProgram(std::string(REELMAKER_BIN) + " --batch -o " + movie.string() + " " +
                       (dir_ / "p0.png").string() + " " + (dir_ / "p1.png").string(),
                   dir_);
    EXPECT_EQ(reel.Status, 1) << reel.Err;
    EXPECT_NE(reel.Err.find("reelmaker: "), std::string::npos) << reel.Err;
    EXPECT_EQ(ReadBytes(movie), "an earlier movie");

    // Nothing but what was there before the disk filled up, and perhaps the
    // empty gram folders.
    for (const std::string& name : Names(full_)) {
        if (fs::is_directory(full_ / name)) {
            EXPECT_TRUE(fs::is_empty(full_ / name)) << name;
            continue;
        }
        EXPECT_TRUE(name == "Stanag4285.set" || name == "movie.avi" || name == "filler" ||
                    name == "filler-tail")
            << "left behind: " << name;
    }
}

} // namespace
} // namespace hardening
