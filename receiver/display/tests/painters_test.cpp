// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/display/painters.h"

#include <QDir>
#include <QFontInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>

namespace display {
namespace {

constexpr QRgb Red = 0xFFFF0000u;
constexpr QRgb Blue = 0xFF0000FFu;
constexpr QRgb White = 0xFFFFFFFFu;
constexpr QRgb Black = 0xFF000000u;
constexpr QRgb Mid = 0xFF808080u;

QRgb G(int level) {
    return qRgb(level, level, level);
}

// A display with a fixed clock, writing snapshots into a temporary folder.
struct Fixture {
    QTemporaryDir Dir;
    DisplayState Display;
    std::unique_ptr<dsp::ChainState> Chain = dsp::MakeChainState();
    dsp::Settings Settings;
    dsp::ChainControls Controls;
    Fixture() {
        Display.Clock = [] { return TimeOfDay{14, 5, 9}; };
        Display.SnapshotFolder = Dir.path();
    }
    int FilesIn(const char* folder) const {
        return static_cast<int>(QDir(Dir.filePath(folder)).entryList(QDir::Files).size());
    }
};

bool AnyPixelIn(const PanelImage& image, QRect area, QRgb colour) {
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            if (image.PixelAt(x, y) == colour) return true;
    return false;
}

TEST(CorrelogramPainter, GreyLevelsOfSamplePositionsAndTheirMeans) {
    Fixture f;
    auto& a = f.Chain->Correlator.CorrAverage;
    a[512] = -3.0f;
    a[513] = 300.0f;
    a[514] = 127.5f;
    a[515] = 126.5f;
    a[516] = 0.0f;
    PaintCorrelogramColumn(f.Display, f.Chain->Correlator);
    const PanelImage& image = f.Display.CorrelogramImage;
    // Painted at x = 558, then scrolled one to the left.
    EXPECT_EQ(image.PixelAt(557, 197), Black);
    EXPECT_EQ(image.PixelAt(557, 196), G(148)); // (-3 + 300) / 2 = 148.5 -> 148
    EXPECT_EQ(image.PixelAt(557, 195), White);
    EXPECT_EQ(image.PixelAt(557, 194), G(214)); // (300 + 127.5) / 2 = 213.75
    EXPECT_EQ(image.PixelAt(557, 193), G(128)); // 127.5 -> 128
    EXPECT_EQ(image.PixelAt(557, 192), G(127)); // (128 + 126.5) / 2 = 127.25
    EXPECT_EQ(image.PixelAt(557, 191), G(126)); // 126.5 -> 126
    // The baseline runs across the panel on row 199; x = 558 keeps it as well.
    for (int x : {0, 300, 557, 558, 559})
        EXPECT_EQ(image.PixelAt(x, 199), Mid) << x;
    // 558 to 560 only receive copies of never-painted columns.
    EXPECT_EQ(image.PixelAt(558, 197), ButtonFaceColour);
    EXPECT_EQ(image.PixelAt(559, 197), ButtonFaceColour);
    EXPECT_EQ(image.PixelAt(556, 197), ButtonFaceColour);
}

TEST(CorrelogramPainter, ScrollOfTenClampsTheFirstPositionsToTheBottomRows) {
    Fixture f;
    f.Display.CorrelogramScroll = 10;
    auto& a = f.Chain->Correlator.CorrAverage;
    for (int i = 0; i < 8; ++i)
        a[512 + i] = static_cast<float>(10 * i);
    PaintCorrelogramColumn(f.Display, f.Chain->Correlator);
    const PanelImage& image = f.Display.CorrelogramImage;
    // Positions 0..4 all land on rows 199 and 198; position 4 stays.
    EXPECT_EQ(image.PixelAt(557, 199), G(40));
    EXPECT_EQ(image.PixelAt(557, 198), G(45));
    // Position 5 on rows 197 and 196.
    EXPECT_EQ(image.PixelAt(557, 197), G(50));
    EXPECT_EQ(image.PixelAt(557, 196), G(55));
}

TEST(CorrelogramPainter, TimeMarkWithTheSixtyFourthColumnAndSnapshotEveryFourHundredth) {
    Fixture f;
    for (auto& v : f.Chain->Correlator.CorrAverage)
        v = 255.0f;
    const QRect textArea(500, 201, 61, 15);
    for (int column = 1; column <= 63; ++column)
        PaintCorrelogramColumn(f.Display, f.Chain->Correlator);
    EXPECT_FALSE(AnyPixelIn(f.Display.CorrelogramImage, textArea, WindowTextColour));
    EXPECT_EQ(f.Display.CorrelogramMarkCount, 63);
    PaintCorrelogramColumn(f.Display, f.Chain->Correlator);
    const PanelImage& image = f.Display.CorrelogramImage;
    EXPECT_EQ(f.Display.CorrelogramMarkCount, 0);
    // Text "14:05:09" written at (524, 205) and scrolled once: dark glyphs
    // right of x = 523 on rows from 205 down.
    EXPECT_TRUE(AnyPixelIn(image, QRect(523, 205, 38, 10), WindowTextColour));
    EXPECT_FALSE(AnyPixelIn(image, QRect(500, 200, 22, 16), WindowTextColour));
    // The tick from (557, 200) to (557, 205), end point left out, now at x = 556.
    for (int y = 200; y <= 204; ++y)
        EXPECT_EQ(image.PixelAt(556, y), Mid) << y;
    EXPECT_NE(image.PixelAt(556, 205), Mid);

    // Auto-save off: the 400th column resets the counter and writes nothing.
    while (f.Display.CorrelogramSaveCount != 0)
        PaintCorrelogramColumn(f.Display, f.Chain->Correlator);
    EXPECT_EQ(f.FilesIn("Correlograms"), 0);
    // Switched on after the 390th column of a cycle: saved 10 columns later.
    for (int column = 1; column <= 390; ++column)
        PaintCorrelogramColumn(f.Display, f.Chain->Correlator);
    f.Display.AutoSaveCorrelogram = SwitchOn;
    for (int column = 391; column <= 399; ++column)
        PaintCorrelogramColumn(f.Display, f.Chain->Correlator);
    EXPECT_EQ(f.FilesIn("Correlograms"), 0);
    PaintCorrelogramColumn(f.Display, f.Chain->Correlator);
    EXPECT_EQ(f.FilesIn("Correlograms"), 1);
    EXPECT_TRUE(QFile::exists(f.Dir.filePath("Correlograms/140509correlogram.BMP")));
    EXPECT_EQ(QFileInfo(f.Dir.filePath("Correlograms/140509correlogram.BMP")).size(), 362934);
    EXPECT_EQ(f.Display.SnapshotsWritten, 1);
}

TEST(DopplergramPainter, ProfileLevelsBaselineAndTimeMark) {
    Fixture f;
    f.Chain->Doppler.DopplerProfile[0] = 510.0f;
    f.Chain->Doppler.DopplerProfile[1] = 0.0f;
    f.Chain->Doppler.DopplerProfile[2] = 255.0f;
    f.Chain->Doppler.DopplerProfile[255] = 0.0f;
    PaintDopplergramColumn(f.Display, f.Chain->Doppler, f.Settings);
    const PanelImage& image = f.Display.DopplergramImage;
    for (int x : {397, 398}) {
        EXPECT_EQ(image.PixelAt(x, 0), Black);
        EXPECT_EQ(image.PixelAt(x, 1), White);
        EXPECT_EQ(image.PixelAt(x, 2), G(128)); // 127.5 rounds to even
        EXPECT_EQ(image.PixelAt(x, 255), Mid);  // the baseline covers row 255
    }
    EXPECT_EQ(image.PixelAt(399, 1), ButtonFaceColour);
    EXPECT_EQ(image.PixelAt(396, 1), ButtonFaceColour);

    // A gain change reaches the next column: 255 at gain 2 is black.
    f.Settings.DopplerGain = 2.0f;
    PaintDopplergramColumn(f.Display, f.Chain->Doppler, f.Settings);
    EXPECT_EQ(image.PixelAt(397, 2), Black);
    EXPECT_EQ(image.PixelAt(396, 2), G(128));

    for (int column = 3; column <= 63; ++column)
        PaintDopplergramColumn(f.Display, f.Chain->Doppler, f.Settings);
    EXPECT_FALSE(AnyPixelIn(image, QRect(360, 256, 41, 15), WindowTextColour));
    PaintDopplergramColumn(f.Display, f.Chain->Doppler, f.Settings);
    EXPECT_TRUE(AnyPixelIn(image, QRect(375, 260, 25, 11), WindowTextColour));
    // Tick after the scroll: rows 255..259 at x = 397.
    for (int y = 255; y <= 259; ++y)
        EXPECT_EQ(image.PixelAt(397, y), Mid) << y;
}

TEST(DopplergramPainter, SnapshotAtTheFourHundredthColumnWhenOn) {
    Fixture f;
    f.Display.AutoSaveDopplergram = SwitchOn;
    for (int column = 1; column <= 399; ++column)
        PaintDopplergramColumn(f.Display, f.Chain->Doppler, f.Settings);
    EXPECT_EQ(f.FilesIn("Dopplergrams"), 0);
    PaintDopplergramColumn(f.Display, f.Chain->Doppler, f.Settings);
    EXPECT_EQ(QFileInfo(f.Dir.filePath("Dopplergrams/140509dopplergram.BMP")).size(), 325254);
    EXPECT_EQ(f.Display.DopplergramSaveCount, 0);
}

TEST(CorrelationTracePainter, FirstClearButtonFaceThenWhiteWithBlueTraceAndRedMarkers) {
    Fixture f;
    auto& trace = f.Chain->Correlator.TracePoints;
    trace.Count = 512;
    for (int i = 0; i < 1024; ++i)
        trace.Points[i] = {10.4f, static_cast<float>(512 - i)};
    f.Display.MarkerLag = 262; // pointer at window row 300
    f.Controls.LagOffset = 500;
    PaintCorrelationTrace(f.Display, f.Chain->Correlator, f.Controls);
    const PanelImage& image = f.Display.CorrelationImage;
    EXPECT_EQ(image.PixelAt(30, 100), ButtonFaceColour);
    // The trace from (10, 512) up to (10, 1), the last point left out.
    EXPECT_EQ(image.PixelAt(10, 509), Blue);
    EXPECT_EQ(image.PixelAt(10, 2), Blue);
    EXPECT_NE(image.PixelAt(10, 1), Blue);
    EXPECT_NE(image.PixelAt(11, 300), Blue);
    // Marker lines across the whole panel width.
    for (int x : {0, 10, 67}) {
        EXPECT_EQ(image.PixelAt(x, 250), Red) << x;
        EXPECT_EQ(image.PixelAt(x, 12), Red) << x;
    }
    PaintCorrelationTrace(f.Display, f.Chain->Correlator, f.Controls);
    EXPECT_EQ(image.PixelAt(30, 100), White);
    EXPECT_EQ(image.Foreground(), Red);
    EXPECT_EQ(image.Background(), White);
}

TEST(CorrelationTracePainter, MarkerAtLagZeroLiesBelowTheImageAndWildValuesAreClipped) {
    Fixture f;
    auto& trace = f.Chain->Correlator.TracePoints;
    trace.Count = 512;
    for (int i = 0; i < 1024; ++i)
        trace.Points[i] = {i % 2 ? 3.0e9f : -1.0e30f, 512.0f - i};
    PaintCorrelationTrace(f.Display, f.Chain->Correlator, f.Controls);
    PaintCorrelationTrace(f.Display, f.Chain->Correlator, f.Controls);
    const PanelImage& image = f.Display.CorrelationImage;
    for (int y = 0; y < image.Height(); ++y)
        EXPECT_NE(image.PixelAt(5, y), Red) << y;
    EXPECT_TRUE(AnyPixelIn(image, QRect(0, 0, 68, 510), Blue));
}

TEST(ScattergramPainter, LogScaleOnWhiteAndOnBlack) {
    Fixture f;
    f.Chain->Doppler.SlowRow = 65; // column 1, no time text
    f.Chain->Doppler.DopplerMatrixAt(1, 0) = 10.0f;
    f.Chain->Doppler.DopplerMatrixAt(1, 1) = 1000.0f;
    f.Chain->Doppler.DopplerMatrixAt(1, 2) = 1.0f;
    PaintScattergramColumn(f.Display, f.Chain->Doppler, f.Settings);
    const PanelImage& image = f.Display.ScattergramImage;
    EXPECT_EQ(image.PixelAt(1, 0), G(105));
    EXPECT_EQ(image.PixelAt(1, 1), Black);
    EXPECT_EQ(image.PixelAt(1, 2), White); // magnitudes up to 1 paint the background
    EXPECT_EQ(image.PixelAt(1, 254), White);
    EXPECT_EQ(image.PixelAt(0, 0), ButtonFaceColour);

    f.Display.ScatterBlack = SwitchOn;
    PaintScattergramColumn(f.Display, f.Chain->Doppler, f.Settings);
    EXPECT_EQ(image.PixelAt(1, 0), G(150));
    EXPECT_EQ(image.PixelAt(1, 1), White);
    EXPECT_EQ(image.PixelAt(1, 2), Black);
    EXPECT_EQ(image.PixelAt(1, 254), Black);

    // A gain of 0 paints the background everywhere.
    f.Settings.ScatterGain = 0.0f;
    PaintScattergramColumn(f.Display, f.Chain->Doppler, f.Settings);
    EXPECT_EQ(image.PixelAt(1, 1), Black);
}

TEST(ScattergramPainter, TimeTextEverySixtyFourBlocksSnapshotOnlyAtSlowRowZero) {
    Fixture f;
    f.Display.AutoSaveScattergram = SwitchOn;
    const QRect textArea(1, 245, 40, 10);
    f.Chain->Doppler.SlowRow = 64;
    PaintScattergramColumn(f.Display, f.Chain->Doppler, f.Settings);
    EXPECT_TRUE(AnyPixelIn(f.Display.ScattergramImage, textArea, Black));
    EXPECT_FALSE(f.Display.ScattergramImage.OpaqueText());
    EXPECT_EQ(f.FilesIn("Scattergrams"), 0);
    // Column 0 itself is repainted white below the text only in rows the
    // text does not cover; the text stays transparent over it.
    EXPECT_EQ(f.Display.ScattergramImage.PixelAt(0, 100), White);

    f.Chain->Doppler.SlowRow = 0;
    PaintScattergramColumn(f.Display, f.Chain->Doppler, f.Settings);
    EXPECT_EQ(QFileInfo(f.Dir.filePath("Scattergrams/140509scattergram.BMP")).size(), 54326);

    Fixture black;
    black.Display.ScatterBlack = SwitchOn;
    black.Chain->Doppler.SlowRow = 128;
    PaintScattergramColumn(black.Display, black.Chain->Doppler, black.Settings);
    EXPECT_TRUE(AnyPixelIn(black.Display.ScattergramImage, textArea, White));
    EXPECT_EQ(black.Display.SnapshotsWritten + black.Display.SnapshotsFailed, 0);
}

TEST(TunePainter, RowsForZeroAndPlusMinusTwentyHertz) {
    for (const auto& [hz, row] : {std::pair{0, 128}, {-20, 88}, {20, 168}}) {
        Fixture f;
        UpdateTuneIndicator(f.Display, hz);
        UpdateTuneIndicator(f.Display, hz);
        const PanelImage& image = f.Display.TuneImage;
        // The second, flat segment starts at the row of the first one's end.
        EXPECT_EQ(image.PixelAt(66, row), Red) << hz;
        EXPECT_EQ(f.Display.TunePreviousRow, static_cast<float>(row));
        // The newest column is the white erase, shifted to x = 67.
        for (int y = 0; y < image.Height(); ++y)
            ASSERT_EQ(image.PixelAt(67, y), White) << y;
        // Column 69 is never painted; 68 is its copy.
        EXPECT_EQ(image.PixelAt(69, 10), ButtonFaceColour);
        EXPECT_EQ(image.PixelAt(68, 10), ButtonFaceColour);
    }
}

TEST(TunePainter, FirstSegmentStartsAtRowZero) {
    Fixture f;
    UpdateTuneIndicator(f.Display, 0);
    const PanelImage& image = f.Display.TuneImage;
    // (67, 0) to (68, 128): rows 0..64 in the first column, 65..127 in the
    // second, the end point left out; both scrolled one to the left.
    EXPECT_EQ(image.PixelAt(66, 0), Red);
    EXPECT_EQ(image.PixelAt(66, 64), Red);
    EXPECT_EQ(image.PixelAt(66, 65), ButtonFaceColour);
    EXPECT_EQ(image.PixelAt(67, 65), Red);
    EXPECT_EQ(image.PixelAt(67, 127), Red);
    EXPECT_EQ(image.PixelAt(67, 128), White);
    EXPECT_EQ(image.PixelAt(67, 0), White);
}

TEST(DisplayHooksWiring, HooksRunThePaintersWithLiveGains) {
    Fixture f;
    const dsp::DisplayHooks hooks = MakeDisplayHooks(f.Display, f.Settings, f.Controls);
    f.Chain->Doppler.DopplerProfile[5] = 255.0f;
    f.Settings.DopplerGain = 2.0f; // changed after the hooks were made
    hooks.DopplergramColumn(f.Chain->Doppler);
    EXPECT_EQ(f.Display.DopplergramImage.PixelAt(397, 5), Black);
    hooks.CorrelogramColumn(f.Chain->Correlator);
    EXPECT_EQ(f.Display.CorrelogramMarkCount, 1);
    hooks.TuneIndicator(3);
    EXPECT_EQ(f.Display.TunePreviousRow, 134.0f);
    hooks.CorrelationTrace(f.Chain->Correlator);
    EXPECT_EQ(f.Display.CorrelationImage.Background(), White);
    f.Chain->Doppler.SlowRow = 70;
    hooks.ScattergramColumn(f.Chain->Doppler);
    EXPECT_EQ(f.Display.ScattergramImage.PixelAt(6, 0), White);
}

TEST(PanelPngs, FiveFinalPicturesAreWritten) {
    Fixture f;
    ASSERT_TRUE(WritePanelPngs(f.Display, f.Dir.path()));
    for (const char* name : {"final-correlation.png", "final-correlogram.png",
                             "final-dopplergram.png", "final-scattergram.png", "final-tune.png"}) {
        QImage back(f.Dir.filePath(name));
        EXPECT_FALSE(back.isNull()) << name;
    }
    EXPECT_EQ(QImage(f.Dir.filePath("final-correlogram.png")).size(), QSize(561, 216));
    EXPECT_FALSE(WritePanelPngs(f.Display, f.Dir.filePath("missing/folder")));
}

} // namespace
} // namespace display

namespace display {
namespace {

TEST(PanelFontChoice, ResolvesToATimesRomanTwinAtNinePixels) {
    const QFont font = MakePanelFont();
    const QFontInfo info(font);
    const QString family = info.family();
    // Qt may append the foundry: "Nimbus Roman [urw]".
    EXPECT_TRUE(family.startsWith("Nimbus Roman") || family.startsWith("Liberation Serif") ||
                family.startsWith("Times"))
        << family.toStdString();
    EXPECT_EQ(info.pixelSize(), 9);
}

} // namespace
} // namespace display
