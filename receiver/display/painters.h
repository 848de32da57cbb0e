// The painters of the five displays.  The chain calls them through its
// display hooks right after the data they show has been computed.
#pragma once

#include <cstdint>

#include "receiver/display/display_state.h"
#include "receiver/dsp/chain.h"

namespace rx {

// Correlogram: one column from CorrAverage at x = 558, then a scroll left;
// time marks every 64 columns, a snapshot point every 400.
void PaintCorrelogramColumn(DisplayState& display, const ChainState& chain);
void CorrelogramTimeMarks(DisplayState& display);

// Dopplergram: one column from DopplerProfile at x = 398, then a scroll left.
void PaintDopplergramColumn(DisplayState& display, const ChainState& chain,
                            const Settings& settings);
void DopplergramTimeMarks(DisplayState& display);

// Correlation trace: white panel, blue trace, red lines at MarkerLag and LagOffset.
void PaintCorrelationTrace(DisplayState& display, const ChainState& chain);

// Scattergram: lag column SlowRow mod 64 of DopplerMatrix on a log grey scale.
void PaintScattergramColumn(DisplayState& display, const ChainState& chain,
                            const Settings& settings);

// Tune indicator: a red segment from the previous row to 128 + 2 * hz, then a scroll.
void UpdateTuneIndicator(DisplayState& display, int32_t hz);

// Hooks that run the painters above on `display`; the gains are read from
// `settings` at each call, so both must outlive the hooks.
DisplayHooks MakeDisplayHooks(DisplayState& display, const Settings& settings);

} // namespace rx
