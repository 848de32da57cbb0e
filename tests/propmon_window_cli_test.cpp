// SPDX-License-Identifier: GPL-3.0-or-later
// propmon's window command line, run without a display: what it prints and the
// exit status for help, bad usage, an unplayable recording and a missing display.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sndfile.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "s4285gen/s4285gen.h"
#include "tests/text_files.h"

namespace {

namespace fs = std::filesystem;

struct Outcome {
    int Status;
    std::string Out;
    std::string Err;
};

class WindowCommandLine : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = ScratchFolder("propmon-cli");
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    // propmon in `dir` with no display at all, unless `environment` names one.
    Outcome Propmon(const std::string& args, const std::string& environment = "") {
        const std::string command =
            "cd '" + dir_.string() + "' && env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM " +
            environment + " '" + PROPMON_BIN + "' " + args + " >out.txt 2>err.txt";
        const int raw = std::system(command.c_str());
        return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, Slurp(dir_ / "out.txt"),
                Slurp(dir_ / "err.txt")};
    }

    fs::path dir_;
};

TEST_F(WindowCommandLine, HelpAndVersionPrintAndSucceedWithoutADisplay) {
    for (const char* help : {"--help", "-h", "--simulate --help", "--replay --help"}) {
        const Outcome run = Propmon(help);
        EXPECT_EQ(run.Status, 0) << help;
        EXPECT_EQ(run.Out.rfind("usage: propmon", 0), 0u) << help;
        for (const char* option : {"--simulate", "--replay FILE", "--channel", "--autosave",
                                   "--input SOURCE", "--reconnect", "--headless", "--device TEXT",
                                   "--list-devices", "--mode M", "--average K", "--lag-offset N",
                                   "--log DIR", "--utc", "--dated-names", "--http [ADDR:]PORT"})
            EXPECT_NE(run.Out.find(option), std::string::npos) << option;
    }
    const Outcome version = Propmon("--version");
    EXPECT_EQ(version.Status, 0);
    EXPECT_EQ(version.Out.rfind("propmon ", 0), 0u);
}

TEST_F(WindowCommandLine, BadUsageGivesOneLineReasonWhereToLookAndStatus2) {
    const std::pair<const char*, const char*> cases[] = {
        {"--frobnicate", "unknown option '--frobnicate'"},
        {"--replay", "--replay"},
        {"--channel centre", "--channel is auto, left, right or mix, not 'centre'"},
        {"--simulate --replay x.wav", "choose either --simulate or --replay"},
        {"stray", "unexpected argument 'stray'"},
        {"--autosave=yes", "--autosave"},
        {"--input tcp:7355",
         "--input is udp:[ADDR:]PORT[@RATE], rtp:[ADDR:]PORT[#SSRC][@RATE] or stdin:"},
        {"--input udp:7355@5", "the rate of --input udp:7355@5 must be"},
        {"--input stdin:48000:u8", "are s16 or f32"},
        {"--simulate --input udp:7355", "choose one input: --simulate, --replay or --input"},
        {"--headless --mode fm", "--mode is nato or amateur, not 'fm'"},
        {"--average 0", "--average wants a number in 1..1000000, not '0'"},
        {"--headless --lag-offset 513", "--lag-offset wants a number in 0..512, not '513'"},
        {"--lag-offset 2.5", "--lag-offset wants a whole number, not '2.5'"},
        {"--device usb --simulate", "choose one input: --device, --simulate or --replay"},
        {"--headless --log", "--log"},
        {"--device usb --input udp:7355",
         "choose one input: --device, --simulate, --replay or --input"},
        {"--http", "--http"},
        {"--http 65536", "--http is [ADDR:]PORT (an IP address and a port 0..65535), not '65536'"},
        {"--http 1.2.3:8080", "not '1.2.3:8080'"},
        {"--http station.example:8080", "not 'station.example:8080'"},
        {"--http [::1]", "not '[::1]'"},
        {"--http 99999", "not '99999'"},
        {"--headless --station ''", "--station needs a name"},
    };
    for (auto [args, reason] : cases) {
        const Outcome run = Propmon(args);
        EXPECT_EQ(run.Status, 2) << args;
        const std::vector<std::string> lines = Lines(run.Err);
        ASSERT_EQ(lines.size(), 2u) << run.Err;
        EXPECT_EQ(lines[0].rfind("propmon: ", 0), 0u) << lines[0];
        EXPECT_NE(lines[0].find(reason), std::string::npos) << lines[0];
        EXPECT_EQ(lines[1], "see propmon --help for the usage") << args;
    }
}

TEST_F(WindowCommandLine, StandardInputFromATerminalIsRefusedAsAnInput) {
    const int terminal = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (terminal < 0 || ::grantpt(terminal) != 0 || ::unlockpt(terminal) != 0)
        GTEST_SKIP() << "no pseudo-terminal here";
    const Outcome run = Propmon(std::string("--input stdin:48000 < ") + ::ptsname(terminal));
    ::close(terminal);
    EXPECT_EQ(run.Status, 2);
    EXPECT_NE(run.Err.find("standard input is a terminal"), std::string::npos) << run.Err;
}

TEST_F(WindowCommandLine, WithoutADisplayOneLineSaysSoAndStatusIs1) {
    // No display named at all; one named that cannot be reached (Qt would abort).
    const std::pair<std::string, const char*> cases[] = {
        {"", "no display"},
        {"DISPLAY=:97", "cannot open a window"},
        {"WAYLAND_DISPLAY=propmon-test-none", "cannot open a window"},
    };
    for (const auto& [environment, words] : cases) {
        const Outcome run = Propmon("--simulate", environment);
        EXPECT_EQ(run.Status, 1) << environment;
        const std::vector<std::string> lines = Lines(run.Err);
        ASSERT_EQ(lines.size(), 1u) << environment << ":\n" << run.Err;
        EXPECT_NE(lines[0].find(words), std::string::npos) << lines[0];
        EXPECT_NE(lines[0].find("--batch"), std::string::npos) << lines[0];
        EXPECT_FALSE(fs::exists(dir_ / "Stanag4285.set")) << environment;
    }
    // An unplayable recording is told first, also without a display.
    const Outcome replay = Propmon("--replay missing.wav");
    EXPECT_EQ(replay.Status, 1);
    EXPECT_NE(replay.Err.find("cannot read missing.wav"), std::string::npos) << replay.Err;
}

TEST_F(WindowCommandLine, ReplayStartsInTheModeAndChannelItsSignalLocksIn) {
    // An AMATEUR signal on the right channel of a 48 kHz file.
    s4285gen::Config config = s4285gen::AmateurConfig();
    config.Paths = {{.DelayMs = 2}, {.DelayMs = 4, .GainDb = -6}};
    config.SnrDb = 10;
    const size_t n = 20 * 8000;
    std::vector<float> signal(n);
    s4285gen::Generator(config).GenerateFloat(signal.data(), n);
    std::vector<float> frames;
    for (size_t i = 0; i < n; ++i)
        for (int repeat = 0; repeat < 6; ++repeat) { // 8000 -> 48000 by repetition
            frames.push_back(0.0f);
            frames.push_back(signal[i]);
        }
    SF_INFO info{};
    info.samplerate = 48000;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* file = sf_open((dir_ / "right.wav").c_str(), SFM_WRITE, &info);
    ASSERT_NE(file, nullptr);
    sf_writef_float(file, frames.data(), sf_count_t(frames.size() / 2));
    sf_close(file);

    for (const auto& [args, line] : std::vector<std::pair<std::string, std::string>>{
             {"--replay right.wav", "mode: AMATEUR (2000 baud, 1500 Hz), channel: right"},
             // The silent channel asked for: nothing locks, the rate's mode stays.
             {"--replay right.wav --channel left",
              "mode: NATO (2400 baud, 1800 Hz), channel: left"}}) {
        const Outcome run = Propmon(args); // no display: said after the choice
        EXPECT_EQ(run.Status, 1) << args;
        const std::vector<std::string> lines = Lines(run.Err);
        ASSERT_EQ(lines.size(), 2u) << run.Err;
        EXPECT_EQ(lines[0], line) << args;
        EXPECT_NE(lines[1].find("no display"), std::string::npos) << lines[1];
    }
}

} // namespace
