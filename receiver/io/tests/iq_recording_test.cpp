// SPDX-License-Identifier: GPL-3.0-or-later
// IQ recordings written the way SDR programs write them and read back: every
// container and sample type, the centre frequency from where each keeps it,
// and the files that are not what they claim.
#include <gtest/gtest.h>

#include <sndfile.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <random>

#include "receiver/io/iq_recording.h"
#include "receiver/io/iq_writer.h"

namespace io {
namespace {

namespace fs = std::filesystem;

class Scratch {
  public:
    Scratch() {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string(info->test_suite_name()) + "_" + info->name();
        for (char& c : name)
            if (c == '/') c = '_';
        path_ = fs::temp_directory_path() / ("rx_iq_" + name);
        fs::remove_all(path_);
        fs::create_directories(path_);
    }
    ~Scratch() { fs::remove_all(path_); }
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }

  private:
    fs::path path_;
};

std::vector<IqSample> Samples(size_t count) {
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> u(-0.9f, 0.9f);
    std::vector<IqSample> v(count);
    for (IqSample& s : v)
        s = {u(rng), u(rng)};
    return v;
}

void WriteFile(const std::string& path, const IqFileFormat& format,
               const std::vector<IqSample>& v) {
    std::string error;
    auto writer = IqFileWriter::Create(path, format, error);
    ASSERT_TRUE(writer) << error;
    ASSERT_TRUE(writer->Write(v.data(), v.size(), error)) << error;
    ASSERT_TRUE(writer->Close(error)) << error;
}

std::vector<IqSample> ReadAll(IqRecordingReader& reader) {
    std::vector<IqSample> all;
    std::vector<IqSample> chunk(777);
    for (int64_t got; (got = reader.Read(chunk.data(), int64_t(chunk.size()))) > 0;)
        all.insert(all.end(), chunk.begin(), chunk.begin() + got);
    return all;
}

struct FormatCase {
    const char* Name;
    IqFileKind Kind;
    IqSampleType Type;
    const char* File;
    float Tolerance; // the sample type's rounding
    IqContainer Container;
};

void PrintTo(const FormatCase& c, std::ostream* out) {
    *out << c.Name;
}

class IqFormats : public ::testing::TestWithParam<FormatCase> {};

TEST_P(IqFormats, ReadBackWithRateCentreAndStart) {
    const FormatCase& c = GetParam();
    Scratch dir;
    IqFileFormat format{c.Kind, c.Type, 250000.0, 7074000.0, "2024-03-01T10:15:30Z"};
    const std::vector<IqSample> written = Samples(20011);
    WriteFile(dir / c.File, format, written);
    ASSERT_TRUE(IsIqRecording(dir / c.File));
    std::string error;
    auto reader = IqRecordingReader::Open(dir / c.File, false, error);
    ASSERT_TRUE(reader) << error;
    const IqRecordingInfo& info = reader->Info();
    EXPECT_EQ(info.Container, c.Container);
    EXPECT_EQ(info.SampleRate, 250000.0);
    ASSERT_TRUE(info.CentreHz);
    EXPECT_EQ(*info.CentreHz, 7074000.0);
    EXPECT_EQ(info.Frames, int64_t(written.size()));
    EXPECT_EQ(info.StartTime.substr(0, 19), "2024-03-01T10:15:30");
    EXPECT_TRUE(info.Note.empty()) << info.Note;
    const std::vector<IqSample> read = ReadAll(*reader);
    ASSERT_EQ(read.size(), written.size());
    for (size_t i = 0; i < read.size(); ++i) {
        ASSERT_NEAR(read[i].real(), written[i].real(), c.Tolerance) << i;
        ASSERT_NEAR(read[i].imag(), written[i].imag(), c.Tolerance) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Containers, IqFormats,
    ::testing::Values(FormatCase{"Wav16", IqFileKind::Wav16, IqSampleType::Cs16, "a.wav",
                                 1.0f / 32768, IqContainer::Wav},
                      FormatCase{"WavFloat", IqFileKind::WavFloat, IqSampleType::Cf32, "a.wav",
                                 0.0f, IqContainer::Wav},
                      FormatCase{"SigMfCi16", IqFileKind::SigMf, IqSampleType::Cs16, "a.sigmf-meta",
                                 1.0f / 32768, IqContainer::SigMf},
                      FormatCase{"SigMfCf32", IqFileKind::SigMf, IqSampleType::Cf32, "a.sigmf-data",
                                 0.0f, IqContainer::SigMf},
                      FormatCase{"SigMfCu8", IqFileKind::SigMf, IqSampleType::Cu8, "a", 1.0f / 128,
                                 IqContainer::SigMf}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(IqFileNames, FrequencyIsTheFirstNumberWithAUnit) {
    EXPECT_EQ(FrequencyFromFileName("/x/7000kHz/SDRSharp_20240301_101500Z_7100000Hz_IQ.wav"),
              7100000.0);
    EXPECT_EQ(FrequencyFromFileName("HDSDR_20240301_101500Z_7100kHz_RF.wav"), 7100000.0);
    EXPECT_EQ(FrequencyFromFileName("band_7.1MHz.wav"), 7100000.0);
    EXPECT_EQ(FrequencyFromFileName("rec7100KHZ.wav"), 7100000.0);
    EXPECT_EQ(FrequencyFromFileName("x_0.0071GHz_y.wav"), 7100000.0);
    EXPECT_EQ(FrequencyFromFileName("sdr_10489.55MHz.wav"), 10489550000.0);
    // Dates, rates without a unit, units glued to words and zero are no frequency.
    EXPECT_FALSE(FrequencyFromFileName("SDRSharp_20240301_101500Z_IQ.wav"));
    EXPECT_FALSE(FrequencyFromFileName("rec_7100kHzish.wav"));
    EXPECT_FALSE(FrequencyFromFileName("rec_0Hz.wav"));
    EXPECT_FALSE(FrequencyFromFileName("rec_1.2.7100kHz.wav"));
}

TEST(IqWav, TwoChannelsWithAFrequencyInTheNameAreIq) {
    Scratch dir;
    const std::string path = dir / "SDR_20240301_101500Z_14100000Hz_IQ.wav";
    WriteFile(path, {IqFileKind::Wav16, IqSampleType::Cs16, 48000.0, std::nullopt, ""},
              Samples(100));
    ASSERT_TRUE(IsIqRecording(path));
    std::string error;
    auto reader = IqRecordingReader::Open(path, false, error);
    ASSERT_TRUE(reader) << error;
    EXPECT_EQ(reader->Info().CentreHz, 14100000.0);
    EXPECT_EQ(reader->Info().CentreFrom, "file name");
}

TEST(IqWav, AnUnmarkedStereoFileIsIqOnlyWhenAsked) {
    Scratch dir;
    const std::string path = dir / "stereo.wav";
    WriteFile(path, {IqFileKind::WavFloat, IqSampleType::Cf32, 96000.0, std::nullopt, ""},
              Samples(100));
    EXPECT_FALSE(IsIqRecording(path));
    std::string error;
    EXPECT_FALSE(IqRecordingReader::Open(path, false, error));
    EXPECT_NE(error.find("without an auxi chunk or a frequency"), std::string::npos) << error;
    auto reader = IqRecordingReader::Open(path, true, error);
    ASSERT_TRUE(reader) << error;
    EXPECT_FALSE(reader->Info().CentreHz);
    EXPECT_EQ(ReadAll(*reader).size(), 100u);
}

TEST(IqWav, MonoIsRefusedWithItsChannelCount) {
    Scratch dir;
    const std::string path = dir / "mono_7100kHz.wav";
    SF_INFO info{};
    info.samplerate = 48000;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    const short zeros[64] = {};
    sf_write_short(f, zeros, 64);
    sf_close(f);
    EXPECT_FALSE(IsIqRecording(path));
    std::string error;
    EXPECT_FALSE(IqRecordingReader::Open(path, true, error));
    EXPECT_EQ(error, path + " has 1 channel; an IQ recording has two (I left, Q right)");
}

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

struct BadMeta {
    const char* Name;
    const char* Meta;
    const char* Reason; // part of the one-line reason
};

void PrintTo(const BadMeta& c, std::ostream* out) {
    *out << c.Name;
}

class SigMfBadMeta : public ::testing::TestWithParam<BadMeta> {};

TEST_P(SigMfBadMeta, IsRefusedWithOneLineSayingWhy) {
    Scratch dir;
    WriteText(dir / "r.sigmf-meta", GetParam().Meta);
    WriteText(dir / "r.sigmf-data", std::string(400, '\0'));
    std::string error;
    EXPECT_FALSE(IqRecordingReader::Open(dir / "r.sigmf-meta", false, error));
    EXPECT_NE(error.find(GetParam().Reason), std::string::npos) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    EXPECT_EQ(error.rfind(dir / "r.sigmf-", 0), 0u) << error;
}

INSTANTIATE_TEST_SUITE_P(
    Files, SigMfBadMeta,
    ::testing::Values(
        BadMeta{"NotJson", "{\"global\": {\"core:datatype\": ", "is not valid JSON"},
        BadMeta{"NoGlobal", "{\"captures\": []}", "no \"global\" object"},
        BadMeta{"NoDatatype", "{\"global\": {\"core:sample_rate\": 48000}}", "no core:datatype"},
        BadMeta{"RealSamples",
                "{\"global\": {\"core:datatype\": \"ri16_le\", \"core:sample_rate\": 48000}}",
                "samples of type ri16_le are not read"},
        BadMeta{"NoRate", "{\"global\": {\"core:datatype\": \"cf32_le\"}}",
                "no positive core:sample_rate"},
        BadMeta{"TwoChannels",
                "{\"global\": {\"core:datatype\": \"cf32_le\", \"core:sample_rate\": 48000, "
                "\"core:num_channels\": 2}}",
                "one channel only"}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(SigMf, AMissingDataFileIsNamed) {
    Scratch dir;
    WriteText(dir / "r.sigmf-meta",
              R"({"global": {"core:datatype": "ci16_le", "core:sample_rate": 2e6}})");
    std::string error;
    EXPECT_FALSE(IqRecordingReader::Open(dir / "r.sigmf-meta", false, error));
    EXPECT_EQ(error.rfind("cannot read " + (dir / "r.sigmf-data"), 0), 0u) << error;
}

TEST(SigMf, DataCutInsideASampleIsReadToTheLastWholeOneAndTold) {
    Scratch dir;
    const std::vector<IqSample> written = Samples(1000);
    WriteFile(dir / "r", {IqFileKind::SigMf, IqSampleType::Cf32, 48000.0, 1e6, ""}, written);
    fs::resize_file(dir / "r.sigmf-data", 1000 * 8 - 3);
    std::string error;
    auto reader = IqRecordingReader::Open(dir / "r.sigmf-data", false, error);
    ASSERT_TRUE(reader) << error;
    EXPECT_EQ(reader->Info().Frames, 999);
    EXPECT_NE(reader->Info().Note.find("ends 5 bytes into a sample"), std::string::npos)
        << reader->Info().Note;
    const std::vector<IqSample> read = ReadAll(*reader);
    ASSERT_EQ(read.size(), 999u);
    EXPECT_EQ(read[998], written[998]);
    EXPECT_TRUE(reader->Error().empty());
}

TEST(RawIq, StreamsCutAnywhereDecodeAsOne) {
    for (const IqSampleType type : {IqSampleType::Cu8, IqSampleType::Cs16, IqSampleType::Cf32}) {
        const std::vector<IqSample> samples = Samples(501);
        const auto size = size_t(IqSampleBytes(type));
        std::vector<uint8_t> bytes(samples.size() * size);
        for (size_t i = 0; i < samples.size(); ++i)
            EncodeIqSample(type, samples[i], bytes.data() + i * size);
        RawIqDecoder whole(type), pieces(type);
        std::vector<IqSample> once, cut;
        whole.Decode(bytes.data(), bytes.size(), once);
        for (size_t at = 0, step = 1; at < bytes.size(); at += step, step = step % 7 + 1)
            pieces.Decode(bytes.data() + at, std::min(step, bytes.size() - at), cut);
        ASSERT_EQ(cut, once) << IqSampleTypeName(type);
        ASSERT_EQ(once.size(), samples.size());
        EXPECT_EQ(pieces.PendingBytes(), 0u);
        pieces.Decode(bytes.data(), 1, cut);
        EXPECT_EQ(pieces.PendingBytes(), 1u);
    }
}

TEST(RawIq, RtlSdrBytesCentreOn127AndAHalf) {
    const uint8_t bytes[] = {0, 255, 127, 128};
    RawIqDecoder decoder(IqSampleType::Cu8);
    std::vector<IqSample> out;
    decoder.Decode(bytes, sizeof bytes, out);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_FLOAT_EQ(out[0].real(), -127.5f / 128.0f);
    EXPECT_FLOAT_EQ(out[0].imag(), 127.5f / 128.0f);
    EXPECT_FLOAT_EQ(out[1].real(), -0.5f / 128.0f);
    EXPECT_FLOAT_EQ(out[1].imag(), 0.5f / 128.0f);
}

} // namespace
} // namespace io
