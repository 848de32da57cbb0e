// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <cmath>
#include <complex>

#include "receiver/dsp/tests/chain_fixture.h"

namespace dsp {
namespace {

using testing::ReadyChain;

bool Update(ReadyChain& r) {
    return UpdateDoppler(r.chain->Tables, r.chain->Correlator.CorrLags, r.controls,
                         r.chain->Doppler);
}

// Runs n blocks of the Doppler analysis with the correlation of block b at
// every lag given by value(b).
void RunBlocks(ReadyChain& r, int n, const std::function<std::complex<float>(int)>& value) {
    for (int b = 1; b <= n; ++b) {
        const auto v = value(b);
        for (int i = 0; i < CorrLagCount; ++i)
            r.chain->Correlator.CorrLags[i] = {v.real(), v.imag()};
        Update(r);
    }
}

int PeakRow(const DopplerState& chain, int lag) {
    int best = 0;
    for (int row = 1; row < 256; ++row)
        if (chain.DopplerMatrixAt(lag, row) > chain.DopplerMatrixAt(lag, best)) best = row;
    return best;
}

TEST(DopplerSpectrum, ConstantCorrelationLandsOnTheZeroDopplerRow) {
    ReadyChain r;
    RunBlocks(r, 256, [](int) { return std::complex<float>(0.5f, -0.25f); });
    ASSERT_EQ(r.chain->Doppler.SlowRow, 0);
    const double peak = 40 * 128 * std::abs(std::complex<double>(0.5, -0.25)); // 40 c sum(Hann)
    for (int lag = 0; lag < DopplerLags; ++lag) {
        EXPECT_NEAR(r.chain->Doppler.DopplerMatrixAt(lag, 128), peak, peak * 1e-4);
        EXPECT_NEAR(r.chain->Doppler.DopplerMatrixAt(lag, 127), peak / 2, peak * 1e-4);
        EXPECT_NEAR(r.chain->Doppler.DopplerMatrixAt(lag, 129), peak / 2, peak * 1e-4);
        for (int row : {0, 100, 126, 130, 200, 255})
            EXPECT_LT(r.chain->Doppler.DopplerMatrixAt(lag, row), peak * 1e-4);
    }
    for (int lag = DopplerLags; lag < 65; ++lag)
        EXPECT_EQ(r.chain->Doppler.DopplerMatrixAt(lag, 128), 0.0f);
    float sum = 0;
    for (int lag = 0; lag < DopplerLags; ++lag)
        sum = sum + r.chain->Doppler.DopplerMatrixAt(lag, 128);
    EXPECT_EQ(r.chain->Doppler.DopplerProfile[128], sum);
}

TEST(DopplerSpectrum, ShiftMovesTheZeroBinCircularly) {
    for (const auto& [shift, row] :
         std::vector<std::pair<int, int>>{{10, 138}, {128, 0}, {-128, 0}, {-10, 118}}) {
        ReadyChain r;
        r.controls.DopplerShift = shift;
        RunBlocks(r, 256, [](int) { return std::complex<float>(1.0f, 0.0f); });
        EXPECT_EQ(PeakRow(r.chain->Doppler, 5), row) << shift;
    }
}

TEST(DopplerSpectrum, PositiveFrequencyLiesAboveTheZeroRow) {
    ReadyChain r;
    // +10/256 cycles per block: bin 246, row 128 - 10.
    RunBlocks(r, 256, [](int b) { return std::polar(1.0f, float(2 * M_PI * 10.0 / 256 * b)); });
    EXPECT_EQ(PeakRow(r.chain->Doppler, 0), 118);
}

TEST(DopplerSpectrum, SpectraAreDueFourTimesPerCycleFirstAtBlock63) {
    ReadyChain r;
    std::vector<int> due;
    int scatter = 0;
    int block = 0;
    r.hooks.DopplergramColumn = [&](const DopplerState& d) { due.push_back(d.SlowRow); };
    r.hooks.ScattergramColumn = [&](const DopplerState&) { ++scatter; };
    for (block = 1; block <= 512; ++block)
        ProcessBlock(*r.chain, r.settings, r.controls, r.hooks);
    EXPECT_EQ(due, (std::vector<int>{63, 127, 195, 0, 63, 127, 195, 0}));
    EXPECT_EQ(scatter, 512);
}

TEST(DopplerSpectrum, HistoryTakesLagsCircularlyFromTheOffset) {
    ReadyChain r;
    for (int i = 0; i < CorrLagCount; ++i)
        r.chain->Correlator.CorrLags[i] = {float(i), 0.0f};
    r.controls.LagOffset = 500;
    Update(r);
    EXPECT_EQ(r.chain->Doppler.SlowTimeAt(0, 1).re, 20.0f * 500);
    EXPECT_EQ(r.chain->Doppler.SlowTimeAt(11, 1).re, 20.0f * 511);
    EXPECT_EQ(r.chain->Doppler.SlowTimeAt(12, 1).re, 0.0f); // lag 512 wraps to lag 0
    EXPECT_EQ(r.chain->Doppler.SlowTimeAt(13, 257).re, 20.0f * 1);
    r.controls.LagOffset = 512;
    Update(r);
    EXPECT_EQ(r.chain->Doppler.SlowTimeAt(7, 2).re, 20.0f * 7);
}

} // namespace
} // namespace dsp
