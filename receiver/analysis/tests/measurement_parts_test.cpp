// SPDX-License-Identifier: GPL-3.0-or-later
// The parts of the measurement that are easy to get subtly wrong, each on its
// own: the fit of the pulse shape, the repetitions of the sequence, the flags,
// the sign and the ambiguity of the Doppler shift, the tables' columns, and
// the clock's jackknife.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "receiver/analysis/block_table.h"
#include "receiver/analysis/channel_table.h"
#include "receiver/analysis/clock_estimator.h"
#include "receiver/analysis/measurement.h"
#include "receiver/analysis/path_search.h"
#include "receiver/analysis/pulse_shape.h"
#include "receiver/analysis/signal_quality.h"
#include "s4285gen/s4285gen.h"

namespace analysis {
namespace {

// A profile of paths (lag, power) over a floor of 1, as the sync power of a
// long average would hold them, with the paths' mean interference `cross`
// between the first two.
dsp::SyncPowerArray ProfileOf(const std::vector<std::pair<double, double>>& paths,
                              double cross = 0.0) {
    const PulseShape& shape = ChainPulseShape();
    dsp::SyncPowerArray profile;
    profile.fill(1.0);
    for (int32_t l = 0; l < dsp::BasebandLen; ++l) {
        for (const auto& [lag, power] : paths)
            profile[size_t(l)] += power * shape.Power(LagDifference(double(l), lag));
        if (paths.size() >= 2)
            profile[size_t(l)] += cross *
                                  shape.Amplitude(LagDifference(double(l), paths[0].first)) *
                                  shape.Amplitude(LagDifference(double(l), paths[1].first));
    }
    return profile;
}

// The paths as the stage finds them in a long average: a second time with
// the floor taken away from the paths of the first.
PathList FindTwice(const dsp::SyncPowerArray& profile, const RepeatEvidence& evidence = {}) {
    PathList paths;
    for (int round = 0; round < 2; ++round)
        paths = FindPaths(ChainPulseShape(), profile, FloorAwayFrom(profile, paths), evidence, {});
    return paths;
}

TEST(PulseFit, OnePathBetweenLagsIsFoundWhereItLies) {
    const dsp::SyncPowerArray profile = ProfileOf({{100.375, 400.0}});
    const PathList paths = FindTwice(profile);
    ASSERT_EQ(paths.Count, 1);
    EXPECT_NEAR(paths.Paths[0].Lag, 100.375, 0.07);
    EXPECT_NEAR(paths.Paths[0].Power, 400.0, 20.0);
}

// Paths 2.4 lags (0.5 ms) apart make one peak; the shape tells them apart,
// whether they add or cancel between them (the interference of a long
// average: a quarter of the most they could).
TEST(PulseFit, TwoPathsInOnePeakAreResolved) {
    for (double cross : {0.0, 150.0, -150.0}) {
        const dsp::SyncPowerArray profile = ProfileOf({{200.0, 400.0}, {202.4, 200.0}}, cross);
        const PathList paths = FindTwice(profile);
        ASSERT_EQ(paths.Count, 2) << cross;
        EXPECT_NEAR(paths.Paths[0].Lag, 200.0, 0.2) << cross;
        EXPECT_NEAR(paths.Paths[1].Lag, 202.4, 0.2) << cross;
        EXPECT_NEAR(paths.Paths[1].Power / paths.Paths[0].Power, 0.5, 0.1) << cross;
    }
}

// The first-period correlation's powers at given lags, its floor elsewhere.
class GivenPowers : public CorrelationPowers {
  public:
    explicit GivenPowers(std::map<int32_t, double> at) : at_(std::move(at)) {}
    double Power(int32_t lag) const override {
        const auto it = at_.find(lag);
        return it == at_.end() ? 1.0 : it->second;
    }

  private:
    std::map<int32_t, double> at_;
};

// A path at 300 and its repetitions 62 and 124 lags either side, the one 62
// lags late stronger in this average than the path itself (fast fading).  The
// first-period correlation holds a full period at the path (300) and a period
// later (362), only data a period earlier (238): the path is at 300.
TEST(Repetitions, ThePathIsWhereTheFirstPeriodIsNotTheStrongestPeak) {
    const dsp::SyncPowerArray profile =
        ProfileOf({{300.0, 400.0}, {362.0, 450.0}, {238.0, 150.0}, {424.0, 50.0}, {176.0, 50.0}});
    const GivenPowers powers({{300, 17.0}, {362, 17.0}, {424, 7.0}});
    RepeatEvidence evidence;
    evidence.Powers = &powers;
    evidence.Floor = 1.0;
    const PathList paths = FindTwice(profile, evidence);
    ASSERT_EQ(paths.Count, 1);
    EXPECT_NEAR(paths.Paths[0].Lag, 300.0, 0.2);
    EXPECT_GE(paths.GhostCount, 2);
    // Without that evidence the stronger repetition would have been taken.
    const PathList blind = FindTwice(profile);
    ASSERT_EQ(blind.Count, 1);
    EXPECT_NEAR(blind.Paths[0].Lag, 362.0, 0.2);
}

// ---- Flags --------------------------------------------------------------------------

// A locked signal, then blocks whose input the test spoils: the flags each
// spoiled block (and the two after it, whose measurements read its baseband)
// carries, and whether it stays locked.
struct Spoiled {
    uint32_t Flags = 0;
    bool Locked = true;
};

Spoiled Spoil(const std::function<void(dsp::SampleBlockArray&)>& spoil,
              BlockInputFacts facts = {}) {
    s4285gen::Config config = s4285gen::NatoConfig();
    config.Paths = {{.DelayMs = 3}};
    config.SnrDb = 20;
    s4285gen::Generator generator(config);
    dsp::Settings settings;
    dsp::ChainControls controls;
    auto chain = dsp::MakeChain(dsp::ModeNato, controls, settings);
    MeasurementStage stage;
    std::vector<int16_t> buffer(dsp::BlockLen);
    Spoiled result;
    int block = 0;
    dsp::DisplayHooks hooks;
    hooks.BlockProcessed = [&](const dsp::ChainState& state) {
        const bool spoiled = block >= 60 && block < 63;
        const BlockMeasurement& m =
            stage.Add(state, settings, block == 60 ? facts : BlockInputFacts{});
        if (block == 59) {
            EXPECT_TRUE(m.Locked);
        }
        if (spoiled) {
            result.Flags |= m.Flags;
            result.Locked = result.Locked && m.Locked;
        }
        if (block >= 64 && block < 70) {
            EXPECT_EQ(m.Flags & ~FlagGhostRejected, 0u) << block;
        }
        ++block;
    };
    // The chain's ResampleBuffer with the spoiling put between intake and block.
    for (int b = 0; b < 70; ++b) {
        generator.Generate(buffer.data(), buffer.size());
        dsp::ResampleBlocks(*chain, 0.0L, 1.0f, buffer.data(), 2 * dsp::BlockLen, [&] {
            if (block == 60) spoil(chain->Intake.SampleBlock);
            dsp::ProcessBlock(*chain, settings, controls, hooks);
        });
    }
    return result;
}

TEST(Flags, ASilentOrHeldInputIsADropoutAndNeverLocked) {
    const Spoiled silent =
        Spoil([](dsp::SampleBlockArray& b) { std::fill(b.begin() + 200, b.begin() + 600, 0.0f); });
    EXPECT_EQ(FlagWords(silent.Flags), "dropout");
    EXPECT_FALSE(silent.Locked);
    const Spoiled held = Spoil(
        [](dsp::SampleBlockArray& b) { std::fill(b.begin() + 300, b.begin() + 340, b[299]); });
    EXPECT_EQ(FlagWords(held.Flags), "dropout");
    EXPECT_FALSE(held.Locked);
}

TEST(Flags, FillFromTheCallerIsNeverLockedAndClippingIsSeenOrTold) {
    BlockInputFacts fill;
    fill.Fill = true;
    const Spoiled filled = Spoil([](dsp::SampleBlockArray&) {}, fill);
    EXPECT_EQ(FlagWords(filled.Flags), "fill");
    EXPECT_FALSE(filled.Locked);

    const Spoiled fullScale =
        Spoil([](dsp::SampleBlockArray& b) { b[10] = 1.0f, b[500] = -1.0000305f; });
    EXPECT_EQ(FlagWords(fullScale.Flags), "clipping");
    EXPECT_TRUE(fullScale.Locked);
    // A receiver that clips at -10 dBFS: the signal (RMS -16 dBFS) reaches it
    // many times a block.
    const Spoiled flatTop = Spoil([](dsp::SampleBlockArray& b) {
        for (float& v : b)
            v = std::clamp(v, -0.3f, 0.3f);
    });
    EXPECT_EQ(FlagWords(flatTop.Flags & ~FlagGhostRejected), "clipping");
    BlockInputFacts clipped;
    clipped.ClippedSamples = 3;
    EXPECT_EQ(FlagWords(Spoil([](dsp::SampleBlockArray&) {}, clipped).Flags), "clipping");
}

// A network input that put a loss's silence one datagram early: the datagram
// that came before the loss follows the silence, where the lost one was. The
// rows after the fill must not be locked at the lag that shift makes: for a
// few blocks after a fill a chain peak off every path is not a measurement.
TEST(Flags, AfterAFillAPeakOffThePathsIsNotLocked) {
    constexpr int64_t datagram = 205; // 1024 samples at 48000/s, at the chain's rate
    int64_t lockedAway = 0, rowsAfter = 0;
    for (int64_t at = 0; at < dsp::BlockLen; at += 16) {
        s4285gen::Config config = s4285gen::NatoConfig();
        config.Paths = {{.DelayMs = 3}};
        config.SnrDb = 20;
        s4285gen::Generator generator(config);
        std::vector<int16_t> sent(size_t(76 * dsp::BlockLen));
        generator.Generate(sent.data(), sent.size());
        const int64_t silence = 58 * dsp::BlockLen + at;
        std::vector<int16_t> made = sent;
        std::fill_n(made.begin() + silence, datagram, int16_t{0});
        std::copy_n(sent.begin() + silence, datagram, made.begin() + silence + datagram);

        dsp::Settings settings;
        dsp::ChainControls controls;
        auto chain = dsp::MakeChain(dsp::ModeNato, controls, settings);
        MeasurementStage stage;
        int64_t block = 0;
        int32_t lag = -1;
        dsp::DisplayHooks hooks;
        hooks.BlockProcessed = [&](const dsp::ChainState& state) {
            const int64_t first = block * dsp::BlockLen - 2, end = first + dsp::BlockLen + 2;
            const BlockInputFacts facts{.Fill = first < silence + datagram && end > silence};
            const BlockMeasurement& m = stage.Add(state, settings, facts);
            if (block == 50) lag = state.Peak.PeakLag;
            if (block > 58) {
                ++rowsAfter;
                lockedAway += m.Locked && std::abs(state.Peak.PeakLag - lag) > 1;
            }
            ++block;
        };
        for (size_t b = 0; b + dsp::BlockLen <= made.size(); b += dsp::BlockLen)
            dsp::ResampleBuffer(*chain, settings, controls, hooks, &made[b], 2 * dsp::BlockLen);
    }
    EXPECT_GT(rowsAfter, 200);
    EXPECT_EQ(lockedAway, 0);
}

TEST(Flags, WordsComeInTheirOrderSpaceSeparated) {
    EXPECT_EQ(FlagWords(0), "");
    EXPECT_EQ(FlagWords(FlagGhostRejected | FlagDropout | FlagFill), "dropout fill ghost-rejected");
    EXPECT_EQ(FlagWords(FlagClipping | FlagInterference), "interference clipping");
}

// ---- The Doppler's sign and its ambiguity ---------------------------------------------

// One steady path f Hz above the carrier (s4285sim's sign): the minute's shift
// is +f, also beyond half the block rate (4.69 Hz), where the block rate alone
// would take it for f - 9.375.
class PathShift : public ::testing::TestWithParam<double> {};

TEST_P(PathShift, ReadsTheGeneratorsShiftWithItsSign) {
    s4285gen::Config config = s4285gen::NatoConfig();
    config.Paths = {{.DelayMs = 2, .DopplerHz = GetParam(), .SpreadHz = 0.05}};
    config.SnrDb = 20;
    s4285gen::Generator generator(config);
    dsp::Settings settings;
    dsp::ChainControls controls;
    auto chain = dsp::MakeChain(dsp::ModeNato, controls, settings);
    MeasurementStage stage;
    dsp::DisplayHooks hooks;
    hooks.BlockProcessed = [&](const dsp::ChainState& state) { stage.Add(state, settings); };
    std::vector<int16_t> buffer(dsp::BlockLen);
    for (int b = 0; b < 300; ++b) {
        generator.Generate(buffer.data(), buffer.size());
        dsp::ResampleBuffer(*chain, settings, controls, hooks, buffer.data(), 2 * dsp::BlockLen);
    }
    const ChannelRow row = stage.FinishMinute();
    ASSERT_TRUE(row.Paths[0] && row.Paths[0]->DopplerHz) << FormatChannelRow(row);
    EXPECT_NEAR(*row.Paths[0]->DopplerHz, GetParam(), 0.05);
}

INSTANTIATE_TEST_SUITE_P(AboveAndBelowTheCarrier, PathShift,
                         ::testing::Values(1.5, -1.5, 6.2, -7.7), [](const auto& info) {
                             return (info.param > 0 ? "Plus" : "Minus") +
                                    std::to_string(int(std::abs(info.param) * 10)) + "Tenths";
                         });

// ---- The tables ---------------------------------------------------------------------

TEST(Tables, BlockTableAppendsTheMeasurementsAfterTheChainsColumns) {
    EXPECT_EQ(BlockTableHeader(), "block,time_s,peak_lag,doppler_hz,tune_hz,peak_snr_db,locked,"
                                  "path2_delay_ms,path2_rel_db,path3_delay_ms,path3_rel_db,"
                                  "snr_db,flags,path1_lag,path1_dbfs,path4_delay_ms,path4_rel_db");
    auto chain = dsp::MakeChainState();
    chain->Peak.PeakLag = 75;
    chain->Peak.DopplerHz = -0.25;
    BlockQuality quality;
    quality.PeakSnrDb = 17.5;
    quality.Locked = false;
    BlockMeasurement m;
    m.Locked = true;
    m.SnrDb = 12.345;
    m.Flags = FlagInterference | FlagGhostRejected;
    m.PathCount = 4;
    m.Paths = {MeasuredPath{13.25, 0.0, 0.0}, MeasuredPath{18.0, 0.99, -1.5},
               MeasuredPath{40.0, 5.6, -7.25}, MeasuredPath{9.0, -0.875, -12.0}};
    m.Path1Dbfs = -21.5;
    EXPECT_EQ(FormatBlockRow(MakeBlockRow(*chain, quality, 3, 1.5, &m)),
              "3,1.500000,75,-0.25,-1,17.50,1,0.990,-1.50,5.600,-7.25,12.35,"
              "interference ghost-rejected,13.25,-21.50,-0.875,-12.00");
    // Without a measurement the chain's columns as before, the new ones empty.
    quality.Paths[0] = FurtherPath{2.5, -3.0};
    EXPECT_EQ(FormatBlockRow(MakeBlockRow(*chain, quality, 3, 1.5)),
              "3,1.500000,75,-0.25,-1,17.50,0,2.500,-3.00,,,,,,,,");
}

TEST(Tables, ChannelRowLeavesMissingValuesEmpty) {
    EXPECT_EQ(ChannelTableHeader(),
              "utc,start_s,blocks,locked_share,snr_db,multipath_spread_ms,rms_delay_spread_ms,"
              "path1_delay_ms,path1_rel_db,path1_doppler_hz,path1_doppler_spread_hz,"
              "path2_delay_ms,path2_rel_db,path2_doppler_hz,path2_doppler_spread_hz,"
              "path3_delay_ms,path3_rel_db,path3_doppler_hz,path3_doppler_spread_hz,"
              "path4_delay_ms,path4_rel_db,path4_doppler_hz,path4_doppler_spread_hz");
    ChannelRow row;
    row.Utc = "2026-12-07T14:05:00Z";
    row.StartS = 60;
    row.Blocks = 563;
    row.LockedShare = 0.5;
    row.SnrDb = 14.0;
    row.MultipathSpreadMs = 2.0;
    row.RmsDelaySpreadMs = 1.0;
    row.Paths[0] = ChannelPath{0.0, 0.0, 0.25, 0.5};
    row.Paths[1] = ChannelPath{2.0, -1.5, std::nullopt, std::nullopt};
    EXPECT_EQ(FormatChannelRow(row), "2026-12-07T14:05:00Z,60.000,563,0.500,14.00,2.000,1.000,"
                                     "0.000,0.00,0.250,0.500,2.000,-1.50,,,,,,,,,,");
}

// ---- The clock's jackknife -------------------------------------------------------------

// Six points (t, y) = (0, 0) (1, 1) (2, 2) (3, 3) (4, 4) (5, 6) in three
// stretches of two.  The slope without each stretch:
//   without t = 0, 1: (2,2) (3,3) (4,4) (5,6): Sxy 6.5 / Sxx 5 = 13/10
//   without t = 2, 3: (0,0) (1,1) (4,4) (5,6): Sxy 19.5 / Sxx 17 = 39/34
//   without t = 4, 5: (0,0) (1,1) (2,2) (3,3): 1
// Their mean is 293/255; the deviations are 77/510, -1/510 and -76/510, and
// (G - 1) / G x the sum of their squares = 2/3 x 11706 / 260100 = 1951/65025.
TEST(ClockJackknife, SlopeVarianceIsTheOneWorkedOutByHand) {
    EXPECT_NEAR(JackknifeSlopeVariance({0, 1, 2, 3, 4, 5}, {0, 1, 2, 3, 4, 6}, 3), 1951.0 / 65025.0,
                1e-15);
    // Points on a line: every stretch left out gives the same slope.
    EXPECT_NEAR(JackknifeSlopeVariance({0, 1, 2, 3, 4, 5}, {1, 3, 5, 7, 9, 11}, 3), 0.0, 1e-20);
}

// ---- The noise floor's median, as nth_element has always given it -----------------

// NoiseFloor, as it was written: every second lag outside the guards around
// the peak and its repetitions, as floats, the middle one by nth_element.
double NoiseFloorByNthElement(const dsp::SyncPowerArray& power, int32_t peakLag) {
    std::array<bool, dsp::BasebandLen> masked{};
    for (int32_t repeat = -2; repeat <= 2; ++repeat)
        for (int32_t d = -PeakGuardLags; d <= PeakGuardLags; ++d)
            masked[size_t(((peakLag + repeat * 62 + d) % 512 + 512) % 512)] = true;
    std::vector<float> away;
    for (size_t lag = 0; lag < 512; lag += 2)
        if (!masked[lag]) away.push_back(float(power[lag]));
    if (away.empty()) return 0.0;
    std::nth_element(away.begin(), away.begin() + long(away.size() / 2), away.end());
    return away[away.size() / 2];
}

TEST(NoiseFloor, MedianIsExactlyTheOneNthElementGives) {
    std::mt19937 rng(17);
    std::exponential_distribution<double> power(1.0);
    std::uniform_int_distribution<int> lag(0, 511), level(0, 3);
    for (int trial = 0; trial < 400; ++trial) {
        dsp::SyncPowerArray p{};
        for (double& v : p) {
            // Exponential values, with zeros, repeats of one value, and values
            // of very different sizes among them.
            switch (level(rng)) {
            case 0:
                v = power(rng) * 1e-12;
                break;
            case 1:
                v = trial % 5 == 0 ? 0.0 : power(rng);
                break;
            case 2:
                v = trial % 3 == 0 ? 0.25 : power(rng) * 1e6;
                break;
            default:
                v = power(rng);
            }
        }
        const int32_t peak = lag(rng);
        ASSERT_EQ(NoiseFloor(p, peak), NoiseFloorByNthElement(p, peak)) << trial;
    }
    const dsp::SyncPowerArray zeros{};
    EXPECT_EQ(NoiseFloor(zeros, 3), 0.0);
}

} // namespace
} // namespace analysis
