// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/display/panel_image.h"

#include <QFontMetrics>
#include <QPainter>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace display {

int32_t GreyLevel(double v) {
    const double r = std::nearbyint(v);
    if (!(r > 0.0)) return 0; // also NaN: nothing sensible to show, paint black
    if (r > 255.0) return 255;
    return static_cast<int32_t>(r);
}

QRgb Grey(double v) {
    const int32_t g = GreyLevel(v);
    return qRgb(g, g, g);
}

PanelImage::PanelImage(int width, int height) : image_(width, height, QImage::Format_RGB32) {
    image_.fill(ButtonFaceColour);
}

QRgb PanelImage::PixelAt(int x, int y) const {
    if (x < 0 || y < 0 || x >= image_.width() || y >= image_.height()) return 0;
    return reinterpret_cast<const QRgb*>(image_.constScanLine(y))[x] | 0xFF000000u;
}

void PanelImage::LineNoRefresh(int x1, int y1, int x2, int y2, QRgb colour) {
    // Classic Bresenham over the major axis: step k = 0..n-1 (the end point,
    // step n, is left out); the minor offset is k * minor / n rounded to the
    // nearest integer with halves going towards the start point.  Only the
    // steps that can fall inside the image are visited, so a wild trace value
    // costs nothing.
    const int64_t dx = static_cast<int64_t>(x2) - x1;
    const int64_t dy = static_cast<int64_t>(y2) - y1;
    const bool xMajor = std::llabs(dx) >= std::llabs(dy);
    const int64_t n = xMajor ? std::llabs(dx) : std::llabs(dy);
    if (n == 0) return;
    const int64_t b = xMajor ? std::llabs(dy) : std::llabs(dx);
    const int64_t majorStart = xMajor ? x1 : y1;
    const int64_t minorStart = xMajor ? y1 : x1;
    const int64_t majorStep = (xMajor ? dx : dy) > 0 ? 1 : -1;
    const int64_t minorStep = (xMajor ? dy : dx) >= 0 ? 1 : -1;
    const int64_t majorLimit = xMajor ? image_.width() : image_.height();

    // Steps whose major coordinate lies in 0..majorLimit-1.
    int64_t kFirst = 0;
    int64_t kLast = n - 1;
    if (majorStep > 0) {
        kFirst = std::max<int64_t>(kFirst, -majorStart);
        kLast = std::min<int64_t>(kLast, majorLimit - 1 - majorStart);
    } else {
        kFirst = std::max<int64_t>(kFirst, majorStart - (majorLimit - 1));
        kLast = std::min<int64_t>(kLast, majorStart);
    }
    if (kFirst > kLast) return;

    // offset(k) = floor((2 k b + n - 1) / (2 n)); carried as quotient + remainder.
    const int64_t twoN = 2 * n;
    const __int128 numerator = static_cast<__int128>(2) * kFirst * b + (n - 1);
    int64_t offset = static_cast<int64_t>(numerator / twoN);
    int64_t rest = static_cast<int64_t>(numerator % twoN);
    const int64_t twoB = 2 * b;
    const QRgb pixel = colour | 0xFF000000u;
    for (int64_t k = kFirst; k <= kLast; ++k) {
        const int64_t major = majorStart + majorStep * k;
        const int64_t minor = minorStart + minorStep * offset;
        if (xMajor)
            SetPixel(static_cast<int>(major),
                     static_cast<int>(std::clamp<int64_t>(minor, -1, image_.height())), pixel);
        else
            SetPixel(static_cast<int>(std::clamp<int64_t>(minor, -1, image_.width())),
                     static_cast<int>(major), pixel);
        rest += twoB;
        if (rest >= twoN) {
            rest -= twoN;
            ++offset;
        }
    }
}

void PanelImage::Line(int x1, int y1, int x2, int y2, QRgb colour) {
    LineNoRefresh(x1, y1, x2, y2, colour);
    Refresh();
}

namespace {
// Nearest pixel, halves to even; far-off or undefined values end up far
// outside every panel, where clipping drops them.
int ToPixel(double v) {
    if (std::isnan(v)) return std::numeric_limits<int>::min() / 4;
    const double r = std::nearbyint(v);
    constexpr double limit = 1.0e9;
    return static_cast<int>(std::clamp(r, -limit, limit));
}
} // namespace

void PanelImage::Polyline(std::span<const QPointF> points, QRgb colour) {
    for (size_t i = 1; i < points.size(); ++i) {
        LineNoRefresh(ToPixel(points[i - 1].x()), ToPixel(points[i - 1].y()),
                      ToPixel(points[i].x()), ToPixel(points[i].y()), colour);
    }
    Refresh();
}

void PanelImage::Text(const QString& text, const QFont& font, int x, int y) {
    {
        QPainter painter(&image_);
        painter.setFont(font);
        const QFontMetrics metrics(font);
        if (opaqueText_) {
            painter.fillRect(QRect(x, y, metrics.horizontalAdvance(text), metrics.height()),
                             QColor::fromRgb(background_));
        }
        painter.setPen(QColor::fromRgb(foreground_));
        painter.drawText(x, y + metrics.ascent(), text);
    }
    textPosition_ = QPoint(x, y);
    Refresh();
}

void PanelImage::Clear(QRgb colour) {
    image_.fill(colour | 0xFF000000u);
    Refresh();
}

void PanelImage::CopyRect(int x1, int y1, int x2, int y2, int xd, int yd) {
    int64_t sx = x1, sy = y1, dx = xd, dy = yd;
    int64_t w = static_cast<int64_t>(x2) - x1 + 1;
    int64_t h = static_cast<int64_t>(y2) - y1 + 1;
    const int64_t iw = image_.width(), ih = image_.height();
    // Clip against the image on the source side, then on the destination side.
    auto clip = [&](int64_t& a, int64_t& b, int64_t& len, int64_t limit) {
        if (a < 0) {
            b -= a;
            len += a;
            a = 0;
        }
        if (b < 0) {
            a -= b;
            len += b;
            b = 0;
        }
        len = std::min({len, limit - a, limit - b});
    };
    clip(sx, dx, w, iw);
    clip(sy, dy, h, ih);
    if (w > 0 && h > 0) {
        const size_t bytes = static_cast<size_t>(w) * sizeof(QRgb);
        // Rows in an order that never reads a row already overwritten.
        const bool downwards = dy <= sy;
        for (int64_t r = 0; r < h; ++r) {
            const int64_t row = downwards ? r : h - 1 - r;
            // scanLine() may detach: take the writable row first.
            uchar* to = image_.scanLine(static_cast<int>(dy + row)) + dx * sizeof(QRgb);
            const uchar* from =
                image_.constScanLine(static_cast<int>(sy + row)) + sx * sizeof(QRgb);
            std::memmove(to, from, bytes);
        }
    }
    Refresh();
}

} // namespace display
