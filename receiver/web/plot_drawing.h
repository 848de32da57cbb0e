// SPDX-License-Identifier: GPL-3.0-or-later
// One plot of the web view: values against UTC over the last 24 hours, each
// row a dot of each series (darker where rows pile up), or for a band series
// a vertical stroke from its low to its high value, lighter, under the dots.
#pragma once

#include <QImage>
#include <QRgb>
#include <QString>

#include <cstdint>
#include <functional>
#include <optional>
#include <span>

#include "receiver/display/window_layout.h"

namespace web::plot {

inline constexpr int Width = display::ClientWidth; // as wide as the receiver's picture
inline constexpr int Height = 240;
inline constexpr int64_t SpanMs = 24LL * 3600 * 1000;

struct Series {
    const char* Label; // in the legend; none: not listed there
    QRgb Colour;
    bool Band = false; // two values a row: low, high
};

// Hands every row from `fromMs` to `toMs` to `visit` with its time and its
// values, one for each series (two for a band), NaN for none.
using RowVisit = std::function<void(int64_t utcMs, const float* values)>;
using RowSource = std::function<void(int64_t fromMs, int64_t toMs, const RowVisit& visit)>;

// A scale fixed in advance (a share: 0..100 %) instead of one from the values.
struct FixedScale {
    double Lo = 0.0;
    double Hi = 0.0;
};

// The picture (Width x Height); `emptyText` in the middle when no row has a value.
QImage Render(int64_t nowUtcMs, const QString& title, std::span<const Series> series,
              double minSpan, const RowSource& rows, const QString& emptyText,
              std::optional<FixedScale> fixedScale = std::nullopt);

} // namespace web::plot
