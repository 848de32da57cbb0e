// SPDX-License-Identifier: GPL-3.0-or-later
// The persistent off-screen picture of one display panel and the few drawing
// operations the painters use.  Pixels go straight into the image's scan
// lines; only text goes through QPainter.  The image keeps everything drawn
// into it until it is overwritten, so scrolling panels keep their history.
#pragma once

#include <QFont>
#include <QImage>
#include <QPointF>
#include <QString>

#include <cstdint>
#include <functional>
#include <span>

namespace display {

// Fixed so that pictures come out the same on every machine.
inline constexpr QRgb ButtonFaceColour = 0xFFF0F0F0u; // (240, 240, 240)
inline constexpr QRgb WindowTextColour = 0xFF000000u; // (0, 0, 0)

// grey(v): v rounded to the nearest integer (halves to even), clamped to 0..255.
int32_t GreyLevel(double v);
// The opaque colour with that level in red, green and blue.
QRgb Grey(double v);

class PanelImage {
  public:
    PanelImage(int width, int height);
    PanelImage(const PanelImage&) = delete;
    PanelImage& operator=(const PanelImage&) = delete;
    PanelImage(PanelImage&&) = default;
    PanelImage& operator=(PanelImage&&) = default;

    int Width() const { return image_.width(); }
    int Height() const { return image_.height(); }
    const QImage& Image() const { return image_; }
    // Colour at (x, y), opaque RGB; 0 outside the image.
    QRgb PixelAt(int x, int y) const;

    QRgb Foreground() const { return foreground_; }
    QRgb Background() const { return background_; }
    bool OpaqueText() const { return opaqueText_; }
    QPoint TextPosition() const { return textPosition_; }
    void SetForeground(QRgb colour) { foreground_ = colour | 0xFF000000u; }
    void SetBackground(QRgb colour) { background_ = colour | 0xFF000000u; }
    void SetOpaqueText(bool opaque) { opaqueText_ = opaque; }

    // One pixel; outside the image nothing happens.  No refresh.  (scanLine()
    // detaches, so a copy of Image() taken by a caller is never written.)
    void SetPixel(int x, int y, QRgb colour) {
        if (static_cast<unsigned>(x) < static_cast<unsigned>(image_.width()) &&
            static_cast<unsigned>(y) < static_cast<unsigned>(image_.height()))
            reinterpret_cast<QRgb*>(image_.scanLine(y))[x] = colour | 0xFF000000u;
    }
    // A one-pixel line from (x1, y1) to (x2, y2) by the classic Bresenham rule;
    // the end point itself is not painted.  Refreshes.
    void Line(int x1, int y1, int x2, int y2, QRgb colour);
    // Lines through the points, each rounded to the nearest pixel (halves to
    // even); the last point is not painted.  Refreshes once.
    void Polyline(std::span<const QPointF> points, QRgb colour);
    // Text with its top-left corner at (x, y) in the foreground colour, on an
    // opaque background-colour box or transparent.  Refreshes.
    void Text(const QString& text, const QFont& font, int x, int y);
    // The whole image in one colour.  Refreshes.
    void Clear(QRgb colour);
    // Copies the rectangle with inclusive corners (x1, y1)-(x2, y2) onto the
    // same image at (xd, yd), limited to the image; (1,0)-(w-1,h-1) to (0,0)
    // scrolls one pixel to the left.  Refreshes.
    void CopyRect(int x1, int y1, int x2, int y2, int xd, int yd);

    // Shows the image on screen, when a widget has installed itself.
    void Refresh() const {
        if (onRefresh_) onRefresh_();
    }
    void SetRefreshHandler(std::function<void()> handler) { onRefresh_ = std::move(handler); }

  private:
    void LineNoRefresh(int x1, int y1, int x2, int y2, QRgb colour);

    QImage image_;
    QRgb foreground_ = WindowTextColour;
    QRgb background_ = ButtonFaceColour;
    bool opaqueText_ = true;
    QPoint textPosition_{0, 0};
    std::function<void()> onRefresh_;
};

} // namespace display
