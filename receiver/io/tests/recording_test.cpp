// SPDX-License-Identifier: GPL-3.0-or-later
// Recordings as input, read back from real files libsndfile wrote: the sample
// types and channel choices, rate conversion, a header that promises more than
// the file holds, files that are no recording, and files shorter than a block.
#include "receiver/io/recording.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <unistd.h>

namespace io {
namespace {

namespace fs = std::filesystem;

class RecordingTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("recording-" + std::to_string(::getpid()));
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    // Interleaved frames as a file of `format`; floats go through libsndfile's
    // own conversion into integer types (full scale +-1.0).
    std::string Write(const std::string& name, int format, int rate, int channels,
                      const std::vector<float>& frames) {
        const std::string path = (dir_ / name).string();
        SF_INFO info{};
        info.samplerate = rate;
        info.channels = channels;
        info.format = format;
        SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
        EXPECT_NE(file, nullptr) << sf_strerror(nullptr);
        if (!file) return path;
        const sf_count_t count = sf_count_t(frames.size()) / channels;
        EXPECT_EQ(sf_writef_float(file, frames.data(), count), count);
        sf_close(file);
        return path;
    }

    // Everything the reader delivers, in reads of `chunk` samples.
    static std::vector<int16_t> ReadAll(RecordingReader& reader, int64_t chunk = 1024) {
        std::vector<int16_t> all;
        std::vector<int16_t> buffer(size_t(chunk), 0);
        for (int64_t got; (got = reader.Read(buffer.data(), chunk)) > 0;)
            all.insert(all.end(), buffer.begin(), buffer.begin() + got);
        return all;
    }

    fs::path dir_;
};

TEST_F(RecordingTest, SixteenBitStereoGivesTheChosenChannelOrTheMeanRoundedAwayFromZero) {
    // Left 2i+1, right 0 (as 16-bit values): the mean is i + 0.5.
    std::vector<float> frames;
    for (int i = 0; i < 3000; ++i) {
        frames.push_back(float(2 * i + 1) / 32768.0f);
        frames.push_back(i % 2 == 0 ? 0.0f : -float(2 * i + 1) / 32768.0f);
    }
    const std::string path = Write("stereo.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 9600, 2, frames);
    for (const ChannelChoice choice :
         {ChannelChoice::Left, ChannelChoice::Right, ChannelChoice::Mix}) {
        std::string error;
        auto reader = RecordingReader::Open(path, 0, choice, error);
        ASSERT_NE(reader, nullptr) << error;
        EXPECT_EQ(reader->Info().FileRate, 9600);
        EXPECT_EQ(reader->Info().Channels, 2);
        EXPECT_EQ(reader->Info().Frames, 3000);
        EXPECT_FALSE(reader->Info().Converted);
        EXPECT_TRUE(reader->Info().HeaderMismatch.empty());
        const std::vector<int16_t> samples = ReadAll(*reader, 700);
        ASSERT_EQ(samples.size(), 3000u);
        for (int i = 0; i < 3000; i += 499) {
            const int left = 2 * i + 1, right = i % 2 == 0 ? 0 : -left;
            const int mix = i % 2 == 0 ? i + 1 : 0;
            const int wanted = choice == ChannelChoice::Left    ? left
                               : choice == ChannelChoice::Right ? right
                                                                : mix;
            EXPECT_EQ(samples[size_t(i)], wanted) << "sample " << i;
        }
        EXPECT_EQ(reader->FramesRead(), 3000);
    }
}

// 16-bit recordings are read from the file well ahead of the caller: every
// sample still comes once and in order, whatever the sizes of the reads and
// wherever they fall against the reader's own.
TEST_F(RecordingTest, SixteenBitSamplesComeWholeAndInOrderWhateverTheReadSizes) {
    constexpr int length = 150001;
    const auto sampleAt = [](int i, int channel) {
        return int16_t((i * 7 + channel * 12345) % 65536 - 32768);
    };
    for (const int channels : {1, 2}) {
        std::vector<int16_t> frames;
        for (int i = 0; i < length; ++i)
            for (int c = 0; c < channels; ++c)
                frames.push_back(sampleAt(i, c));
        const std::string path = (dir_ / ("ramp" + std::to_string(channels) + ".wav")).string();
        SF_INFO info{};
        info.samplerate = 9600;
        info.channels = channels;
        info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
        SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
        ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
        ASSERT_EQ(sf_writef_short(file, frames.data(), length), length);
        sf_close(file);
        for (const int64_t size : {int64_t(1), int64_t(1023), int64_t(1024), int64_t(65536),
                                   int64_t(70001), int64_t(200000)}) {
            std::string error;
            auto reader = RecordingReader::Open(path, 0, ChannelChoice::Right, error);
            ASSERT_NE(reader, nullptr) << error;
            const std::vector<int16_t> samples = ReadAll(*reader, size);
            ASSERT_EQ(samples.size(), size_t(length)) << channels << " channels, reads of " << size;
            int wrong = 0;
            for (int i = 0; i < length; ++i)
                wrong += samples[size_t(i)] != sampleAt(i, channels - 1) ? 1 : 0;
            EXPECT_EQ(wrong, 0) << channels << " channels, reads of " << size;
            EXPECT_EQ(reader->FramesRead(), length);
            std::vector<int16_t> more(16);
            EXPECT_EQ(reader->Read(more.data(), 16), 0);
            EXPECT_TRUE(reader->Error().empty()) << reader->Error();
        }
    }
}

// A FLAC that breaks off: what was decoded before the break is delivered
// first, as many samples as libsndfile itself gives in reads of a block, and
// only the read that comes short of them tells the error.
TEST_F(RecordingTest, AReadErrorIsToldAfterTheSamplesBeforeIt) {
    std::vector<float> frames(96000);
    for (size_t i = 0; i < frames.size(); ++i)
        frames[i] = 0.25f * float(std::sin(double(i) * 0.01));
    const std::string whole =
        Write("whole.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 9600, 1, frames);
    std::string bytes;
    {
        std::ifstream in(whole, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), {});
    }
    const std::string cut = (dir_ / "cut.flac").string();
    std::ofstream(cut, std::ios::binary) << bytes.substr(0, bytes.size() / 2);

    // libsndfile alone, a block at a time, up to its error.
    int64_t before = 0;
    {
        SF_INFO info{};
        SNDFILE* file = sf_open(cut.c_str(), SFM_READ, &info);
        ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
        std::vector<int16_t> block(1024);
        for (sf_count_t got; (got = sf_read_short(file, block.data(), 1024)) > 0;) {
            before += got;
            if (sf_error(file) != SF_ERR_NO_ERROR || got < 1024) break;
        }
        ASSERT_NE(sf_error(file), SF_ERR_NO_ERROR) << "the cut file reads without an error";
        sf_close(file);
    }
    ASSERT_GT(before, 10000);
    std::string error;
    auto reader = RecordingReader::Open(cut, 0, ChannelChoice::Left, error);
    ASSERT_NE(reader, nullptr) << error;
    std::vector<int16_t> block(1024);
    int64_t delivered = 0;
    for (;;) {
        const int64_t got = reader->Read(block.data(), 1024);
        if (got > 0) delivered += got;
        if (!reader->Error().empty() || got < 1024) break;
    }
    EXPECT_EQ(delivered, before);
    EXPECT_NE(reader->Error().find("failed after " + std::to_string(before) + " samples"),
              std::string::npos)
        << reader->Error();
}

TEST_F(RecordingTest, FloatSamplesAreScaledRoundedAndClipped) {
    const std::vector<float> frames = {
        0.5f, -0.5f, 1.5f, -2.0f, 100.4f / 32768.0f, -100.6f / 32768.0f, 0.0f};
    const std::string path = Write("float.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 8000, 1, frames);
    std::string error;
    auto reader = RecordingReader::Open(path, 0, ChannelChoice::Right, error); // mono: left
    ASSERT_NE(reader, nullptr) << error;
    EXPECT_EQ(ReadAll(*reader), (std::vector<int16_t>{16384, -16384, 32767, -32768, 100, -101, 0}));
}

TEST_F(RecordingTest, FlacAtAnotherRateIsConvertedKeepingItsToneAndLength) {
    // One second of 1000 Hz at 48 kHz, 24 bits, read at the NATO rate.
    std::vector<float> frames(48000);
    for (size_t i = 0; i < frames.size(); ++i)
        frames[i] = 0.5f * float(std::sin(2.0 * M_PI * 1000.0 * double(i) / 48000.0));
    const std::string path =
        Write("tone.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 48000, 1, frames);
    std::string error;
    auto reader = RecordingReader::Open(path, 9600, ChannelChoice::Left, error);
    ASSERT_NE(reader, nullptr) << error;
    EXPECT_TRUE(reader->Info().Converted);
    EXPECT_EQ(reader->Info().OutputRate, 9600);
    const std::vector<int16_t> samples = ReadAll(*reader, 1024);
    EXPECT_NEAR(double(samples.size()), 9600.0, 2.0);
    // 2000 sign changes a second, and the amplitude kept, away from the edges.
    int changes = 0, peak = 0;
    for (size_t i = 500; i + 500 < samples.size(); ++i) {
        changes += (samples[i - 1] < 0) != (samples[i] < 0) ? 1 : 0;
        peak = std::max(peak, std::abs(int(samples[i])));
    }
    EXPECT_NEAR(changes, 2000.0 * (double(samples.size()) - 1000.0) / 9600.0, 3.0);
    EXPECT_NEAR(peak, 16384, 300);
    // The rate is fixed once reading has begun.
    EXPECT_FALSE(reader->ConvertTo(8000, error));
    EXPECT_NE(error.find("once reading has begun"), std::string::npos) << error;
}

TEST_F(RecordingTest, ACutOffFileIsReadToItsEndAndTheHeaderMismatchTold) {
    std::vector<float> frames(4800);
    for (size_t i = 0; i < frames.size(); ++i)
        frames[i] = float(int(i % 1000) - 500) / 32768.0f;
    const std::string path = Write("cut.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 9600, 1, frames);
    // The header still promises 4800 samples; 2957 remain.
    fs::resize_file(path, 44 + 2 * 2957);
    std::string error;
    auto reader = RecordingReader::Open(path, 0, ChannelChoice::Left, error);
    ASSERT_NE(reader, nullptr) << error;
    EXPECT_NE(reader->Info().HeaderMismatch.find("should be"), std::string::npos)
        << reader->Info().HeaderMismatch;
    EXPECT_EQ(reader->Info().Frames, 2957);
    const std::vector<int16_t> samples = ReadAll(*reader);
    ASSERT_EQ(samples.size(), 2957u);
    EXPECT_EQ(samples[2956], int16_t(2956 % 1000 - 500));
    EXPECT_TRUE(reader->Error().empty()) << reader->Error();
}

TEST_F(RecordingTest, FilesShorterThanABlockEndAfterTheirSamplesConvertedOrNot) {
    const std::vector<float> frames(100, 0.25f);
    const std::string path = Write("short.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 8000, 1, frames);
    for (const int rate : {0, 9600}) {
        std::string error;
        auto reader = RecordingReader::Open(path, rate, ChannelChoice::Left, error);
        ASSERT_NE(reader, nullptr) << error;
        std::vector<int16_t> buffer(1024);
        const int64_t first = reader->Read(buffer.data(), 1024);
        if (rate == 0)
            EXPECT_EQ(first, 100);
        else
            EXPECT_NEAR(double(first), 120.0, 2.0);
        EXPECT_EQ(reader->Read(buffer.data(), 1024), 0) << rate;
        EXPECT_EQ(reader->Read(buffer.data(), 1024), 0) << rate;
    }
}

TEST_F(RecordingTest, WhatIsNoRecordingIsRefusedWithAOneLineReason) {
    const std::string text = (dir_ / "notes.wav").string();
    std::ofstream(text) << "not a sound file\n";
    const std::string empty = (dir_ / "empty.wav").string();
    std::ofstream{empty};
    const std::string missing = (dir_ / "missing.wav").string();
    const std::string three =
        Write("three.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 9600, 3, std::vector<float>(30, 0.f));
    const std::string slow =
        Write("slow.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 500, 1, std::vector<float>(30, 0.f));
    const std::pair<std::string, std::string> cases[] = {
        {text, "cannot read " + text + ": "},
        {empty, "cannot read " + empty + ": "},
        {missing, "cannot read " + missing + ": "},
        {three, three + " has 3 channels; mono or stereo recordings only"},
        {slow, slow + " claims 500 samples per second; that is no recording of a receiver"},
    };
    for (const auto& [path, reason] : cases) {
        std::string error;
        EXPECT_EQ(RecordingReader::Open(path, 9600, ChannelChoice::Left, error), nullptr) << path;
        EXPECT_EQ(error.rfind(reason, 0), 0u) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    }
}

} // namespace
} // namespace io
