#include "receiver/display/pointer.h"

#include <limits>

namespace rx {

QString FormatHundredths(double value) {
    QString text = QString::number(value, 'f', 2);
    if (text == QLatin1String("-0.00")) text = QStringLiteral("0.00");
    return text;
}

PointerReadouts PointerMoved(ChainState& chain, int x, int y) {
    const bool overCorrelation = x > 4 && x < 71 && y > 49 && y < 562;
    chain.MarkerLag = overCorrelation ? 562 - y : 0;

    PointerReadouts readouts;
    // Rows per hertz of the dopplergram and scattergram; columns per
    // millisecond of the scattergram is 4.8 in both modes.
    const double rowsPerHz = chain.ReceiverMode == ModeNato ? 27.0 : 32.0;
    const bool overRows = y > 287 && y < 544;
    if (overRows && x > 482 && x < 544) {
        readouts.Doppler = FormatHundredths((416 - y) / rowsPerHz) + QStringLiteral(" Hz");
        readouts.Delay = FormatHundredths((x - 483) / 4.8) + QStringLiteral(" msec");
    } else if (overRows && x > 80 && x < 482) {
        readouts.Doppler = FormatHundredths((416 - y) / rowsPerHz) + QStringLiteral(" Hz");
        readouts.Delay = QStringLiteral("0.00 msec");
    }
    return readouts;
}

bool ButtonReleased(ChainState& chain, DisplayState& display, int x, int y) {
    if (x > 4 && x < 71 && y > 49 && y < 562) {
        chain.LagOffset = 562 - y;
        display.CorrelogramScroll = 0;
        return true;
    }
    if (x > 80 && x < 641 && y > 49 && y < 250) {
        // Unbounded in principle; held at the int range instead of wrapping.
        const int64_t raised = static_cast<int64_t>(display.CorrelogramScroll) + 250 - y;
        display.CorrelogramScroll =
            static_cast<int32_t>(std::min<int64_t>(raised, std::numeric_limits<int32_t>::max()));
        return true;
    }
    return false;
}

} // namespace rx
