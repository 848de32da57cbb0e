// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/display/pointer.h"

#include <algorithm>
#include <limits>

#include "receiver/dsp/tables.h"

namespace display {

namespace {

// Window areas as open intervals: left < x < right, top < y < bottom.
struct Area {
    int Left, Right, Top, Bottom;
    bool Contains(int x, int y) const { return x > Left && x < Right && y > Top && y < Bottom; }
};

// The correlation panel's inside; lag l lies under window row 562 - l (the
// panel's top at row 50 plus 512).
constexpr Area CorrelationArea{4, 71, 49, 562};
constexpr int LagZeroWindowRow = 562;

// The Doppler rows shared by the dopplergram and the scattergram: 0 Hz on
// window row 416.  One row is SampleRate / 262144 Hz: 27.3 rows per hertz in
// the NATO mode, 32.8 in the AMATEUR mode, read as 27 and 32.
constexpr int DopplerRowsTop = 287, DopplerRowsBottom = 544;
constexpr int ZeroDopplerWindowRow = 416;
constexpr double NatoRowsPerHz = 27.0;
constexpr double AmateurRowsPerHz = 32.0;

// The scattergram's lag columns: lag 0 on window column 483, one column per
// baseband sample, read as 4.8 per millisecond (the NATO rate) in both modes.
constexpr Area ScattergramArea{482, 544, DopplerRowsTop, DopplerRowsBottom};
constexpr int FirstLagWindowColumn = 483;
constexpr double ColumnsPerMs = 4.8;
constexpr Area DopplergramArea{80, 482, DopplerRowsTop, DopplerRowsBottom};

// The correlogram; its bottom row (199) is window row 250.
constexpr Area CorrelogramArea{80, 641, 49, 250};
constexpr int CorrelogramBottomWindowRow = 250;

} // namespace

QString FormatHundredths(double value) {
    QString text = QString::number(value, 'f', 2);
    if (text == QLatin1String("-0.00")) text = QStringLiteral("0.00");
    return text;
}

PointerReadouts PointerMoved(DisplayState& display, int32_t receiverMode, int x, int y) {
    display.MarkerLag = CorrelationArea.Contains(x, y) ? LagZeroWindowRow - y : 0;

    PointerReadouts readouts;
    const double rowsPerHz = receiverMode == dsp::ModeNato ? NatoRowsPerHz : AmateurRowsPerHz;
    const auto dopplerText = [&] {
        return FormatHundredths((ZeroDopplerWindowRow - y) / rowsPerHz) + QStringLiteral(" Hz");
    };
    if (ScattergramArea.Contains(x, y)) {
        readouts.Doppler = dopplerText();
        readouts.Delay =
            FormatHundredths((x - FirstLagWindowColumn) / ColumnsPerMs) + QStringLiteral(" msec");
    } else if (DopplergramArea.Contains(x, y)) {
        readouts.Doppler = dopplerText();
        readouts.Delay = QStringLiteral("0.00 msec");
    }
    return readouts;
}

bool ButtonReleased(dsp::ChainControls& controls, DisplayState& display, int x, int y) {
    if (CorrelationArea.Contains(x, y)) {
        controls.LagOffset = LagZeroWindowRow - y;
        display.CorrelogramScroll = 0;
        return true;
    }
    if (CorrelogramArea.Contains(x, y)) {
        // Unbounded in principle; held at the int range instead of wrapping.
        const int64_t raised =
            static_cast<int64_t>(display.CorrelogramScroll) + CorrelogramBottomWindowRow - y;
        display.CorrelogramScroll =
            static_cast<int32_t>(std::min<int64_t>(raised, std::numeric_limits<int32_t>::max()));
        return true;
    }
    return false;
}

} // namespace display
