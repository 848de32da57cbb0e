// SPDX-License-Identifier: GPL-3.0-or-later
// What each block's input held that the chain does not keep: raw samples at
// full scale and filled losses land in the block whose samples they are, and
// the measurement stage turns them into the block's flags.
#include "receiver/session/block_input.h"

#include <gtest/gtest.h>

#include <vector>

#include "s4285gen/s4285gen.h"

namespace session {
namespace {

TEST(BlockInputWatch, FullScaleSamplesAndFillsFallInTheBlockThatHoldsThem) {
    auto chain = dsp::MakeChainState();
    dsp::Settings settings;
    dsp::ChainControls controls;
    dsp::SetSignalParameters(*chain, controls, settings);
    dsp::SetReceiverMode(*chain, dsp::ModeNato);
    dsp::BuildSignalTables(chain->Tables, dsp::TableBuild::StraightThrough);
    s4285gen::Config config = s4285gen::NatoConfig();
    config.LevelDbfs = -20;
    s4285gen::Generator generator(config);

    // The first block takes input samples 0..1022, each later one 1024 more:
    // block b ends before sample 1024 (b + 1) - 1.  Buffers of 700 samples,
    // so that blocks straddle them.
    BlockInputWatch watch;
    watch.InputOpened();
    watch.NoteFill(5100, 100); // blocks 4 (4095..5118) and 5
    watch.NoteFill(9000, 1);   // block 8 (8191..9214)
    const std::vector<int64_t> fullScale = {1022, 1023, 1024, 3000, 3001, 3002};
    std::vector<analysis::BlockInputFacts> facts;
    analysis::MeasurementStage stage;
    std::vector<uint32_t> flags;
    dsp::DisplayHooks hooks;
    hooks.BlockProcessed = [&](const dsp::ChainState& done) {
        facts.push_back(watch.TakeBlock(done));
        flags.push_back(stage.Add(done, settings, facts.back()).Flags);
    };
    std::vector<int16_t> buffer(700);
    for (int64_t start = 0; start < 14 * 700; start += 700) {
        generator.Generate(buffer.data(), buffer.size());
        for (const int64_t at : fullScale)
            if (at >= start && at < start + 700)
                buffer[size_t(at - start)] = at % 2 == 0 ? 32767 : -32768;
        dsp::ResampleBuffer(*chain, settings, controls, hooks, buffer.data(), 2 * 700);
        watch.EndBuffer(*chain, 700);
    }
    ASSERT_GE(facts.size(), 9u);
    const std::vector<int32_t> clipped = {1, 2, 3, 0, 0, 0, 0, 0, 0};
    const std::vector<bool> filled = {false, false, false, false, true, true, false, false, true};
    for (size_t b = 0; b < clipped.size(); ++b) {
        EXPECT_EQ(facts[b].ClippedSamples, clipped[b]) << b;
        EXPECT_EQ(facts[b].Fill, filled[b]) << b;
        // The stage's flags carry them; its measurements read three blocks.
        EXPECT_EQ((flags[b] & analysis::FlagFill) != 0, filled[b] || (b >= 4 && b <= 7)) << b;
        EXPECT_EQ((flags[b] & analysis::FlagClipping) != 0, b <= 4) << b;
    }
}

} // namespace
} // namespace session
