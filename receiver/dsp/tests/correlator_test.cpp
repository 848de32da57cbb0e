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
    return GramCorrelate(r.Chain->Tables, r.Chain->Downconverter.Baseband, r.Settings.CorrGain,
                         r.Controls, r.Chain->Correlator);
}

// Blocks (1-based) at which a correlogram column is due, over n blocks.
std::vector<int> ColumnBlocks(ReadyChain& r, int n, const std::function<void(int)>& before = {}) {
    std::vector<int> columns;
    int block = 0;
    r.Hooks.CorrelogramColumn = [&](const CorrelatorState&) { columns.push_back(block); };
    for (block = 1; block <= n; ++block) {
        if (before) before(block);
        ProcessBlock(*r.Chain, r.Settings, r.Controls, r.Hooks);
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
        r.Controls.AverageCount = 3;
        EXPECT_EQ(ColumnBlocks(r, 12), (std::vector<int>{3, 7, 11}));
    }
    {
        // Raised from 1 to 5 right after a column: the next one 4 blocks later.
        ReadyChain r;
        const auto cols = ColumnBlocks(r, 12, [&](int block) {
            if (block == 2) r.Controls.AverageCount = 5;
        });
        EXPECT_EQ(cols, (std::vector<int>{1, 5, 11}));
    }
    {
        // Lowered below the running counter: it wraps to 0 without a column.
        ReadyChain r;
        r.Controls.AverageCount = 5;
        const auto cols = ColumnBlocks(r, 8, [&](int block) {
            if (block == 5) r.Controls.AverageCount = 2;
        });
        EXPECT_EQ(cols, (std::vector<int>{7}));
    }
}

TEST(GramCorrelator, AllLagsMatchCorrelateAtAndTheHistoryMovesOnByOneFrame) {
    ReadyChain r;
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    std::vector<float> previous(r.Chain->Correlator.CorrHistory.begin(),
                                r.Chain->Correlator.CorrHistory.end());
    for (int block = 0; block < 3; ++block) {
        for (int j = 0; j < 3 * BasebandLen; ++j)
            r.Chain->Downconverter.Baseband[j] = {dist(rng), dist(rng)};
        Correlate(r);
        for (int i = 0; i < CorrLagCount; ++i) {
            const ComplexSample c =
                CorrelateAt(r.Chain->Tables, r.Chain->Downconverter.Baseband, i);
            ASSERT_EQ(r.Chain->Correlator.CorrRe[i], c.Re) << i;
            ASSERT_EQ(r.Chain->Correlator.CorrIm[i], c.Im) << i;
            ASSERT_EQ(r.Chain->Correlator.CorrLags[i].Re, c.Re);
            const double m = std::sqrt(double(c.Re) * c.Re + double(c.Im) * c.Im);
            if (i >= BasebandLen) {
                ASSERT_EQ(r.Chain->Correlator.CorrHistory[512 + i],
                          float(std::nearbyint(255 - 5000 * m)));
            }
        }
        for (int j = 0; j < 1024; ++j)
            ASSERT_EQ(r.Chain->Correlator.CorrHistory[j], previous[512 + j]);
        previous.assign(r.Chain->Correlator.CorrHistory.begin(),
                        r.Chain->Correlator.CorrHistory.end());
        // K = 1: the average is the window of the history.
        for (int i = 0; i < 1024; ++i)
            ASSERT_EQ(r.Chain->Correlator.CorrAverage[i], r.Chain->Correlator.CorrHistory[i]);
    }
}

TEST(GramCorrelator, GreyLevelIsRoundedButNeverClamped) {
    ReadyChain r;
    // One sample under a reference tap of 0.01: lag 700 sees 0.01 x 5.1 = 0.051.
    r.Chain->Downconverter.Baseband[700 + 2 * 1] = {5.1f, 0.0f}; // CorrReference[1] = 0.01
    Correlate(r);
    EXPECT_EQ(r.Chain->Correlator.CorrHistory[512 + 700], 0.0f);
    r.Chain->Downconverter.Baseband[700 + 2 * 1] = {10.0f, 0.0f};
    Correlate(r);
    EXPECT_EQ(r.Chain->Correlator.CorrHistory[512 + 700], -245.0f);
    r.Settings.CorrGain = 0.0f;
    Correlate(r);
    EXPECT_EQ(r.Chain->Correlator.CorrHistory[512 + 700], 255.0f);
}

TEST(GramCorrelator, AverageAndTraceUseTheirWeights) {
    ReadyChain r;
    r.Controls.AverageCount = 4;
    r.Controls.LagOffset = 400;
    r.Chain->Downconverter.Baseband[900] = {8.0f, 6.0f}; // 0.01 x 10 under tap 1 at lag 898
    Correlate(r);
    const float grey = r.Chain->Correlator.CorrHistory[512 + 898];
    EXPECT_EQ(grey, float(std::nearbyint(255 - 5000 * 0.1f * 1.0)));
    // (3 x 0 + history) / 4 at the window position of that lag.
    EXPECT_EQ(r.Chain->Correlator.CorrAverage[512 + 898 - 400], float(grey / 4.0L));
    EXPECT_EQ(r.Chain->Correlator.TracePoints.Count, 512);
    EXPECT_NEAR(r.Chain->Correlator.TracePoints.Points[898].X, 500 * 0.1, 1e-4);
    EXPECT_EQ(r.Chain->Correlator.TracePoints.Points[898].Y, 512.0f - 898);
    Correlate(r);
    EXPECT_NEAR(r.Chain->Correlator.TracePoints.Points[898].X, 0.5 * 50 + 50, 1e-4);
}

} // namespace
} // namespace dsp
