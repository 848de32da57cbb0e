// SPDX-License-Identifier: GPL-3.0-or-later
// Settings files edited by hand can hold any number: values beyond the range of
// the type, opposite infinities that make the clock correction NaN, gains that
// overflow the correlator.  The chain and every painter keep running on them
// (no undefined behaviour under the sanitizers) and the grams stay grey levels.
#include "hardening_support.h"

#include "receiver/display/display_state.h"
#include "receiver/display/painters.h"
#include "receiver/dsp/chain.h"
#include "receiver/session/settings_file.h"

#include <random>

namespace hardening {
namespace {

void RunChain(dsp::Settings settings, int64_t blockCount) {
    dsp::ChainControls controls;
    auto chain = dsp::MakeChain(dsp::ModeNato, controls, settings);
    display::DisplayState display;
    dsp::DisplayHooks hooks = display::MakeDisplayHooks(display, settings, controls);
    int64_t blocks = 0;
    const auto tune = hooks.TuneIndicator;
    hooks.TuneIndicator = [&](int32_t hz) {
        tune(hz);
        ++blocks;
    };
    s4285gen::Generator generator(s4285gen::LiveDemoConfig(9600));
    std::vector<int16_t> buffer(dsp::BlockLen);
    for (int64_t i = 0; i < blockCount * 2 && blocks < blockCount; ++i) {
        generator.Generate(buffer.data(), buffer.size());
        dsp::ResampleBuffer(*chain, settings, controls, hooks, buffer.data(), 2 * dsp::BlockLen);
    }
    EXPECT_GT(blocks, 0);
    // The painters still draw on their panels.
    EXPECT_FALSE(display.CorrelogramImage.Image().isNull());
}

TEST(ExtremeSettings, ChainAndPaintersRunOnWhateverTheFileHolds) {
    const char* files[] = {
        "1e5000\r\n-1e5000\r\n1\r\n1\r\n1\r\n1\r\n", // opposite infinities: NaN correction
        "-1e5000\r\n-1e5000\r\n1e38\r\n1e38\r\n1e38\r\n1e38\r\n", // huge gains
        "0.49\r\n500000\r\n1e-45\r\n1e-45\r\n1e-45\r\n1e-45\r\n", // tiny gains, absurd clock
        "1e4000,1e-4000,3.4e38 3.4e38,3.4e38\t,3.4e38",           // one line
    };
    for (const char* text : files) {
        SCOPED_TRACE(text);
        RunChain(session::ParseSettings(text), 300);
    }
}

} // namespace
} // namespace hardening
