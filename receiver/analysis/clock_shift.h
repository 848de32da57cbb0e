// SPDX-License-Identifier: GPL-3.0-or-later
// How far a chunk's power-delay profile lies from the template of the clock
// measurement, told from the template's paths, each of which may have faded
// to any power in the chunk.
//
// Where two paths lie within a pulse of each other (0.5 ms on the Good and
// Quiet channels) their joint peak leans to whichever is stronger at the
// moment, and a profile matched as a whole wanders with their fading: over a
// few minutes of slow fading that wander looks like a clock error of some
// tenths of a ppm.  Fitting the paths themselves, each with its own power
// (and their interference), leaves only the shift common to all of them.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "receiver/analysis/pulse_shape.h"

namespace analysis {

class PathShiftFit {
  public:
    using Profile = std::array<float, dsp::BasebandLen>;

    // The template (power over its floor, peak 1) and the shape of a path.
    PathShiftFit(const PulseShape& shape, const Profile& reference);
    bool HasPaths() const { return !pathLags_.empty(); }
    const std::vector<double>& PathLags() const { return pathLags_; }

    // The shift k (lags, between grid steps) with `profile` = the template's
    // paths moved by +k, each at its own power, looked for within a lag of
    // `aroundLags` (where the profile as a whole matches the template best).
    double ShiftNear(const Profile& profile, double aroundLags) const;

  private:
    void RefinePaths(const Profile& reference);
    std::vector<int32_t> LagsAround(int32_t windowLags) const;
    double MisfitAt(const Profile& profile, double shiftLags,
                    const std::vector<int32_t>& lags) const;

    const PulseShape& shape_;
    std::vector<double> pathLags_;
    std::vector<std::pair<size_t, size_t>> closePairs_; // paths that interfere
};

} // namespace analysis
