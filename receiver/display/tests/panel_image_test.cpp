// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/display/panel_image.h"
#include "receiver/display/panel_widget.h"

#include <QFont>
#include <QPointF>

#include <gtest/gtest.h>

#include <vector>

namespace display {
namespace {

constexpr QRgb Red = 0xFFFF0000u;
constexpr QRgb White = 0xFFFFFFFFu;

// Collects the painted pixels of one colour as (x, y) pairs, row by row.
std::vector<std::pair<int, int>> PixelsOf(const PanelImage& image, QRgb colour) {
    std::vector<std::pair<int, int>> found;
    for (int y = 0; y < image.Height(); ++y)
        for (int x = 0; x < image.Width(); ++x)
            if (image.PixelAt(x, y) == colour) found.emplace_back(x, y);
    return found;
}

TEST(GreyScale, RoundsHalvesToEvenAndClamps) {
    EXPECT_EQ(GreyLevel(-3.0), 0);
    EXPECT_EQ(GreyLevel(300.0), 255);
    EXPECT_EQ(GreyLevel(127.5), 128);
    EXPECT_EQ(GreyLevel(126.5), 126);
    EXPECT_EQ(GreyLevel(-0.5), 0);
    EXPECT_EQ(GreyLevel(255.5), 255);
    EXPECT_EQ(Grey(127.5), qRgb(128, 128, 128));
}

TEST(PanelImageBasics, NewImageIsButtonFaceWithBlackTextOnOpaqueButtonFace) {
    PanelImage image(68, 255);
    EXPECT_EQ(image.Image().format(), QImage::Format_RGB32);
    EXPECT_EQ(image.Width(), 68);
    EXPECT_EQ(image.Height(), 255);
    EXPECT_EQ(PixelsOf(image, ButtonFaceColour).size(), 68u * 255u);
    EXPECT_EQ(image.Foreground(), WindowTextColour);
    EXPECT_EQ(image.Background(), ButtonFaceColour);
    EXPECT_TRUE(image.OpaqueText());
}

TEST(PanelImageBasics, PixelsOutsideTheImageAreIgnoredAndDoNotRefresh) {
    PanelImage image(4, 3);
    int refreshes = 0;
    image.SetRefreshHandler([&] { ++refreshes; });
    image.SetPixel(-1, 0, Red);
    image.SetPixel(4, 0, Red);
    image.SetPixel(0, 3, Red);
    image.SetPixel(3, 2, Red);
    EXPECT_EQ(PixelsOf(image, Red), (std::vector<std::pair<int, int>>{{3, 2}}));
    EXPECT_EQ(refreshes, 0);
    image.Clear(White);
    EXPECT_EQ(refreshes, 1);
    EXPECT_EQ(PixelsOf(image, White).size(), 12u);
}

TEST(PanelImageLine, EndPointIsNotPainted) {
    PanelImage image(10, 10);
    image.Line(1, 2, 5, 2, Red);
    EXPECT_EQ(PixelsOf(image, Red),
              (std::vector<std::pair<int, int>>{{1, 2}, {2, 2}, {3, 2}, {4, 2}}));
    PanelImage vertical(10, 10);
    vertical.Line(3, 7, 3, 4, Red);
    EXPECT_EQ(PixelsOf(vertical, Red), (std::vector<std::pair<int, int>>{{3, 5}, {3, 6}, {3, 7}}));
    PanelImage dot(10, 10);
    dot.Line(4, 4, 4, 4, Red);
    EXPECT_TRUE(PixelsOf(dot, Red).empty());
}

TEST(PanelImageLine, SlopedLinesFollowBresenhamWithHalvesTowardsTheStart) {
    // From (0,0) to (4,2): the minor offsets are round(k/2) with halves down: 0,0,1,1.
    PanelImage image(10, 10);
    image.Line(0, 0, 4, 2, Red);
    EXPECT_EQ(PixelsOf(image, Red),
              (std::vector<std::pair<int, int>>{{0, 0}, {1, 0}, {2, 1}, {3, 1}}));
    // The tune segment shape: one column over, four rows down.
    PanelImage tune(70, 10);
    tune.Line(67, 2, 68, 6, Red);
    EXPECT_EQ(PixelsOf(tune, Red),
              (std::vector<std::pair<int, int>>{{67, 2}, {67, 3}, {67, 4}, {68, 5}}));
    // Leftwards and upwards the same rule applies from the start point.
    PanelImage back(10, 10);
    back.Line(4, 2, 0, 0, Red);
    EXPECT_EQ(PixelsOf(back, Red),
              (std::vector<std::pair<int, int>>{{1, 1}, {2, 1}, {3, 2}, {4, 2}}));
}

TEST(PanelImageLine, FarOffLinesAreClippedWithoutWalkingTheWholeLine) {
    PanelImage image(68, 510);
    image.Line(-2000000000, 5, 2000000000, 5, Red);
    EXPECT_EQ(PixelsOf(image, Red).size(), 68u);
    PanelImage diagonal(10, 10);
    diagonal.Line(-5, -5, 20, 20, Red);
    const auto pixels = PixelsOf(diagonal, Red);
    ASSERT_EQ(pixels.size(), 10u);
    for (const auto& [x, y] : pixels)
        EXPECT_EQ(x, y);
}

TEST(PanelImagePolyline, RoundsPointsHalvesToEvenAndLeavesTheLastPointOut) {
    PanelImage image(10, 10);
    int refreshes = 0;
    image.SetRefreshHandler([&] { ++refreshes; });
    const std::vector<QPointF> points{{2.5, 1.0}, {2.5, 4.4}, {5.5, 4.0}};
    // (2.5,1) -> (2,1); (2.5,4.4) -> (2,4); (5.5,4) -> (6,4).
    image.Polyline(points, Red);
    EXPECT_EQ(PixelsOf(image, Red), (std::vector<std::pair<int, int>>{
                                        {2, 1}, {2, 2}, {2, 3}, {2, 4}, {3, 4}, {4, 4}, {5, 4}}));
    EXPECT_EQ(refreshes, 1);
}

TEST(PanelImageCopy, ScrollOneLeftMovesEveryColumnAndKeepsTheLast) {
    PanelImage image(5, 2);
    for (int x = 0; x < 5; ++x) {
        image.SetPixel(x, 0, qRgb(x, 0, 0));
        image.SetPixel(x, 1, qRgb(0, x, 0));
    }
    image.CopyRect(1, 0, 4, 1, 0, 0);
    for (int x = 0; x < 4; ++x) {
        EXPECT_EQ(image.PixelAt(x, 0), qRgb(x + 1, 0, 0));
        EXPECT_EQ(image.PixelAt(x, 1), qRgb(0, x + 1, 0));
    }
    EXPECT_EQ(image.PixelAt(4, 0), qRgb(4, 0, 0));
}

TEST(PanelImageCopy, RectangleBeyondTheImageIsLimitedToIt) {
    PanelImage image(4, 4);
    image.SetPixel(3, 3, Red);
    image.SetPixel(1, 1, White);
    // Source reaches past the right and bottom edges (like the scroll of
    // (1,0)-(398,274) on a 271-row image).
    image.CopyRect(1, 1, 10, 10, 0, 0);
    EXPECT_EQ(image.PixelAt(0, 0), White);
    EXPECT_EQ(image.PixelAt(2, 2), Red);
    // Downwards overlap copies without smearing.
    PanelImage down(1, 4);
    for (int y = 0; y < 4; ++y)
        down.SetPixel(0, y, qRgb(y, 0, 0));
    down.CopyRect(0, 0, 0, 2, 0, 1);
    EXPECT_EQ(down.PixelAt(0, 1), qRgb(0, 0, 0));
    EXPECT_EQ(down.PixelAt(0, 2), qRgb(1, 0, 0));
    EXPECT_EQ(down.PixelAt(0, 3), qRgb(2, 0, 0));
}

TEST(PanelImageText, OpaqueTextFillsTheBoxTransparentTextKeepsTheBackground) {
    QFont font("Liberation Serif");
    font.setPixelSize(9);
    font.setStyleStrategy(QFont::NoAntialias);
    PanelImage opaque(60, 20);
    opaque.Clear(White);
    opaque.SetBackground(qRgb(0, 255, 0));
    opaque.Text("12:34", font, 2, 3);
    EXPECT_EQ(opaque.PixelAt(2, 3), qRgb(0, 255, 0)); // top-left of the box
    EXPECT_EQ(opaque.PixelAt(1, 3), White);
    EXPECT_EQ(opaque.PixelAt(2, 2), White);
    EXPECT_FALSE(PixelsOf(opaque, WindowTextColour).empty());
    EXPECT_EQ(opaque.TextPosition(), QPoint(2, 3));

    PanelImage clear(60, 20);
    clear.Clear(White);
    clear.SetOpaqueText(false);
    clear.SetForeground(Red);
    clear.Text("12:34", font, 2, 3);
    EXPECT_FALSE(PixelsOf(clear, Red).empty());
    EXPECT_EQ(PixelsOf(clear, Red).size() + PixelsOf(clear, White).size(), 60u * 20u);
}

TEST(PanelImageBasics, CopiesOfTheImageAreNotWrittenThrough) {
    PanelImage image(3, 3);
    const QImage before = image.Image();
    image.SetPixel(1, 1, Red);
    EXPECT_EQ(before.pixel(1, 1), ButtonFaceColour);
    EXPECT_EQ(image.PixelAt(1, 1), Red);
}

TEST(PanelWidgetView, SizedWithBorderTransparentToMouseAndShowsTheImage) {
    PanelImage image(68, 255);
    image.Clear(Red);
    PanelWidget bordered(image, true);
    EXPECT_EQ(bordered.size(), QSize(70, 257));
    EXPECT_TRUE(bordered.testAttribute(Qt::WA_TransparentForMouseEvents));
    const QImage shot = bordered.grab().toImage().convertToFormat(QImage::Format_RGB32);
    EXPECT_EQ(shot.pixel(1, 1), Red);
    EXPECT_EQ(shot.pixel(68, 255), Red);
    EXPECT_NE(shot.pixel(0, 0), Red);
    EXPECT_NE(shot.pixel(69, 256), Red);

    PanelImage plain(561, 216);
    PanelWidget borderless(plain, false);
    EXPECT_EQ(borderless.size(), QSize(561, 216));
}

TEST(PanelWidgetView, RefreshHandlerIsRemovedWithTheWidget) {
    PanelImage image(4, 4);
    {
        PanelWidget widget(image, false);
        image.Clear(Red); // schedules a repaint of the live widget
    }
    image.Clear(White); // must not touch the destroyed widget
    EXPECT_EQ(image.PixelAt(0, 0), White);
}

} // namespace
} // namespace display
