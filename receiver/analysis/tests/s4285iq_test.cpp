// SPDX-License-Identifier: GPL-3.0-or-later
// s4285iq turns what s4285sim writes into an IQ recording that the readers
// and the finder take as an SDR program's.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>

#include "receiver/analysis/signal_finder.h"
#include "receiver/io/iq_recording.h"

namespace analysis {
namespace {

namespace fs = std::filesystem;

int RunCommand(const std::string& command) {
    const int status = std::system((command + " 2>/dev/null").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(S4285Iq, TurnsARecordingOfS4285SimIntoABandTheFinderReads) {
    const fs::path dir = fs::temp_directory_path() / "rx_iq_s4285iq";
    fs::remove_all(dir);
    fs::create_directories(dir);
    const std::string audio = (dir / "amateur.wav").string();
    const std::string iq = (dir / "HDSDR_20240301_101500Z_3580kHz_RF.wav").string();
    ASSERT_EQ(RunCommand(std::string(S4285SIM_PATH) + " -o " + audio +
                         " --mode amateur --seconds 25 --snr 20 --path 2,0,0"),
              0);
    ASSERT_EQ(RunCommand(std::string(S4285IQ_PATH) + " -o " + iq + " --rate 96000 --seconds 25" +
                         " --format wavf --noise -70 --audio " + audio + ",-12345.5,-10" +
                         " --signal 20000,nato,15 --cw 5000,-40"),
              0);
    std::string error;
    auto reader = io::IqRecordingReader::Open(iq, false, error);
    ASSERT_TRUE(reader) << error;
    EXPECT_EQ(reader->Info().SampleRate, 96000.0);
    EXPECT_EQ(reader->Info().CentreHz, 3580000.0);
    EXPECT_EQ(reader->Info().Frames, 25 * 96000);
    reader.reset();
    const auto found = FindSignals(iq, {}, error);
    ASSERT_TRUE(found) << error;
    ASSERT_EQ(found->size(), 2u);
    EXPECT_NEAR((*found)[0].FrequencyHz, 3580000.0 - 12345.5, 2.0);
    EXPECT_EQ((*found)[0].Mode, dsp::ModeAmateur);
    EXPECT_NEAR((*found)[1].FrequencyHz, 3600000.0, 2.0);
    EXPECT_EQ((*found)[1].Mode, dsp::ModeNato);
    EXPECT_NEAR((*found)[1].SnrDb, 15.0, 0.5);
    EXPECT_EQ(RunCommand(std::string(S4285IQ_PATH) + " -o " + iq + " --signal 1,fm,3 --rate 48000"),
              2);
    EXPECT_EQ(RunCommand(std::string(S4285IQ_PATH) + " -o " + iq + " --rate 48000 --audio " +
                         (dir / "missing.wav").string() + ",0"),
              1);
    fs::remove_all(dir);
}

} // namespace
} // namespace analysis
