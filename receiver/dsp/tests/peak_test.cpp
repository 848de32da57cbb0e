// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <random>

#include "receiver/dsp/tests/chain_fixture.h"

namespace dsp {
namespace {

using testing::ReadyChain;

// GCC 12 drops the stores of this helper when it analyses the file as a whole
// (seen from -O1 up); keep it out of that analysis.
[[gnu::noipa]] void PlacePreamble(ChainState& c, int lag, double theta, float amplitude = 1.0f) {
    ComplexSample* baseband = c.Downconverter.Baseband.data();
    for (int k = 0; k < SyncLen; ++k) {
        const double phase = theta * (lag + 2 * k);
        const double scale = c.Tables.PeakReference[k] > 0 ? amplitude : -amplitude;
        baseband[lag + 2 * k].Re = float(scale * std::cos(phase));
        baseband[lag + 2 * k].Im = float(scale * std::sin(phase));
    }
}

TEST(PeakSearch, SilenceGivesLagZeroAndNoDoppler) {
    ReadyChain r;
    std::vector<int32_t> tune;
    r.Hooks.TuneIndicator = [&](int32_t h) { tune.push_back(h); };
    ProcessBlock(*r.Chain, r.Settings, r.Controls, r.Hooks);
    EXPECT_EQ(r.Chain->Peak.PeakLag, 0);
    EXPECT_EQ(EstimatePhaseStep(r.Chain->Downconverter.Baseband, 0), 0.0);
    EXPECT_EQ(r.Chain->Peak.DopplerHz, 0.0);
    EXPECT_EQ(tune, std::vector<int32_t>{0});
}

TEST(PeakSearch, EqualPowersKeepTheEarlierLag) {
    ReadyChain r;
    PlacePreamble(*r.Chain, 300, 0.0);
    PlacePreamble(*r.Chain, 50, 0.0);
    EXPECT_EQ(SyncPowerAt(r.Chain->Tables, r.Chain->Downconverter.Baseband, 50),
              SyncPowerAt(r.Chain->Tables, r.Chain->Downconverter.Baseband, 300));
    EXPECT_EQ(
        FindSyncPeak(r.Chain->Tables, r.Chain->Downconverter.Baseband, r.Chain->Peak.SyncPower),
        50);
}

TEST(PeakSearch, FastSearchAgreesWithThePlainSums) {
    ReadyChain r;
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    for (int trial = 0; trial < 20; ++trial) {
        for (int j = 0; j < 3 * BasebandLen; ++j)
            r.Chain->Downconverter.Baseband[j] = {dist(rng), dist(rng)};
        if (trial % 2) PlacePreamble(*r.Chain, int(rng() % 512), 0.01, 0.3f);
        int best = 0;
        float bestPower = 0;
        for (int lag = 0; lag < BasebandLen; ++lag) {
            const auto v =
                float(SyncPowerAt(r.Chain->Tables, r.Chain->Downconverter.Baseband, lag));
            if (v > bestPower) bestPower = v, best = lag;
        }
        EXPECT_EQ(
            FindSyncPeak(r.Chain->Tables, r.Chain->Downconverter.Baseband, r.Chain->Peak.SyncPower),
            best)
            << trial;
    }
}

TEST(PeakSearch, SyncPowerOfEveryLagIsSyncPowerAtBitForBit) {
    // The two-level reference takes the fast sums; a reference with one
    // tap halved takes the plain ones.  Both keep every lag's power.
    for (const bool twoLevel : {true, false}) {
        ReadyChain r;
        if (!twoLevel) r.Chain->Tables.PeakReference[5] *= 0.5;
        std::mt19937 rng(9);
        std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
        auto& baseband = r.Chain->Downconverter.Baseband;
        for (int j = 0; j < 3 * BasebandLen; ++j)
            baseband[j] = {dist(rng), dist(rng)};
        PlacePreamble(*r.Chain, 321, 0.004, 0.5f);
        SyncPowerArray power{};
        const int32_t peak = FindSyncPeak(r.Chain->Tables, baseband, power);
        for (int lag = 0; lag < BasebandLen; ++lag)
            ASSERT_EQ(power[lag], SyncPowerAt(r.Chain->Tables, baseband, lag)) << twoLevel << lag;
        EXPECT_EQ(peak, 321) << twoLevel;

        // The stage leaves the same powers as its output.
        SearchSyncPeak(r.Chain->Tables, baseband, 9600, r.Chain->Peak);
        EXPECT_EQ(r.Chain->Peak.SyncPower, power);
        EXPECT_EQ(r.Chain->Peak.PeakLag, peak);
    }
}

TEST(PeakSearch, RotatingPreambleGivesItsLagAndTheReversedFrequency) {
    for (const double theta : {0.0, 0.005, -0.01, 0.012}) {
        ReadyChain r;
        PlacePreamble(*r.Chain, 100, theta);
        const int32_t p =
            FindSyncPeak(r.Chain->Tables, r.Chain->Downconverter.Baseband, r.Chain->Peak.SyncPower);
        EXPECT_EQ(p, 100);
        const double hz =
            DopplerFromPhaseStep(9600, EstimatePhaseStep(r.Chain->Downconverter.Baseband, p));
        EXPECT_NEAR(hz, -theta * 9600 / (4 * M_PI), 1e-3) << theta;
    }
}

TEST(PeakSearch, ZeroRealSumStillGivesAFiniteStep) {
    ReadyChain r;
    // One pair: x[0] = 1 and x[62] = -i give the conjugate product +i.
    r.Chain->Downconverter.Baseband[0] = {1.0f, 0.0f};
    r.Chain->Downconverter.Baseband[62] = {0.0f, -1.0f};
    double a = 0, b = 0;
    for (int k = 0; k <= 98; k += 2) {
        a += ConjProductRe(r.Chain->Downconverter.Baseband[k],
                           r.Chain->Downconverter.Baseband[k + 62]);
        b += ConjProductIm(r.Chain->Downconverter.Baseband[k],
                           r.Chain->Downconverter.Baseband[k + 62]);
    }
    ASSERT_EQ(a, 0.0);
    ASSERT_GT(b, 0.0);
    const double step = EstimatePhaseStep(r.Chain->Downconverter.Baseband, 0);
    EXPECT_EQ(step, double(Atan2Ext(b, 1e-10) * 0.008064516129L));
    EXPECT_LT(step, M_PI / 2 * 0.008064516129);
    EXPECT_GT(step, M_PI / 2 * 0.008064516129 * (1 - 1e-9));
}

TEST(TuneValue, RoundsTowardsMinusInfinity) {
    EXPECT_EQ(TuneValue(-0.4), -1);
    EXPECT_EQ(TuneValue(0.9), 0);
    EXPECT_EQ(TuneValue(-38.7), -39);
    EXPECT_EQ(TuneValue(38.7), 38);
    EXPECT_EQ(TuneValue(0.0), 0);
}

} // namespace
} // namespace dsp
