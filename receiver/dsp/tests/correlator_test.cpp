// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "receiver/dsp/tests/chain_fixture.h"

namespace dsp {
namespace {

using testing::ReadyChain;

// One block of the correlator over the baseband as it stands.
bool Correlate(ReadyChain& r) {
    return GramCorrelate(r.chain->Tables, r.chain->Downconverter.Baseband, r.settings.CorrGain,
                         r.controls, r.chain->Correlator);
}

// Blocks (1-based) at which a correlogram column is due, over n blocks.
std::vector<int> ColumnBlocks(ReadyChain& r, int n, const std::function<void(int)>& before = {}) {
    std::vector<int> columns;
    int block = 0;
    r.hooks.CorrelogramColumn = [&](const CorrelatorState&) { columns.push_back(block); };
    for (block = 1; block <= n; ++block) {
        if (before) before(block);
        ProcessBlock(*r.chain, r.settings, r.controls, r.hooks);
    }
    return columns;
}

TEST(GramCorrelator, ColumnTimingFollowsTheAveragingCount) {
    {
        ReadyChain r;
        EXPECT_EQ(ColumnBlocks(r, 9), (std::vector<int>{1, 3, 5, 7, 9}));
    }
    {
        ReadyChain r;
        r.controls.AverageCount = 3;
        EXPECT_EQ(ColumnBlocks(r, 12), (std::vector<int>{3, 7, 11}));
    }
    {
        // Raised from 1 to 5 right after a column: the next one 4 blocks later.
        ReadyChain r;
        const auto cols = ColumnBlocks(r, 12, [&](int block) {
            if (block == 2) r.controls.AverageCount = 5;
        });
        EXPECT_EQ(cols, (std::vector<int>{1, 5, 11}));
    }
    {
        // Lowered below the running counter: it wraps to 0 without a column.
        ReadyChain r;
        r.controls.AverageCount = 5;
        const auto cols = ColumnBlocks(r, 8, [&](int block) {
            if (block == 5) r.controls.AverageCount = 2;
        });
        EXPECT_EQ(cols, (std::vector<int>{7}));
    }
}

TEST(GramCorrelator, AllLagsMatchCorrelateAtAndTheHistoryMovesOnByOneFrame) {
    ReadyChain r;
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    std::vector<float> previous(r.chain->Correlator.CorrHistory.begin(),
                                r.chain->Correlator.CorrHistory.end());
    for (int block = 0; block < 3; ++block) {
        for (int j = 0; j < 3 * BasebandLen; ++j)
            r.chain->Downconverter.Baseband[j] = {dist(rng), dist(rng)};
        Correlate(r);
        for (int i = 0; i < CorrLagCount; ++i) {
            const ComplexSample c =
                CorrelateAt(r.chain->Tables, r.chain->Downconverter.Baseband, i);
            ASSERT_EQ(r.chain->Correlator.CorrRe[i], c.re) << i;
            ASSERT_EQ(r.chain->Correlator.CorrIm[i], c.im) << i;
            ASSERT_EQ(r.chain->Correlator.CorrLags[i].re, c.re);
            const double m = std::sqrt(double(c.re) * c.re + double(c.im) * c.im);
            if (i >= BasebandLen) {
                ASSERT_EQ(r.chain->Correlator.CorrHistory[512 + i],
                          float(std::nearbyint(255 - 5000 * m)));
            }
        }
        for (int j = 0; j < 1024; ++j)
            ASSERT_EQ(r.chain->Correlator.CorrHistory[j], previous[512 + j]);
        previous.assign(r.chain->Correlator.CorrHistory.begin(),
                        r.chain->Correlator.CorrHistory.end());
        // K = 1: the average is the window of the history.
        for (int i = 0; i < 1024; ++i)
            ASSERT_EQ(r.chain->Correlator.CorrAverage[i], r.chain->Correlator.CorrHistory[i]);
    }
}

TEST(GramCorrelator, GreyLevelIsRoundedButNeverClamped) {
    ReadyChain r;
    // One sample under a reference tap of 0.01: lag 700 sees 0.01 x 5.1 = 0.051.
    r.chain->Downconverter.Baseband[700 + 2 * 1] = {5.1f, 0.0f}; // CorrReference[1] = 0.01
    Correlate(r);
    EXPECT_EQ(r.chain->Correlator.CorrHistory[512 + 700], 0.0f);
    r.chain->Downconverter.Baseband[700 + 2 * 1] = {10.0f, 0.0f};
    Correlate(r);
    EXPECT_EQ(r.chain->Correlator.CorrHistory[512 + 700], -245.0f);
    r.settings.CorrGain = 0.0f;
    Correlate(r);
    EXPECT_EQ(r.chain->Correlator.CorrHistory[512 + 700], 255.0f);
}

TEST(GramCorrelator, AverageAndTraceUseTheirWeights) {
    ReadyChain r;
    r.controls.AverageCount = 4;
    r.controls.LagOffset = 400;
    r.chain->Downconverter.Baseband[900] = {8.0f, 6.0f}; // 0.01 x 10 under tap 1 at lag 898
    Correlate(r);
    const float grey = r.chain->Correlator.CorrHistory[512 + 898];
    EXPECT_EQ(grey, float(std::nearbyint(255 - 5000 * 0.1f * 1.0)));
    // (3 x 0 + history) / 4 at the window position of that lag.
    EXPECT_EQ(r.chain->Correlator.CorrAverage[512 + 898 - 400], float(grey / 4.0L));
    EXPECT_EQ(r.chain->Correlator.TracePoints.count, 512);
    EXPECT_NEAR(r.chain->Correlator.TracePoints.points[898].x, 500 * 0.1, 1e-4);
    EXPECT_EQ(r.chain->Correlator.TracePoints.points[898].y, 512.0f - 898);
    Correlate(r);
    EXPECT_NEAR(r.chain->Correlator.TracePoints.points[898].x, 0.5 * 50 + 50, 1e-4);
}

} // namespace
} // namespace dsp
