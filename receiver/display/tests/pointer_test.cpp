// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/display/painters.h"
#include "receiver/display/pointer.h"

#include <gtest/gtest.h>

#include <memory>

namespace display {
namespace {

TEST(PointerMoves, MarkerLagFollowsThePointerOverTheCorrelationPanelOnly) {
    DisplayState display;
    PointerMoved(display, dsp::ModeNato, 30, 300);
    EXPECT_EQ(display.MarkerLag, 262);
    PointerMoved(display, dsp::ModeNato, 5, 50);
    EXPECT_EQ(display.MarkerLag, 512);
    PointerMoved(display, dsp::ModeNato, 70, 561);
    EXPECT_EQ(display.MarkerLag, 1);
    for (const auto& [x, y] : {std::pair{4, 300}, {71, 300}, {30, 49}, {30, 562}, {300, 300}}) {
        display.MarkerLag = 99;
        PointerMoved(display, dsp::ModeNato, x, y);
        EXPECT_EQ(display.MarkerLag, 0) << x << "," << y;
    }
}

TEST(PointerMoves, MarkerRowTwoFiftyForPointerRowThreeHundred) {
    auto chain = dsp::MakeChainState();
    dsp::ChainControls controls;
    DisplayState display;
    PointerMoved(display, chain->ReceiverMode, 30, 300);
    PaintCorrelationTrace(display, chain->Correlator, controls);
    EXPECT_EQ(display.CorrelationImage.PixelAt(40, 250), 0xFFFF0000u);
    EXPECT_NE(display.CorrelationImage.PixelAt(40, 249), 0xFFFF0000u);
}

TEST(PointerMoves, ReadoutsOverScattergramAndDopplergramInBothModes) {
    auto chain = dsp::MakeChainState();
    DisplayState display;
    PointerReadouts r = PointerMoved(display, chain->ReceiverMode, 507, 389);
    EXPECT_EQ(r.Doppler, "1.00 Hz");
    EXPECT_EQ(r.Delay, "5.00 msec");
    r = PointerMoved(display, chain->ReceiverMode, 483, 443);
    EXPECT_EQ(r.Doppler, "-1.00 Hz");
    EXPECT_EQ(r.Delay, "0.00 msec");
    r = PointerMoved(display, chain->ReceiverMode, 543, 416);
    EXPECT_EQ(r.Doppler, "0.00 Hz");
    EXPECT_EQ(r.Delay, "12.50 msec");
    r = PointerMoved(display, chain->ReceiverMode, 200, 300);
    EXPECT_EQ(r.Doppler, "4.30 Hz"); // 116 / 27 = 4.296
    EXPECT_EQ(r.Delay, "0.00 msec");

    chain->ReceiverMode = dsp::ModeAmateur;
    r = PointerMoved(display, chain->ReceiverMode, 507, 384);
    EXPECT_EQ(r.Doppler, "1.00 Hz");
    EXPECT_EQ(r.Delay, "5.00 msec"); // 4.8 columns per millisecond in both modes

    for (const auto& [x, y] :
         {std::pair{482, 400}, {544, 400}, {300, 287}, {300, 544}, {30, 300}}) {
        r = PointerMoved(display, chain->ReceiverMode, x, y);
        EXPECT_FALSE(r.Doppler.has_value()) << x << "," << y;
        EXPECT_FALSE(r.Delay.has_value()) << x << "," << y;
    }
}

TEST(PointerFormat, HundredthsWithPointAndNoNegativeZero) {
    EXPECT_EQ(FormatHundredths(0.0), "0.00");
    EXPECT_EQ(FormatHundredths(-0.001), "0.00");
    EXPECT_EQ(FormatHundredths(-1.0 / 27.0), "-0.04");
    EXPECT_EQ(FormatHundredths(12.5), "12.50");
}

TEST(PointerClicks, CorrelationPanelPicksLagOffsetAndZeroesTheScroll) {
    dsp::ChainControls controls;
    DisplayState display;
    display.CorrelogramScroll = 77;
    EXPECT_TRUE(ButtonReleased(controls, display, 30, 50));
    EXPECT_EQ(controls.LagOffset, 512);
    EXPECT_EQ(display.CorrelogramScroll, 0);
    EXPECT_TRUE(ButtonReleased(controls, display, 30, 561));
    EXPECT_EQ(controls.LagOffset, 1);
}

TEST(PointerClicks, CorrelogramClicksRaiseTheScroll) {
    dsp::ChainControls controls;
    DisplayState display;
    EXPECT_TRUE(ButtonReleased(controls, display, 300, 150));
    EXPECT_TRUE(ButtonReleased(controls, display, 300, 150));
    EXPECT_EQ(display.CorrelogramScroll, 200);
    EXPECT_EQ(controls.LagOffset, 0);
    EXPECT_FALSE(ButtonReleased(controls, display, 300, 250));
    EXPECT_FALSE(ButtonReleased(controls, display, 641, 100));
    EXPECT_EQ(display.CorrelogramScroll, 200);
    // Endless clicking holds at the top of the range instead of wrapping.
    display.CorrelogramScroll = 2147483600;
    ButtonReleased(controls, display, 300, 50);
    EXPECT_EQ(display.CorrelogramScroll, 2147483647);
}

} // namespace
} // namespace display
