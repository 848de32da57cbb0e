#include <gtest/gtest.h>

#include <cmath>
#include <complex>

#include "receiver/dsp/tests/chain_fixture.h"

namespace rx {
namespace {

using testing::ReadyChain;

// Runs n blocks of the Doppler analysis with the correlation of block b at
// every lag given by value(b).
void RunBlocks(ReadyChain& r, int n, const std::function<std::complex<float>(int)>& value) {
    for (int b = 1; b <= n; ++b) {
        const auto v = value(b);
        for (int i = 0; i < CorrLagCount; ++i)
            r.chain->CorrLags[i] = {v.real(), v.imag()};
        UpdateDoppler(*r.chain, r.hooks);
    }
}

int PeakRow(const ChainState& chain, int lag) {
    int best = 0;
    for (int row = 1; row < 256; ++row)
        if (chain.DopplerMatrixAt(lag, row) > chain.DopplerMatrixAt(lag, best)) best = row;
    return best;
}

TEST(DopplerSpectrum, ConstantCorrelationLandsOnTheZeroDopplerRow) {
    ReadyChain r;
    RunBlocks(r, 256, [](int) { return std::complex<float>(0.5f, -0.25f); });
    ASSERT_EQ(r.chain->SlowRow, 0);
    const double peak = 40 * 128 * std::abs(std::complex<double>(0.5, -0.25)); // 40 c sum(Hann)
    for (int lag = 0; lag < DopplerLags; ++lag) {
        EXPECT_NEAR(r.chain->DopplerMatrixAt(lag, 128), peak, peak * 1e-4);
        EXPECT_NEAR(r.chain->DopplerMatrixAt(lag, 127), peak / 2, peak * 1e-4);
        EXPECT_NEAR(r.chain->DopplerMatrixAt(lag, 129), peak / 2, peak * 1e-4);
        for (int row : {0, 100, 126, 130, 200, 255})
            EXPECT_LT(r.chain->DopplerMatrixAt(lag, row), peak * 1e-4);
    }
    for (int lag = DopplerLags; lag < 65; ++lag)
        EXPECT_EQ(r.chain->DopplerMatrixAt(lag, 128), 0.0f);
    float sum = 0;
    for (int lag = 0; lag < DopplerLags; ++lag)
        sum = sum + r.chain->DopplerMatrixAt(lag, 128);
    EXPECT_EQ(r.chain->DopplerProfile[128], sum);
}

TEST(DopplerSpectrum, ShiftMovesTheZeroBinCircularly) {
    for (const auto& [shift, row] :
         std::vector<std::pair<int, int>>{{10, 138}, {128, 0}, {-128, 0}, {-10, 118}}) {
        ReadyChain r;
        r.chain->DopplerShift = shift;
        RunBlocks(r, 256, [](int) { return std::complex<float>(1.0f, 0.0f); });
        EXPECT_EQ(PeakRow(*r.chain, 5), row) << shift;
    }
}

TEST(DopplerSpectrum, PositiveFrequencyLiesAboveTheZeroRow) {
    ReadyChain r;
    // +10/256 cycles per block: bin 246, row 128 - 10.
    RunBlocks(r, 256, [](int b) { return std::polar(1.0f, float(2 * M_PI * 10.0 / 256 * b)); });
    EXPECT_EQ(PeakRow(*r.chain, 0), 118);
}

TEST(DopplerSpectrum, SpectraAreDueFourTimesPerCycleFirstAtBlock63) {
    ReadyChain r;
    std::vector<int> due;
    int scatter = 0;
    int block = 0;
    r.hooks.DopplergramColumn = [&](const ChainState& c) { due.push_back(c.SlowRow); };
    r.hooks.ScattergramColumn = [&](const ChainState&) { ++scatter; };
    for (block = 1; block <= 512; ++block)
        UpdateDoppler(*r.chain, r.hooks);
    EXPECT_EQ(due, (std::vector<int>{63, 127, 195, 0, 63, 127, 195, 0}));
    EXPECT_EQ(scatter, 512);
}

TEST(DopplerSpectrum, HistoryTakesLagsCircularlyFromTheOffset) {
    ReadyChain r;
    for (int i = 0; i < CorrLagCount; ++i)
        r.chain->CorrLags[i] = {float(i), 0.0f};
    r.chain->LagOffset = 500;
    UpdateDoppler(*r.chain, r.hooks);
    EXPECT_EQ(r.chain->SlowTimeAt(0, 1).re, 20.0f * 500);
    EXPECT_EQ(r.chain->SlowTimeAt(11, 1).re, 20.0f * 511);
    EXPECT_EQ(r.chain->SlowTimeAt(12, 1).re, 0.0f); // lag 512 wraps to lag 0
    EXPECT_EQ(r.chain->SlowTimeAt(13, 257).re, 20.0f * 1);
    r.chain->LagOffset = 512;
    UpdateDoppler(*r.chain, r.hooks);
    EXPECT_EQ(r.chain->SlowTimeAt(7, 2).re, 20.0f * 7);
}

} // namespace
} // namespace rx
