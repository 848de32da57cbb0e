// SPDX-License-Identifier: GPL-3.0-or-later
// The painters of the five displays.  ProcessBlock calls them through its
// display hooks right after the data they show has been computed; each takes
// the stage state whose outputs it draws.
#pragma once

#include <cstdint>

#include "receiver/display/display_state.h"
#include "receiver/dsp/chain.h"

namespace display {

// Correlogram: one column from CorrAverage at the newest column, then a
// scroll left; a time mark every 64 columns, a snapshot point every 400.
void PaintCorrelogramColumn(DisplayState& display, const dsp::CorrelatorState& correlator);
void CorrelogramTimeMarks(DisplayState& display);

// Dopplergram: one column from DopplerProfile at the newest column, then a
// scroll left; time marks and snapshot points as the correlogram's.
void PaintDopplergramColumn(DisplayState& display, const dsp::DopplerState& doppler,
                            const dsp::Settings& settings);
void DopplergramTimeMarks(DisplayState& display);

// Correlation trace: white panel, blue trace from TracePoints, red lines at
// the display's MarkerLag and the operator's LagOffset.
void PaintCorrelationTrace(DisplayState& display, const dsp::CorrelatorState& correlator,
                           const dsp::ChainControls& controls);

// Scattergram: lag column SlowRow mod 64 of DopplerMatrix on a log grey scale.
void PaintScattergramColumn(DisplayState& display, const dsp::DopplerState& doppler,
                            const dsp::Settings& settings);

// Tune indicator: a red segment from the previous row to 128 + 2 * hz, then a scroll.
void UpdateTuneIndicator(DisplayState& display, int32_t hz);

// Hooks that run the painters above on `display`; the gains and LagOffset are
// read at each call, so `display`, `settings` and `controls` must outlive the
// hooks.
dsp::DisplayHooks MakeDisplayHooks(DisplayState& display, const dsp::Settings& settings,
                                   const dsp::ChainControls& controls);

} // namespace display
