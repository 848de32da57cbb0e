// SPDX-License-Identifier: GPL-3.0-or-later
// Acquisition over an IQ recording before it is run, each channel as a
// recording of its audio would be surveyed: its clock error and where its
// paths lie.  Every channel from one read of the recording, through the sync
// part of the chain only.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "receiver/analysis/clock_estimator.h"
#include "receiver/analysis/recording_survey.h"
#include "receiver/io/iq_front_end.h"

namespace analysis {

// The clock error of each channel from at most the first `seconds`, measured
// with `correction` in place (MeasureRecordingClock).
std::optional<std::vector<ClockEstimate>>
MeasureChannelClocks(const std::string& path, bool asIq,
                     const std::vector<io::ChannelTuning>& tunings, long double correction,
                     float gain, double seconds, std::string& error);

// Where each channel's paths lie at the start, with its own correction
// (FindRecordingPaths).
std::optional<std::vector<PathPlacementResult>>
FindChannelPaths(const std::string& path, bool asIq, const std::vector<io::ChannelTuning>& tunings,
                 const std::vector<long double>& corrections, float gain, double seconds,
                 double steadySeconds, std::string& error);

} // namespace analysis
