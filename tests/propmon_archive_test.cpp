// SPDX-License-Identifier: GPL-3.0-or-later
// propmon --batch over a folder of generated recordings (an archive in
// small): a table or folder per recording, the same to the byte as a run on
// its own, the summary, the exit status of the worst recording, progress on a
// terminal and off it, and an interrupted run.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sndfile.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "s4285gen/s4285gen.h"
#include "tests/text_files.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

struct Result {
    int Status;
    std::string Err;
};

Result Shell(const std::string& command, const fs::path& errFile) {
    const int raw = std::system((command + " 2>" + errFile.string()).c_str());
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, Slurp(errFile)};
}

// Every file below `folder` by its path below it, with its bytes.
std::map<std::string, std::string> Files(const fs::path& folder) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        if (entry.is_regular_file())
            files[fs::relative(entry.path(), folder).string()] = Slurp(entry.path());
    return files;
}

// A generated signal written as a recording; stereo: silence on the left.
void WriteRecording(const fs::path& path, s4285gen::Config config, double seconds, int format,
                    int channels = 1) {
    const auto n = size_t(seconds * config.SampleRate);
    std::vector<float> mono(n);
    s4285gen::Generator(config).GenerateFloat(mono.data(), n);
    std::vector<float> frames(n * size_t(channels), 0.0f);
    for (size_t i = 0; i < n; ++i)
        frames[i * size_t(channels) + size_t(channels - 1)] = mono[i];
    SF_INFO info{};
    info.samplerate = config.SampleRate;
    info.channels = channels;
    info.format = format;
    fs::create_directories(path.parent_path());
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
    sf_writef_float(file, frames.data(), sf_count_t(n));
    sf_close(file);
}

class ArchiveTest : public ::testing::Test {
  protected:
    // The archive, written once for all the tests:
    //   noise.wav        noise alone (no signal)
    //   rx1/day.wav      NATO, two paths, a card 40 ppm fast
    //   rx2/broken.WAV   not a recording (fails)
    //   rx2/day.flac     AMATEUR, stereo, the signal on the right
    //   notes.txt, .shadow.wav   passed by
    static fs::path Archive;
    fs::path dir_;

    static void SetUpTestSuite() {
        Archive = fs::temp_directory_path() / ("propmon-archive-" + std::to_string(::getpid()));
        fs::remove_all(Archive);
        s4285gen::Config nato = s4285gen::NatoConfig();
        nato.Paths = {{.DelayMs = 1.0, .DopplerHz = 0.5}, {.DelayMs = 3.0, .GainDb = -6.0}};
        nato.SnrDb = 20;
        nato.ClockPpm = 40;
        WriteRecording(Archive / "rx1/day.wav", nato, 30.0, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
        s4285gen::Config amateur = s4285gen::AmateurConfig();
        amateur.Paths = {{.DelayMs = 2.0}};
        amateur.SnrDb = 20;
        WriteRecording(Archive / "rx2/day.flac", amateur, 30.0, SF_FORMAT_FLAC | SF_FORMAT_PCM_16,
                       2);
        s4285gen::Config noise = s4285gen::NatoConfig();
        noise.SnrDb = -60;
        WriteRecording(Archive / "noise.wav", noise, 20.0, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
        std::ofstream(Archive / "rx2/broken.WAV") << "not a recording";
        std::ofstream(Archive / "notes.txt") << "rx1: roof antenna";
        std::ofstream(Archive / ".shadow.wav") << "not a recording either";
    }
    static void TearDownTestSuite() { fs::remove_all(Archive); }

    void SetUp() override {
        dir_ = Archive.string() + "-" + TestFolderName();
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    Result Propmon(const std::string& args) {
        return Shell(std::string(PROPMON_BIN) + " " + args, dir_ / "stderr.txt");
    }
    std::string At(const char* relative) const { return (Archive / relative).string(); }
};
fs::path ArchiveTest::Archive;

TEST_F(ArchiveTest, FolderGivesATableEachAsAloneAndASummaryRowEach) {
    const fs::path out = dir_ / "out";
    const Result run =
        Propmon("--batch " + Archive.string() + " --csv " + out.string() + " --clock-ppm auto");
    EXPECT_EQ(run.Status, 1) << run.Err; // the broken recording
    std::vector<std::string> listing;
    for (const auto& entry : fs::directory_iterator(out))
        listing.push_back(entry.path().filename().string());
    std::sort(listing.begin(), listing.end());
    EXPECT_EQ(listing, (std::vector<std::string>{
                           "batch.log", "noise.channel.csv", "noise.csv", "rx1_day.channel.csv",
                           "rx1_day.csv", "rx2_day.channel.csv", "rx2_day.csv", "summary.csv"}));

    const auto rows = CsvRows(out / "summary.csv");
    ASSERT_EQ(rows.size(), 5u) << Slurp(out / "summary.csv");
    EXPECT_EQ(rows[0], (std::vector<std::string>{
                           "file", "output", "duration_s", "blocks", "locked_share", "mode",
                           "channel", "clock_ppm", "clock_uncertainty_ppm", "median_snr_db",
                           "exit_reason", "median_snr_db_3k", "median_rms_delay_spread_ms",
                           "median_doppler_spread_hz", "frequency_hz"}));
    // In the order of their paths below the folder.
    EXPECT_EQ(rows[1][0], At("noise.wav"));
    EXPECT_EQ(rows[1][1], "noise.csv");
    EXPECT_LT(std::stod(rows[1][4]), 0.2);
    EXPECT_EQ(rows[1][10], "no signal");
    const std::vector<std::string>& nato = rows[2];
    EXPECT_EQ(nato[0], At("rx1/day.wav"));
    EXPECT_EQ(nato[1], "rx1_day.csv");
    EXPECT_EQ(nato[2], "30.000");
    EXPECT_EQ(nato[3], "281"); // 30 s x 9600 / 1024
    EXPECT_GT(std::stod(nato[4]), 0.9);
    EXPECT_EQ(nato[5], "NATO");
    EXPECT_EQ(nato[6], "mono");
    EXPECT_NEAR(std::stod(nato[7]), 40.0, 1.0);
    EXPECT_LT(std::stod(nato[8]), 1.0);
    EXPECT_GT(std::stod(nato[9]), 15.0);
    EXPECT_EQ(nato[10], "ok");
    // 20 dB in the signal's 4.8 kHz is 22 dB in 3 kHz; paths 1 and 3 ms at
    // 0 and -6 dB spread their power by 0.8 ms RMS; neither path fades.
    ASSERT_EQ(nato.size(), 14u);
    EXPECT_NEAR(std::stod(nato[11]), 22.0, 2.0);
    EXPECT_NEAR(std::stod(nato[12]), 0.8, 0.15);
    EXPECT_LT(std::stod(nato[13]), 0.1);
    EXPECT_EQ(rows[3][0], At("rx2/broken.WAV"));
    EXPECT_EQ(rows[3][1], "");
    EXPECT_NE(rows[3][10].find("cannot read " + At("rx2/broken.WAV")), std::string::npos);
    const std::vector<std::string>& amateur = rows[4];
    EXPECT_EQ(amateur[1], "rx2_day.csv");
    EXPECT_EQ((std::vector<std::string>{amateur[3], amateur[5], amateur[6], amateur[10]}),
              (std::vector<std::string>{"234", "AMATEUR", "right", "ok"}));

    // Off a terminal: a line for each recording as it ends, the failure
    // naming the recording and its reason, and the whole run.
    const std::vector<std::string> lines = Lines(run.Err);
    ASSERT_EQ(lines.size(), 5u) << run.Err;
    size_t failures = 0;
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(lines[i].rfind("propmon: [" + std::to_string(i + 1) + "/4] ", 0), 0u) << lines[i];
        failures +=
            lines[i].find(At("rx2/broken.WAV") + ": failed: cannot read") != std::string::npos;
    }
    EXPECT_EQ(failures, 1u) << run.Err;
    EXPECT_NE(lines[4].find("4 recordings (2 ok, 1 without signal, 1 failed)"), std::string::npos)
        << lines[4];
    // What each run said, recording by recording.
    EXPECT_NE(Slurp(out / "batch.log")
                  .find(At("rx2/day.flac") +
                        ":\n  mode: AMATEUR (2000 baud, 1500 Hz), channel: right\n  clock: "),
              std::string::npos);

    // Each table is the one a run over that recording alone writes.
    for (const auto& [recording, name] :
         {std::pair{"rx1/day.wav", "rx1_day"}, std::pair{"rx2/day.flac", "rx2_day"},
          std::pair{"noise.wav", "noise"}}) {
        const fs::path alone = dir_ / "alone.csv";
        const fs::path channel = dir_ / "alone.channel.csv";
        const Result single = Propmon("--batch " + At(recording) + " --csv " + alone.string() +
                                      " --channel-csv " + channel.string() + " --clock-ppm auto");
        EXPECT_NE(single.Status, 1) << single.Err;
        EXPECT_EQ(Slurp(out / (std::string(name) + ".csv")), Slurp(alone)) << recording;
        EXPECT_EQ(Slurp(out / (std::string(name) + ".channel.csv")), Slurp(channel)) << recording;
    }
}

TEST_F(ArchiveTest, OutputFoldersAreTheSameToTheByteAsRunsAlone) {
    const fs::path out = dir_ / "out";
    const Result run = Propmon("--batch " + At("rx1/day.wav") + " " + At("rx2/day.flac") +
                               " --out " + out.string() + " --jobs 2 --lag-offset auto");
    ASSERT_EQ(run.Status, 0) << run.Err;
    for (const auto& [recording, folder] :
         {std::pair{"rx1/day.wav", "rx1_day"}, std::pair{"rx2/day.flac", "rx2_day"}}) {
        const fs::path alone = dir_ / "alone";
        fs::remove_all(alone);
        ASSERT_EQ(
            Propmon("--batch " + At(recording) + " --out " + alone.string() + " --lag-offset auto")
                .Status,
            0);
        const auto expected = Files(alone);
        EXPECT_GE(expected.size(), 6u); // the table, five panels, a scattergram of rx1
        EXPECT_TRUE(Files(out / folder) == expected) << recording;
    }
    const auto rows = CsvRows(out / "summary.csv");
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[1][1], "rx1_day/");
    EXPECT_EQ(rows[1][7], ""); // no clock measured unless asked for
}

TEST_F(ArchiveTest, ExitStatusIsTheWorstRecordings) {
    const std::string good = At("rx1/day.wav") + " " + At("rx2/day.flac");
    EXPECT_EQ(Propmon("--batch " + good + " --csv " + (dir_ / "a").string()).Status, 0);
    EXPECT_EQ(Propmon("--batch " + good + " " + At("noise.wav") + " --csv " + (dir_ / "b").string())
                  .Status,
              3);
    EXPECT_EQ(Propmon("--batch " + At("noise.wav") + " " + At("rx2/broken.WAV") + " --csv " +
                      (dir_ / "c").string())
                  .Status,
              1);
    EXPECT_EQ(CsvRows(dir_ / "c/summary.csv").size(), 3u);
    // One recording with --csv naming a folder: its table and its summary row
    // there (a scheduler's job of one recording).
    EXPECT_EQ(
        Propmon("--batch " + At("rx1/day.wav") + " --csv " + (dir_ / "f").string() + "/").Status,
        0);
    EXPECT_TRUE(fs::exists(dir_ / "f/day.csv"));
    EXPECT_EQ(CsvRows(dir_ / "f/summary.csv").size(), 2u);
    // Bad usage of several recordings.
    const std::string d = (dir_ / "d").string();
    for (const std::string& extra : std::vector<std::string>{
             "--csv " + d + " --out " + (dir_ / "e").string(), "--csv " + d + " --start 12:00:00",
             "--csv " + d + " --jobs 0", ""}) {
        const Result result = Propmon("--batch " + good + " " + extra);
        EXPECT_EQ(result.Status, 2) << extra;
        EXPECT_NE(result.Err.find("usage"), std::string::npos) << extra;
    }
    EXPECT_FALSE(fs::exists(dir_ / "d"));
}

TEST_F(ArchiveTest, OnATerminalProgressIsOneLineRedrawnInPlace) {
    if (std::system("command -v script >/dev/null 2>&1") != 0) GTEST_SKIP() << "no script(1)";
    // script(1) gives the run a terminal and copies what it writes there.
    const fs::path screen = dir_ / "screen.txt";
    const std::string run = std::string(PROPMON_BIN) + " --batch " + At("rx1/day.wav") + " " +
                            At("noise.wav") + " --csv " + (dir_ / "out").string() + " --jobs 1";
    ASSERT_EQ(std::system(("script -qec '" + run + "' /dev/null >" + screen.string()).c_str()) >> 8,
              3);
    const std::string text = Slurp(screen);
    EXPECT_NE(text.find("\rpropmon: 0/2 recordings\033[K"), std::string::npos) << text;
    EXPECT_NE(text.find("\rpropmon: 2/2 recordings"), std::string::npos) << text;
    // The recording without signal is told on a line of its own; the one
    // that went well only counts in the progress line, which is cleared at the end.
    EXPECT_NE(text.find("\r\033[Kpropmon: [2/2] " + At("noise.wav") + ": no STANAG 4285 signal"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("[1/2]"), std::string::npos) << text;
    const size_t last = text.rfind("\r\033[Kpropmon: 2 recordings (1 ok, 1 without signal");
    EXPECT_NE(last, std::string::npos) << text;
    EXPECT_EQ(text.find("\033[K", last + 4), std::string::npos) << text;
}

TEST_F(ArchiveTest, InterruptedRunStopsItsRecordingsAndStillWritesTheSummary) {
    s4285gen::Config config = s4285gen::NatoConfig();
    config.Paths = {{.DelayMs = 1.0}};
    const fs::path longer = dir_ / "in/long.wav";
    WriteRecording(longer, config, 600.0, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    const fs::path out = dir_ / "out";
    const std::string err = (dir_ / "stderr.txt").string();
    const std::vector<std::string> args = {
        PROPMON_BIN, "--batch", longer.string(), At("noise.wav"), "--csv", out.string(),
        "--jobs",    "1",       "--clock-ppm",   "auto"};
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, PROPMON_BIN, &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    // Once the long recording's table is being written, the run is told to stop.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!fs::exists(out / "long.csv.part") && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ::kill(pid, SIGTERM);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << Slurp(err);
    EXPECT_EQ(WEXITSTATUS(status), 1) << Slurp(err);
    const auto rows = CsvRows(out / "summary.csv");
    ASSERT_EQ(rows.size(), 3u) << Slurp(err);
    EXPECT_EQ(rows[1][10], "interrupted by SIGTERM");
    EXPECT_EQ(rows[2][10], "not run: interrupted by SIGTERM");
    // Nothing half-written is left behind.
    EXPECT_FALSE(fs::exists(out / "long.csv.part"));
    EXPECT_FALSE(fs::exists(out / "long.csv"));
}

} // namespace
