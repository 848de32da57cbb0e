// SPDX-License-Identifier: GPL-3.0-or-later
// propmon on IQ recordings of a band made by s4285iq: the carriers it finds,
// a receiver per tuned carrier in one batch run, and one channel against the
// same audio given to it as a recording of a receiver.
#include <gtest/gtest.h>

#include <algorithm>
#include <sys/wait.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "tests/text_files.h"

namespace {

namespace fs = std::filesystem;

struct Outcome {
    int Status;
    std::string Out;
    std::string Err;
};

Outcome RunProgram(const std::string& program, const std::string& args, const fs::path& dir) {
    const fs::path out = dir / "stdout.txt", err = dir / "stderr.txt";
    const std::string command =
        program + " " + args + " >" + out.string() + " 2>" + err.string() + " </dev/null";
    const int raw = std::system(command.c_str());
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, Slurp(out), Slurp(err)};
}

constexpr double CentreHz = 7100000.0;

struct Carrier {
    double OffsetHz;
    const char* Mode;
    double SnrDb;
};

// Three transmitters of both modes and levels, one fading, beside a CW
// carrier.
const std::vector<Carrier> Band = {
    {-30123.4, "nato", 14.0}, {-4000.0, "amateur", 20.0}, {21006.7, "nato", 9.0}};

class IqTest : public ::testing::Test {
  protected:
    fs::path dir_;
    void SetUp() override {
        dir_ = ScratchFolder("propmon-iq");
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    Outcome Propmon(const std::string& args) { return RunProgram(PROPMON_BIN, args, dir_); }

    // s4285iq's recording of the band; `args` adds its container and centre.
    fs::path WriteBand(const std::string& name, const std::vector<Carrier>& carriers,
                       const std::string& args, double seconds = 20.0) {
        std::string command = "-o " + (dir_ / name).string() + " --rate 96000 --seconds " +
                              std::to_string(seconds) + " --cw 10000,-40 " + args;
        uint64_t seed = 7;
        for (const Carrier& c : carriers) {
            command += " --signal " + std::to_string(c.OffsetHz) + "," + c.Mode + "," +
                       std::to_string(c.SnrDb);
            command += c.OffsetHz > 20000 ? ",0.5," : ",0,";
            command += std::to_string(seed++);
        }
        const Outcome made = RunProgram(S4285IQ_BIN, command, dir_);
        EXPECT_EQ(made.Status, 0) << made.Err;
        return dir_ / name;
    }
};

// Every carrier found within 2 Hz with its mode, nothing else; whether the
// recording says its centre (auxi chunk, SigMF) or not (offsets, or the
// centre given).
TEST_F(IqTest, FindSignalsListsEveryCarrierWithin2HzAndInventsNone) {
    struct Form {
        std::string Name, Args, FindArgs;
        double Centre;
    };
    for (const Form& form :
         {Form{"band.wav", "--format wav16 --centre 7100000", "", CentreHz},
          Form{"band", "--format sigmf --type cf32", "", 0.0},
          Form{"plain.wav", "--format wavf", " --iq --centre 7100000", CentreHz}}) {
        const fs::path file = WriteBand(form.Name, Band, form.Args);
        const std::string path = form.Args.find("sigmf") != std::string::npos
                                     ? file.string() + ".sigmf-meta"
                                     : file.string();
        const Outcome run = Propmon("--find-signals " + path + form.FindArgs);
        ASSERT_EQ(run.Status, 0) << form.Name << "\n" << run.Err;
        const std::vector<std::string> lines = Lines(run.Out);
        ASSERT_EQ(lines.size(), Band.size() + 1) << run.Out;
        EXPECT_EQ(lines[0], "frequency_hz,mode,snr_db,locked_share");
        for (size_t i = 0; i < Band.size(); ++i) {
            const auto cells = CsvRows(dir_ / "stdout.txt")[i + 1];
            ASSERT_EQ(cells.size(), 4u) << lines[i + 1];
            EXPECT_NEAR(std::stod(cells[0]), form.Centre + Band[i].OffsetHz, 2.0) << lines[i + 1];
            EXPECT_EQ(cells[1], std::string(Band[i].Mode) == "nato" ? "NATO" : "AMATEUR");
            // The fading one's power over 20 s is not its mean power.
            EXPECT_NEAR(std::stod(cells[2]), Band[i].SnrDb, i == 2 ? 3.0 : 1.0) << lines[i + 1];
            EXPECT_GT(std::stod(cells[3]), 0.5) << lines[i + 1];
        }
    }
}

TEST_F(IqTest, FindSignalsOnAnEmptyBandExits3AndOnAnUnreadableFile1) {
    const fs::path empty = WriteBand("empty.wav", {}, "--format wav16 --centre 7100000", 12.0);
    Outcome run = Propmon("--find-signals " + empty.string());
    EXPECT_EQ(run.Status, 3) << run.Err;
    EXPECT_EQ(run.Out, "frequency_hz,mode,snr_db,locked_share\n");
    EXPECT_NE(run.Err.find("no STANAG 4285 signal"), std::string::npos) << run.Err;

    std::ofstream(dir_ / "junk.wav") << "not a recording";
    for (const std::string& file : {(dir_ / "junk.wav").string(), (dir_ / "none.wav").string()}) {
        run = Propmon("--find-signals " + file + " --iq");
        EXPECT_EQ(run.Status, 1) << run.Err;
        EXPECT_EQ(Lines(run.Err).size(), 1u) << run.Err;
        EXPECT_NE(run.Err.find(file), std::string::npos) << run.Err;
        EXPECT_EQ(run.Out, "");
    }
}

// Two carriers tuned by frequency: a folder each with its table and pictures,
// a summary row each; the same recording with every signal found, tables only.
TEST_F(IqTest, BatchRunsAReceiverPerTunedCarrierWithAFolderAndSummaryRowEach) {
    const fs::path band = WriteBand("band.wav", Band, "--format wav16 --centre 7100000");
    const fs::path out = dir_ / "out";
    const Outcome run = Propmon("--batch " + band.string() +
                                " --tune 7069876.6 --tune 7121006.7 --out " + out.string());
    ASSERT_EQ(run.Status, 0) << run.Err;
    EXPECT_NE(run.Err.find("7069877 Hz: mode NATO"), std::string::npos) << run.Err;
    for (const char* name : {"7069877Hz", "7121007Hz"}) {
        const auto rows = CsvRows(out / name / "blocks.csv");
        ASSERT_EQ(rows.size(), size_t(20 * 9600 / 1024) + 1) << name;
        EXPECT_EQ(rows[0][0], "block");
        for (const char* panel : {"final-correlogram.png", "final-dopplergram.png"})
            EXPECT_GT(fs::file_size(out / name / panel), 1000u) << name << panel;
    }
    const auto summary = CsvRows(out / "summary.csv");
    ASSERT_EQ(summary.size(), 3u);
    EXPECT_EQ(summary[0],
              (std::vector<std::string>{"file", "frequency_hz", "offset_hz", "mode", "output",
                                        "duration_s", "blocks", "locked_share", "median_snr_db",
                                        "clock_ppm", "clock_uncertainty_ppm", "exit_reason"}));
    EXPECT_EQ(summary[1][1], "7069877");
    EXPECT_EQ(summary[1][2], "-30123.4");
    EXPECT_EQ(summary[1][4], "7069877Hz/");
    EXPECT_EQ(summary[1][5], "20.000");
    EXPECT_EQ(summary[2][3], "NATO");
    for (size_t r = 1; r < summary.size(); ++r) {
        EXPECT_GT(std::stod(summary[r][7]), 0.5) << r;
        EXPECT_EQ(summary[r][9], ""); // the clock measured only when asked for
        EXPECT_EQ(summary[r][11], "ok");
    }

    // Every signal found, tables only: one per carrier, named by it.
    const fs::path tables = dir_ / "tables";
    const Outcome all =
        Propmon("--batch " + band.string() + " --tune all --csv " + tables.string());
    ASSERT_EQ(all.Status, 0) << all.Err;
    const auto rows = CsvRows(tables / "summary.csv");
    ASSERT_EQ(rows.size(), Band.size() + 1);
    for (size_t i = 0; i < Band.size(); ++i) {
        EXPECT_NEAR(std::stod(rows[i + 1][1]), CentreHz + Band[i].OffsetHz, 2.0);
        EXPECT_EQ(rows[i + 1][4], rows[i + 1][1] + "Hz.csv");
        EXPECT_TRUE(fs::exists(tables / rows[i + 1][4])) << rows[i + 1][4];
    }
    EXPECT_EQ(rows[2][3], "AMATEUR");
}

TEST_F(IqTest, TunesItCannotServeAreRefusedInOneLine) {
    const fs::path band = WriteBand("band.wav", {}, "--format wavf", 2.0);
    const std::string out = " --out " + (dir_ / "out").string();
    for (const auto& [args, words] : std::vector<std::pair<std::string, std::string>>{
             {" --iq --tune 7100000", "the centre frequency of"},
             {" --iq --offset 60000", "lies outside"},
             {" --iq --offset 1000 --channel left", "--channel"}}) {
        const Outcome run = Propmon("--batch " + band.string() + args + out);
        EXPECT_EQ(run.Status, 2) << args << "\n" << run.Err;
        EXPECT_NE(run.Err.find(words), std::string::npos) << run.Err;
        EXPECT_FALSE(fs::exists(dir_ / "out" / "summary.csv")) << args;
    }
}

// Among the recordings of an archive run, an IQ recording (WAV with its
// centre, SigMF) is run on every carrier found in it, into a folder named like
// it, with a summary row per carrier; an empty band is a row without signal.
TEST_F(IqTest, InAnArchiveRunIqRecordingsGetARowPerCarrier) {
    fs::create_directories(dir_ / "archive");
    const std::vector<Carrier> two = {Band[0], Band[1]};
    WriteBand("archive/band.wav", two, "--format wav16 --centre 7100000", 12.0);
    WriteBand("archive/sdr", {Band[2]}, "--format sigmf --type cs16 --centre 7200000", 12.0);
    WriteBand("archive/quiet.wav", {}, "--format wav16 --centre 7300000", 4.0);
    ASSERT_EQ(
        RunProgram(S4285SIM_BIN, "-o " + (dir_ / "archive" / "audio.wav").string(), dir_).Status,
        0);
    const Outcome run = Propmon("--batch " + (dir_ / "archive").string() + " --csv " +
                                (dir_ / "tables").string() + "/ --jobs 2");
    EXPECT_EQ(run.Status, 3) << run.Err; // the quiet band
    const auto summary = CsvRows(dir_ / "tables" / "summary.csv");
    ASSERT_EQ(summary.size(), 6u) << Slurp(dir_ / "tables" / "summary.csv");
    ASSERT_EQ(summary[0].back(), "frequency_hz");
    const auto column = [&](const char* name) {
        return size_t(std::find(summary[0].begin(), summary[0].end(), name) - summary[0].begin());
    };
    EXPECT_EQ(summary[1][1], "audio.csv");
    EXPECT_EQ(summary[1].size(), summary[0].size() - 1); // no carrier frequency
    struct Expected {
        size_t Row;
        const char* File;
        double FrequencyHz;
        const char* Mode;
    };
    for (const Expected& e : {Expected{2, "band.wav", CentreHz + Band[0].OffsetHz, "NATO"},
                              Expected{3, "band.wav", CentreHz + Band[1].OffsetHz, "AMATEUR"},
                              Expected{5, "sdr.sigmf-meta", 7200000 + Band[2].OffsetHz, "NATO"}}) {
        const auto& row = summary[e.Row];
        ASSERT_EQ(row.size(), summary[0].size()) << e.Row;
        EXPECT_NE(row[0].find(e.File), std::string::npos) << row[0];
        EXPECT_NEAR(std::stod(row.back()), e.FrequencyHz, 2.0) << e.Row;
        EXPECT_EQ(row[column("mode")], e.Mode) << e.Row;
        EXPECT_EQ(row[column("channel")], "iq");
        EXPECT_EQ(row[column("exit_reason")], "ok");
        EXPECT_GT(std::stod(row[column("locked_share")]), 0.5) << e.Row;
        const int rate = std::string(e.Mode) == "NATO" ? 9600 : 8000;
        EXPECT_EQ(row[column("blocks")], std::to_string(12 * rate / 1024)) << e.Row;
        EXPECT_TRUE(fs::exists(dir_ / "tables" / row[column("output")])) << row[1];
    }
    EXPECT_NE(summary[4][0].find("quiet.wav"), std::string::npos);
    EXPECT_EQ(summary[4][column("exit_reason")], "no signal");
}

// --clock-ppm auto and --lag-offset auto, each channel for itself: one
// transmitter recorded by a sound card 50 ppm fast, one exact.
TEST_F(IqTest, ClockErrorAndPathsAreMeasuredForEachChannel) {
    const fs::path audio = dir_ / "fast.wav";
    ASSERT_EQ(RunProgram(S4285SIM_BIN,
                         "-o " + audio.string() +
                             " --seconds 120 --clock-ppm 50 --path 3,0,0 --snr 20 --seed 3",
                         dir_)
                  .Status,
              0);
    const fs::path iq = dir_ / "band.wav";
    ASSERT_EQ(RunProgram(S4285IQ_BIN,
                         "-o " + iq.string() + " --rate 48000 --centre 7100000 --seconds 120" +
                             " --audio " + audio.string() + ",-5000 --signal 9000,amateur,15,0,4",
                         dir_)
                  .Status,
              0);
    const Outcome run =
        Propmon("--batch " + iq.string() + " --offset -5000 --offset 9000" +
                " --clock-ppm auto --lag-offset auto --csv " + (dir_ / "tables").string());
    ASSERT_EQ(run.Status, 0) << run.Err;
    EXPECT_NE(run.Err.find("7095000 Hz: clock: +50.0 ppm"), std::string::npos) << run.Err;
    EXPECT_NE(run.Err.find("7109000 Hz: lag offset:"), std::string::npos) << run.Err;
    const auto summary = CsvRows(dir_ / "tables" / "summary.csv");
    ASSERT_EQ(summary.size(), 3u);
    EXPECT_NEAR(std::stod(summary[1][9]), 50.0, 0.5);
    EXPECT_NEAR(std::stod(summary[2][9]), 0.0, 0.5);
    // Corrected, the preamble stays put.
    for (const char* table : {"7095000Hz.csv", "7109000Hz.csv"}) {
        const auto rows = CsvRows(dir_ / "tables" / table);
        EXPECT_LE(std::abs(std::stoi(rows.back()[2]) - std::stoi(rows[10][2])), 1) << table;
    }
}

// Raw 16-bit IQ from s4285iq through a pipe, two carriers tuned by offset
// from the centre: each receiver writes into the folder named by its carrier
// its block log (locked rows at the lag the same audio gives as a recording),
// its channel table and its settings file.
TEST_F(IqTest, LiveRawIqFromAPipeRunsAReceiverPerCarrierInItsOwnFolder) {
    struct Transmitter {
        const char* Name;
        const char* Sim;
        double OffsetHz;
        const char* Folder;
    };
    const std::vector<Transmitter> transmitters = {
        {"a.wav", " --path 2,0,0 --seed 3", -5000.0, "7095000Hz"},
        {"b.wav", " --path 6.5,0,0 --seed 4", 8000.0, "7108000Hz"}};
    std::string audio;
    std::map<std::string, std::string> directLag;
    for (const Transmitter& t : transmitters) {
        const fs::path wav = dir_ / t.Name;
        ASSERT_EQ(
            RunProgram(S4285SIM_BIN, "-o " + wav.string() + " --seconds 30 --snr 25" + t.Sim, dir_)
                .Status,
            0);
        audio += " --audio " + wav.string() + "," + std::to_string(t.OffsetHz);
        const fs::path csv = dir_ / (std::string(t.Name) + ".csv");
        ASSERT_EQ(Propmon("--batch " + wav.string() + " --mode nato --csv " + csv.string()).Status,
                  0);
        directLag[t.Folder] = CsvRows(csv).back()[2];
    }
    const fs::path raw = dir_ / "band.cs16";
    const Outcome made = RunProgram(
        S4285IQ_BIN,
        "-o " + raw.string() + " --format raw --type cs16 --rate 48000 --seconds 30" + audio, dir_);
    ASSERT_EQ(made.Status, 0) << made.Err;

    const std::string command = "cd " + dir_.string() + " && cat " + raw.string() + " | " +
                                PROPMON_BIN +
                                " --headless --input stdin:48000:cs16 --centre 7100000"
                                " --offset -5000 --tune 7108000 --mode nato --log live"
                                " --start-time 2026-03-01T10:00:00Z 2>live.txt";
    const int liveStatus = std::system(command.c_str());
    const std::string err = Slurp(dir_ / "live.txt");
    ASSERT_TRUE(WIFEXITED(liveStatus) && WEXITSTATUS(liveStatus) == 0) << err;
    EXPECT_NE(err.find("end of input"), std::string::npos) << err;
    for (const Transmitter& t : transmitters) {
        const fs::path folder = dir_ / "live" / t.Folder;
        const auto rows = CsvRows(folder / "propmon-2026-03-01.csv");
        ASSERT_EQ(rows.size(), size_t(30 * 9600 / 1024) + 1) << t.Folder << "\n" << err;
        ASSERT_EQ(rows[0][0], "utc");
        ASSERT_EQ(rows[0][3], "peak_lag");
        const auto locked = std::find(rows[0].begin(), rows[0].end(), "locked") - rows[0].begin();
        size_t lockedAtLag = 0;
        for (size_t r = 10; r < rows.size(); ++r)
            lockedAtLag += rows[r][size_t(locked)] == "1" && rows[r][3] == directLag[t.Folder];
        EXPECT_GE(lockedAtLag, rows.size() - 12) << t.Folder << " lag " << directLag[t.Folder];
        EXPECT_EQ(rows[1][0].substr(0, 17), "2026-03-01T10:00:") << rows[1][0];
        EXPECT_GE(CsvRows(folder / "channel-2026-03-01.csv").size(), 2u) << t.Folder;
        EXPECT_TRUE(fs::exists(folder / "Stanag4285.set")) << t.Folder;
    }
    // The first carrier as an IQ WAV that states its centre, replayed at its
    // pace (6 s) and tuned by its frequency: the same lag.
    const fs::path band = dir_ / "band7100kHz.wav";
    ASSERT_EQ(RunProgram(S4285IQ_BIN,
                         "-o " + band.string() + " --format wav16 --centre 7100000 --rate 48000" +
                             " --seconds 6 --audio " + (dir_ / "a.wav").string() + ",-5000",
                         dir_)
                  .Status,
              0);
    const Outcome replay =
        Propmon("--headless --replay " + band.string() + " --tune 7095000 --mode nato --log " +
                (dir_ / "replay").string() + " --start-time 2026-03-01T11:00:00Z");
    ASSERT_EQ(replay.Status, 0) << replay.Err;
    EXPECT_NE(replay.Err.find("end of the recording"), std::string::npos) << replay.Err;
    const auto replayed = CsvRows(dir_ / "replay/7095000Hz/propmon-2026-03-01.csv");
    ASSERT_EQ(replayed.size(), size_t(6 * 9600 / 1024) + 1) << replay.Err;
    EXPECT_EQ(replayed[1][0].substr(0, 17), "2026-03-01T11:00:") << replayed[1][0];
    for (size_t r = 10; r < replayed.size(); ++r)
        EXPECT_EQ(replayed[r][3], directLag["7095000Hz"]) << "row " << r;

    // Refused, exit 2: finding carriers needs a recording; a carrier outside
    // the stream's band.
    for (const auto& [args, words] : std::vector<std::pair<std::string, std::string>>{
             {" --tune all", "--tune all finds the carriers in a recording"},
             {" --offset 30000", "does not fit"}}) {
        const std::string refused = "cd " + dir_.string() + " && cat " + raw.string() + " | " +
                                    PROPMON_BIN + " --headless --input stdin:48000:cs16" + args +
                                    " 2>refused.txt";
        const int status = std::system(refused.c_str());
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << args;
        EXPECT_NE(Slurp(dir_ / "refused.txt").find(words), std::string::npos) << args;
    }
}

// One channel of an IQ recording against the same audio as a receiver's
// recording: the same block table within what the front end's filters allow.
TEST_F(IqTest, OneChannelGivesTheBlocksOfTheSameAudioRecordedDirectly) {
    const fs::path audio = dir_ / "audio.wav";
    const Outcome sim = RunProgram(S4285SIM_BIN,
                                   "-o " + audio.string() +
                                       " --seconds 120 --snr 20 --seed 5 --path 2,0,0.4,0.3"
                                       " --path 4.5,-4,-0.7,0.5",
                                   dir_);
    ASSERT_EQ(sim.Status, 0) << sim.Err;
    const fs::path iq = dir_ / "iq.wav";
    const Outcome made =
        RunProgram(S4285IQ_BIN,
                   "-o " + iq.string() + " --rate 48000 --format wavf --seconds 120" +
                       " --noise off --audio " + audio.string() + ",-7123.4",
                   dir_);
    ASSERT_EQ(made.Status, 0) << made.Err;

    ASSERT_EQ(Propmon("--batch " + audio.string() + " --mode nato --csv " +
                      (dir_ / "direct.csv").string())
                  .Status,
              0);
    const Outcome run = Propmon("--batch " + iq.string() + " --iq --offset -7123.4 --csv " +
                                (dir_ / "iq").string());
    ASSERT_EQ(run.Status, 0) << run.Err;
    const auto direct = CsvRows(dir_ / "direct.csv");
    const auto viaIq = CsvRows(dir_ / "iq" / "-7123Hz.csv");
    ASSERT_EQ(viaIq.size(), direct.size());
    // From the third block: the first two correlate partly against the zeros
    // before the stream, where the filters ring in.
    size_t same = 0, compared = 0;
    double worstDopplerHz = 0.0;
    for (size_t r = 3; r < direct.size(); ++r, ++compared) {
        if (direct[r][2] != viaIq[r][2]) continue;
        ++same;
        worstDopplerHz =
            std::max(worstDopplerHz, std::abs(std::stod(direct[r][3]) - std::stod(viaIq[r][3])));
    }
    std::printf("%zu blocks: peak lag the same on %.2f %%, Doppler within %.4f Hz\n", compared,
                100.0 * double(same) / double(compared), worstDopplerHz);
    EXPECT_GE(double(same), 0.999 * double(compared));
    EXPECT_LE(worstDopplerHz, 0.01);
}

} // namespace
