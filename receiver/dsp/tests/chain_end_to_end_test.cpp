// The whole chain on generated STANAG 4285 signals through known channels.
#include <gtest/gtest.h>

#include <cmath>

#include "receiver/dsp/tests/chain_fixture.h"
#include "signalgen/s4285gen.h"

namespace rx {
namespace {

using testing::ReadyChain;

struct BlockResult {
    int32_t peakLag;
    double dopplerHz;
    int32_t tuneHz;
};

std::vector<BlockResult> RunChain(ReadyChain& r, sim::Config config, int blocks) {
    std::vector<BlockResult> results;
    r.hooks.TuneIndicator = [&](int32_t h) {
        results.push_back({r.chain->PeakLag, r.chain->DopplerHz, h});
    };
    if (config.sampleRate == 8000) SetReceiverMode(*r.chain, ModeAmateur);
    sim::Generator generator(config);
    std::vector<int16_t> samples(size_t(blocks) * BlockLen);
    generator.Generate(samples.data(), samples.size());
    r.Feed(samples);
    return results;
}

sim::Config Channel(std::vector<sim::Path> paths, int sampleRate = 9600) {
    sim::Config config = sampleRate == 9600 ? sim::NatoConfig() : sim::AmateurConfig();
    config.paths = std::move(paths);
    config.snrDb = 20;
    config.seed = 42;
    return config;
}

double MeanDoppler(const std::vector<BlockResult>& results) {
    double sum = 0;
    for (size_t b = 3; b < results.size(); ++b)
        sum += results[b].dopplerHz;
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
        const auto results = RunChain(r, Channel({{.delayMs = 5.0}}, rate), 60);
        ASSERT_EQ(results.size(), 60u);
        for (size_t b = 3; b < results.size(); ++b) {
            EXPECT_NEAR(results[b].peakLag, ExpectedLag(5.0, rate), 1.0) << rate << " block " << b;
            EXPECT_NEAR(results[b].dopplerHz, 0.0, 1.0); // one block's estimate is noisy
        }
        EXPECT_NEAR(MeanDoppler(results), 0.0, 0.1) << rate;
    }
}

TEST(ChainEndToEnd, CarrierOffsetGivesTheReversedDoppler) {
    for (const double offsetHz : {2.5, -7.0, 9.0}) {
        ReadyChain r;
        const auto results = RunChain(r, Channel({{.delayMs = 3.0, .dopplerHz = offsetHz}}), 40);
        EXPECT_NEAR(MeanDoppler(results), -offsetHz, 0.1) << offsetHz;
        for (size_t b = 3; b < results.size(); ++b) {
            EXPECT_NEAR(results[b].dopplerHz, -offsetHz, 1.0) << offsetHz << " block " << b;
            EXPECT_EQ(results[b].tuneHz, int32_t(std::floor(results[b].dopplerHz)));
        }
    }
}

TEST(ChainEndToEnd, TwoPathsTwoMillisecondsApartGiveTwoCorrelationPeaks) {
    ReadyChain r;
    RunChain(r, Channel({{.delayMs = 4.0}, {.delayMs = 6.0, .gainDb = -3.0}}), 30);
    // Smoothed trace: the preamble repeats every 62 lags, so look for the
    // two paths where the first one's preamble starts.
    const auto& points = r.chain->TracePoints.points;
    const auto peakIn = [&](int from, int to) {
        int best = from;
        for (int i = from; i <= to; ++i)
            if (points[i].x > points[best].x) best = i;
        return best;
    };
    const double early = ExpectedLag(4.0, 9600);
    const int first = peakIn(int(early) - 3, int(early) + 3);
    const int second = peakIn(first + 6, first + 14);
    EXPECT_NEAR(first, early, 1.0);
    EXPECT_NEAR(second - first, 2.0 * 9600 / 2000, 1.0); // 9.6 baseband samples
    float valley = points[first].x;
    for (int i = first; i <= second; ++i)
        valley = std::min(valley, points[i].x);
    EXPECT_LT(valley, 0.7f * std::min(points[first].x, points[second].x));
}

TEST(ChainEndToEnd, ClockErrorMakesThePeakDriftAndMatchingClockPpmStopsIt) {
    constexpr int blocks = 500;
    sim::Config config = Channel({{.delayMs = 2.0}});
    config.clockPpm = 20; // the card samples 20 ppm fast: frames grow longer
    {
        ReadyChain r;
        const auto results = RunChain(r, config, blocks);
        const int drift = results.back().peakLag - results[5].peakLag;
        // 1024 x 20e-6 input samples per block, half that in baseband lags.
        EXPECT_NEAR(drift, (blocks - 6) * 1024 * 20e-6 / 2, 1.5);
    }
    {
        ReadyChain r;
        r.settings.ClockPpm = 20;
        const auto results = RunChain(r, config, blocks);
        EXPECT_LE(std::abs(results.back().peakLag - results[5].peakLag), 1);
    }
}

} // namespace
} // namespace rx
