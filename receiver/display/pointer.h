// SPDX-License-Identifier: GPL-3.0-or-later
// Pointer moves and clicks over the panels, in main-window client coordinates.
#pragma once

#include <QString>

#include <cstdint>
#include <optional>

#include "receiver/display/display_state.h"
#include "receiver/dsp/controls.h"

namespace display {

// Label texts to show; an empty optional leaves the label as it is.
struct PointerReadouts {
    std::optional<QString> Doppler; // DopplerReadout, e.g. "1.23 Hz"
    std::optional<QString> Delay;   // DelayReadout, e.g. "4.58 msec"
};

// Sets the display's MarkerLag (the lag under the pointer over the correlation
// panel, else 0) and returns the readouts for a pointer over the scattergram
// or dopplergram; `receiverMode` picks the rows per hertz.
PointerReadouts PointerMoved(DisplayState& display, int32_t receiverMode, int x, int y);

// A left-button release: over the correlation panel it picks the operator's
// LagOffset and zeroes CorrelogramScroll; over the correlogram it moves the
// clicked row to the bottom row.  True when something changed.
bool ButtonReleased(dsp::ChainControls& controls, DisplayState& display, int x, int y);

// "0.00" formatting with a point, never "-0.00".
QString FormatHundredths(double value);

} // namespace display
