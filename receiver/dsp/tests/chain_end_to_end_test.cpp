// SPDX-License-Identifier: GPL-3.0-or-later
// The whole chain on generated STANAG 4285 signals through known channels.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>

#include "receiver/dsp/tests/chain_fixture.h"
#include "s4285gen/s4285gen.h"

namespace dsp {
namespace {

using testing::ReadyChain;

struct BlockResult {
    int32_t PeakLag;
    double DopplerHz;
    int32_t TuneHz;
};

std::vector<BlockResult> RunChain(ReadyChain& r, s4285gen::Config config, int blocks) {
    std::vector<BlockResult> results;
    r.Hooks.TuneIndicator = [&](int32_t h) {
        results.push_back({r.Chain->Peak.PeakLag, r.Chain->Peak.DopplerHz, h});
    };
    if (config.SampleRate == 8000) SetReceiverMode(*r.Chain, ModeAmateur);
    s4285gen::Generator generator(config);
    std::vector<int16_t> samples(size_t(blocks) * BlockLen);
    generator.Generate(samples.data(), samples.size());
    r.Feed(samples);
    return results;
}

s4285gen::Config Channel(std::vector<s4285gen::Path> paths, int sampleRate = 9600) {
    s4285gen::Config config =
        sampleRate == 9600 ? s4285gen::NatoConfig() : s4285gen::AmateurConfig();
    config.Paths = std::move(paths);
    config.SnrDb = 20;
    config.Seed = 42;
    return config;
}

double MeanDoppler(const std::vector<BlockResult>& results) {
    double sum = 0;
    for (size_t b = 3; b < results.size(); ++b)
        sum += results[b].DopplerHz;
    return sum / double(results.size() - 3);
}

// Baseband lag of a path's preamble: 12 samples of fixed chain delay (the
// one-sample resampler delay and the lowpass centre tap) plus the path delay
// at half the input rate.
double ExpectedLag(double delayMs, int sampleRate) {
    return 12.0 + delayMs * sampleRate / 2000.0;
}

TEST(ChainEndToEnd, OnePathGivesASteadyPeakAtItsDelay) {
    for (const int rate : {9600, 8000}) {
        ReadyChain r;
        const auto results = RunChain(r, Channel({{.DelayMs = 5.0}}, rate), 60);
        ASSERT_EQ(results.size(), 60u);
        for (size_t b = 3; b < results.size(); ++b) {
            EXPECT_NEAR(results[b].PeakLag, ExpectedLag(5.0, rate), 1.0) << rate << " block " << b;
            EXPECT_NEAR(results[b].DopplerHz, 0.0, 1.0); // one block's estimate is noisy
        }
        EXPECT_NEAR(MeanDoppler(results), 0.0, 0.1) << rate;
    }
}

TEST(ChainEndToEnd, CarrierOffsetGivesTheReversedDoppler) {
    for (const double offsetHz : {2.5, -7.0, 9.0}) {
        ReadyChain r;
        const auto results = RunChain(r, Channel({{.DelayMs = 3.0, .DopplerHz = offsetHz}}), 40);
        EXPECT_NEAR(MeanDoppler(results), -offsetHz, 0.1) << offsetHz;
        for (size_t b = 3; b < results.size(); ++b) {
            EXPECT_NEAR(results[b].DopplerHz, -offsetHz, 1.0) << offsetHz << " block " << b;
            EXPECT_EQ(results[b].TuneHz, int32_t(std::floor(results[b].DopplerHz)));
        }
    }
}

TEST(ChainEndToEnd, TwoPathsTwoMillisecondsApartGiveTwoCorrelationPeaks) {
    ReadyChain r;
    RunChain(r, Channel({{.DelayMs = 4.0}, {.DelayMs = 6.0, .GainDb = -3.0}}), 30);
    // Smoothed trace: the preamble repeats every 62 lags, so look for the
    // two paths where the first one's preamble starts.
    const auto& points = r.Chain->Correlator.TracePoints.Points;
    const auto peakIn = [&](int from, int to) {
        int best = from;
        for (int i = from; i <= to; ++i)
            if (points[i].X > points[best].X) best = i;
        return best;
    };
    const double early = ExpectedLag(4.0, 9600);
    const int first = peakIn(int(early) - 3, int(early) + 3);
    const int second = peakIn(first + 6, first + 14);
    EXPECT_NEAR(first, early, 1.0);
    EXPECT_NEAR(second - first, 2.0 * 9600 / 2000, 1.0); // 9.6 baseband samples
    float valley = points[first].X;
    for (int i = first; i <= second; ++i)
        valley = std::min(valley, points[i].X);
    EXPECT_LT(valley, 0.7f * std::min(points[first].X, points[second].X));
}

TEST(ChainEndToEnd, ClockErrorMakesThePeakDriftAndMatchingClockPpmStopsIt) {
    constexpr int blocks = 500;
    s4285gen::Config config = Channel({{.DelayMs = 2.0}});
    config.ClockPpm = 20; // the card samples 20 ppm fast: frames grow longer
    {
        ReadyChain r;
        const auto results = RunChain(r, config, blocks);
        const int drift = results.back().PeakLag - results[5].PeakLag;
        // 1024 x 20e-6 input samples per block, half that in baseband lags.
        EXPECT_NEAR(drift, (blocks - 6) * 1024 * 20e-6 / 2, 1.5);
    }
    {
        ReadyChain r;
        r.Settings.ClockPpm = 20;
        const auto results = RunChain(r, config, blocks);
        EXPECT_LE(std::abs(results.back().PeakLag - results[5].PeakLag), 1);
    }
}

TEST(ChainEndToEnd, ProcessBlockFiresTheHooksInOrderEachSeeingItsStageOfThisBlock) {
    ReadyChain r;
    r.Controls.AverageCount = 3;
    r.Controls.LagOffset = 40;
    r.Controls.DopplerShift = -20;
    const ChainState& chain = *r.Chain;
    std::string calls; // one letter per hook, a '|' after each block
    int block = 0;
    // The correlator has run over this block's baseband (Downconvert first).
    const auto correlatorIsCurrent = [&](const CorrelatorState& c) {
        for (int lag : {0, 333, 700, 1023}) {
            const ComplexSample x = CorrelateAt(chain.Tables, chain.Downconverter.Baseband, lag);
            if (c.CorrLags[lag].Re != x.Re || c.CorrLags[lag].Im != x.Im) return false;
        }
        return &c == &chain.Correlator;
    };
    r.Hooks.CorrelogramColumn = [&](const CorrelatorState& c) {
        calls += 'C';
        EXPECT_TRUE(correlatorIsCurrent(c)) << block;
        EXPECT_EQ(c.AverageTick, 3) << block;
    };
    r.Hooks.DopplergramColumn = [&](const DopplerState& d) {
        calls += 'D';
        EXPECT_TRUE(DopplerSpectrumDue(d.SlowRow)) << block;
        float sum = 0.0f;
        for (int lag = 0; lag < DopplerLags; ++lag)
            sum = sum + d.DopplerMatrixAt(lag, 77);
        EXPECT_EQ(d.DopplerProfile[77], sum) << block;
    };
    r.Hooks.ScattergramColumn = [&](const DopplerState& d) {
        calls += 'S';
        EXPECT_EQ(d.SlowRow, block % SlowRows);
        // This block's correlation at LagOffset went into the slow-time history.
        const ComplexSample c = chain.Correlator.CorrLags[40];
        EXPECT_EQ(d.SlowTimeAt(0, d.SlowRow).Re, 20.0f * c.Re) << block;
    };
    r.Hooks.CorrelationTrace = [&](const CorrelatorState& c) {
        calls += 'T';
        EXPECT_TRUE(correlatorIsCurrent(c)) << block;
        EXPECT_EQ(c.TracePoints.Count, BasebandLen);
    };
    r.Hooks.TuneIndicator = [&](int32_t hz) {
        calls += 'U';
        EXPECT_EQ(hz, TuneValue(chain.Peak.DopplerHz));
        for (int lag : {0, 100, 511})
            EXPECT_EQ(chain.Peak.SyncPower[lag],
                      SyncPowerAt(chain.Tables, chain.Downconverter.Baseband, lag));
    };

    r.Hooks.BlockProcessed = [&](const ChainState& done) {
        calls += "B|";
        EXPECT_EQ(&done, r.Chain.get());
    };

    s4285gen::Generator generator(Channel({{.DelayMs = 3.0, .DopplerHz = 0.5}}));
    std::vector<int16_t> samples(BlockLen);
    std::string expected;
    for (block = 1; block <= 260; ++block) {
        generator.Generate(samples.data(), samples.size());
        for (int n = 0; n < BlockLen; ++n)
            r.Chain->Intake.SampleBlock[n] = samples[size_t(n)] / 32767.0f;
        ProcessBlock(*r.Chain, r.Settings, r.Controls, r.Hooks);
        if (block % 4 == 3) expected += 'C'; // K = 3: block 3, then every fourth
        if (DopplerSpectrumDue(block % SlowRows)) expected += 'D';
        expected += "STUB|";
    }
    EXPECT_EQ(calls, expected);
    EXPECT_NE(expected.find("CDSTUB|"), std::string::npos); // 195 = 4 x 48 + 3
}

// A run for tables works a block out only as far as its tables read: the
// baseband, the first-period correlation at the lags asked for and the sync
// peak are the whole chain's to the bit, block after block, in both modes and
// with a clock correction, whatever the display controls are; the lags not
// asked for are never written.
TEST(ChainEndToEnd, TheTablesPartGivesTheWholeChainsBasebandCorrelationAndPeak) {
    for (const std::pair<int, int32_t>& rateAndLags :
         {std::pair{9600, 574}, std::pair{8000, CorrLagCount}}) {
        const int rate = rateAndLags.first;
        const int32_t lags = rateAndLags.second;
        ReadyChain whole, part;
        for (ReadyChain* r : {&whole, &part}) {
            r->Settings.ClockPpm = 37;
            if (rate == 8000) SetReceiverMode(*r->Chain, ModeAmateur);
        }
        whole.Controls.AverageCount = 4;
        whole.Controls.LagOffset = 100;
        whole.Controls.DopplerShift = 15;
        s4285gen::Config config = Channel(
            {{.DelayMs = 1, .SpreadHz = 0.5}, {.DelayMs = 3, .GainDb = -4, .DopplerHz = 2}}, rate);
        std::vector<int16_t> samples(size_t(60) * BlockLen);
        s4285gen::Generator(config).Generate(samples.data(), samples.size());
        int blocks = 0;
        whole.Hooks.BlockProcessed = [&](const ChainState& w) {
            const ChainState& p = *part.Chain;
            ASSERT_EQ(std::memcmp(&w.Downconverter.Baseband, &p.Downconverter.Baseband,
                                  sizeof(BasebandArray)),
                      0)
                << rate << " " << blocks;
            ASSERT_EQ(std::memcmp(&w.Correlator.CorrLags, &p.Correlator.CorrLags,
                                  size_t(lags) * sizeof(ComplexSample)),
                      0)
                << rate << " " << blocks;
            for (int32_t lag = lags; lag < CorrLagCount; ++lag)
                ASSERT_EQ(p.Correlator.CorrLags[lag].Re, 0.0f) << lag;
            ASSERT_EQ(std::memcmp(&w.Peak.SyncPower, &p.Peak.SyncPower, sizeof(SyncPowerArray)), 0)
                << rate << " " << blocks;
            ASSERT_EQ(w.Peak.PeakLag, p.Peak.PeakLag);
            ASSERT_EQ(w.Peak.DopplerHz, p.Peak.DopplerHz);
            ++blocks;
        };
        int partBlocks = 0;
        part.Hooks.BlockProcessed = [&](const ChainState&) { ++partBlocks; };
        std::array<int16_t, BlockLen> buffer{};
        for (size_t pos = 0; pos < samples.size(); pos += BlockLen) {
            std::copy_n(samples.begin() + std::ptrdiff_t(pos), BlockLen, buffer.begin());
            // The part first: the whole chain's hook compares with it.
            ResampleBufferForTables(*part.Chain, part.Settings, part.Hooks, lags, buffer.data(),
                                    2 * BlockLen);
            ResampleBuffer(*whole.Chain, whole.Settings, whole.Controls, whole.Hooks, buffer.data(),
                           2 * BlockLen);
        }
        EXPECT_GE(blocks, 58);
        EXPECT_EQ(partBlocks, blocks);
    }
}

} // namespace
} // namespace dsp
