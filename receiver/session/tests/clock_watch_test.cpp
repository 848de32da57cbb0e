// SPDX-License-Identifier: GPL-3.0-or-later
// Steps of the wall clock against a clock that never steps, with both clocks
// and the kernel's synchronisation state faked.
#include <gtest/gtest.h>

#include <QStringList>

#include "receiver/analysis/measurement.h"
#include "receiver/session/clock_watch.h"

namespace {

struct FakeClocks {
    int64_t WallMs = 1796000000000; // 2026-12-01
    int64_t SteadyMs = 5000;
    bool Synchronised = true;
    QStringList Told;

    session::ClockWatch Watch() {
        return session::ClockWatch({[this] { return WallMs; }, [this] { return SteadyMs; },
                                    [this] { return Synchronised; }},
                                   [this](const QString& text) { Told << text; });
    }
    // A block's worth of time on both clocks.
    void Tick(int64_t ms = 107) {
        WallMs += ms;
        SteadyMs += ms;
    }
};

struct StepCase {
    int64_t StepMs;
    const char* Told; // the size as told; empty when no step is to be seen
};

class ClockSteps : public ::testing::TestWithParam<StepCase> {};

TEST_P(ClockSteps, AreToldOnceWithTheirSizeAndFlagTheFirstRowAfter) {
    FakeClocks clocks;
    session::ClockWatch watch = clocks.Watch();
    for (int i = 0; i < 50; ++i, clocks.Tick())
        EXPECT_EQ(watch.Check(), 0u);
    clocks.WallMs += GetParam().StepMs;
    const bool step = *GetParam().Told != '\0';
    EXPECT_EQ(watch.Check(), step ? analysis::FlagClockStep : 0u);
    for (int i = 0; i < 50; ++i) {
        clocks.Tick();
        EXPECT_EQ(watch.Check(), 0u);
    }
    ASSERT_EQ(clocks.Told.size(), step ? 1 : 0) << clocks.Told.join(u'\n').toStdString();
    if (step) {
        EXPECT_TRUE(clocks.Told.front().contains(QString::fromLatin1(GetParam().Told)))
            << clocks.Told.front().toStdString();
        EXPECT_EQ(watch.LastStepMs(), GetParam().StepMs);
    }
    EXPECT_EQ(watch.Steps(), step ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, ClockSteps,
    ::testing::Values(StepCase{3 * 3600 * 1000, "stepped +3 h 00 min 00.0 s"},
                      StepCase{-3600 * 1000, "stepped -1 h 00 min 00.0 s"},
                      StepCase{-110 * 1000, "stepped -1 min 50.0 s"},
                      // a size that rounds up into the next minute
                      StepCase{-3599960, "stepped -1 h 00 min 00.0 s"},
                      StepCase{59960, "stepped +1 min 00.0 s"}, StepCase{1500, "stepped +1.5 s"},
                      StepCase{-2 * 86400 * 1000LL, "stepped -48 h 00 min 00.0 s"},
                      StepCase{400, ""}, StepCase{-900, ""}));

TEST(ClockWatch, AClockSlewedSlowlyIsNoStep) {
    FakeClocks clocks;
    session::ClockWatch watch = clocks.Watch();
    // NTP slewing by 0.5 ms a block: minutes later many seconds apart, never a step.
    for (int i = 0; i < 20000; ++i) {
        clocks.Tick();
        clocks.WallMs += i % 2;
        EXPECT_EQ(watch.Check(), 0u) << i;
    }
    EXPECT_TRUE(clocks.Told.isEmpty());
}

TEST(ClockWatch, RowsAreFlaggedWhileTheClockIsUnsynchronisedAndTheChangesAreToldOnce) {
    FakeClocks clocks;
    clocks.Synchronised = false;
    session::ClockWatch watch = clocks.Watch();
    EXPECT_FALSE(watch.Synchronised()); // known for the start-up line
    for (int i = 0; i < 30; ++i, clocks.Tick())
        EXPECT_EQ(watch.Check(), analysis::FlagClockUnsynced) << i;
    EXPECT_TRUE(clocks.Told.isEmpty()); // the start-up line says it
    // NTP answers: the clock jumps and is synchronised from then on.
    clocks.WallMs += 3 * 3600 * 1000;
    clocks.Synchronised = true;
    clocks.Tick(1000);
    EXPECT_EQ(watch.Check(), analysis::FlagClockStep);
    for (int i = 0; i < 30; ++i, clocks.Tick())
        EXPECT_EQ(watch.Check(), 0u);
    clocks.Synchronised = false;
    uint32_t seen = 0;
    for (int i = 0; i < 30; ++i, clocks.Tick())
        seen |= watch.Check();
    EXPECT_EQ(seen, analysis::FlagClockUnsynced);
    ASSERT_EQ(clocks.Told.size(), 3) << clocks.Told.join(u'\n').toStdString();
    EXPECT_TRUE(clocks.Told[0].contains(u"stepped +3 h"));
    EXPECT_TRUE(clocks.Told[1].contains(u"synchronised again"));
    EXPECT_TRUE(clocks.Told[2].contains(u"not synchronised"));
    EXPECT_EQ(analysis::FlagWords(analysis::FlagClockStep | analysis::FlagClockUnsynced),
              "clock-step clock-unsynced");
}

} // namespace
