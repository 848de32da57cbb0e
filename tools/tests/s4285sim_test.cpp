// SPDX-License-Identifier: GPL-3.0-or-later
// Tests of the s4285sim command: the recording it writes is the one the generator
// library makes, and bad usage or an unwritable output leaves nothing behind.
#include "s4285gen/channels.h"
#include "s4285gen/s4285gen.h"
#include "s4285gen/tests/render.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

class SimCommand : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("s4285sim_test_" + std::to_string(getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    int Run(const std::string& args) {
        const std::string cmd = std::string("'") + S4285SIM_PATH + "' " + args + " >'" +
                                (dir_ / "stdout").string() + "' 2>'" + (dir_ / "stderr").string() +
                                "'";
        const int status = std::system(cmd.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string Read(const char* name) {
        std::ifstream in(dir_ / name);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    std::string Path(const char* name) { return (dir_ / name).string(); }
    std::size_t FilesIn() {
        std::size_t n = 0;
        for (const auto& e : std::filesystem::directory_iterator(dir_))
            n += e.path().filename() != "stdout" && e.path().filename() != "stderr";
        return n;
    }

    std::filesystem::path dir_;
};

TEST_F(SimCommand, WritesThePcmRecordingTheLibraryGenerates) {
    ASSERT_EQ(Run("-o '" + Path("a.wav") + "' --seconds 2 --path 1.5,0,0.7 --path 4,-5,-1,0.3 " +
                  "--snr 20 --clock-ppm 12 --seed 99 --level -20"),
              0)
        << Read("stderr");
    SF_INFO info{};
    SNDFILE* f = sf_open(Path("a.wav").c_str(), SFM_READ, &info);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(info.samplerate, 9600);
    EXPECT_EQ(info.channels, 1);
    EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    ASSERT_EQ(info.frames, 19200);
    std::vector<int16_t> got(19200);
    EXPECT_EQ(sf_read_short(f, got.data(), 19200), 19200);
    sf_close(f);

    s4285gen::Config c = s4285gen::NatoConfig();
    c.Paths = {{1.5, 0, 0.7, 0}, {4, -5, -1, 0.3}};
    c.SnrDb = 20;
    c.ClockPpm = 12;
    c.Seed = 99;
    c.LevelDbfs = -20;
    EXPECT_EQ(got, RenderPcm(c, 19200));
    EXPECT_EQ(FilesIn(), 1u); // no temporary file left behind
}

// A standard channel with everything that can disturb it: the recording is
// the library's for the same configuration.
TEST_F(SimCommand, ChannelAndDisturbancesGiveTheLibrarysRecording) {
    ASSERT_EQ(Run("-o '" + Path("e.wav") + "' --float --seconds 1 --channel poor --snr 15 " +
                  "--tone 2100,-3 --tone 900.5,-10 --other 600,0,20 --audio speech,-6 " +
                  "--dropout 0.2,0.1 --dropout 0.5,0.05,held --clip -8"),
              0)
        << Read("stderr");
    SF_INFO info{};
    SNDFILE* f = sf_open(Path("e.wav").c_str(), SFM_READ, &info);
    ASSERT_NE(f, nullptr);
    std::vector<float> got(9600);
    EXPECT_EQ(sf_read_float(f, got.data(), 9600), 9600);
    sf_close(f);

    s4285gen::Config c = s4285gen::WattersonConfig(s4285gen::Watterson::Poor, 15);
    c.Extra.Tones = {{.Hz = 2100, .LevelDb = -3}, {.Hz = 900.5, .LevelDb = -10}};
    c.Extra.OtherSignals = {{.OffsetHz = 600, .LevelDb = 0, .DelayMs = 20}};
    c.Extra.Audio = s4285gen::AudioKind::SpeechLike;
    c.Extra.AudioLevelDb = -6;
    c.Extra.Dropouts = {{.StartS = 0.2, .Seconds = 0.1},
                        {.StartS = 0.5, .Seconds = 0.05, .Held = true}};
    c.Extra.ClipDbfs = -8;
    EXPECT_EQ(got, RenderFloat(c, 9600));

    // Without any signal: noise and the carrier only, at the level asked for.
    ASSERT_EQ(Run("-o '" + Path("f.wav") + "' --float --seconds 1 --no-signal --tone 1800,0"), 0)
        << Read("stderr");
    f = sf_open(Path("f.wav").c_str(), SFM_READ, &info);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(sf_read_float(f, got.data(), 9600), 9600);
    sf_close(f);
    c = s4285gen::NatoConfig();
    c.Extra.SignalOff = true;
    c.Extra.Tones = {{.Hz = 1800, .LevelDb = 0}};
    EXPECT_EQ(got, RenderFloat(c, 9600));
}

TEST_F(SimCommand, AmateurFloatRecordingHasItsRateAndFormat) {
    ASSERT_EQ(Run("--mode amateur --float --seconds 0.5 -o '" + Path("b.wav") + "'"), 0)
        << Read("stderr");
    SF_INFO info{};
    SNDFILE* f = sf_open(Path("b.wav").c_str(), SFM_READ, &info);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(info.samplerate, 8000);
    EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    EXPECT_EQ(info.frames, 4000);
    std::vector<float> got(4000);
    EXPECT_EQ(sf_read_float(f, got.data(), 4000), 4000);
    sf_close(f);
    EXPECT_EQ(got, RenderFloat(s4285gen::AmateurConfig(), 4000));
}

TEST_F(SimCommand, HelpAndVersionSucceed) {
    EXPECT_EQ(Run("--help"), 0);
    EXPECT_NE(Read("stdout").find("Usage: s4285sim -o OUT.wav"), std::string::npos);
    EXPECT_EQ(Run("--version"), 0);
    EXPECT_EQ(Read("stdout").rfind("s4285sim ", 0), 0u);
}

TEST_F(SimCommand, BadUsageExitsWith2AndOneLineWithoutWritingAFile) {
    const std::string out = " -o '" + Path("c.wav") + "'";
    const std::string cases[] = {
        "--bogus" + out,
        "--seconds -1" + out,
        "--seconds 0" + out,
        "--seconds 86401" + out,
        "--seconds 0.00001" + out,
        "--seconds 2x" + out,
        "--snr abc" + out,
        "--mode shortwave" + out,
        "--path 1,2" + out,
        "--path 1,2,3,4,5" + out,
        "--path -3,0,0" + out,
        "--path 0,0,0,-1" + out,
        "--level 6" + out,
        "--seed -4" + out,
        "--seconds" + out.substr(0, 3), // "--seconds -o": not a number
        "--seconds 1",                  // no output file
        "--demo --path 0,0,0" + out,
        "--channel fair" + out,
        "--channel good --path 0,0,0" + out,
        "--tone 1800" + out,
        "--tone 9000,0" + out,
        "--other 600" + out,
        "--audio noise" + out,
        "--dropout 1" + out,
        "--dropout 1,2,frozen" + out,
        "--clip 3" + out,
        "--no-signal=1" + out,
    };
    for (const std::string& args : cases) {
        EXPECT_EQ(Run(args), 2) << args;
        const std::string err = Read("stderr");
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << args << ": " << err;
        EXPECT_EQ(err.rfind("s4285sim: ", 0), 0u) << err;
        EXPECT_EQ(FilesIn(), 0u) << args;
    }
}

TEST_F(SimCommand, UnwritableOutputExitsWith1AndKeepsNothing) {
    std::filesystem::create_directories(dir_ / "sub");
    const std::string cases[] = {Path("missing") + "/x.wav", Path("sub")};
    for (const std::string& target : cases) {
        EXPECT_EQ(Run("--seconds 0.1 -o '" + target + "'"), 1) << target;
        const std::string err = Read("stderr");
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
        EXPECT_NE(err.find("cannot"), std::string::npos) << err;
    }
    EXPECT_EQ(FilesIn(), 1u); // only "sub", no stray temporary file
    EXPECT_TRUE(std::filesystem::is_empty(dir_ / "sub"));
}

TEST_F(SimCommand, ExistingFileIsReplacedWhole) {
    {
        std::ofstream old(Path("d.wav"));
        old << "old contents";
    }
    ASSERT_EQ(Run("--seconds 0.2 --demo -o '" + Path("d.wav") + "'"), 0) << Read("stderr");
    SF_INFO info{};
    SNDFILE* f = sf_open(Path("d.wav").c_str(), SFM_READ, &info);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(info.frames, 1920);
    sf_close(f);
}

} // namespace
