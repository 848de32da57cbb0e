// SPDX-License-Identifier: GPL-3.0-or-later
// The acquisition of a running receiver (the window, or a run without one):
// fed every processed block, it keeps the block quality, tells when lock is
// lost and regained, measures the input level and the clock error, and places
// the correlogram window on the paths.  What it changes it changes in the
// Settings and ChainControls the receiver owns (the chain reads them at the
// next buffer); each event is one line of text handed to a callback.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>

#include "receiver/analysis/clock_estimator.h"
#include "receiver/analysis/measurement.h"
#include "receiver/analysis/signal_quality.h"
#include "receiver/dsp/chain.h"

namespace analysis {

// The strongest path is placed this many lags above the bottom of the
// correlogram (LagOffset = its lag - 10, modulo 512).
inline constexpr int32_t PathPlacementLags = 10;
// The LagOffset that puts the path at `strongestLag` there.
int32_t LagOffsetFor(double strongestLag);

struct MonitorOptions {
    // --clock-ppm auto: measure the clock error during the first minutes and
    // apply it once.
    bool AutoClock = false;
    // Place the paths by itself on the first steady lock (and once more after
    // an automatic clock correction), until the operator places them.
    bool AutoPlacePaths = false;
    double SteadySeconds = 5.0;     // lock steady this long before placing (SteadyLock)
    double LockLostSeconds = 3.0;   // no lock this long before "lock lost"
    double ClockMinSeconds = 120.0; // an automatic clock correction waits this long
    double ClockGoodPpm = 0.25;     // ... and for an uncertainty this small,
    double ClockMaxSeconds = 600.0; // or at most this long if it has any estimate
};

// The recent input level, from the raw sound buffers (before the gain).
struct InputLevel {
    double PeakDbfs = -200.0; // largest sample of the last second against full scale
    bool Clipping = false;    // a sample at full scale in the last second
};

// "clock: +49.8 ppm (±0.2)": the total correction and its uncertainty.
std::string ClockLine(const ClockEstimate& estimate);

// What OnBlock changed.
struct MonitorChanges {
    bool LagOffsetPlaced = false; // controls.LagOffset was set
    bool ClockApplied = false;    // settings.ClockPpm and ClockOffset were set
};

class AcquisitionMonitor {
  public:
    using EventSink = std::function<void(const std::string&)>;
    explicit AcquisitionMonitor(MonitorOptions options = {}, EventSink report = {});

    // After every block, with the chain that processed it and the settings
    // and controls the receiver runs with.  With the measurement stage's view
    // of the block, its presence lock is the lock (events, placing the paths);
    // without, the sync peak holding still.
    MonitorChanges OnBlock(const dsp::ChainState& chain, dsp::Settings& settings,
                           dsp::ChainControls& controls,
                           const BlockMeasurement* measurement = nullptr);

    const QualityTracker& Quality() const { return quality_; }
    // Locked as the events tell it: gained with the first locked block, lost
    // after LockLostSeconds without one.
    bool Locked() const { return locked_; }
    InputLevel Level() const;

    // Clock measurement: runs from StartClockMeasurement (and from the start
    // with AutoClock) until StopClockMeasurement; restarts by itself when the
    // correction or the mode changes.
    void StartClockMeasurement();
    void StopClockMeasurement();
    bool MeasuringClock() const { return measuring_; }
    ClockEstimate ClockNow() const { return clock_.Estimate(); }

    // Places LagOffset on the strongest path now; false before any block.
    bool PlacePaths(dsp::ChainControls& controls);
    // The operator placed LagOffset: no more automatic placing.
    void OperatorPlacedPaths() { operatorPlaced_ = true; }
    bool AutoPlacing() const { return options_.AutoPlacePaths && !operatorPlaced_; }

  private:
    void Report(const std::string& line) const;

    MonitorOptions options_;
    EventSink report_;
    QualityTracker quality_;
    SteadyLock steady_{options_.SteadySeconds};
    ClockEstimator clock_;
    bool measuring_ = false;
    bool clockApplied_ = false;
    bool locked_ = false;
    bool everLocked_ = false;
    int64_t blocksSinceLock_ = 0;
    bool operatorPlaced_ = false;
    bool placePending_ = true; // an automatic placing is due at the next steady lock
    int32_t sampleRate_ = 0;
    long double correction_ = 0.0L;         // the correction of the previous block
    std::array<int32_t, 10> recentPeaks_{}; // largest |sample| of the last blocks (a second)
    int64_t levelBlocks_ = 0;
};

} // namespace analysis
