// SPDX-License-Identifier: GPL-3.0-or-later
// The signal finder on generated bands: STANAG 4285 signals of both modes at
// different levels and fractional frequencies among noise, a CW carrier and a
// modem of another rate; and bands with nothing to find.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "receiver/analysis/signal_finder.h"
#include "receiver/analysis/signal_quality.h"
#include "receiver/dsp/sync_chain.h"
#include "receiver/io/iq_writer.h"
#include "s4285gen/iq_synth.h"

namespace analysis {
namespace {

namespace fs = std::filesystem;

struct Truth {
    double OffsetHz;
    int32_t Mode;
    double SnrDb; // in 3 kHz
};

constexpr double NoiseDb = -60.0; // in 3 kHz
constexpr double CentreHz = 7100000.0;

s4285gen::IqSignal Stanag(const Truth& t, uint64_t seed, std::vector<s4285gen::Path> paths) {
    s4285gen::IqSignal s;
    s.Audio = t.Mode == dsp::ModeNato ? s4285gen::NatoConfig() : s4285gen::AmateurConfig();
    s.Audio.Paths = std::move(paths);
    s.Audio.SnrDb = 60.0; // the band's noise is added over the whole band
    s.Audio.Seed = seed;
    s.CarrierOffsetHz = t.OffsetHz;
    s.Gain = s4285gen::GainForPowerDb(s.Audio, NoiseDb + t.SnrDb);
    return s;
}

// Writes the band as a 16-bit SigMF recording `seconds` long.
std::string WriteBand(const s4285gen::IqBand& band, double seconds, const std::string& name) {
    const std::string stem = (fs::temp_directory_path() / name).string();
    std::string error;
    auto writer = io::IqFileWriter::Create(
        stem, {io::IqFileKind::SigMf, io::IqSampleType::Cs16, band.SampleRate, CentreHz, ""},
        error);
    EXPECT_TRUE(writer) << error;
    s4285gen::IqBandGenerator generator(band);
    std::vector<io::IqSample> chunk(65536);
    const auto total = int64_t(seconds * band.SampleRate);
    for (int64_t done = 0; done < total; done += int64_t(chunk.size())) {
        const auto n = size_t(std::min<int64_t>(int64_t(chunk.size()), total - done));
        generator.Generate(chunk.data(), n);
        EXPECT_TRUE(writer->Write(chunk.data(), n, error)) << error;
    }
    EXPECT_TRUE(writer->Close(error)) << error;
    return stem + ".sigmf-meta";
}

// What a receiver tuned to the signal gives its sound card, through the sync
// part of the chain: the locked share.
double ReceiverLockedShare(const s4285gen::Config& audio, double seconds) {
    s4285gen::Generator generator(audio);
    dsp::SyncChain chain(audio.SampleRate == 8000 ? dsp::ModeAmateur : dsp::ModeNato, 0.0L);
    QualityTracker quality;
    LockTally tally;
    std::vector<int16_t> buffer(dsp::BlockLen);
    for (int64_t done = 0; done < int64_t(seconds * audio.SampleRate); done += dsp::BlockLen) {
        generator.Generate(buffer.data(), buffer.size());
        chain.Feed(buffer.data(), dsp::BlockLen, [&](const dsp::ChainState& state) {
            tally.Add(quality.Add(state.Peak, state.SampleRate).Locked);
        });
    }
    return tally.Share();
}

void RemoveBand(const std::string& meta) {
    fs::remove(meta);
    fs::remove(meta.substr(0, meta.size() - 5) + "data");
}

TEST(SignalFinder, FindsEverySignalOfABandAndNothingElse) {
    const std::vector<Truth> truth = {{-61234.4, dsp::ModeNato, 12.0},
                                      {-20480.0, dsp::ModeAmateur, 18.0},
                                      {9876.7, dsp::ModeNato, 6.0},
                                      {41000.2, dsp::ModeAmateur, 9.0},
                                      {70011.5, dsp::ModeNato, 25.0}};
    s4285gen::IqBand band;
    band.SampleRate = 192000.0;
    band.NoiseDbIn3kHz = NoiseDb;
    uint64_t seed = 3;
    for (const Truth& t : truth)
        band.Signals.push_back(Stanag(
            t, seed++, {{.DelayMs = 1.0}, {.DelayMs = 3.0, .GainDb = -6.0, .DopplerHz = -0.5}}));
    // One fades (its power over half a minute is not its mean power): the
    // locked share is what a receiver on it would give.
    band.Signals[3].Audio.Paths = {{.DelayMs = 1.0, .SpreadHz = 0.5},
                                   {.DelayMs = 2.5, .GainDb = -3.0, .SpreadHz = 1.0}};
    band.Carriers.push_back({-40000.0, NoiseDb + 20.0});
    // A modem of another rate (3000 baud) with the same preamble.
    s4285gen::IqSignal other = Stanag({25000.0, dsp::ModeNato, 15.0}, 99, {{}});
    other.Audio.SampleRate = 12000;
    other.Audio.CarrierHz = 2250.0;
    band.Signals.push_back(other);
    const std::string meta = WriteBand(band, 30.0, "rx_iq_finder_band");

    std::string error;
    const auto found = FindSignals(meta, {}, error);
    RemoveBand(meta);
    ASSERT_TRUE(found) << error;
    for (const FoundSignal& f : *found)
        std::printf("%s (offset %.2f Hz, locked %.3f)\n", FormatFoundSignal(f).c_str(), f.OffsetHz,
                    f.LockedShare);
    ASSERT_EQ(found->size(), truth.size());
    for (size_t i = 0; i < truth.size(); ++i) {
        const FoundSignal& f = (*found)[i];
        EXPECT_NEAR(f.OffsetHz, truth[i].OffsetHz, 2.0) << i;
        EXPECT_NEAR(f.FrequencyHz, CentreHz + truth[i].OffsetHz, 2.0) << i;
        EXPECT_EQ(f.Mode, truth[i].Mode) << i;
        EXPECT_NEAR(f.SnrDb, truth[i].SnrDb, i == 3 ? 3.0 : 0.5) << i;
        EXPECT_NEAR(f.LockedShare, ReceiverLockedShare(band.Signals[i].Audio, 30.0), 0.05) << i;
    }
}

TEST(SignalFinder, InventsNothingInNoiseOrOnACarrier) {
    s4285gen::IqBand band;
    band.SampleRate = 48000.0;
    band.NoiseDbIn3kHz = NoiseDb;
    band.Carriers.push_back({5000.0, NoiseDb + 30.0});
    const std::string meta = WriteBand(band, 20.0, "rx_iq_finder_empty");
    std::string error;
    const auto found = FindSignals(meta, {}, error);
    RemoveBand(meta);
    ASSERT_TRUE(found) << error;
    EXPECT_TRUE(found->empty()) << FormatFoundSignal(found->front());
}

TEST(SignalFinder, RowsAreTheCsvColumns) {
    EXPECT_EQ(FoundSignalsHeader(), "frequency_hz,mode,snr_db,locked_share");
    EXPECT_EQ(FormatFoundSignal({-3.0, 7099996.6, dsp::ModeAmateur, 9.04, 0.875}),
              "7099997,AMATEUR,9.0,0.88");
}

} // namespace
} // namespace analysis
