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
    return {c.Downconverter.Baseband[i].re, c.Downconverter.Baseband[i].im};
}

TEST(Downconvert, ConstantInputFallsIntoTheStopBand) {
    ReadyChain r;
    r.chain->Intake.SampleBlock.fill(1.0f);
    Downconvert(r.chain->Tables, r.chain->Intake.SampleBlock, r.chain->Downconverter);
    Downconvert(r.chain->Tables, r.chain->Intake.SampleBlock,
                r.chain->Downconverter); // now the history holds mixed samples too
    for (int i = 0; i < BasebandLen; ++i)
        EXPECT_NEAR(std::abs(At(*r.chain, 1024 + i)), 0.0096, 0.0004) << i;
}

TEST(Downconvert, ToneAtTheCarrierGivesHalfItsAmplitudeWithTheSamePhaseEveryBlock) {
    ReadyChain r;
    const double amplitude = 0.8;
    const double step = 3 * M_PI / 8; // the carrier at 3/16 of the sample rate
    std::vector<std::complex<float>> previous;
    for (int block = 0; block < 4; ++block) {
        for (int n = 0; n < BlockLen; ++n)
            r.chain->Intake.SampleBlock[n] =
                float(amplitude * std::cos(step * (block * BlockLen + n)));
        Downconvert(r.chain->Tables, r.chain->Intake.SampleBlock, r.chain->Downconverter);
        if (block < 1) continue;
        std::vector<std::complex<float>> out;
        for (int i = 0; i < BasebandLen; ++i) {
            const auto b = At(*r.chain, 1024 + i);
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
            r.chain->Intake.SampleBlock[n] = dist(rng);
        Downconvert(r.chain->Tables, r.chain->Intake.SampleBlock, r.chain->Downconverter);
        for (int i = 0; i < BasebandLen; ++i) {
            const ComplexSample expected =
                LowpassSample(r.chain->Tables, r.chain->Downconverter, 2 * i);
            ASSERT_EQ(r.chain->Downconverter.Baseband[1024 + i].re, expected.re)
                << block << " " << i;
            ASSERT_EQ(r.chain->Downconverter.Baseband[1024 + i].im, expected.im)
                << block << " " << i;
            if (block > 0) {
                EXPECT_EQ(r.chain->Downconverter.Baseband[512 + i].re, lastBlock[i].re);
                EXPECT_EQ(r.chain->Downconverter.Baseband[512 + i].im, lastBlock[i].im);
            }
        }
        std::copy_n(r.chain->Downconverter.Baseband.begin() + 1024, BasebandLen, lastBlock.begin());
    }
}

TEST(Downconvert, SecondSilentBlockLeavesTheNewestBasebandAtZero) {
    ReadyChain r;
    r.chain->Intake.SampleBlock.fill(0.5f);
    Downconvert(r.chain->Tables, r.chain->Intake.SampleBlock, r.chain->Downconverter);
    r.chain->Intake.SampleBlock.fill(0.0f);
    Downconvert(r.chain->Tables, r.chain->Intake.SampleBlock, r.chain->Downconverter);
    EXPECT_NE(std::abs(At(*r.chain, 1024)), 0.0f); // still the old history
    Downconvert(r.chain->Tables, r.chain->Intake.SampleBlock, r.chain->Downconverter);
    for (int i = 0; i < BasebandLen; ++i)
        EXPECT_EQ(std::abs(At(*r.chain, 1024 + i)), 0.0f);
}

} // namespace
} // namespace dsp
