// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <memory>
#include <numeric>

#include "receiver/dsp/tests/chain_fixture.h"
#include "receiver/dsp/tests/yield_count.h"

namespace dsp {
namespace {

using testing::ReadyChain;

TEST(SignalTables, BitReverseReversesEightBits) {
    ReadyChain r;
    EXPECT_EQ(r.Chain->Tables.BitReverse[0], 0);
    EXPECT_EQ(r.Chain->Tables.BitReverse[1], 128);
    EXPECT_EQ(r.Chain->Tables.BitReverse[3], 192);
    EXPECT_EQ(r.Chain->Tables.BitReverse[255], 255);
    for (int n = 0; n < 256; ++n)
        EXPECT_EQ(r.Chain->Tables.BitReverse[r.Chain->Tables.BitReverse[n]], n);
}

TEST(SignalTables, HannWindowIsZeroAtTheEdgeAndOneInTheMiddle) {
    ReadyChain r;
    // theta is rounded to a float, so the edge is zero only to about 1e-15.
    EXPECT_LT(std::fabs(r.Chain->Tables.HannWindow[0]), 1e-12f);
    EXPECT_EQ(r.Chain->Tables.HannWindow[128], 1.0f);
    EXPECT_NEAR(r.Chain->Tables.HannWindow[64], 0.5f, 1e-6f);
    EXPECT_NEAR(r.Chain->Tables.HannWindow[1], r.Chain->Tables.HannWindow[255], 1e-6f);
}

TEST(SignalTables, ReferencesHoldTheSynchronisationSequence) {
    ReadyChain r;
    const double c = 0.01f;
    EXPECT_EQ(c, 0.009999999776482582);
    // +1 -1 +1 -1 -1 +1 +1 -1 ... and the period of 31.
    const int first[] = {1, -1, 1, -1, -1, 1, 1, -1, -1, -1, -1, -1, 1, 1, 1, -1};
    for (int k = 0; k < 16; ++k)
        EXPECT_EQ(r.Chain->Tables.PeakReference[k], first[k] * c) << k;
    for (int k = 31; k < 80; ++k)
        EXPECT_EQ(r.Chain->Tables.PeakReference[k], r.Chain->Tables.PeakReference[k - 31]);
    EXPECT_EQ(r.Chain->Tables.PeakReference[31], c);
    EXPECT_EQ(r.Chain->Tables.PeakReference[79], c);
    EXPECT_EQ(r.Chain->Tables.PeakReference[80], 0.0);
    int ones = 0;
    for (int k = 0; k < 31; ++k) {
        // The gram reference is the 0/1 form of the first period.
        const bool bitIsOne = r.Chain->Tables.PeakReference[k] < 0;
        EXPECT_EQ(r.Chain->Tables.CorrReference[k], bitIsOne ? 0.01f : 0.0f) << k;
        ones += bitIsOne;
    }
    EXPECT_EQ(ones, 16);
    for (int k = 31; k <= 80; ++k)
        EXPECT_EQ(r.Chain->Tables.CorrReference[k], 0.0f);
}

TEST(SignalTables, LowpassMeetsItsPassAndStopBands) {
    ReadyChain r;
    const auto& taps = r.Chain->Tables.LowpassTaps;
    for (int k = 0; k < 43; ++k)
        EXPECT_EQ(taps[k], taps[42 - k]);
    EXPECT_NEAR(std::accumulate(taps.begin(), taps.begin() + 43, 0.0), 0.98440, 5e-6);
    const auto gainDb = [&](double fraction) {
        std::complex<double> h;
        for (int k = 0; k < 43; ++k)
            h += double(taps[k]) * std::polar(1.0, -2 * M_PI * fraction * k);
        return 20 * std::log10(std::abs(h));
    };
    for (double f = 0; f <= 0.104; f += 0.001)
        EXPECT_NEAR(gainDb(f), 0.0, 0.25) << f;
    EXPECT_NEAR(gainDb(0.125), -3.0, 0.6);
    for (double f = 0.167; f <= 0.5; f += 0.001)
        EXPECT_LT(gainDb(f), -36.0) << f;
}

TEST(SignalParameters, StartInNatoAndReplaceGainsOfZeroOrLess) {
    auto chain = MakeChainState();
    Settings settings;
    settings.ClockOffset = -0.00001L;
    settings.ClockPpm = -3;
    settings.InputGain = 0;
    settings.CorrGain = -2;
    settings.DopplerGain = 0.5f;
    settings.ScatterGain = 1e-9f;
    ChainControls controls;
    controls.AverageCount = 7;
    controls.DopplerShift = 30;
    SetSignalParameters(*chain, controls, settings);
    EXPECT_EQ(chain->SampleRate, 9600);
    EXPECT_EQ(chain->CarrierHz, 1800);
    EXPECT_EQ(chain->ReceiverMode, ModeNato);
    EXPECT_EQ(controls.AverageCount, 1);
    EXPECT_EQ(controls.DopplerShift, 0);
    EXPECT_EQ(chain->Tables.PhaseStep, 1.1780972480773926f);
    EXPECT_EQ(settings.InputGain, 1.0f);
    EXPECT_EQ(settings.CorrGain, 1.0f);
    EXPECT_EQ(settings.DopplerGain, 0.5f);
    EXPECT_EQ(settings.ScatterGain, 1e-9f);
    EXPECT_EQ(settings.ClockOffset, -0.00001L);
    EXPECT_EQ(settings.ClockPpm, -3);
}

TEST(SignalParameters, ModeSwitchChangesRateAndCarrierButNotThePhaseStep) {
    ReadyChain r;
    SetReceiverMode(*r.Chain, ModeAmateur);
    EXPECT_EQ(r.Chain->ReceiverMode, -1);
    EXPECT_EQ(r.Chain->SampleRate, 8000);
    EXPECT_EQ(r.Chain->CarrierHz, 1500);
    // 1500 Hz at 8000 samples/s is the same step as 1800 Hz at 9600.
    EXPECT_NEAR(r.Chain->Tables.PhaseStep * 8000 / (2 * M_PI), 1500.0, 1e-3);
    SetReceiverMode(*r.Chain, ModeNato);
    EXPECT_EQ(r.Chain->SampleRate, 9600);
    EXPECT_EQ(r.Chain->CarrierHz, 1800);
}

// One call sets a chain up for either mode: the start-up values (written into
// the controls and settings too), the mode's rate and carrier, and every
// table, built straight through unless a build is asked for.
TEST(SignalParameters, MakeChainSetsUpEitherModeInOneCall) {
    const auto built = std::make_unique<SignalTables>();
    BuildSignalTables(*built, TableBuild::StraightThrough);
    for (const int32_t mode : {ModeNato, ModeAmateur}) {
        Settings settings;
        settings.InputGain = 0;
        ChainControls controls;
        controls.AverageCount = 7;
        const long before = testing::YieldsSoFar();
        const auto chain = MakeChain(mode, controls, settings);
        EXPECT_EQ(testing::YieldsSoFar(), before);
        EXPECT_EQ(chain->ReceiverMode, mode);
        EXPECT_EQ(chain->SampleRate, ModeInfoOf(mode).SampleRate);
        EXPECT_EQ(chain->CarrierHz, ModeInfoOf(mode).CarrierHz);
        EXPECT_EQ(controls.AverageCount, 1);
        EXPECT_EQ(settings.InputGain, 1.0f);
        EXPECT_EQ(chain->Tables.PhaseStep, built->PhaseStep);
        EXPECT_EQ(chain->Tables.HannWindow, built->HannWindow);
        EXPECT_EQ(chain->Tables.LowpassTaps, built->LowpassTaps);
        EXPECT_EQ(chain->Tables.MixCos, built->MixCos);
    }
    Settings settings;
    ChainControls controls;
    const long before = testing::YieldsSoFar();
    MakeChain(ModeNato, controls, settings, TableBuild::YieldingToTheDesktop);
    EXPECT_EQ(testing::YieldsSoFar() - before, FftLen);
}

// The window's build gives up its time slice once per Hann window entry; a
// build straight through never does; both give the same tables.
TEST(SignalTables, OnlyTheWindowsBuildYieldsAndBothBuildTheSameTables) {
    const auto yielding = std::make_unique<SignalTables>();
    const auto straight = std::make_unique<SignalTables>();
    const long before = testing::YieldsSoFar();
    BuildSignalTables(*yielding);
    EXPECT_EQ(testing::YieldsSoFar() - before, FftLen);
    BuildSignalTables(*straight, TableBuild::StraightThrough);
    EXPECT_EQ(testing::YieldsSoFar() - before, FftLen);

    EXPECT_EQ(yielding->TwoPi, straight->TwoPi);
    EXPECT_EQ(yielding->PhaseStep, straight->PhaseStep);
    EXPECT_EQ(yielding->LowpassTaps, straight->LowpassTaps);
    EXPECT_EQ(yielding->CorrReference, straight->CorrReference);
    EXPECT_EQ(yielding->PeakReference, straight->PeakReference);
    EXPECT_EQ(yielding->BitReverse, straight->BitReverse);
    EXPECT_EQ(yielding->HannWindow, straight->HannWindow);
    EXPECT_EQ(yielding->MixCos, straight->MixCos);
    EXPECT_EQ(yielding->MixSin, straight->MixSin);
    EXPECT_EQ(yielding->MixCosParts, straight->MixCosParts);
    EXPECT_EQ(yielding->MixSinParts, straight->MixSinParts);
}

} // namespace
} // namespace dsp
