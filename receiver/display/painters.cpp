#include "receiver/display/painters.h"

#include <QPointF>

#include <algorithm>
#include <array>
#include <cmath>

namespace rx {

namespace {

constexpr QRgb BaselineGrey = 0xFF808080u; // (128, 128, 128)
constexpr QRgb TraceBlue = 0xFF0000FFu;
constexpr QRgb MarkerRed = 0xFFFF0000u;
constexpr QRgb White = 0xFFFFFFFFu;
constexpr QRgb Black = 0xFF000000u;

// Nearest integer, halves to even, kept inside int range for pixel work.
int64_t RoundToRow(long double v) {
    if (std::isnan(v)) return 0;
    return static_cast<int64_t>(std::clamp(std::nearbyint(v), -1.0e9L, 1.0e9L));
}

void Snapshot(DisplayState& display, const PanelImage& image, int32_t height, int32_t width,
              Gram gram) {
    // A failed save is not the operator's concern: the receiver carries on.
    if (SaveGramSnapshot(image.Image(), height, width, gram, display.SnapshotFolder,
                         display.Clock()))
        ++display.SnapshotsWritten;
    else
        ++display.SnapshotsFailed;
}

} // namespace

// Rounding below uses std::rint: under the default round-to-nearest-even mode
// it gives the same result as nearbyint, without nearbyintl's costly saving
// and restoring of the floating-point environment for long double.

void CorrelogramTimeMarks(DisplayState& display) {
    PanelImage& image = display.CorrelogramImage;
    image.Line(0, 199, 562, 199, BaselineGrey);
    display.CorrelogramMarkCount += 1;
    if (display.CorrelogramMarkCount % 64 == 0) {
        // The image's own colours: window text on an opaque button-face box.
        image.Text(TimeText(display.Clock()), display.PanelFont, 524, 205);
        image.Line(557, 200, 557, 205, BaselineGrey);
        display.CorrelogramMarkCount = 0;
    }
    image.Refresh();
}

void PaintCorrelogramColumn(DisplayState& display, const ChainState& chain) {
    PanelImage& image = display.CorrelogramImage;
    CorrelogramTimeMarks(display);

    const auto& average = chain.CorrAverage;
    const int64_t scroll = display.CorrelogramScroll;
    for (int32_t i = 0; i < 1024; ++i) {
        int64_t y = 197 + scroll - 2 * static_cast<int64_t>(i);
        if (y < 0) break; // rows only fall from here on
        if (y > 199) y = 199;
        // A sample position, and above it the mean of it and the next one.
        const long double g1 = std::rint(static_cast<long double>(average[512 + i]));
        const long double g2 =
            std::rint((g1 + static_cast<long double>(average[512 + i + 1])) / 2.0L);
        image.SetPixel(558, static_cast<int>(y), Grey(static_cast<double>(g1)));
        image.SetPixel(558, static_cast<int>(y - 1), Grey(static_cast<double>(g2)));
    }
    image.CopyRect(1, 0, 560, 216, 0, 0);

    display.CorrelogramSaveCount += 1;
    if (display.CorrelogramSaveCount > 399) {
        if (display.AutoSaveCorrelogram == SwitchOn)
            Snapshot(display, image, 216, 560, Gram::Correlogram);
        display.CorrelogramSaveCount = 0;
    }
    image.Refresh();
}

void DopplergramTimeMarks(DisplayState& display) {
    PanelImage& image = display.DopplergramImage;
    image.Line(0, 255, 402, 255, BaselineGrey);
    display.DopplergramMarkCount += 1;
    if (display.DopplergramMarkCount % 64 == 0) {
        const QString hoursMinutes = TimeText(display.Clock()).left(5);
        image.Text(hoursMinutes, display.PanelFont, 375, 260);
        image.Line(397, 255, 397, 260, BaselineGrey);
        display.DopplergramMarkCount = 0;
    }
    image.Refresh();
}

void PaintDopplergramColumn(DisplayState& display, const ChainState& chain,
                            const Settings& settings) {
    PanelImage& image = display.DopplergramImage;
    const long double gain = settings.DopplerGain;
    for (int32_t r = 0; r < 256; ++r) {
        const long double level =
            255.0L - static_cast<long double>(chain.DopplerProfile[r]) * gain / 2.0L;
        image.SetPixel(398, r, Grey(static_cast<double>(std::rint(level))));
    }
    image.CopyRect(1, 0, 398, 274, 0, 0);
    DopplergramTimeMarks(display);

    display.DopplergramSaveCount += 1;
    if (display.DopplergramSaveCount > 399) {
        if (display.AutoSaveDopplergram == SwitchOn)
            Snapshot(display, image, 271, 400, Gram::Dopplergram);
        display.DopplergramSaveCount = 0;
    }
}

void PaintCorrelationTrace(DisplayState& display, const ChainState& chain) {
    PanelImage& image = display.CorrelationImage;
    image.Clear(image.Background());
    // Every clear after the first is white.
    image.SetForeground(White);
    image.SetBackground(White);

    std::array<QPointF, CorrLagCount> points;
    const int32_t count = std::clamp(chain.TracePoints.count, 0, CorrLagCount);
    for (int32_t i = 0; i < count; ++i)
        points[i] = QPointF(chain.TracePoints.points[i].x, chain.TracePoints.points[i].y);
    image.Polyline(std::span<const QPointF>(points.data(), count), TraceBlue);

    image.SetForeground(MarkerRed);
    image.Line(0, 512 - chain.MarkerLag, 70, 512 - chain.MarkerLag, MarkerRed);
    image.Line(0, 512 - chain.LagOffset, 70, 512 - chain.LagOffset, MarkerRed);
}

void PaintScattergramColumn(DisplayState& display, const ChainState& chain,
                            const Settings& settings) {
    PanelImage& image = display.ScattergramImage;
    const int32_t j = ((chain.SlowRow % 64) + 64) % 64;
    const long double scale = 150.0L * static_cast<long double>(settings.ScatterGain);
    const bool black = display.ScatterBlack == SwitchOn;
    for (int32_t r = 0; r < 256; ++r) {
        const long double s = chain.DopplerMatrixAt(j, r);
        // S is a magnitude, so the logarithm's argument is positive.
        const long double level = scale * std::log10(s + 0.0001L);
        const long double g = black ? level : 255.0L - level;
        image.SetPixel(j, r, Grey(static_cast<double>(std::rint(g))));
    }
    image.Refresh();

    if (j == 0) {
        image.SetForeground(black ? White : Black);
        image.SetOpaqueText(false);
        image.Text(TimeText(display.Clock()), display.PanelFont, 1, 245);
        if (chain.SlowRow == 0 && display.AutoSaveScattergram == SwitchOn)
            Snapshot(display, image, 256, 70, Gram::Scattergram);
    }
}

void UpdateTuneIndicator(DisplayState& display, int32_t hz) {
    PanelImage& image = display.TuneImage;
    const int64_t y = 2 * static_cast<int64_t>(hz) + 128;
    image.Line(68, 0, 68, 256, White);
    image.Line(67, static_cast<int>(RoundToRow(display.TunePreviousRow)), 68,
               static_cast<int>(std::clamp<int64_t>(y, -1000000000, 1000000000)), MarkerRed);
    display.TunePreviousRow = static_cast<float>(y);
    image.CopyRect(1, 0, 69, 256, 0, 0);
}

DisplayHooks MakeDisplayHooks(DisplayState& display, const Settings& settings) {
    DisplayHooks hooks;
    hooks.CorrelogramColumn = [&display](const ChainState& chain) {
        PaintCorrelogramColumn(display, chain);
        ClearUpperVectorState();
    };
    hooks.DopplergramColumn = [&display, &settings](const ChainState& chain) {
        PaintDopplergramColumn(display, chain, settings);
        ClearUpperVectorState();
    };
    hooks.ScattergramColumn = [&display, &settings](const ChainState& chain) {
        PaintScattergramColumn(display, chain, settings);
        ClearUpperVectorState();
    };
    hooks.CorrelationTrace = [&display](const ChainState& chain) {
        PaintCorrelationTrace(display, chain);
        ClearUpperVectorState();
    };
    hooks.TuneIndicator = [&display](int32_t hz) {
        UpdateTuneIndicator(display, hz);
        ClearUpperVectorState();
    };
    return hooks;
}

} // namespace rx
