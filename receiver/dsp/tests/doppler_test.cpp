// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <cmath>
#include <complex>

#include "receiver/dsp/tests/chain_fixture.h"

namespace dsp {
namespace {

using testing::ReadyChain;

bool Update(ReadyChain& r) {
    return UpdateDoppler(r.Chain->Tables, r.Chain->Correlator.CorrLags, r.Controls,
                         r.Chain->Doppler);
}

// Runs n blocks of the Doppler analysis with the correlation of block b at
// every lag given by value(b).
void RunBlocks(ReadyChain& r, int n, const std::function<std::complex<float>(int)>& value) {
    for (int b = 1; b <= n; ++b) {
        const auto v = value(b);
        for (int i = 0; i < CorrLagCount; ++i)
            r.Chain->Correlator.CorrLags[i] = {v.real(), v.imag()};
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
    ASSERT_EQ(r.Chain->Doppler.SlowRow, 0);
    const double peak = 40 * 128 * std::abs(std::complex<double>(0.5, -0.25)); // 40 c sum(Hann)
    for (int lag = 0; lag < DopplerLags; ++lag) {
        EXPECT_NEAR(r.Chain->Doppler.DopplerMatrixAt(lag, 128), peak, peak * 1e-4);
        EXPECT_NEAR(r.Chain->Doppler.DopplerMatrixAt(lag, 127), peak / 2, peak * 1e-4);
        EXPECT_NEAR(r.Chain->Doppler.DopplerMatrixAt(lag, 129), peak / 2, peak * 1e-4);
        for (int row : {0, 100, 126, 130, 200, 255})
            EXPECT_LT(r.Chain->Doppler.DopplerMatrixAt(lag, row), peak * 1e-4);
    }
    for (int lag = DopplerLags; lag < 65; ++lag)
        EXPECT_EQ(r.Chain->Doppler.DopplerMatrixAt(lag, 128), 0.0f);
    float sum = 0;
    for (int lag = 0; lag < DopplerLags; ++lag)
        sum = sum + r.Chain->Doppler.DopplerMatrixAt(lag, 128);
    EXPECT_EQ(r.Chain->Doppler.DopplerProfile[128], sum);
}

TEST(DopplerSpectrum, ShiftMovesTheZeroBinCircularly) {
    for (const auto& [shift, row] :
         std::vector<std::pair<int, int>>{{10, 138}, {128, 0}, {-128, 0}, {-10, 118}}) {
        ReadyChain r;
        r.Controls.DopplerShift = shift;
        RunBlocks(r, 256, [](int) { return std::complex<float>(1.0f, 0.0f); });
        EXPECT_EQ(PeakRow(r.Chain->Doppler, 5), row) << shift;
    }
}

TEST(DopplerSpectrum, PositiveFrequencyLiesAboveTheZeroRow) {
    ReadyChain r;
    // +10/256 cycles per block: bin 246, row 128 - 10.
    RunBlocks(r, 256, [](int b) { return std::polar(1.0f, float(2 * M_PI * 10.0 / 256 * b)); });
    EXPECT_EQ(PeakRow(r.Chain->Doppler, 0), 118);
}

TEST(DopplerSpectrum, SpectraAreDueFourTimesPerCycleFirstAtBlock63) {
    ReadyChain r;
    std::vector<int> due;
    int scatter = 0;
    int block = 0;
    r.Hooks.DopplergramColumn = [&](const DopplerState& d) { due.push_back(d.SlowRow); };
    r.Hooks.ScattergramColumn = [&](const DopplerState&) { ++scatter; };
    for (block = 1; block <= 512; ++block)
        ProcessBlock(*r.Chain, r.Settings, r.Controls, r.Hooks);
    EXPECT_EQ(due, (std::vector<int>{63, 127, 195, 0, 63, 127, 195, 0}));
    EXPECT_EQ(scatter, 512);
}

TEST(DopplerSpectrum, HistoryTakesLagsCircularlyFromTheOffset) {
    ReadyChain r;
    for (int i = 0; i < CorrLagCount; ++i)
        r.Chain->Correlator.CorrLags[i] = {float(i), 0.0f};
    r.Controls.LagOffset = 500;
    Update(r);
    EXPECT_EQ(r.Chain->Doppler.SlowTimeAt(0, 1).Re, 20.0f * 500);
    EXPECT_EQ(r.Chain->Doppler.SlowTimeAt(11, 1).Re, 20.0f * 511);
    EXPECT_EQ(r.Chain->Doppler.SlowTimeAt(12, 1).Re, 0.0f); // lag 512 wraps to lag 0
    EXPECT_EQ(r.Chain->Doppler.SlowTimeAt(13, 257).Re, 20.0f * 1);
    r.Controls.LagOffset = 512;
    Update(r);
    EXPECT_EQ(r.Chain->Doppler.SlowTimeAt(7, 2).Re, 20.0f * 7);
}

} // namespace
} // namespace dsp
