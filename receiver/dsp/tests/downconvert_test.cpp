// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <random>

#include "receiver/dsp/tests/chain_fixture.h"

namespace dsp {
namespace {

using testing::ReadyChain;

std::complex<float> At(const ChainState& c, int i) {
    return {c.Downconverter.Baseband[i].Re, c.Downconverter.Baseband[i].Im};
}

TEST(Downconvert, ConstantInputFallsIntoTheStopBand) {
    ReadyChain r;
    r.Chain->Intake.SampleBlock.fill(1.0f);
    Downconvert(r.Chain->Tables, r.Chain->Intake.SampleBlock, r.Chain->Downconverter);
    Downconvert(r.Chain->Tables, r.Chain->Intake.SampleBlock,
                r.Chain->Downconverter); // now the history holds mixed samples too
    for (int i = 0; i < BasebandLen; ++i)
        EXPECT_NEAR(std::abs(At(*r.Chain, 1024 + i)), 0.0096, 0.0004) << i;
}

TEST(Downconvert, ToneAtTheCarrierGivesHalfItsAmplitudeWithTheSamePhaseEveryBlock) {
    ReadyChain r;
    const double amplitude = 0.8;
    const double step = 3 * M_PI / 8; // the carrier at 3/16 of the sample rate
    std::vector<std::complex<float>> previous;
    for (int block = 0; block < 4; ++block) {
        for (int n = 0; n < BlockLen; ++n)
            r.Chain->Intake.SampleBlock[n] =
                float(amplitude * std::cos(step * (block * BlockLen + n)));
        Downconvert(r.Chain->Tables, r.Chain->Intake.SampleBlock, r.Chain->Downconverter);
        if (block < 1) continue;
        std::vector<std::complex<float>> out;
        for (int i = 0; i < BasebandLen; ++i) {
            const auto b = At(*r.Chain, 1024 + i);
            EXPECT_NEAR(std::abs(b), 0.4922 * amplitude, 0.02 * 0.4922 * amplitude) << i;
            out.push_back(b);
        }
        if (block >= 2) {
            for (int i = 0; i < BasebandLen; ++i)
                EXPECT_NEAR(std::arg(out[i] / previous[i]), 0.0, 1e-3);
        }
        previous = out;
    }
}

TEST(Downconvert, FastFilterMatchesLowpassSampleExactlyAndHistoryAges) {
    ReadyChain r;
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    std::vector<ComplexSample> lastBlock(BasebandLen);
    for (int block = 0; block < 3; ++block) {
        for (int n = 0; n < BlockLen; ++n)
            r.Chain->Intake.SampleBlock[n] = dist(rng);
        Downconvert(r.Chain->Tables, r.Chain->Intake.SampleBlock, r.Chain->Downconverter);
        for (int i = 0; i < BasebandLen; ++i) {
            const ComplexSample expected =
                LowpassSample(r.Chain->Tables, r.Chain->Downconverter, 2 * i);
            ASSERT_EQ(r.Chain->Downconverter.Baseband[1024 + i].Re, expected.Re)
                << block << " " << i;
            ASSERT_EQ(r.Chain->Downconverter.Baseband[1024 + i].Im, expected.Im)
                << block << " " << i;
            if (block > 0) {
                EXPECT_EQ(r.Chain->Downconverter.Baseband[512 + i].Re, lastBlock[i].Re);
                EXPECT_EQ(r.Chain->Downconverter.Baseband[512 + i].Im, lastBlock[i].Im);
            }
        }
        std::copy_n(r.Chain->Downconverter.Baseband.begin() + 1024, BasebandLen, lastBlock.begin());
    }
}

TEST(Downconvert, SecondSilentBlockLeavesTheNewestBasebandAtZero) {
    ReadyChain r;
    r.Chain->Intake.SampleBlock.fill(0.5f);
    Downconvert(r.Chain->Tables, r.Chain->Intake.SampleBlock, r.Chain->Downconverter);
    r.Chain->Intake.SampleBlock.fill(0.0f);
    Downconvert(r.Chain->Tables, r.Chain->Intake.SampleBlock, r.Chain->Downconverter);
    EXPECT_NE(std::abs(At(*r.Chain, 1024)), 0.0f); // still the old history
    Downconvert(r.Chain->Tables, r.Chain->Intake.SampleBlock, r.Chain->Downconverter);
    for (int i = 0; i < BasebandLen; ++i)
        EXPECT_EQ(std::abs(At(*r.Chain, 1024 + i)), 0.0f);
}

} // namespace
} // namespace dsp
