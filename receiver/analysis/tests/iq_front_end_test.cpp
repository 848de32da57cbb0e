// SPDX-License-Identifier: GPL-3.0-or-later
// The front end against the real audio it stands for: STANAG 4285 audio from
// the generator, turned into IQ at an offset and taken back through the filter
// bank, must give the chain the same blocks as the audio itself.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <vector>

#include "receiver/analysis/block_table.h"
#include "receiver/analysis/signal_quality.h"
#include "receiver/dsp/chain.h"
#include "receiver/io/iq_front_end.h"
#include "s4285gen/iq_synth.h"

namespace analysis {
namespace {

// The whole chain over a stream of sound buffers, one row a block.
class ChainRun {
  public:
    explicit ChainRun(int32_t mode) {
        chain_ = dsp::MakeChain(mode, controls_, settings_);
        hooks_.BlockProcessed = [this](const dsp::ChainState& done) {
            const BlockQuality& q = quality_.Add(done.Peak, done.SampleRate);
            rows_.push_back(MakeBlockRow(done, q, int64_t(rows_.size()), 0.0));
        };
    }
    void Feed(const int16_t* samples, int32_t count) {
        dsp::ResampleBuffer(*chain_, settings_, controls_, hooks_, samples, int64_t(count) * 2);
    }
    const std::vector<BlockRow>& Rows() const { return rows_; }

  private:
    std::unique_ptr<dsp::ChainState> chain_;
    dsp::Settings settings_;
    dsp::ChainControls controls_;
    dsp::DisplayHooks hooks_;
    QualityTracker quality_;
    std::vector<BlockRow> rows_;
};

struct Agreement {
    size_t Blocks = 0;
    double SameLagShare = 0.0;
    double MaxDopplerDiffHz = 0.0; // over the blocks whose peak lags agree
};

// From the third block on: the first two correlate partly against the zeros
// before the stream, where the filters of the IQ path ring in.
Agreement Compare(const std::vector<BlockRow>& a, const std::vector<BlockRow>& b) {
    Agreement result;
    constexpr size_t first = 2;
    result.Blocks = std::min(a.size(), b.size()) - first;
    size_t same = 0;
    for (size_t i = first; i < first + result.Blocks; ++i) {
        if (a[i].PeakLag != b[i].PeakLag) continue;
        ++same;
        result.MaxDopplerDiffHz =
            std::max(result.MaxDopplerDiffHz, std::abs(a[i].DopplerHz - b[i].DopplerHz));
    }
    result.SameLagShare = result.Blocks ? double(same) / double(result.Blocks) : 0.0;
    return result;
}

struct ExactCase {
    const char* Name;
    double IqRate;
    double CarrierOffsetHz;
    int32_t Mode;
    double Seconds;
};

void PrintTo(const ExactCase& c, std::ostream* out) {
    *out << c.Name;
}

class FrontEndExactness : public ::testing::TestWithParam<ExactCase> {};

TEST_P(FrontEndExactness, GivesTheBlocksOfTheRealAudio) {
    const ExactCase& c = GetParam();
    s4285gen::Config audio =
        c.Mode == dsp::ModeNato ? s4285gen::NatoConfig() : s4285gen::AmateurConfig();
    audio.Paths = {{.DelayMs = 2.0, .DopplerHz = 0.4, .SpreadHz = 0.3},
                   {.DelayMs = 4.5, .GainDb = -4.0, .DopplerHz = -0.7, .SpreadHz = 0.5}};
    audio.SnrDb = 15.0;
    audio.Seed = 11;

    // The real audio, as a sound card records it.
    ChainRun direct(c.Mode);
    s4285gen::Generator generator(audio);
    const auto total = int64_t(c.Seconds * audio.SampleRate);
    std::vector<int16_t> buffer(io::AudioBufferSamples);
    for (int64_t done = 0; done < total; done += io::AudioBufferSamples) {
        const auto n = int32_t(std::min<int64_t>(io::AudioBufferSamples, total - done));
        generator.Generate(buffer.data(), size_t(n));
        direct.Feed(buffer.data(), n);
    }

    // The same audio as IQ, at the scale of the 16-bit samples.
    s4285gen::IqBand band;
    band.SampleRate = c.IqRate;
    band.Signals.push_back({audio, c.CarrierOffsetHz, 32767.0 / 32768.0, {}});
    s4285gen::IqBandGenerator iq(band);
    std::string error;
    auto frontEnds = io::IqFrontEnds::Create(c.IqRate, {{c.CarrierOffsetHz, c.Mode, 1.0f}}, error);
    ASSERT_TRUE(frontEnds) << error;
    ChainRun throughIq(c.Mode);
    int64_t audioSamples = 0;
    const io::AudioSink sink = [&](int32_t, const int16_t* samples, int32_t count) {
        audioSamples += count;
        throughIq.Feed(samples, count);
    };
    const auto iqTotal = int64_t(c.Seconds * c.IqRate);
    std::vector<io::IqSample> chunk(50000);
    for (int64_t done = 0; done < iqTotal; done += int64_t(chunk.size())) {
        const auto n = size_t(std::min<int64_t>(int64_t(chunk.size()), iqTotal - done));
        iq.Generate(chunk.data(), n);
        frontEnds->Feed(chunk.data(), n, sink);
    }
    frontEnds->Finish(sink);

    EXPECT_EQ(audioSamples, total);
    const Agreement agreement = Compare(direct.Rows(), throughIq.Rows());
    std::printf("%s: %zu blocks, peak lag the same on %.2f %%, Doppler within %.4f Hz\n", c.Name,
                agreement.Blocks, 100.0 * agreement.SameLagShare, agreement.MaxDopplerDiffHz);
    EXPECT_EQ(direct.Rows().size(), throughIq.Rows().size());
    EXPECT_GE(agreement.SameLagShare, 0.999);
    EXPECT_LE(agreement.MaxDopplerDiffHz, 0.01);
}

INSTANTIATE_TEST_SUITE_P(
    Channels, FrontEndExactness,
    ::testing::Values(ExactCase{"Nato48kHz", 48000.0, 3217.3, dsp::ModeNato, 110.0},
                      ExactCase{"Amateur192kHz", 192000.0, -41234.56, dsp::ModeAmateur, 130.0}),
    [](const auto& info) { return std::string(info.param.Name); });

// A stream fed in pieces shorter than the filter bank's hop (most pieces then
// complete no transform) gives the same audio as one fed in large pieces.
TEST(FrontEnds, StreamsCutAnywhereGiveTheSameAudio) {
    s4285gen::IqBand band;
    band.SampleRate = 96000.0;
    band.NoiseDbIn3kHz = -50.0;
    s4285gen::IqSignal signal;
    signal.CarrierOffsetHz = 7000.5;
    band.Signals.push_back(signal);
    s4285gen::IqBandGenerator generator(band);
    std::vector<io::IqSample> iq(96000 * 3);
    generator.Generate(iq.data(), iq.size());
    const std::vector<io::ChannelTuning> tunings = {{7000.5, dsp::ModeNato, 0.0f},
                                                    {-20000.0, dsp::ModeAmateur, 0.0f}};
    const auto audioOf = [&](size_t piece) {
        std::string error;
        auto ends = io::IqFrontEnds::Create(band.SampleRate, tunings, error);
        EXPECT_TRUE(ends) << error;
        std::vector<std::vector<int16_t>> audio(tunings.size());
        const io::AudioSink sink = [&](int32_t channel, const int16_t* samples, int32_t count) {
            EXPECT_TRUE(count == io::AudioBufferSamples ||
                        audio[size_t(channel)].size() % 1024 == 0);
            audio[size_t(channel)].insert(audio[size_t(channel)].end(), samples, samples + count);
        };
        for (size_t at = 0; at < iq.size(); at += piece)
            ends->Feed(iq.data() + at, std::min(piece, iq.size() - at), sink);
        ends->Finish(sink);
        return audio;
    };
    const auto whole = audioOf(iq.size());
    const auto pieces = audioOf(777);
    ASSERT_EQ(whole[0].size(), size_t(3 * 9600));
    ASSERT_EQ(whole[1].size(), size_t(3 * 8000));
    EXPECT_EQ(pieces, whole);
}

} // namespace
} // namespace analysis
