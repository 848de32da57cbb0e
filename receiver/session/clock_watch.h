// SPDX-License-Identifier: GPL-3.0-or-later
// The wall clock watched against a clock that never steps.  A station on a
// small board without a real-time clock starts with a stale time that jumps
// when NTP first answers; an operator may set the clock by hand.  Rows keep
// the wall clock's time (what other instruments use), so a step is found
// here, told once with its size, and flagged in the first row after it; rows
// made while the kernel says the clock is not synchronised are flagged too.
//
// The session calls Check() once per block and ORs what it returns into the
// block's row flags (analysis::FlagClockStep, analysis::FlagClockUnsynced).
#pragma once

#include <QString>

#include <cstdint>
#include <functional>

namespace session {

class ClockWatch {
  public:
    struct Clocks {
        std::function<int64_t()> WallMs;    // what the rows are stamped with
        std::function<int64_t()> SteadyMs;  // never steps (time since boot)
        std::function<bool()> Synchronised; // the kernel's word on the wall clock
    };
    // The system's: the wall clock as the rows read it, the boot-time clock
    // (counts suspended time, so a resume is no step) read past any library
    // that fakes the time, and adjtimex.
    static Clocks SystemClocks();
    using Sink = std::function<void(const QString&)>;
    // Steps smaller than `stepMs` are the jitter of reading two clocks.
    explicit ClockWatch(Clocks clocks = SystemClocks(), Sink tell = nullptr, int64_t stepMs = 1000);

    // The flags for the row of the block at hand; tells a step, and the
    // clock's loss or gain of synchronisation, once.
    uint32_t Check();

    // "synchronised" or "not synchronised" as of the last Check (or now,
    // before the first): for the start-up line and the health report.
    bool Synchronised() const;
    int64_t Steps() const { return steps_; }
    int64_t LastStepMs() const { return lastStepMs_; } // signed size of the last step

  private:
    Clocks clocks_;
    Sink tell_;
    int64_t stepMs_;
    bool started_ = false;
    int64_t offsetMs_ = 0; // wall less steady at the last Check
    int64_t lastSyncCheckMs_ = 0;
    mutable bool synchronised_ = true;
    mutable bool syncKnown_ = false;
    int64_t steps_ = 0;
    int64_t lastStepMs_ = 0;
};

// "+3 h 00 min 00.0 s", "-1.5 s": the signed size of a step.
QString StepText(int64_t ms);

} // namespace session
