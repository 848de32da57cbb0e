// SPDX-License-Identifier: GPL-3.0-or-later
// The acquisition against known channels: STANAG 4285 signals synthesised
// with a known clock error, paths, noise and rate, and the estimates checked
// with a tolerance.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "receiver/analysis/acquisition_monitor.h"
#include "receiver/analysis/clock_estimator.h"
#include "receiver/analysis/recording_survey.h"
#include "receiver/analysis/signal_quality.h"
#include "receiver/dsp/sync_chain.h"
#include "receiver/dsp/tests/yield_count.h"
#include "s4285gen/channels.h"
#include "s4285gen/s4285gen.h"

namespace analysis {
namespace {

namespace fs = std::filesystem;

s4285gen::Config Channel(int32_t mode, std::vector<s4285gen::Path> paths, double snrDb,
                         double clockPpm, uint64_t seed = 1) {
    s4285gen::Config config =
        mode == dsp::ModeNato ? s4285gen::NatoConfig() : s4285gen::AmateurConfig();
    config.Paths = std::move(paths);
    config.SnrDb = snrDb;
    config.ClockPpm = clockPpm;
    config.Seed = seed;
    return config;
}

// `seconds` of the channel through the sync part of the chain; onBlock after
// every block.
template <typename OnBlock>
void Receive(s4285gen::Generator& generator, dsp::SyncChain& chain, double seconds,
             OnBlock onBlock) {
    const auto count = static_cast<int64_t>(seconds * generator.Configuration().SampleRate);
    std::vector<int16_t> buffer(dsp::BlockLen);
    for (int64_t done = 0; done < count; done += dsp::BlockLen) {
        generator.Generate(buffer.data(), buffer.size());
        chain.Feed(buffer.data(), dsp::BlockLen, onBlock);
    }
}

// Acquisition runs a sync chain for every mode and channel it tries, often on a
// machine busy with other recordings, where each yield of the processor can
// cost a whole time slice: it never yields.
TEST(SyncChainRun, NeverGivesItsTimeSliceAway) {
    const long before = dsp::testing::YieldsSoFar();
    s4285gen::Generator generator(Channel(dsp::ModeNato, {{.DelayMs = 1}}, 10, 0));
    dsp::SyncChain chain(dsp::ModeNato, 0.0L);
    Receive(generator, chain, 5, [](const dsp::ChainState&) {});
    EXPECT_EQ(dsp::testing::YieldsSoFar(), before);
}

// ---- Clock error --------------------------------------------------------------

struct ClockCase {
    const char* Name;
    int32_t Mode;
    std::vector<s4285gen::Path> Paths;
    double SnrDb;
    double ClockPpm;      // the card's error
    double CorrectionPpm; // the correction in place while measuring
    double Seconds;
};

void PrintTo(const ClockCase& c, std::ostream* out) {
    *out << c.Name;
}

class ClockErrorTest : public ::testing::TestWithParam<ClockCase> {};

TEST_P(ClockErrorTest, EstimateIsWithinHalfAPpmOfTheTruth) {
    const ClockCase& c = GetParam();
    s4285gen::Generator generator(Channel(c.Mode, c.Paths, c.SnrDb, c.ClockPpm));
    const long double correction = c.CorrectionPpm / 1000000.0L;
    dsp::SyncChain chain(c.Mode, correction);
    ClockEstimator estimator;
    Receive(generator, chain, c.Seconds, [&](const dsp::ChainState& state) {
        estimator.Add(state.Peak.SyncPower, correction, state.SampleRate);
    });
    const ClockEstimate estimate = estimator.Estimate();
    ASSERT_TRUE(estimate.Valid);
    EXPECT_NEAR(estimate.TotalPpm, c.ClockPpm, 0.5);
    EXPECT_NEAR(estimate.ResidualPpm, estimate.TotalPpm - c.CorrectionPpm, 1e-9);
    EXPECT_LE(estimate.UncertaintyPpm, 0.5);
    // The uncertainty is honest: the error lies within a few of it.
    EXPECT_LE(std::abs(estimate.TotalPpm - c.ClockPpm), 4 * estimate.UncertaintyPpm + 0.05);
}

INSTANTIATE_TEST_SUITE_P(
    KnownChannels, ClockErrorTest,
    ::testing::Values(ClockCase{"TwoPathsPlus50",
                                dsp::ModeNato,
                                {{.DelayMs = 1, .DopplerHz = 0.5, .SpreadHz = 0.2},
                                 {.DelayMs = 3, .GainDb = -3, .DopplerHz = -0.3, .SpreadHz = 0.5}},
                                10,
                                50,
                                0,
                                90},
                      ClockCase{"ThreePathsMinus300",
                                dsp::ModeNato,
                                {{.DelayMs = 1, .SpreadHz = 0.2},
                                 {.DelayMs = 3, .GainDb = -3, .SpreadHz = 0.5},
                                 {.DelayMs = 6, .GainDb = -6, .DopplerHz = 1, .SpreadHz = 1}},
                                10,
                                -300,
                                0,
                                90},
                      // Two equal paths fading in turn: the strongest peak jumps between them.
                      ClockCase{"EqualFadingPathsMinus17",
                                dsp::ModeNato,
                                {{.DelayMs = 1, .SpreadHz = 1}, {.DelayMs = 3, .SpreadHz = 1}},
                                10,
                                -17.3,
                                0,
                                90},
                      ClockCase{
                          "AmateurPlus300", dsp::ModeAmateur, {{.DelayMs = 2}}, 0, 300, 0, 60},
                      // With a correction in place the residual is measured and added to it.
                      ClockCase{"ResidualOverACorrection",
                                dsp::ModeNato,
                                {{.DelayMs = 2, .SpreadHz = 0.3}, {.DelayMs = 4, .GainDb = -5}},
                                10,
                                50,
                                47.5,
                                90},
                      ClockCase{"WeakSignal", dsp::ModeNato, {{.DelayMs = 1}}, -8, -2.2, 0, 90}),
    [](const auto& info) { return std::string(info.param.Name); });

// Two paths 0.5 ms apart in one peak, fading slowly (the Good channel): the
// peak leans to whichever is stronger for seconds at a time.  Over four
// minutes the estimate stays within 0.1 ppm, and its stated uncertainty
// covers the error twice over.
TEST(ClockError, GoodChannelIsWithinATenthOfAPpmAndTheUncertaintyCoversIt) {
    for (const double ppm : {0.0, 48.6}) {
        s4285gen::Config config = s4285gen::WattersonConfig(s4285gen::Watterson::Good, 20);
        config.ClockPpm = ppm;
        s4285gen::Generator generator(config);
        dsp::SyncChain chain(dsp::ModeNato, 0.0L);
        ClockEstimator estimator;
        Receive(generator, chain, 240, [&](const dsp::ChainState& state) {
            estimator.Add(state.Peak.SyncPower, 0.0L, state.SampleRate);
        });
        const ClockEstimate estimate = estimator.Estimate();
        ASSERT_TRUE(estimate.Valid);
        const double error = estimate.TotalPpm - ppm;
        EXPECT_LE(std::abs(error), 0.1) << ppm;
        EXPECT_LE(std::abs(error), 2 * estimate.UncertaintyPpm) << ppm;
    }
}

TEST(ClockError, NoiseGivesNoEstimate) {
    s4285gen::Generator generator(Channel(dsp::ModeNato, {{}}, -60, 0));
    dsp::SyncChain chain(dsp::ModeNato, 0.0L);
    ClockEstimator estimator;
    Receive(generator, chain, 60, [&](const dsp::ChainState& state) {
        estimator.Add(state.Peak.SyncPower, 0.0L, state.SampleRate);
    });
    EXPECT_FALSE(estimator.Estimate().Valid);
}

TEST(ClockError, TheCorrectionSplitsIntoWholePpmAndTheSlidersGrid) {
    const auto check = [](double total, long double ppm, int32_t position) {
        const ClockSetting s = SplitClockCorrection(total);
        EXPECT_EQ(s.ClockPpm, ppm) << total;
        EXPECT_EQ(s.SliderPosition, position) << total;
        EXPECT_EQ(s.ClockOffset, (position - 10000) / 200000000.0L) << total;
    };
    check(49.8, 49, 10160);
    check(-12.3, -13, 10140);
    check(0.0, 0, 10000);
    check(0.9999, 1, 10000);      // rounds up to the next whole ppm
    check(-300.002, -300, 10000); // -301 + 0.998: the rest rounds up too
    check(-0.4, -1, 10120);
    ClockEstimate estimate;
    estimate.TotalPpm = -0.01;
    estimate.UncertaintyPpm = 0.24;
    EXPECT_EQ(ClockLine(estimate), "clock: +0.0 ppm (\u00b10.2)");
    estimate.TotalPpm = 49.83;
    EXPECT_EQ(ClockLine(estimate), "clock: +49.8 ppm (\u00b10.2)");
}

// ---- Quality and paths ----------------------------------------------------------

struct PathCase {
    const char* Name;
    std::vector<s4285gen::Path> Paths;
    double SnrDb;
    bool Locks;
    std::vector<double> DelaysMs; // of the further paths after the strongest
};

void PrintTo(const PathCase& c, std::ostream* out) {
    *out << c.Name;
}

class PathTest : public ::testing::TestWithParam<PathCase> {};

TEST_P(PathTest, LockAndFurtherPathsMatchTheChannel) {
    const PathCase& c = GetParam();
    s4285gen::Generator generator(Channel(dsp::ModeNato, c.Paths, c.SnrDb, 0));
    dsp::SyncChain chain(dsp::ModeNato, 0.0L);
    QualityTracker quality;
    int64_t locked = 0, blocks = 0;
    std::vector<int> found(c.DelaysMs.size(), 0);
    int falsePaths = 0;
    double snr = 0;
    Receive(generator, chain, 30, [&](const dsp::ChainState& state) {
        const BlockQuality& q = quality.Add(state.Peak, state.SampleRate);
        ++blocks;
        locked += q.Locked;
        snr += q.PeakSnrDb;
        for (const auto& path : q.Paths) {
            if (!path) continue;
            bool known = false;
            for (size_t i = 0; i < c.DelaysMs.size(); ++i)
                if (std::abs(path->DelayMs - c.DelaysMs[i]) < 0.1) {
                    ++found[i];
                    known = true;
                    EXPECT_LE(path->RelDb, 0.0);
                }
            falsePaths += known ? 0 : 1;
        }
    });
    EXPECT_EQ(locked > blocks / 2, c.Locks) << locked << " of " << blocks;
    // A path is seen in most blocks; never one that is not there (the
    // sequence's repetitions 62 lags from a path are no paths).
    for (size_t i = 0; i < found.size(); ++i)
        EXPECT_GT(found[i], blocks / 2) << c.DelaysMs[i] << " ms";
    EXPECT_LE(falsePaths, blocks / 100);
    if (c.Locks)
        EXPECT_GT(snr / double(blocks), 15.0);
    else
        EXPECT_LT(snr / double(blocks), 12.0);
}

INSTANTIATE_TEST_SUITE_P(
    KnownChannels, PathTest,
    ::testing::Values(
        PathCase{"OnePath", {{.DelayMs = 4}}, 10, true, {}},
        PathCase{"TwoPaths", {{.DelayMs = 1}, {.DelayMs = 3.5, .GainDb = -6}}, 10, true, {2.5}},
        PathCase{"ThreePaths",
                 {{.DelayMs = 2, .GainDb = -4}, {.DelayMs = 5}, {.DelayMs = 9, .GainDb = -8}},
                 15,
                 true,
                 {-3.0, 4.0}},
        PathCase{"NoiseOnly", {{}}, -60, false, {}}),
    [](const auto& info) { return std::string(info.param.Name); });

// The strongest lag of the averaged sync power may wander by LockSpreadLags
// over the lock's blocks and the lock holds; one lag more and it breaks.
TEST(Quality, LockHoldsWhileThePeakWandersWithinTheAllowedLags) {
    const auto unlockedBlocks = [](int32_t step) {
        QualityTracker quality;
        int unlocked = 0;
        for (int block = 0; block < 40; ++block) {
            dsp::PeakState peak;
            peak.SyncPower.fill(1.0);
            peak.SyncPower[block < 16 ? 100 : size_t(100 + step)] = 1000.0;
            const bool locked = quality.Add(peak, 9600).Locked;
            if (block >= LockBlocks && !locked) ++unlocked;
        }
        return unlocked;
    };
    EXPECT_EQ(unlockedBlocks(LockSpreadLags), 0);
    EXPECT_GT(unlockedBlocks(LockSpreadLags + 1), 0);
}

TEST(Quality, SilenceIsNeitherLockedNorAPeak) {
    dsp::PeakState peak; // all powers zero: the search keeps lag 0 for ever
    QualityTracker quality;
    for (int i = 0; i < 50; ++i)
        quality.Add(peak, 9600);
    EXPECT_FALSE(quality.Last().Locked);
    EXPECT_EQ(quality.Last().PeakSnrDb, 0.0);
    EXPECT_FALSE(quality.Last().Paths[0]);
}

// ---- Mode and channel of a recording --------------------------------------------

int RunCommand(const std::string& command) {
    const int status = std::system((command + " 2>/dev/null").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct TrialCase {
    const char* Name;
    const char* Sim; // s4285sim's options after -o FILE
    int32_t Mode;    // of the signal (the recording's own rate)
    bool Signal;
};

void PrintTo(const TrialCase& c, std::ostream* out) {
    *out << c.Name;
}

class ModeTrial : public ::testing::TestWithParam<TrialCase> {};

// The trial of each mode locks as the measurement stage does: a fading
// multipath recording at 5 dB, whose sync peak jumps between its paths in
// half the blocks, locks in nearly all of them in its own mode and is
// found; the other mode's trial, which can no longer come close, stops
// early.  Noise alone locks in no block of either mode and is not found.
TEST_P(ModeTrial, FadingChannelsAreFoundInTheirModeAndNoiseIsNot) {
    const TrialCase& c = GetParam();
    const fs::path dir = fs::temp_directory_path() / "rx_mode_trial";
    fs::create_directories(dir);
    const std::string wav = (dir / (std::string(c.Name) + ".wav")).string();
    ASSERT_EQ(RunCommand(std::string(S4285SIM_PATH) + " -o " + wav + " --seconds 65 " + c.Sim), 0);
    std::string error;
    const auto choice = ChooseModeAndChannel(wav, 0, std::nullopt, TrialSeconds, error);
    fs::remove(wav);
    ASSERT_TRUE(choice) << error;
    ASSERT_EQ(choice->Trials.size(), 2u);
    const TrialResult& own = choice->Trials[0]; // the recording's rate suggests its mode first
    const TrialResult& other = choice->Trials[1];
    EXPECT_EQ(own.Mode, c.Mode);
    EXPECT_EQ(choice->Mode, c.Mode);
    EXPECT_EQ(choice->Found, c.Signal);
    if (c.Signal) {
        EXPECT_GE(own.LockedShare, 0.95);
        EXPECT_LT(other.Blocks, own.Blocks / 5);
    } else {
        EXPECT_LE(own.LockedShare, 0.01);
        EXPECT_LE(other.LockedShare, 0.01);
        EXPECT_GT(other.Blocks, own.Blocks / 2); // the whole minute: nothing to beat
    }
}

INSTANTIATE_TEST_SUITE_P(
    Recordings, ModeTrial,
    ::testing::Values(TrialCase{"PoorNato", "--channel poor --snr 5", dsp::ModeNato, true},
                      TrialCase{"DisturbedAmateur", "--mode amateur --channel disturbed --snr 5",
                                dsp::ModeAmateur, true},
                      TrialCase{"NoiseOnly", "--no-signal --snr 5", dsp::ModeNato, false}),
    [](const auto& info) { return std::string(info.param.Name); });

// ---- The monitor of a running receiver -----------------------------------------

TEST(Monitor, TellsLockOnceEachWayPlacesThePathsAndAppliesTheClockOnce) {
    // Signal, a minute of noise (the transmitter off), the signal again.
    const s4285gen::Config on = Channel(
        dsp::ModeNato, {{.DelayMs = 2, .SpreadHz = 0.2}, {.DelayMs = 5, .GainDb = -6}}, 10, 80);
    s4285gen::Generator signal(on);
    s4285gen::Generator noise(Channel(dsp::ModeNato, {{}}, -60, 0, 7));
    std::vector<std::string> events;
    MonitorOptions options;
    options.AutoClock = true;
    options.AutoPlacePaths = true;
    options.ClockMinSeconds = 60;
    AcquisitionMonitor monitor(options, [&](const std::string& line) { events.push_back(line); });
    dsp::Settings settings;
    dsp::ChainControls controls;
    int placed = 0, applied = 0;
    double placedAt = -1.0; // the strongest path's lag when the paths were first placed
    auto chain = dsp::MakeChain(dsp::ModeNato, controls, settings);
    dsp::DisplayHooks hooks;
    hooks.BlockProcessed = [&](const dsp::ChainState& state) {
        const MonitorChanges changes = monitor.OnBlock(state, settings, controls);
        if (changes.LagOffsetPlaced && placed == 0)
            placedAt = monitor.Quality().Last().SteadyStrongestLag;
        placed += changes.LagOffsetPlaced;
        applied += changes.ClockApplied;
    };
    std::vector<int16_t> buffer(dsp::BlockLen);
    const auto run = [&](s4285gen::Generator& generator, double seconds) {
        for (int64_t n = 0; n < int64_t(seconds * 9600); n += dsp::BlockLen) {
            generator.Generate(buffer.data(), buffer.size());
            dsp::ResampleBuffer(*chain, settings, controls, hooks, buffer.data(),
                                2 * dsp::BlockLen);
        }
    };
    run(signal, 20);
    EXPECT_TRUE(monitor.Locked());
    ASSERT_EQ(placed, 1);
    // The strongest path sits 10 lags above the bottom of the correlogram.
    EXPECT_EQ(controls.LagOffset, LagOffsetFor(placedAt));
    EXPECT_NEAR(LagDifference(double(controls.LagOffset + PathPlacementLags), placedAt), 0.0, 0.5);

    run(signal, 60); // the clock is applied after a minute ...
    ASSERT_EQ(applied, 1);
    EXPECT_NEAR(double(dsp::ClockCorrection(settings) * 1e6L), 80.0, 0.5);
    EXPECT_EQ(placed, 2); // ... and the paths placed again, no longer drifting
    run(noise, 20);
    EXPECT_FALSE(monitor.Locked());
    run(signal, 20);
    EXPECT_TRUE(monitor.Locked());
    EXPECT_EQ(applied, 1);

    ASSERT_EQ(events.size(), 6u);
    EXPECT_EQ(events[0].rfind("locked: sync peak at lag ", 0), 0u) << events[0];
    EXPECT_EQ(events[1].rfind("paths placed: lag offset ", 0), 0u) << events[1];
    ASSERT_EQ(events[2].rfind("clock: +", 0), 0u) << events[2];
    EXPECT_NEAR(std::stod(events[2].substr(7)), 80.0, 0.5) << events[2];
    EXPECT_NE(events[2].find(" ppm (\u00b1"), std::string::npos) << events[2];
    EXPECT_EQ(events[3].rfind("paths placed: ", 0), 0u) << events[3];
    EXPECT_EQ(events[4], "lock lost: no steady sync peak for 3 s");
    EXPECT_EQ(events[5].rfind("lock regained: sync peak at lag ", 0), 0u) << events[5];
}

TEST(Monitor, TheOperatorsPlacingStopsTheAutomaticOneAndTheLevelWarnsOfClipping) {
    AcquisitionMonitor monitor(MonitorOptions{.AutoPlacePaths = true});
    monitor.OperatorPlacedPaths();
    s4285gen::Config config = Channel(dsp::ModeNato, {{.DelayMs = 3}}, 20, 0);
    config.LevelDbfs = 0; // peaks well beyond full scale
    s4285gen::Generator generator(config);
    dsp::Settings settings;
    dsp::ChainControls controls;
    controls.LagOffset = 123;
    auto chain = dsp::MakeChain(dsp::ModeNato, controls, settings);
    dsp::DisplayHooks hooks;
    hooks.BlockProcessed = [&](const dsp::ChainState& state) {
        EXPECT_FALSE(monitor.OnBlock(state, settings, controls).LagOffsetPlaced);
    };
    std::vector<int16_t> buffer(dsp::BlockLen);
    for (int b = 0; b < 150; ++b) {
        generator.Generate(buffer.data(), buffer.size());
        dsp::ResampleBuffer(*chain, settings, controls, hooks, buffer.data(), 2 * dsp::BlockLen);
    }
    EXPECT_TRUE(monitor.Locked());
    EXPECT_EQ(controls.LagOffset, 123);
    EXPECT_TRUE(monitor.Level().Clipping);
    EXPECT_NEAR(monitor.Level().PeakDbfs, 0.0, 0.01);
    // Find paths still places them on request.
    EXPECT_TRUE(monitor.PlacePaths(controls));
    EXPECT_EQ(controls.LagOffset, LagOffsetFor(monitor.Quality().Last().SteadyStrongestLag));
}

} // namespace
} // namespace analysis

namespace analysis {
namespace {

// The measurement stage's presence lock is the monitor's lock: a signal
// whose paths fade in turn (three equal paths, 1 Hz spread, 5 dB) is locked
// once and its paths placed; six seconds the input filled with silence (a
// network loss; the signal itself goes on) lose the lock and it comes back,
// where the sync peak alone saw nothing; noise alone is never locked.
TEST(Monitor, TheMeasurementsPresenceLockIsTheLock) {
    for (const bool signal : {true, false}) {
        s4285gen::Generator generator(signal ? Channel(dsp::ModeNato,
                                                       {{.DelayMs = 1, .SpreadHz = 1},
                                                        {.DelayMs = 2.5, .SpreadHz = 1},
                                                        {.DelayMs = 4, .SpreadHz = 1}},
                                                       5, 0, 3)
                                             : Channel(dsp::ModeNato, {{}}, -60, 0, 7));
        std::vector<std::string> events, peakEvents;
        const MonitorOptions options{.AutoPlacePaths = true};
        AcquisitionMonitor monitor(options,
                                   [&](const std::string& line) { events.push_back(line); });
        AcquisitionMonitor peakOnly(options,
                                    [&](const std::string& line) { peakEvents.push_back(line); });
        MeasurementStage stage;
        dsp::Settings settings;
        dsp::ChainControls controls, peakControls;
        auto chain = dsp::MakeChain(dsp::ModeNato, controls, settings);
        int64_t block = 0;
        dsp::DisplayHooks hooks;
        hooks.BlockProcessed = [&](const dsp::ChainState& state) {
            const double seconds = double(block++) * dsp::BlockLen / 9600.0;
            const BlockInputFacts facts{.Fill = seconds >= 40.0 && seconds < 46.0};
            const BlockMeasurement& m = stage.Add(state, settings, facts);
            monitor.OnBlock(state, settings, controls, &m);
            peakOnly.OnBlock(state, settings, peakControls);
        };
        std::vector<int16_t> buffer(dsp::BlockLen);
        for (int64_t n = 0; n < 60 * 9600; n += dsp::BlockLen) {
            generator.Generate(buffer.data(), buffer.size());
            dsp::ResampleBuffer(*chain, settings, controls, hooks, buffer.data(),
                                2 * dsp::BlockLen);
        }
        if (!signal) {
            EXPECT_TRUE(events.empty()) << events.front();
            continue;
        }
        ASSERT_EQ(events.size(), 4u) << events.back();
        EXPECT_EQ(events[0].rfind("locked: sync peak at lag ", 0), 0u) << events[0];
        EXPECT_EQ(events[1].rfind("paths placed: lag offset ", 0), 0u) << events[1];
        EXPECT_EQ(events[2], "lock lost: no steady sync peak for 3 s");
        EXPECT_EQ(events[3].rfind("lock regained: ", 0), 0u) << events[3];
        EXPECT_TRUE(monitor.Locked());
        EXPECT_EQ(peakEvents.size(), 2u) << peakEvents.back();
    }
}

} // namespace
} // namespace analysis
