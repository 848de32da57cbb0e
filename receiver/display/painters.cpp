// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/display/painters.h"

#include <QPointF>

#include <algorithm>
#include <array>
#include <cmath>

namespace display {

namespace {

constexpr QRgb BaselineGrey = 0xFF808080u; // (128, 128, 128)
constexpr QRgb TraceBlue = 0xFF0000FFu;
constexpr QRgb MarkerRed = 0xFFFF0000u;
constexpr QRgb White = 0xFFFFFFFFu;
constexpr QRgb Black = 0xFF000000u;

// Both grams: a time of day every 64 columns, a snapshot point every 400.
constexpr int32_t ColumnsPerTimeMark = 64;
constexpr int32_t ColumnsPerSnapshot = 400;

// Correlogram (image 561 x 216).  Each column is painted at x = 558 before the
// area up to x = 560 scrolls left one pixel, so the newest column ends up at
// 557.  Row 199 is the bottom row and the baseline: sample position i of the
// delay window lands on rows 197 - 2i + CorrelogramScroll and the one above,
// never below 199.  The column shows the newer frame of the averaged window.
constexpr int CorrelogramPaintX = 558;
constexpr int CorrelogramBaselineRow = 199;
constexpr int CorrelogramFirstRow = CorrelogramBaselineRow - 2; // position 0, no scroll
constexpr int CorrelogramBaselineEndX = 562;                    // past the right edge
constexpr int CorrelogramScrollRight = 560;
constexpr int CorrelogramScrollBottom = 216;
constexpr int CorrelogramTimeTextX = 524, CorrelogramTimeTextY = 205;
constexpr int CorrelogramTickX = 557; // under the newest column, baseline to text row
constexpr int32_t CorrelogramSnapshotWidth = 560, CorrelogramSnapshotHeight = 216;

// Dopplergram (image 401 x 271): one row per Doppler row 0..255, painted at
// x = 398, then the area up to 398 scrolls left; the newest column stays at
// both 397 and 398.  The baseline is drawn after the scroll along row 255, over
// the last Doppler row.
constexpr int DopplergramPaintX = 398;
constexpr int DopplergramBaselineRow = 255;
constexpr int DopplergramBaselineEndX = 402; // past the right edge
constexpr int DopplergramScrollRight = 398;
constexpr int DopplergramScrollBottom = 274; // below the image: limited to its 271 rows
constexpr int DopplergramTimeTextX = 375, DopplergramTimeTextY = 260;
constexpr int DopplergramTickX = 397;
constexpr int32_t DopplergramSnapshotWidth = 400, DopplergramSnapshotHeight = 271;

// Correlation trace (image 68 x 510): lag l on row 512 - l, so lags 0..2 lie
// below the image; the marker lines run across it and past its right edge.
constexpr int TraceLagZeroRow = 512;
constexpr int MarkerLineEndX = 70;

// Scattergram (image 68 x 255): one lag per column, swept over 64 columns
// (62 lags, then two that are always 0); grey level 150 x gain per decade of
// magnitude, above a floor that keeps the logarithm finite.
constexpr int32_t ScatterSweepColumns = 64;
constexpr long double ScatterLevelsPerDecade = 150.0L;
constexpr long double ScatterFloor = 0.0001L;
constexpr int ScatterTimeTextX = 1, ScatterTimeTextY = 245; // bottom left
constexpr int32_t ScatterSnapshotWidth = 70, ScatterSnapshotHeight = 256;

// Tune indicator (image 70 x 254): 0 Hz on row 128, 2 rows per hertz, larger
// values lower down; each block adds a segment from column 67 to 68 after
// erasing 68, then the area up to 69 scrolls left.
constexpr int64_t TuneZeroRow = 128;
constexpr int64_t TuneRowsPerHz = 2;
constexpr int TunePreviousX = 67;
constexpr int TuneNewestX = 68;
constexpr int TuneScrollRight = 69;
constexpr int TuneBottom = 256; // below the image: erase and scroll reach its last row

// Nearest integer, halves to even, kept inside int range for pixel work.
int64_t RoundToRow(long double v) {
    if (std::isnan(v)) return 0;
    return static_cast<int64_t>(std::clamp(std::nearbyint(v), -1.0e9L, 1.0e9L));
}

void Snapshot(DisplayState& display, const PanelImage& image, int32_t height, int32_t width,
              Gram gram) {
    // Whatever the outcome the receiver carries on; whoever listens is told.
    const SnapshotResult result =
        SaveGramSnapshot(image.Image(), height, width, gram, display.SnapshotFolder,
                         display.Clock(), display.DatedNames);
    if (result)
        ++display.SnapshotsWritten;
    else
        ++display.SnapshotsFailed;
    if (display.SnapshotSaved) display.SnapshotSaved(gram, result);
}

} // namespace

// Rounding below uses std::rint: under the default round-to-nearest-even mode
// it gives the same result as nearbyint, without nearbyintl's costly saving
// and restoring of the floating-point environment for long double.

void CorrelogramTimeMarks(DisplayState& display) {
    PanelImage& image = display.CorrelogramImage;
    image.Line(0, CorrelogramBaselineRow, CorrelogramBaselineEndX, CorrelogramBaselineRow,
               BaselineGrey);
    display.CorrelogramMarkCount += 1;
    if (display.CorrelogramMarkCount % ColumnsPerTimeMark == 0) {
        // The image's own colours: window text on an opaque button-face box.
        image.Text(TimeText(display.Clock()), display.PanelFont, CorrelogramTimeTextX,
                   CorrelogramTimeTextY);
        image.Line(CorrelogramTickX, CorrelogramBaselineRow + 1, CorrelogramTickX,
                   CorrelogramTimeTextY, BaselineGrey);
        display.CorrelogramMarkCount = 0;
    }
    image.Refresh();
}

void PaintCorrelogramColumn(DisplayState& display, const dsp::CorrelatorState& correlator) {
    PanelImage& image = display.CorrelogramImage;
    CorrelogramTimeMarks(display);

    const float* average = correlator.CorrAverage.data() + dsp::BasebandLen;
    const int64_t scroll = display.CorrelogramScroll;
    for (int32_t i = 0; i < dsp::CorrLagCount; ++i) {
        int64_t y = CorrelogramFirstRow + scroll - 2 * static_cast<int64_t>(i);
        if (y < 0) break; // rows only fall from here on
        if (y > CorrelogramBaselineRow) y = CorrelogramBaselineRow;
        // A sample position, and above it the mean of it and the next one.
        const long double g1 = std::rint(static_cast<long double>(average[i]));
        const long double g2 = std::rint((g1 + static_cast<long double>(average[i + 1])) / 2.0L);
        image.SetPixel(CorrelogramPaintX, static_cast<int>(y), Grey(static_cast<double>(g1)));
        image.SetPixel(CorrelogramPaintX, static_cast<int>(y - 1), Grey(static_cast<double>(g2)));
    }
    image.CopyRect(1, 0, CorrelogramScrollRight, CorrelogramScrollBottom, 0, 0);

    display.CorrelogramSaveCount += 1;
    if (display.CorrelogramSaveCount > ColumnsPerSnapshot - 1) {
        if (display.AutoSaveCorrelogram == SwitchOn)
            Snapshot(display, image, CorrelogramSnapshotHeight, CorrelogramSnapshotWidth,
                     Gram::Correlogram);
        display.CorrelogramSaveCount = 0;
    }
    image.Refresh();
}

void DopplergramTimeMarks(DisplayState& display) {
    PanelImage& image = display.DopplergramImage;
    image.Line(0, DopplergramBaselineRow, DopplergramBaselineEndX, DopplergramBaselineRow,
               BaselineGrey);
    display.DopplergramMarkCount += 1;
    if (display.DopplergramMarkCount % ColumnsPerTimeMark == 0) {
        const QString hoursMinutes = TimeText(display.Clock()).left(5);
        image.Text(hoursMinutes, display.PanelFont, DopplergramTimeTextX, DopplergramTimeTextY);
        image.Line(DopplergramTickX, DopplergramBaselineRow, DopplergramTickX, DopplergramTimeTextY,
                   BaselineGrey);
        display.DopplergramMarkCount = 0;
    }
    image.Refresh();
}

void PaintDopplergramColumn(DisplayState& display, const dsp::DopplerState& doppler,
                            const dsp::Settings& settings) {
    PanelImage& image = display.DopplergramImage;
    const long double gain = settings.DopplerGain;
    for (int32_t r = 0; r < dsp::FftLen; ++r) {
        const long double level =
            255.0L - static_cast<long double>(doppler.DopplerProfile[r]) * gain / 2.0L;
        image.SetPixel(DopplergramPaintX, r, Grey(static_cast<double>(std::rint(level))));
    }
    image.CopyRect(1, 0, DopplergramScrollRight, DopplergramScrollBottom, 0, 0);
    DopplergramTimeMarks(display);

    display.DopplergramSaveCount += 1;
    if (display.DopplergramSaveCount > ColumnsPerSnapshot - 1) {
        if (display.AutoSaveDopplergram == SwitchOn)
            Snapshot(display, image, DopplergramSnapshotHeight, DopplergramSnapshotWidth,
                     Gram::Dopplergram);
        display.DopplergramSaveCount = 0;
    }
}

void PaintCorrelationTrace(DisplayState& display, const dsp::CorrelatorState& correlator,
                           const dsp::ChainControls& controls) {
    PanelImage& image = display.CorrelationImage;
    image.Clear(image.Background());
    // Every clear after the first is white.
    image.SetForeground(White);
    image.SetBackground(White);

    const dsp::TracePointArray& trace = correlator.TracePoints;
    std::array<QPointF, dsp::CorrLagCount> points;
    const int32_t count = std::clamp(trace.Count, 0, dsp::CorrLagCount);
    for (int32_t i = 0; i < count; ++i)
        points[i] = QPointF(trace.Points[i].X, trace.Points[i].Y);
    image.Polyline(std::span<const QPointF>(points.data(), count), TraceBlue);

    image.SetForeground(MarkerRed);
    const int markerRow = TraceLagZeroRow - display.MarkerLag;
    const int offsetRow = TraceLagZeroRow - controls.LagOffset;
    image.Line(0, markerRow, MarkerLineEndX, markerRow, MarkerRed);
    image.Line(0, offsetRow, MarkerLineEndX, offsetRow, MarkerRed);
}

void PaintScattergramColumn(DisplayState& display, const dsp::DopplerState& doppler,
                            const dsp::Settings& settings) {
    PanelImage& image = display.ScattergramImage;
    const int32_t j =
        ((doppler.SlowRow % ScatterSweepColumns) + ScatterSweepColumns) % ScatterSweepColumns;
    const long double scale =
        ScatterLevelsPerDecade * static_cast<long double>(settings.ScatterGain);
    const bool black = display.ScatterBlack == SwitchOn;
    for (int32_t r = 0; r < dsp::FftLen; ++r) {
        const long double s = doppler.DopplerMatrixAt(j, r);
        // S is a magnitude, so the logarithm's argument is positive.
        const long double level = scale * std::log10(s + ScatterFloor);
        const long double g = black ? level : 255.0L - level;
        image.SetPixel(j, r, Grey(static_cast<double>(std::rint(g))));
    }
    image.Refresh();

    if (j == 0) {
        image.SetForeground(black ? White : Black);
        image.SetOpaqueText(false);
        image.Text(TimeText(display.Clock()), display.PanelFont, ScatterTimeTextX,
                   ScatterTimeTextY);
        if (doppler.SlowRow == 0 && display.AutoSaveScattergram == SwitchOn)
            Snapshot(display, image, ScatterSnapshotHeight, ScatterSnapshotWidth,
                     Gram::Scattergram);
    }
}

void UpdateTuneIndicator(DisplayState& display, int32_t hz) {
    PanelImage& image = display.TuneImage;
    const int64_t y = TuneRowsPerHz * static_cast<int64_t>(hz) + TuneZeroRow;
    image.Line(TuneNewestX, 0, TuneNewestX, TuneBottom, White);
    image.Line(TunePreviousX, static_cast<int>(RoundToRow(display.TunePreviousRow)), TuneNewestX,
               static_cast<int>(std::clamp<int64_t>(y, -1000000000, 1000000000)), MarkerRed);
    display.TunePreviousRow = static_cast<float>(y);
    image.CopyRect(1, 0, TuneScrollRight, TuneBottom, 0, 0);
}

dsp::DisplayHooks MakeDisplayHooks(DisplayState& display, const dsp::Settings& settings,
                                   const dsp::ChainControls& controls) {
    dsp::DisplayHooks hooks;
    hooks.CorrelogramColumn = [&display](const dsp::CorrelatorState& correlator) {
        PaintCorrelogramColumn(display, correlator);
        dsp::ClearUpperVectorState();
    };
    hooks.DopplergramColumn = [&display, &settings](const dsp::DopplerState& doppler) {
        PaintDopplergramColumn(display, doppler, settings);
        dsp::ClearUpperVectorState();
    };
    hooks.ScattergramColumn = [&display, &settings](const dsp::DopplerState& doppler) {
        PaintScattergramColumn(display, doppler, settings);
        dsp::ClearUpperVectorState();
    };
    hooks.CorrelationTrace = [&display, &controls](const dsp::CorrelatorState& correlator) {
        PaintCorrelationTrace(display, correlator, controls);
        dsp::ClearUpperVectorState();
    };
    hooks.TuneIndicator = [&display](int32_t hz) {
        UpdateTuneIndicator(display, hz);
        dsp::ClearUpperVectorState();
    };
    return hooks;
}

} // namespace display
