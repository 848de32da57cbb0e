// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/analysis/acquisition_monitor.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace analysis {

namespace {

constexpr double FullScale = 32767.0;

double BlocksPerSecond(int32_t sampleRate) {
    return sampleRate / double(dsp::BlockLen);
}

std::string Format(const char* format, auto... values) {
    char text[256];
    std::snprintf(text, sizeof text, format, values...);
    return text;
}

} // namespace

int32_t LagOffsetFor(double strongestLag) {
    const auto lag = static_cast<int32_t>(std::floor(strongestLag + 0.5));
    return (((lag - PathPlacementLags) % dsp::BasebandLen) + dsp::BasebandLen) % dsp::BasebandLen;
}

std::string ClockLine(const ClockEstimate& estimate) {
    // A total that rounds to zero reads +0.0, not -0.0.
    const double total = std::nearbyint(estimate.TotalPpm * 10.0) / 10.0 + 0.0;
    return Format("clock: %+.1f ppm (\u00b1%.1f)", total, estimate.UncertaintyPpm);
}

AcquisitionMonitor::AcquisitionMonitor(MonitorOptions options, EventSink report)
    : options_(options), report_(std::move(report)), measuring_(options.AutoClock) {}

void AcquisitionMonitor::Report(const std::string& line) const {
    if (report_) report_(line);
}

InputLevel AcquisitionMonitor::Level() const {
    InputLevel level;
    const auto count = static_cast<size_t>(
        std::min<int64_t>(levelBlocks_, static_cast<int64_t>(recentPeaks_.size())));
    if (count == 0) return level;
    const int32_t peak = *std::max_element(recentPeaks_.begin(), recentPeaks_.begin() + count);
    level.Clipping = peak >= 32767;
    if (peak > 0) level.PeakDbfs = 20.0 * std::log10(std::min(1.0, peak / FullScale));
    return level;
}

void AcquisitionMonitor::StartClockMeasurement() {
    clock_.Restart();
    measuring_ = true;
}

void AcquisitionMonitor::StopClockMeasurement() {
    measuring_ = false;
}

bool AcquisitionMonitor::PlacePaths(dsp::ChainControls& controls) {
    if (quality_.Blocks() == 0) return false;
    controls.LagOffset = LagOffsetFor(quality_.Last().SteadyStrongestLag);
    return true;
}

MonitorChanges AcquisitionMonitor::OnBlock(const dsp::ChainState& chain, dsp::Settings& settings,
                                           dsp::ChainControls& controls,
                                           const BlockMeasurement* measurement) {
    MonitorChanges changes;
    // A new mode: what was seen at the old rate says nothing about the new one.
    if (chain.SampleRate != sampleRate_) {
        if (sampleRate_ != 0) {
            quality_.Reset();
            placePending_ = true;
        }
        sampleRate_ = chain.SampleRate;
    }
    const long double correction = dsp::ClockCorrection(settings);
    if (correction != correction_) {
        correction_ = correction;
        placePending_ = true; // the paths stop (or start) drifting: place them again
    }
    const double perSecond = BlocksPerSecond(chain.SampleRate);

    int32_t peak = 0;
    for (int32_t i = 0; i < dsp::BlockLen; ++i)
        peak = std::max(peak, std::abs(int32_t(chain.Intake.CaptureBlock[static_cast<size_t>(i)])));
    recentPeaks_[static_cast<size_t>(levelBlocks_ % int64_t(recentPeaks_.size()))] = peak;
    ++levelBlocks_;

    const BlockQuality& quality = quality_.Add(chain.Peak, chain.SampleRate);
    const bool lockedNow = measurement ? measurement->Locked : quality.Locked;
    const bool steady = steady_.Add(lockedNow, chain.SampleRate);
    if (lockedNow) {
        blocksSinceLock_ = 0;
        if (!locked_) {
            locked_ = true;
            const double lag = measurement && measurement->PathCount > 0 ? measurement->Paths[0].Lag
                                                                         : quality.StrongestLag;
            Report(Format("%s: sync peak at lag %d, %.1f dB over the noise",
                          everLocked_ ? "lock regained" : "locked",
                          int(std::floor(lag + 0.5)) % dsp::BasebandLen, quality.PeakSnrDb));
            everLocked_ = true;
        }
    } else if (locked_ && ++blocksSinceLock_ >= std::ceil(options_.LockLostSeconds * perSecond)) {
        locked_ = false;
        Report(Format("lock lost: no steady sync peak for %.0f s", options_.LockLostSeconds));
    }

    if (measuring_) {
        clock_.Add(chain.Peak.SyncPower, correction, chain.SampleRate);
        const double seconds = double(clock_.Blocks()) / perSecond;
        if (options_.AutoClock && !clockApplied_ && clock_.Blocks() % 16 == 0 &&
            seconds >= options_.ClockMinSeconds) {
            const ClockEstimate estimate = clock_.Estimate();
            if (estimate.Valid && (estimate.UncertaintyPpm <= options_.ClockGoodPpm ||
                                   seconds >= options_.ClockMaxSeconds)) {
                const ClockSetting setting = SplitClockCorrection(estimate.TotalPpm);
                settings.ClockPpm = setting.ClockPpm;
                settings.ClockOffset = setting.ClockOffset;
                clockApplied_ = true;
                measuring_ = false;
                changes.ClockApplied = true;
                Report(ClockLine(estimate));
            }
        }
    }

    if (AutoPlacing() && placePending_ && steady) {
        PlacePaths(controls);
        placePending_ = false;
        changes.LagOffsetPlaced = true;
        Report(Format("paths placed: lag offset %d, strongest path at lag %d", controls.LagOffset,
                      (controls.LagOffset + PathPlacementLags) % dsp::BasebandLen));
    }
    return changes;
}

} // namespace analysis
