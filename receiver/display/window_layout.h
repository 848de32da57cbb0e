// SPDX-License-Identifier: GPL-3.0-or-later
// Where everything sits in the receiver's client area (the window below its
// menu bar): the five panels, the frame lines and scales round them, their
// captions and the window's own controls.  Pixels from the client area's top
// left.  The window places its widgets from here, the web page draws the same
// picture from here, and the window's tests check the widgets against it.
#pragma once

namespace display {

// A place in the client area: left, top, width, height in pixels.
struct Box {
    int X, Y, W, H;
};

inline constexpr int ClientWidth = 705;
inline constexpr int ClientHeight = 620;

// A panel's picture (inside any border) and whether the window draws a thin
// sunken border of one pixel round it.
struct PanelPlace {
    display::Box Picture;
    bool Border;
};
inline constexpr PanelPlace CorrelationPlace{{6, 51, 68, 510}, true};
inline constexpr PanelPlace CorrelogramPlace{{80, 51, 561, 216}, false};
inline constexpr PanelPlace DopplergramPlace{{80, 288, 401, 271}, false};
inline constexpr PanelPlace ScattergramPlace{{483, 288, 68, 255}, true};
inline constexpr PanelPlace TunePlace{{601, 289, 70, 254}, true};

// The panel with its border: the widget's own place in the window.
constexpr Box Outer(const PanelPlace& place) {
    const int b = place.Border ? 1 : 0;
    return {place.Picture.X - b, place.Picture.Y - b, place.Picture.W + 2 * b,
            place.Picture.H + 2 * b};
}

// A scale's label: its place and its text in the NATO and the AMATEUR mode.
struct ScaleLabelPlace {
    display::Box Box;
    const char* Nato;
    const char* Amateur;
};

// The delay scale right of the correlogram, top down: time and distance labels
// alternating, ending with "0ms".
inline constexpr ScaleLabelPlace DelayScaleLabels[] = {
    {{649, 43, 38, 14}, "20ms", "25ms"},  {{649, 58, 38, 14}, "(6000 km)", "(7500 km)"},
    {{649, 83, 38, 14}, "16ms", "20ms"},  {{649, 98, 38, 14}, "(4800 km)", "(6000 km)"},
    {{649, 123, 38, 14}, "12ms", "15ms"}, {{649, 138, 38, 14}, "(3600 km)", "(4500 km)"},
    {{649, 163, 38, 14}, "8ms", "10ms"},  {{649, 178, 38, 14}, "(2400 km)", "(3000 km)"},
    {{649, 203, 38, 14}, "4ms", "5ms"},   {{649, 218, 38, 14}, "(1200 km)", "(1500 km)"},
    {{649, 243, 30, 14}, "0ms", "0ms"},
};
// The smallest delay time label ("4ms", "5ms") is one pixel less high in the
// AMATEUR mode.
inline constexpr int SmallestDelayTimeLabel = 8;
inline constexpr int AmateurSmallestDelayLabelHeight = 13;
// The Doppler scale right of the scattergram.
inline constexpr ScaleLabelPlace DopplerScaleLabels[] = {
    {{558, 281, 42, 20}, "+5 Hz", "+4 Hz"},
    {{558, 407, 40, 20}, " 0 Hz", " 0 Hz"},
    {{558, 535, 42, 20}, "-5 Hz", "-4 Hz"},
};
// The tune indicator's scale.
inline constexpr ScaleLabelPlace TuneScaleLabels[] = {
    {{675, 341, 20, 14}, "+30", "+25"},
    {{675, 408, 20, 20}, " 0", " 0"},
    {{675, 477, 20, 14}, "-30", "-25"},
};

// The black lines and frames of the scales, one pixel wide or high (a frame is
// wider: the correlogram's top frame lies under the panel).
inline constexpr Box TuneScaleLines[] = {
    {671, 288, 4, 1}, {671, 345, 4, 1}, {671, 415, 4, 1}, {671, 485, 4, 1}, {671, 544, 4, 1},
};
inline constexpr Box DelayScaleLines[] = {
    {641, 50, 1, 200}, {641, 50, 8, 1},  {641, 90, 8, 1},  {641, 130, 8, 1},  {641, 170, 8, 1},
    {641, 210, 8, 1},  {641, 250, 8, 1}, {79, 50, 1, 201}, {79, 50, 562, 45},
};
inline constexpr Box DopplerScaleLines[] = {
    {481, 287, 1, 256}, {551, 287, 8, 1},  {551, 416, 8, 1},  {551, 543, 8, 1},
    {79, 287, 1, 256},  {79, 287, 402, 1}, {79, 543, 402, 1},
};

// The panels' captions.  "Signal Phase" lies under the correlogram, which
// covers it: the window has it, the web page leaves it out.
struct Caption {
    display::Box Box;
    const char* Text;
    bool UnderPanel;
};
inline constexpr Caption Captions[] = {
    {{10, 564, 67, 14}, "Correlation", false},  {{350, 270, 67, 14}, "Correlogram", false},
    {{530, 75, 70, 30}, "Signal Phase", true},  {{240, 560, 67, 14}, "Dopplergram", false},
    {{490, 550, 72, 14}, "Scattergram", false}, {{600, 550, 72, 30}, "Tune indicator", false},
};

// The window's own controls along the top and by the panels.
inline constexpr Box ClockSliderBox{1, 1, 500, 30};
inline constexpr Box ClockLabelBox{220, 32, 120, 18};
inline constexpr Box GainSliderBox{500, 1, 200, 30};
inline constexpr Box GainLabelBox{580, 32, 100, 14};
inline constexpr Box DopplerReadoutBox{465, 570, 55, 14};
inline constexpr Box DelayReadoutBox{519, 570, 60, 14};
inline constexpr Box ShiftUpButtonBox{554, 341, 20, 20};
inline constexpr Box ShiftDownButtonBox{554, 467, 20, 20};

} // namespace display
