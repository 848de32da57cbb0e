// SPDX-License-Identifier: GPL-3.0-or-later
// propmon --batch on generated recordings: the CSV it writes, and how it
// refuses what it cannot use.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <regex>
#include <soxr.h>
#include <sstream>
#include <string>
#include <vector>

#include "receiver/analysis/block_table.h"
#include "receiver/analysis/channel_table.h"
#include "receiver/analysis/table_columns.h"
#include "s4285gen/channels.h"
#include "s4285gen/s4285gen.h"
#include "tests/text_files.h"

namespace {

namespace fs = std::filesystem;

struct Result {
    int Status;
    std::string Err;
};

Result RunPropmon(const std::string& args, const fs::path& dir) {
    const fs::path errFile = dir / "stderr.txt";
    const std::string command = std::string(PROPMON_BIN) + " " + args + " 2>" + errFile.string();
    const int raw = std::system(command.c_str());
    std::ifstream in(errFile);
    std::stringstream text;
    text << in.rdbuf();
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, text.str()};
}

std::vector<std::string> Cells(const std::string& line) {
    std::vector<std::string> cells;
    std::stringstream in(line);
    for (std::string cell; std::getline(in, cell, ',');)
        cells.push_back(cell);
    return cells;
}

// The cell of `row` under `name` in `header`; empty where the row ends before it.
std::string CellOf(const std::vector<std::string>& header, const std::vector<std::string>& row,
                   const std::string& name) {
    const auto at = size_t(std::find(header.begin(), header.end(), name) - header.begin());
    EXPECT_LT(at, header.size()) << name;
    return at < row.size() ? row[at] : std::string();
}

class BatchTest : public ::testing::Test {
  protected:
    fs::path dir_;
    void SetUp() override {
        dir_ = ScratchFolder("propmon-batch");
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    fs::path Write(const std::string& name, const s4285gen::Config& config, double seconds,
                   int format = SF_FORMAT_WAV | SF_FORMAT_PCM_16, int channels = 1) {
        const auto n = size_t(seconds * config.SampleRate);
        std::vector<float> mono(n);
        s4285gen::Generator(config).GenerateFloat(mono.data(), n);
        std::vector<float> frames(n * size_t(channels));
        for (size_t i = 0; i < n; ++i)
            for (int c = 0; c < channels; ++c)
                frames[i * size_t(channels) + size_t(c)] = mono[i];
        return WriteFrames(name, config.SampleRate, channels, frames, format);
    }

    // Interleaved frames into a sound file in the test's folder.
    fs::path WriteFrames(const std::string& name, int rate, int channels,
                         const std::vector<float>& frames,
                         int format = SF_FORMAT_WAV | SF_FORMAT_PCM_16) {
        const fs::path path = dir_ / name;
        SF_INFO info{};
        info.samplerate = rate;
        info.channels = channels;
        info.format = format;
        SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
        EXPECT_NE(file, nullptr) << sf_strerror(nullptr);
        sf_writef_float(file, frames.data(), sf_count_t(frames.size() / size_t(channels)));
        sf_close(file);
        return path;
    }
};

s4285gen::Config TwoPaths(int rate) {
    s4285gen::Config config = rate == 9600 ? s4285gen::NatoConfig() : s4285gen::AmateurConfig();
    config.Paths = {{.DelayMs = 3.0, .DopplerHz = 1.5},
                    {.DelayMs = 5.0, .GainDb = -6.0, .DopplerHz = 1.5}};
    config.SnrDb = 25;
    return config;
}

TEST_F(BatchTest, TwoPathRecordingGivesOneRowPerBlockWithTheStrongerPathsLagAndDoppler) {
    for (const int rate : {9600, 8000}) {
        const auto wav =
            Write("two-path.wav", TwoPaths(rate), 30.0, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
        const auto csv = dir_ / "blocks.csv";
        const Result result =
            RunPropmon("--batch " + wav.string() + " --csv " + csv.string(), dir_);
        ASSERT_EQ(result.Status, 0) << result.Err;
        const auto rows = CsvRows(csv);
        ASSERT_FALSE(rows.empty());
        EXPECT_EQ(rows[0], Cells(analysis::BlockTableHeader()));
        const size_t blocks = size_t(30.0 * rate) / 1024; // the first block needs one sample less
        ASSERT_EQ(rows.size(), blocks + 1);
        double dopplerSum = 0;
        for (size_t b = 1; b < rows.size(); ++b) {
            ASSERT_GE(rows[b].size(), 7u); // empty path cells at the end are not split off
            EXPECT_EQ(std::stoll(rows[b][0]), int64_t(b - 1));
            EXPECT_NEAR(std::stod(rows[b][1]), (1023.0 + 1024.0 * double(b - 1)) / rate,
                        0.5 / rate);
            const double doppler = std::stod(rows[b][3]);
            EXPECT_EQ(std::stoi(rows[b][4]), int(std::floor(doppler)));
            if (b > 3) {
                EXPECT_NEAR(std::stoi(rows[b][2]), 12 + 3.0 * rate / 2000, 1.0) << rate << " " << b;
                dopplerSum += doppler;
            }
        }
        EXPECT_NEAR(dopplerSum / double(rows.size() - 4), -1.5, 0.1) << rate;
        // 17 significant digits: the value reads back exactly.
        EXPECT_GE(rows[5][3].size(), 15u);
    }
}

// Two and a half minutes of the moderate standard channel (two paths 1 ms
// apart, each fading with 0.5 Hz spread, the channel's own seed): the lock
// holds however the paths fade, every block has its SNR and strongest path,
// and each minute of the recording's clock its row of the channel table.
TEST_F(BatchTest, FadingChannelHoldsTheLockAndGivesAChannelRowAMinute) {
    const auto wav = Write("moderate.wav",
                           s4285gen::WattersonConfig(s4285gen::Watterson::Moderate, 20.0), 150.0);
    const auto csv = dir_ / "blocks.csv";
    const auto channel = dir_ / "channel.csv";
    const Result result = RunPropmon("--batch " + wav.string() + " --csv " + csv.string() +
                                         " --channel-csv " + channel.string() + " --start 10:00:00",
                                     dir_);
    ASSERT_EQ(result.Status, 0) << result.Err;
    const auto rows = CsvRows(csv);
    ASSERT_GT(rows.size(), 1000u);
    const std::vector<std::string>& header = rows[0];
    EXPECT_EQ(header, Cells(analysis::BlockTableHeader()));
    size_t judged = 0, locked = 0;
    std::vector<double> snr;
    for (size_t b = 17; b < rows.size(); ++b) {
        ++judged;
        if (CellOf(header, rows[b], analysis::column::Locked) != "1") continue;
        ++locked;
        const std::string value = CellOf(header, rows[b], analysis::column::SnrDb);
        if (!value.empty() && !CellOf(header, rows[b], analysis::column::Path1Lag).empty())
            snr.push_back(std::stod(value));
    }
    EXPECT_GE(double(locked) / double(judged), 0.97);
    ASSERT_GE(snr.size(), locked * 9 / 10);
    // 20 dB in the 4.8 kHz of the signal: 22 dB in 3 kHz, as the paths fade
    // in and out around it.
    std::nth_element(snr.begin(), snr.begin() + std::ptrdiff_t(snr.size() / 2), snr.end());
    EXPECT_NEAR(snr[snr.size() / 2], 22.0, 2.0);

    const auto minutes = CsvRows(channel);
    ASSERT_EQ(minutes.size(), 4u) << Slurp(channel); // 10:00, 10:01 and the half minute 10:02
    EXPECT_EQ(minutes[0], Cells(analysis::ChannelTableHeader()));
    for (size_t m = 1; m < minutes.size(); ++m) {
        const auto cell = [&](const std::string& name) {
            return CellOf(minutes[0], minutes[m], name);
        };
        EXPECT_TRUE(cell(analysis::column::Utc).ends_with("T10:0" + std::to_string(m - 1) + ":00Z"))
            << cell(analysis::column::Utc);
        EXPECT_NEAR(std::stod(cell(analysis::column::StartS)), 60.0 * double(m - 1), 0.2);
        EXPECT_GE(std::stod(cell(analysis::column::LockedShare)), m == 1 ? 0.9 : 0.97);
        if (m == 3) continue; // half a minute: its figures are not checked
        EXPECT_NEAR(std::stod(cell(analysis::column::SnrDb)), 22.0, 2.0);
        // Both paths, 1 ms apart, each with its Doppler shift and spread.
        EXPECT_NEAR(std::abs(std::stod(cell(analysis::column::PathDelayMs[1]))), 1.0, 0.15);
        for (size_t p = 0; p < 2; ++p) {
            EXPECT_NEAR(std::stod(cell(analysis::column::PathDopplerHz[p])), 0.0, 0.1);
            EXPECT_NEAR(std::stod(cell(analysis::column::PathDopplerSpreadHz[p])), 0.5, 0.15);
        }
    }
}

TEST_F(BatchTest, OptionsReachTheChain) {
    s4285gen::Config config = s4285gen::NatoConfig();
    config.ClockPpm = 50;
    config.Paths = {{.DelayMs = 1.0}};
    const auto wav = Write("clock.wav", config, 60.0);
    const auto csv = dir_ / "out.csv";
    // Corrected for the card's clock error, the preamble stays put.
    ASSERT_EQ(RunPropmon("--batch " + wav.string() + " --csv " + csv.string() +
                             " --clock-ppm 50.9 --average 3",
                         dir_)
                  .Status,
              0);
    auto rows = CsvRows(csv);
    EXPECT_LE(std::abs(std::stoi(rows.back()[2]) - std::stoi(rows[5][2])), 1);
    ASSERT_EQ(RunPropmon("--batch " + wav.string() + " --csv " + csv.string(), dir_).Status, 0);
    rows = CsvRows(csv);
    EXPECT_GE(std::stoi(rows.back()[2]) - std::stoi(rows[5][2]), 10); // 1024 x 50e-6 / 2 x 540
}

TEST_F(BatchTest, UnsuitableInputFailsWithOneLineAndNoCsv) {
    const auto csv = dir_ / "out.csv";
    const auto check = [&](const std::string& args, int status, const std::string& words) {
        const Result result = RunPropmon(args, dir_);
        EXPECT_EQ(result.Status, status) << args << "\n" << result.Err;
        EXPECT_NE(result.Err.find(words), std::string::npos) << result.Err;
        EXPECT_FALSE(fs::exists(csv)) << args;
        EXPECT_FALSE(fs::exists(dir_ / "out.csv.part")) << args;
    };
    check("--batch " + (dir_ / "missing.wav").string() + " --csv " + csv.string(), 1,
          "cannot read");
    std::ofstream(dir_ / "junk.wav") << "not a recording at all";
    check("--batch " + (dir_ / "junk.wav").string() + " --csv " + csv.string(), 1, "cannot read");
    const auto surround =
        Write("three.wav", s4285gen::NatoConfig(), 1.0, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 3);
    check("--batch " + surround.string() + " --csv " + csv.string(), 1, "3 channels");
    const auto good = Write("good.wav", s4285gen::NatoConfig(), 1.0);
    check("--batch " + good.string() + " --csv " + (dir_ / "no-such-dir" / "x.csv").string(), 1,
          "cannot write");
}

std::vector<int> PeakLags(const fs::path& csv) {
    std::vector<int> lags;
    const auto rows = CsvRows(csv);
    for (size_t b = 1; b < rows.size(); ++b)
        lags.push_back(std::stoi(rows[b][2]));
    return lags;
}

TEST_F(BatchTest, RecordingAtAnyRateAndLayoutGivesTheSameLagsAsTheOriginal) {
    if (std::system("command -v sox >/dev/null 2>&1") != 0) GTEST_SKIP() << "sox is not installed";
    const auto original = Write("original.wav", TwoPaths(9600), 20.0);
    ASSERT_EQ(
        RunPropmon("--batch " + original.string() + " --csv " + (dir_ / "a.csv").string(), dir_)
            .Status,
        0);
    // The same signal as a 48 kHz stereo float file, the right channel silent.
    const auto converted = dir_ / "48k.wav";
    const std::string sox = "sox -q " + original.string() + " -r 48000 -e floating-point -b 32 " +
                            converted.string() + " remix 1 0";
    ASSERT_EQ(std::system(sox.c_str()), 0);
    ASSERT_EQ(
        RunPropmon("--batch " + converted.string() + " --csv " + (dir_ / "b.csv").string(), dir_)
            .Status,
        0);
    const auto a = PeakLags(dir_ / "a.csv");
    const auto b = PeakLags(dir_ / "b.csv");
    ASSERT_NEAR(double(a.size()), double(b.size()), 1.0);
    for (size_t i = 4; i < std::min(a.size(), b.size()); ++i)
        EXPECT_NEAR(a[i], b[i], 1) << i;
    // The silent right channel has nothing to lock onto; the mix has.
    ASSERT_EQ(RunPropmon("--batch " + converted.string() + " --channel mix --csv " +
                             (dir_ / "c.csv").string(),
                         dir_)
                  .Status,
              0);
    const auto c = PeakLags(dir_ / "c.csv");
    for (size_t i = 4; i < c.size(); ++i)
        EXPECT_NEAR(a[i], c[i], 1) << i;
    // Silence has nothing either: the table is written and says so, and so
    // does the exit status.
    const Result silent = RunPropmon("--batch " + converted.string() + " --channel right --csv " +
                                         (dir_ / "d.csv").string(),
                                     dir_);
    EXPECT_EQ(silent.Status, 3);
    EXPECT_NE(silent.Err.find("no STANAG 4285 signal found in " + converted.string()),
              std::string::npos)
        << silent.Err;
    const auto d = PeakLags(dir_ / "d.csv");
    EXPECT_EQ(d[10], 0); // silence: the search keeps lag 0
    // Forcing the AMATEUR mode converts to 8000 samples/s instead (where
    // this NATO signal is not found).
    const Result amateur = RunPropmon("--batch " + converted.string() + " --mode amateur --csv " +
                                          (dir_ / "e.csv").string(),
                                      dir_);
    EXPECT_EQ(amateur.Status, 3);
    EXPECT_NE(amateur.Err.find("48000 to 8000"), std::string::npos) << amateur.Err;
}

TEST_F(BatchTest, OutputFolderGetsSnapshotsNamedByTheRecordingsClockAndTheFinalPanels) {
    const auto wav = Write("five-minutes.wav", TwoPaths(9600), 300.0);
    const auto out = dir_ / "out";
    const Result result = RunPropmon(
        "--batch " + wav.string() + " --out " + out.string() + " --start 12:00:00", dir_);
    ASSERT_EQ(result.Status, 0) << result.Err;
    EXPECT_TRUE(fs::exists(out / "blocks.csv"));
    // The channel table beside it: the five minutes from 12:00.
    const auto minutes = CsvRows(out / "channel.csv");
    ASSERT_EQ(minutes.size(), 6u) << Slurp(out / "channel.csv");
    EXPECT_TRUE(minutes[5][0].ends_with("T12:04:00Z")) << minutes[5][0];
    for (const char* name : {"final-correlation.png", "final-correlogram.png",
                             "final-dopplergram.png", "final-scattergram.png", "final-tune.png"})
        EXPECT_GT(fs::file_size(out / name), 100u) << name;
    // Every 400th correlogram column (800 blocks, 85.3 s): the first at 12:01:25.
    EXPECT_EQ(fs::file_size(out / "Correlograms" / "120125correlogram.BMP"), 362934u);
    EXPECT_TRUE(fs::exists(out / "Correlograms" / "120250correlogram.BMP"));
    // Every 256 blocks (27.3 s) a scattergram: ten in five minutes.
    size_t scattergrams = 0;
    for (const auto& entry : fs::directory_iterator(out / "Scattergrams")) {
        EXPECT_EQ(fs::file_size(entry.path()), 54326u);
        ++scattergrams;
    }
    EXPECT_EQ(scattergrams, 10u);
    EXPECT_TRUE(fs::exists(out / "Scattergrams" / "120027scattergram.BMP"));
    EXPECT_TRUE(fs::is_directory(out / "Dopplergrams"));
}

TEST_F(BatchTest, BadUsageExitsWithStatus2) {
    const auto good = Write("good.wav", s4285gen::NatoConfig(), 1.0);
    const std::string base = "--batch " + good.string() + " --csv " + (dir_ / "o.csv").string();
    for (const std::string extra :
         {"--average 0", "--lag-offset 513", "--doppler-shift 129", "--gain -1", "--gain abc",
          "--clock-ppm", "--frobnicate", "--average 2.5", "--mode fm", "--channel centre",
          "--start 25:00:00", "--start noon"}) {
        const Result result = RunPropmon(base + " " + extra, dir_);
        EXPECT_EQ(result.Status, 2) << extra;
        EXPECT_NE(result.Err.find("usage"), std::string::npos) << extra;
    }
    EXPECT_EQ(RunPropmon("--batch " + good.string(), dir_).Status, 2);
    EXPECT_EQ(RunPropmon("--batch --help", dir_).Status, 0);
}

// ---- Acquisition over recordings --------------------------------------------------

// A generated signal as a file of another rate and layout: resampled with
// libsoxr, and in a stereo file beside a channel of noise.
struct Recording {
    const char* Name;
    int32_t Mode;      // of the signal: +1 NATO, -1 AMATEUR
    int FileRate;      // of the file
    int SignalChannel; // 0 mono; 1 left, 2 right of a stereo file (noise on the other)
    std::vector<s4285gen::Path> Paths;
    double SnrDb; // -60: no signal at all
    double ClockPpm;
    // What propmon must say.
    const char* ModeLine;
    int Status;
};

void PrintTo(const Recording& r, std::ostream* out) {
    *out << r.Name;
}

std::vector<float> Resampled(const std::vector<float>& in, int from, int to) {
    if (from == to) return in;
    soxr_error_t error = nullptr;
    soxr_t resampler = soxr_create(from, to, 1, &error, nullptr, nullptr, nullptr);
    EXPECT_EQ(error, nullptr);
    if (!resampler) return {};
    // Handed over in pieces: the converter's queue grows by what it is given,
    // and a whole recording at once has it copy itself over and over.
    constexpr size_t piece = 8192;
    std::vector<float> out, made(piece * size_t(to) / size_t(from) + 1024);
    for (size_t offset = 0;;) {
        const size_t n = std::min(piece, in.size() - offset);
        size_t used = 0, got = 0;
        error = soxr_process(resampler, n ? in.data() + offset : nullptr, n, &used, made.data(),
                             made.size(), &got);
        EXPECT_EQ(error, nullptr);
        out.insert(out.end(), made.begin(), made.begin() + std::ptrdiff_t(got));
        offset += used;
        if (error || (n == 0 && got == 0)) break;
    }
    soxr_delete(resampler);
    return out;
}

class AcquisitionTest : public BatchTest, public ::testing::WithParamInterface<Recording> {
  protected:
    fs::path WriteRecording(const Recording& r, double seconds) {
        s4285gen::Config config = r.Mode == 1 ? s4285gen::NatoConfig() : s4285gen::AmateurConfig();
        config.Paths = r.Paths;
        config.SnrDb = r.SnrDb;
        config.ClockPpm = r.ClockPpm;
        config.LevelDbfs = -20;
        const auto n = size_t(seconds * config.SampleRate);
        std::vector<float> signal(n), noise(n);
        s4285gen::Generator(config).GenerateFloat(signal.data(), n);
        config.SnrDb = -60;
        config.Seed = 99;
        s4285gen::Generator(config).GenerateFloat(noise.data(), n);
        signal = Resampled(signal, config.SampleRate, r.FileRate);
        noise = Resampled(noise, config.SampleRate, r.FileRate);
        const int channels = r.SignalChannel == 0 ? 1 : 2;
        std::vector<float> frames;
        for (size_t i = 0; i < signal.size(); ++i) {
            if (channels == 1) {
                frames.push_back(signal[i]);
            } else {
                frames.push_back(r.SignalChannel == 1 ? signal[i] : noise[i]);
                frames.push_back(r.SignalChannel == 2 ? signal[i] : noise[i]);
            }
        }
        return WriteFrames(std::string(r.Name) + ".wav", r.FileRate, channels, frames);
    }
};

std::vector<std::string> ErrLines(const std::string& err) {
    std::vector<std::string> lines;
    std::istringstream in(err);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

TEST_P(AcquisitionTest, ModeChannelClockAndPathsAreFoundAndNoSignalIsSaid) {
    const Recording& r = GetParam();
    const fs::path wav = WriteRecording(r, 75.0);
    const fs::path csv = dir_ / "blocks.csv";
    const Result result = RunPropmon("--batch " + wav.string() + " --csv " + csv.string() +
                                         " --clock-ppm auto --lag-offset auto",
                                     dir_);
    EXPECT_EQ(result.Status, r.Status) << result.Err;
    const std::vector<std::string> lines = ErrLines(result.Err);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], r.ModeLine);

    // The clock error, measured over the recording, then the whole run with it.
    const std::regex clockLine(R"(clock: ([+-][0-9]+\.[0-9]) ppm \(\xC2\xB1([0-9]+\.[0-9])\))");
    std::smatch clock;
    bool clockSaid = false, lagSaid = false;
    for (const std::string& line : lines) {
        if (std::regex_match(line, clock, clockLine)) {
            clockSaid = true;
            EXPECT_NEAR(std::stod(clock[1]), r.ClockPpm, 0.5) << line;
            EXPECT_LE(std::stod(clock[2]), 0.5) << line;
        }
        lagSaid = lagSaid || line.rfind("lag offset: ", 0) == 0;
    }
    EXPECT_EQ(clockSaid, r.Status == 0) << result.Err;
    EXPECT_TRUE(lagSaid) << result.Err;

    // Every row with its quality; with the clock corrected the peak holds still.
    const auto rows = CsvRows(csv);
    ASSERT_GT(rows.size(), 500u);
    size_t locked = 0;
    for (size_t b = 1; b < rows.size(); ++b)
        locked += rows[b][6] == "1";
    const double share = double(locked) / double(rows.size() - 1);
    if (r.Status == 0) {
        EXPECT_GT(share, 0.5);
        EXPECT_LE(std::abs(std::stoi(rows.back()[2]) - std::stoi(rows[100][2])), 2);
    } else {
        EXPECT_LT(share, 0.2);
        EXPECT_EQ(lines.back(), "no STANAG 4285 signal found in " + wav.string());
    }
}

INSTANTIATE_TEST_SUITE_P(
    GeneratedRecordings, AcquisitionTest,
    ::testing::Values(Recording{"NatoTwoPathsMono",
                                1,
                                9600,
                                0,
                                {{.DelayMs = 1, .SpreadHz = 0.2},
                                 {.DelayMs = 3, .GainDb = -3, .SpreadHz = 0.5}},
                                10,
                                50,
                                "mode: NATO (2400 baud, 1800 Hz), channel: mono",
                                0},
                      // NATO at the AMATEUR rate is still NATO.
                      Recording{"NatoAt8000",
                                1,
                                8000,
                                0,
                                {{.DelayMs = 2}, {.DelayMs = 4.5, .GainDb = -6, .SpreadHz = 0.5}},
                                10,
                                -120,
                                "mode: NATO (2400 baud, 1800 Hz), channel: mono",
                                0},
                      Recording{"NatoAt44100Left",
                                1,
                                44100,
                                1,
                                {{.DelayMs = 1, .SpreadHz = 0.3}},
                                5,
                                -300,
                                "mode: NATO (2400 baud, 1800 Hz), channel: left",
                                0},
                      Recording{"AmateurThreePathsAt48000Right",
                                -1,
                                48000,
                                2,
                                {{.DelayMs = 2, .SpreadHz = 0.3},
                                 {.DelayMs = 5, .GainDb = -6, .SpreadHz = 0.8},
                                 {.DelayMs = 7, .GainDb = -9, .SpreadHz = 1}},
                                10,
                                211,
                                "mode: AMATEUR (2000 baud, 1500 Hz), channel: right",
                                0},
                      Recording{"NoiseOnlyStereo",
                                1,
                                48000,
                                1,
                                {{}},
                                -60,
                                0,
                                "mode: NATO (2400 baud, 1800 Hz), channel: left",
                                3}),
    [](const auto& info) { return std::string(info.param.Name); });

// With the mode left to the first minute, the run in the mode the file's rate
// suggests is that mode's trial: whichever mode is chosen, the tables are
// those of a run told the mode (the first minute fed apart from the rest, a
// run thrown away where the other mode wins).
TEST_F(BatchTest, TheChosenModesTablesAreThoseOfARunToldTheMode) {
    struct Case {
        int32_t SignalMode;
        const char* Told;
        const char* ModeLine;
    };
    for (const Case& c :
         {Case{1, "nato", "mode: NATO (2400 baud, 1800 Hz), channel: mono"},
          Case{-1, "amateur", "mode: AMATEUR (2000 baud, 1500 Hz), channel: mono"}}) {
        s4285gen::Config config = TwoPaths(c.SignalMode == 1 ? 9600 : 8000);
        config.Paths[0].SpreadHz = 0.5;
        config.Paths[1].SpreadHz = 1.0;
        config.SnrDb = 10;
        const auto n = size_t(70.0 * config.SampleRate);
        std::vector<float> signal(n);
        s4285gen::Generator(config).GenerateFloat(signal.data(), n);
        const fs::path wav = WriteFrames(std::string(c.Told) + ".wav", 9600, 1,
                                         Resampled(signal, config.SampleRate, 9600));

        const auto run = [&](const std::string& name, const std::string& more) {
            return RunPropmon("--batch " + wav.string() + " --csv " + (dir_ / name).string() +
                                  ".csv --channel-csv " + (dir_ / name).string() + "-channel.csv" +
                                  more,
                              dir_);
        };
        const Result chosen = run("chosen", "");
        const Result told = run("told", std::string(" --mode ") + c.Told);
        ASSERT_EQ(chosen.Status, 0) << chosen.Err;
        ASSERT_EQ(told.Status, 0) << told.Err;
        EXPECT_EQ(ErrLines(chosen.Err)[0], c.ModeLine);
        for (const char* table : {".csv", "-channel.csv"}) {
            const auto a = CsvRows(dir_ / (std::string("chosen") + table));
            EXPECT_GE(a.size(), 2u) << table; // the header and a row at least
            EXPECT_TRUE(a == CsvRows(dir_ / (std::string("told") + table))) << c.Told << table;
        }
    }
}

TEST_F(BatchTest, ExplicitModeAndChannelWinOverTheChoice) {
    s4285gen::Config config = TwoPaths(9600);
    const auto wav = Write("stereo.wav", config, 20.0, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2);
    const std::string base = "--batch " + wav.string() + " --csv " + (dir_ / "o.csv").string();
    const Result right = RunPropmon(base + " --channel right", dir_);
    EXPECT_EQ(right.Status, 0) << right.Err;
    EXPECT_EQ(ErrLines(right.Err)[0], "mode: NATO (2400 baud, 1800 Hz), channel: right");
    // The wrong mode finds nothing, as asked.
    const Result amateur = RunPropmon(base + " --mode amateur --channel auto", dir_);
    EXPECT_EQ(amateur.Status, 3) << amateur.Err;
    EXPECT_EQ(ErrLines(amateur.Err)[0], "mode: AMATEUR (2000 baud, 1500 Hz), channel: left");
}

} // namespace
