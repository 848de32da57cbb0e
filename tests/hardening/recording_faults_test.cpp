// SPDX-License-Identifier: GPL-3.0-or-later
// Recordings that are damaged, cut short or lie in their headers: the reader
// delivers what exists and then ends, and propmon --batch processes every
// block that exists and says what happened to the rest.
#include "hardening_support.h"

#include "receiver/io/recording.h"
#include "tests/text_files.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace hardening {
namespace {

using Recording = TempDirTest;

std::vector<int16_t> ReadAll(io::RecordingReader& reader) {
    std::vector<int16_t> all;
    std::vector<int16_t> buffer(1000);
    for (;;) {
        const int64_t got = reader.Read(buffer.data(), int64_t(buffer.size()));
        if (got <= 0) break;
        all.insert(all.end(), buffer.begin(), buffer.begin() + got);
    }
    return all;
}

std::vector<int16_t> Samples(const fs::path& wav) {
    std::string error;
    auto reader = io::RecordingReader::Open(wav.string(), 0, io::ChannelChoice::Left, error);
    EXPECT_TRUE(reader) << error;
    return reader ? ReadAll(*reader) : std::vector<int16_t>{};
}

void PutLe32(std::string& bytes, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        bytes[at + size_t(i)] = char((v >> (8 * i)) & 0xFF);
}

size_t DataChunk(const std::string& wav) {
    const size_t at = wav.find("data");
    EXPECT_NE(at, std::string::npos);
    return at;
}

TEST_F(Recording, NanSamplesOfAFloatRecordingReadAsSilenceAtAnyRate) {
    const fs::path path = dir_ / "nan.wav";
    std::vector<float> samples(4000);
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = i % 7 == 3 ? std::numeric_limits<float>::quiet_NaN()
                                : 0.25f * std::sin(0.1f * float(i));
    SF_INFO info{};
    info.samplerate = 9600;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(file, nullptr);
    sf_write_float(file, samples.data(), sf_count_t(samples.size()));
    sf_close(file);

    const std::vector<int16_t> direct = Samples(path);
    ASSERT_EQ(direct.size(), samples.size());
    for (size_t i = 0; i < samples.size(); ++i) {
        if (std::isnan(samples[i]))
            EXPECT_EQ(direct[i], 0) << i;
        else
            EXPECT_EQ(direct[i], int16_t(std::nearbyint(samples[i] * 32768.0f))) << i;
    }
    std::string error;
    auto converted = io::RecordingReader::Open(path.string(), 8000, io::ChannelChoice::Mix, error);
    ASSERT_TRUE(converted) << error;
    const std::vector<int16_t> amateur = ReadAll(*converted);
    EXPECT_NEAR(double(amateur.size()), 4000 * 8000 / 9600.0, 2.0);
}

TEST_F(Recording, CutShortItDeliversEverySampleThatIsThereThenEnds) {
    const fs::path whole = WriteRecording("whole.wav", 1.0);
    const std::vector<int16_t> original = Samples(whole);
    std::string bytes = ReadBytes(whole);
    const size_t data = DataChunk(bytes) + 8;
    // 3000 whole samples and half of the next one.
    const fs::path cut = dir_ / "cut.wav";
    WriteBytes(cut, bytes.substr(0, data + 3000 * 2 + 1));

    for (int rate : {0, 8000}) {
        std::string error;
        auto reader = io::RecordingReader::Open(cut.string(), rate, io::ChannelChoice::Left, error);
        ASSERT_TRUE(reader) << error;
        // libsndfile counts what the file holds and notes the header's claim.
        EXPECT_EQ(reader->Info().Frames, 3000);
        EXPECT_NE(reader->Info().HeaderMismatch.find("data : 19200 (should be 6001)"),
                  std::string::npos)
            << reader->Info().HeaderMismatch;
        const std::vector<int16_t> got = ReadAll(*reader);
        EXPECT_EQ(reader->FramesRead(), 3000);
        EXPECT_TRUE(reader->Error().empty()) << reader->Error();
        int16_t more[16];
        EXPECT_EQ(reader->Read(more, 16), 0); // the end stays the end
        if (rate == 0) {
            ASSERT_EQ(got.size(), 3000u);
            EXPECT_TRUE(std::equal(got.begin(), got.end(), original.begin()));
        } else {
            EXPECT_NEAR(double(got.size()), 3000 * 8000 / 9600.0, 2.0);
        }
    }
}

TEST_F(Recording, HeaderThatPromisesGigabytesDeliversWhatExists) {
    const fs::path whole = WriteRecording("whole.wav", 0.5);
    std::string bytes = ReadBytes(whole);
    PutLe32(bytes, 4, 0x7FFFFFF0u);                    // RIFF size
    PutLe32(bytes, DataChunk(bytes) + 4, 0x7FFFFF00u); // data size
    const fs::path liar = dir_ / "liar.wav";
    WriteBytes(liar, bytes);
    const std::vector<int16_t> got = Samples(liar);
    EXPECT_EQ(got, Samples(whole));
}

// propmon --batch over recordings that end early.
using BatchEnd = TempDirTest;

TEST_F(BatchEnd, CutShortRecordingKeepsEveryBlockThatExistsAndSaysWhereItEnded) {
    const fs::path whole = WriteRecording("whole.wav", 3.0);
    const std::string bytes = ReadBytes(whole);
    const fs::path cut = dir_ / "cut.wav";
    const size_t data = DataChunk(bytes) + 8;
    WriteBytes(cut, bytes.substr(0, data + 2 * 10240)); // 10240 of 28800 samples

    const RunResult r = RunProgram(std::string(PROPMON_BIN) + " --batch " + cut.string() +
                                       " --csv " + (dir_ / "cut.csv").string(),
                                   dir_);
    EXPECT_EQ(r.Status, 0) << r.Err;
    // The first block takes 1023 samples, every later one 1024.
    EXPECT_EQ(CsvRows(dir_ / "cut.csv").size(), 1u + 10u);
    EXPECT_NE(r.Err.find("the header of " + cut.string() +
                         " does not match the file (RIFF : 57636 (should be 20516); data : "
                         "57600 (should be 20480)); the 10240 samples it holds were read"),
              std::string::npos)
        << r.Err;
    // The rows that exist are the same as those of the whole recording.
    const RunResult w = RunProgram(std::string(PROPMON_BIN) + " --batch " + whole.string() +
                                       " --csv " + (dir_ / "whole.csv").string(),
                                   dir_);
    ASSERT_EQ(w.Status, 0) << w.Err;
    EXPECT_EQ(w.Err.find("does not match"), std::string::npos) << w.Err;
    const auto cutRows = CsvRows(dir_ / "cut.csv");
    const auto wholeRows = CsvRows(dir_ / "whole.csv");
    ASSERT_GE(wholeRows.size(), cutRows.size());
    for (size_t i = 0; i < cutRows.size(); ++i)
        EXPECT_EQ(cutRows[i], wholeRows[i]) << "row " << i;
}

TEST_F(BatchEnd, FlacThatBreaksOffKeepsTheBlocksBeforeAndFailsWithTheReason) {
    const fs::path wav = WriteRecording("whole.wav", 10.0);
    const fs::path flac = dir_ / "whole.flac";
    {
        std::string error;
        auto reader = io::RecordingReader::Open(wav.string(), 0, io::ChannelChoice::Left, error);
        ASSERT_TRUE(reader) << error;
        const std::vector<int16_t> samples = ReadAll(*reader);
        SF_INFO info{};
        info.samplerate = 9600;
        info.channels = 1;
        info.format = SF_FORMAT_FLAC | SF_FORMAT_PCM_16;
        SNDFILE* file = sf_open(flac.c_str(), SFM_WRITE, &info);
        ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
        sf_write_short(file, samples.data(), sf_count_t(samples.size()));
        sf_close(file);
    }
    const std::string bytes = ReadBytes(flac);
    const fs::path cut = dir_ / "cut.flac";
    WriteBytes(cut, bytes.substr(0, bytes.size() / 2));

    const RunResult r = RunProgram(std::string(PROPMON_BIN) + " --batch " + cut.string() +
                                       " --csv " + (dir_ / "cut.csv").string(),
                                   dir_);
    EXPECT_EQ(r.Status, 1) << r.Err;
    const auto rows = CsvRows(dir_ / "cut.csv");
    ASSERT_GT(rows.size(), 10u);
    EXPECT_NE(r.Err.find("reading " + cut.string() + " failed after "), std::string::npos) << r.Err;
    EXPECT_NE(r.Err.find("(the " + std::to_string(rows.size() - 1) + " blocks before it are kept)"),
              std::string::npos)
        << r.Err;
    const RunResult w = RunProgram(std::string(PROPMON_BIN) + " --batch " + wav.string() +
                                       " --csv " + (dir_ / "whole.csv").string(),
                                   dir_);
    ASSERT_EQ(w.Status, 0) << w.Err;
    const auto wholeRows = CsvRows(dir_ / "whole.csv");
    ASSERT_GT(wholeRows.size(), rows.size());
    for (size_t i = 0; i < rows.size(); ++i)
        EXPECT_EQ(rows[i], wholeRows[i]) << "row " << i;
}

TEST_F(BatchEnd, SamplesAfterTheLastWholeBlockAreReported) {
    // 2560 samples: blocks end at samples 1023 and 2047, 513 are left over.
    const fs::path path = WriteRecording("short.wav", 2560 / 9600.0);
    const RunResult r = RunProgram(std::string(PROPMON_BIN) + " --batch " + path.string() +
                                       " --csv " + (dir_ / "short.csv").string(),
                                   dir_);
    EXPECT_EQ(r.Status, 0) << r.Err;
    EXPECT_EQ(CsvRows(dir_ / "short.csv").size(), 1u + 2u);
    EXPECT_NE(r.Err.find("the last 513 samples make no whole block"), std::string::npos) << r.Err;
}

TEST_F(BatchEnd, RecordingTooShortForOneBlockWritesAnEmptyTableAndSaysWhy) {
    const fs::path path = WriteRecording("tiny.wav", 100 / 9600.0);
    const RunResult r = RunProgram(std::string(PROPMON_BIN) + " --batch " + path.string() +
                                       " --csv " + (dir_ / "tiny.csv").string(),
                                   dir_);
    EXPECT_EQ(r.Status, 0) << r.Err;
    EXPECT_EQ(CsvRows(dir_ / "tiny.csv").size(), 1u); // the header only
    EXPECT_NE(r.Err.find("the last 100 samples make no whole block"), std::string::npos) << r.Err;
}

} // namespace
} // namespace hardening
