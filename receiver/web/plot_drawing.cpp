// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/web/plot_drawing.h"

#include <QDateTime>
#include <QFont>
#include <QFontMetrics>
#include <QPainter>

#include <algorithm>
#include <cmath>
#include <vector>

namespace web::plot {

namespace {

constexpr int PlotWidth = Width, PlotHeight = Height;
constexpr int64_t PlotSpanMs = SpanMs;
constexpr double BandAlpha = 0.3;
constexpr int PlotLeft = 52, PlotTop = 24, PlotRight = PlotWidth - 10, PlotBottom = PlotHeight - 24;
constexpr int PlotAreaWidth = PlotRight - PlotLeft;
constexpr int PlotAreaHeight = PlotBottom - PlotTop;

QFont PlotFont(bool bold = false) {
    QFont font;
    font.setFamilies({QStringLiteral("Liberation Sans"), QStringLiteral("Arial"),
                      QStringLiteral("Nimbus Sans")});
    font.setPixelSize(11);
    font.setBold(bold);
    return font;
}

// 1, 2 or 5 times a power of ten, near `span` / 5.
double TickStep(double span) {
    const double raw = span / 5.0;
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    for (double step : {1.0, 2.0, 5.0, 10.0})
        if (raw <= step * power) return step * power;
    return 10.0 * power;
}

QString TickText(double value, double step) {
    const int decimals = step >= 1.0 ? 0 : static_cast<int>(std::ceil(-std::log10(step)));
    return QString::number(value, 'f', decimals);
}

// What a plot shows: the time from FromMs to NowMs (SpanMs long) across,
// the values from Lo (bottom) to Hi (top) up.
struct Frame {
    int64_t FromMs, NowMs, SpanMs;
    double Lo = -1.0, Hi = 1.0;
};

// While the log holds less than a day, the time axis covers what there is
// (in whole 10 minutes), so a new station's first minutes fill the plot
// rather than a sliver at its right edge.
int64_t TimeSpanMs(int64_t nowUtcMs, const RowSource& rows) {
    int64_t earliestMs = nowUtcMs;
    rows(nowUtcMs - PlotSpanMs, nowUtcMs,
         [&](int64_t utcMs, const float*) { earliestMs = std::min(earliestMs, utcMs); });
    constexpr int64_t quantumMs = 10LL * 60 * 1000;
    return std::clamp((nowUtcMs - earliestMs) / quantumMs * quantumMs + quantumMs, quantumMs,
                      PlotSpanMs);
}

// The value range: the middle 90 % of all values and half as much again on
// either side, so blocks without a signal (their peak anywhere in the frame)
// do not squash the paths into a line; what lies outside is left out and
// counted.  A fixed scale instead, where one is given.  Returns how many
// values there are.
size_t FitValues(Frame& frame, const RowSource& rows, size_t slotCount, double minSpan,
                 std::optional<FixedScale> fixedScale) {
    std::vector<float> all;
    rows(frame.FromMs, frame.NowMs, [&](int64_t, const float* row) {
        for (size_t i = 0; i < slotCount; ++i)
            if (std::isfinite(row[i])) all.push_back(row[i]);
    });
    double lo = -1.0, hi = 1.0;
    if (!all.empty()) {
        const auto at = [&](double fraction) {
            const auto nth = all.begin() + static_cast<std::ptrdiff_t>(fraction * (all.size() - 1));
            std::nth_element(all.begin(), nth, all.end());
            return static_cast<double>(*nth);
        };
        const double low = at(0.05), high = at(0.95);
        const auto [least, most] = std::minmax_element(all.begin(), all.end());
        lo = std::max(static_cast<double>(*least), low - (high - low) * 0.5);
        hi = std::min(static_cast<double>(*most), high + (high - low) * 0.5);
    }
    const double middle = (lo + hi) / 2.0;
    const double half = std::max(hi - lo, minSpan) / 2.0 * 1.08;
    frame.Lo = middle - half;
    frame.Hi = middle + half;
    if (fixedScale) {
        // A little room either side, so that the ends still show.
        const double margin = (fixedScale->Hi - fixedScale->Lo) * 0.04;
        frame.Lo = fixedScale->Lo - margin;
        frame.Hi = fixedScale->Hi + margin;
    }
    return all.size();
}

// How many rows fall on each pixel of the plot area, series after series;
// `outside` counts the values off the scale.
std::vector<uint16_t> CountDots(const Frame& frame, const RowSource& rows,
                                std::span<const Series> series, const std::vector<size_t>& slot,
                                size_t& outside) {
    const size_t count = series.size();
    std::vector<uint16_t> dots(count * PlotAreaWidth * PlotAreaHeight, 0);
    const double lo = frame.Lo, hi = frame.Hi;
    const auto yOf = [&](float v) {
        return static_cast<int>(std::lround((hi - v) / (hi - lo) * (PlotAreaHeight - 1)));
    };
    rows(frame.FromMs, frame.NowMs, [&](int64_t utcMs, const float* row) {
        const int x = static_cast<int>((utcMs - frame.FromMs) * PlotAreaWidth / frame.SpanMs);
        if (x < 0 || x >= PlotAreaWidth) return;
        for (size_t s = 0; s < count; ++s) {
            const float v = row[slot[s]];
            if (!std::isfinite(v)) continue;
            // A band: every pixel from its low to its high value.
            int top = yOf(v), bottom = top;
            if (series[s].Band) {
                const float high = row[slot[s] + 1];
                if (!std::isfinite(high)) continue;
                top = std::max(yOf(high), 0);
                bottom = std::min(bottom, PlotAreaHeight - 1);
                if (top > bottom) continue;
            } else if (top < 0 || top >= PlotAreaHeight) {
                ++outside;
                continue;
            }
            for (int y = top; y <= bottom; ++y) {
                uint16_t& dot = dots[(s * PlotAreaHeight + size_t(y)) * PlotAreaWidth + x];
                if (dot < 0xFFFF) ++dot;
            }
        }
    });
    return dots;
}

constexpr QRgb GridColour = qRgb(0xE0, 0xE0, 0xE0);
constexpr QRgb TextColour = qRgb(0x30, 0x30, 0x30);

// The grid and its numbers: about five lines of values, and lines of UTC
// every three hours over a day, less over a shorter span (about six to twelve
// lines).
void DrawGrid(QImage& image, const Frame& frame) {
    QPainter painter(&image);
    painter.setFont(PlotFont());
    const double lo = frame.Lo, hi = frame.Hi;
    const double step = TickStep(hi - lo);
    for (double v = std::ceil(lo / step) * step; v <= hi; v += step) {
        const int y =
            PlotTop + static_cast<int>(std::lround((hi - v) / (hi - lo) * (PlotAreaHeight - 1)));
        painter.setPen(QColor(GridColour));
        painter.drawLine(PlotLeft, y, PlotRight - 1, y);
        painter.setPen(QColor(TextColour));
        painter.drawText(QRect(0, y - 7, PlotLeft - 5, 14), Qt::AlignRight | Qt::AlignVCenter,
                         TickText(std::abs(v) < step / 1000 ? 0.0 : v, step));
    }
    int64_t tickMs = 3LL * 3600 * 1000;
    for (const int64_t minutes : {5, 10, 15, 30, 60, 120})
        if (frame.SpanMs / (minutes * 60000) <= 12) {
            tickMs = std::min(tickMs, minutes * 60000);
            break;
        }
    for (int64_t t = (frame.FromMs / tickMs + 1) * tickMs; t <= frame.NowMs; t += tickMs) {
        const int x =
            PlotLeft + static_cast<int>((t - frame.FromMs) * PlotAreaWidth / frame.SpanMs);
        painter.setPen(QColor(GridColour));
        painter.drawLine(x, PlotTop, x, PlotBottom - 1);
        if (x > PlotRight - 45) continue; // the "UTC" at the end has that place
        painter.setPen(QColor(TextColour));
        painter.drawText(
            QRect(x - 30, PlotBottom + 3, 60, 14), Qt::AlignCenter,
            QDateTime::fromMSecsSinceEpoch(t, Qt::UTC).toString(QStringLiteral("HH:mm")));
    }
    painter.setPen(QColor(TextColour));
    painter.drawText(QRect(PlotRight - 60, PlotBottom + 3, 60, 14),
                     Qt::AlignRight | Qt::AlignVCenter, QStringLiteral("UTC"));
}

// The dots, the first series on top, darker where more rows fall on one
// pixel (on a logarithmic scale: a path that holds for hours is dark, a few
// stray blocks a light haze); bands lighter, under what they belong to.
void PaintDots(QImage& image, std::span<const Series> series, const std::vector<uint16_t>& dots) {
    for (size_t s = series.size(); s-- > 0;) {
        const QColor colour = QColor::fromRgb(series[s].Colour);
        const uint16_t* first = &dots[s * PlotAreaHeight * PlotAreaWidth];
        const uint16_t most = *std::max_element(first, first + PlotAreaHeight * PlotAreaWidth);
        const double scale =
            (series[s].Band ? 0.2 : 0.75) / std::log1p(std::max<double>(most, 2.0));
        for (int y = 0; y < PlotAreaHeight; ++y) {
            auto* line = reinterpret_cast<QRgb*>(image.scanLine(PlotTop + y)) + PlotLeft;
            const uint16_t* counts = first + y * PlotAreaWidth;
            for (int x = 0; x < PlotAreaWidth; ++x) {
                if (counts[x] == 0) continue;
                // A band is as light wherever it lies, however many rows.
                const double alpha = series[s].Band
                                         ? BandAlpha
                                         : std::min(1.0, 0.25 + scale * std::log1p(counts[x]));
                const QRgb under = line[x];
                const auto mix = [&](int over, int below) {
                    return static_cast<int>(std::lround(alpha * over + (1.0 - alpha) * below));
                };
                line[x] = qRgb(mix(colour.red(), qRed(under)), mix(colour.green(), qGreen(under)),
                               mix(colour.blue(), qBlue(under)));
            }
        }
    }
}

// The frame round the plot area, the title (with the share of values off the
// scale), the series' labels at the top right, and the text of an empty plot.
void DrawLabels(QImage& image, const QString& title, std::span<const Series> series, size_t outside,
                size_t valueCount, const QString& emptyText) {
    QPainter painter(&image);
    painter.setPen(QColor(0x80, 0x80, 0x80));
    painter.drawRect(PlotLeft - 1, PlotTop - 1, PlotAreaWidth + 1, PlotAreaHeight + 1);
    painter.setPen(Qt::black);
    painter.setFont(PlotFont(true));
    painter.drawText(QRect(PlotLeft, 4, 300, 16), Qt::AlignLeft | Qt::AlignVCenter, title);
    painter.setFont(PlotFont());
    if (outside > 0) {
        const int titleWidth = QFontMetrics(PlotFont(true)).horizontalAdvance(title);
        painter.setPen(QColor(TextColour));
        painter.drawText(QRect(PlotLeft + titleWidth + 12, 4, 250, 16),
                         Qt::AlignLeft | Qt::AlignVCenter,
                         QStringLiteral("%1 % of the values off the scale")
                             .arg(100.0 * outside / valueCount, 0, 'f', 1));
    }
    int x = PlotRight;
    for (size_t s = series.size(); s-- > 0;) {
        if (!series[s].Label) continue;
        const QString label = QString::fromLatin1(series[s].Label);
        const int width = painter.fontMetrics().horizontalAdvance(label);
        x -= width;
        painter.setPen(QColor(TextColour));
        painter.drawText(QRect(x, 4, width, 16), Qt::AlignLeft | Qt::AlignVCenter, label);
        x -= 14;
        painter.fillRect(x, 8, 9, 9, QColor::fromRgb(series[s].Colour));
        x -= 12;
    }
    if (!emptyText.isEmpty()) {
        painter.setPen(QColor(TextColour));
        painter.drawText(QRect(PlotLeft, PlotTop, PlotAreaWidth, PlotAreaHeight), Qt::AlignCenter,
                         emptyText);
    }
}

} // namespace

QImage Render(int64_t nowUtcMs, const QString& title, std::span<const Series> series,
              double minSpan, const RowSource& rows, const QString& emptyText,
              std::optional<FixedScale> fixedScale) {
    const int64_t spanMs = TimeSpanMs(nowUtcMs, rows);
    Frame frame{nowUtcMs - spanMs, nowUtcMs, spanMs};
    // Where each series' values are in a row: one slot, or two for a band.
    std::vector<size_t> slot(series.size());
    size_t slotCount = 0;
    for (size_t s = 0; s < series.size(); ++s) {
        slot[s] = slotCount;
        slotCount += series[s].Band ? 2 : 1;
    }
    const size_t valueCount = FitValues(frame, rows, slotCount, minSpan, fixedScale);
    size_t outside = 0;
    const std::vector<uint16_t> dots = CountDots(frame, rows, series, slot, outside);

    QImage image(PlotWidth, PlotHeight, QImage::Format_RGB32);
    image.fill(Qt::white);
    DrawGrid(image, frame);
    PaintDots(image, series, dots);
    DrawLabels(image, title, series, outside, valueCount, valueCount == 0 ? emptyText : QString());
    return image;
}

} // namespace web::plot
