#include "moviemaker/picture.h"

#include "moviemaker/fit.h"

#include <QImageReader>
#include <QPainter>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace reel {

namespace {

// Mixes two packed pixels channel by channel; weight 0..256 is the share of b.
inline uint32_t Mix(uint32_t a, uint32_t b, uint32_t weight) {
    const uint32_t inverse = 256 - weight;
    const uint32_t rb =
        (((a & 0x00FF00FFu) * inverse + (b & 0x00FF00FFu) * weight) >> 8) & 0x00FF00FFu;
    const uint32_t ag =
        ((((a >> 8) & 0x00FF00FFu) * inverse + ((b >> 8) & 0x00FF00FFu) * weight)) & 0xFF00FF00u;
    return rb | ag;
}

struct Tap {
    int first = 0;
    int second = 0;
    uint32_t weight = 0; // share of `second`, 0..256
};

// Bilinear taps with pixel centres aligned, for enlarging n source pixels to m.
std::vector<Tap> Taps(int n, int m) {
    std::vector<Tap> taps(static_cast<size_t>(m));
    for (int i = 0; i < m; ++i) {
        const double pos = (i + 0.5) * n / m - 0.5;
        const double clamped = std::clamp(pos, 0.0, double(n - 1));
        Tap& t = taps[size_t(i)];
        t.first = static_cast<int>(clamped);
        t.second = std::min(t.first + 1, n - 1);
        t.weight = static_cast<uint32_t>(std::lround((clamped - t.first) * 256));
    }
    return taps;
}

// Enlarges an opaque RGB32 picture into the box at `fit` by bilinear interpolation: each
// source row is interpolated across once, then neighbouring rows are mixed.
void Enlarge(const QImage& picture, const FitRect& fit, QImage& box) {
    const std::vector<Tap> columns = Taps(picture.width(), fit.width);
    const std::vector<Tap> rows = Taps(picture.height(), fit.height);
    std::vector<uint32_t> upper(static_cast<size_t>(fit.width));
    std::vector<uint32_t> lower(static_cast<size_t>(fit.width));
    int upperRow = -1, lowerRow = -1;
    auto across = [&](int row, std::vector<uint32_t>& out) {
        const QRgb* line = reinterpret_cast<const QRgb*>(picture.constScanLine(row));
        for (int x = 0; x < fit.width; ++x) {
            const Tap& c = columns[size_t(x)];
            out[size_t(x)] = Mix(line[c.first], line[c.second], c.weight);
        }
    };
    for (int y = 0; y < fit.height; ++y) {
        const Tap& r = rows[size_t(y)];
        if (upperRow != r.first) {
            if (lowerRow == r.first) {
                std::swap(upper, lower);
                std::swap(upperRow, lowerRow);
            } else {
                across(r.first, upper);
                upperRow = r.first;
            }
        }
        if (lowerRow != r.second) {
            across(r.second, lower);
            lowerRow = r.second;
        }
        QRgb* out = reinterpret_cast<QRgb*>(box.scanLine(fit.y + y)) + fit.x;
        for (int x = 0; x < fit.width; ++x)
            out[x] = Mix(upper[size_t(x)], lower[size_t(x)], r.weight) | 0xFF000000u;
    }
}

} // namespace

PreviewState MakePreviewState() {
    PreviewState state;
    state.shown = QImage(kBoxWidth, kBoxHeight, QImage::Format_RGB32);
    state.shown.fill(state.background);
    return state;
}

std::optional<QImage> LoadPicture(const QString& path) {
    return LoadPicture(path, QImage());
}

std::optional<QImage> LoadPicture(const QString& path, QImage reuse) {
    if (path.isEmpty()) return std::nullopt;
    QImageReader reader(path);
    reader.setAutoTransform(false);
    if (!reader.read(&reuse) || reuse.isNull()) return std::nullopt;
    return reuse;
}

bool ShowPicture(PreviewState& state, const QString& path) {
    // The previous picture is released here; its memory may hold the new one.
    QImage previous = state.current ? std::move(*state.current) : QImage();
    state.current.reset();
    state.current = LoadPicture(path, std::move(previous));
    if (!state.current) return false;
    state.currentWidth = static_cast<uint32_t>(state.current->width());
    state.currentHeight = static_cast<uint32_t>(state.current->height());
    DrawPicture(state);
    return true;
}

void DrawPicture(PreviewState& state) {
    if (state.shown.size() != QSize(kBoxWidth, kBoxHeight) ||
        state.shown.format() != QImage::Format_RGB32)
        state.shown = QImage(kBoxWidth, kBoxHeight, QImage::Format_RGB32);
    state.shown.fill(state.background);
    if (!state.current) return;
    const FitRect fit =
        FitPicture(static_cast<int32_t>(state.currentWidth),
                   static_cast<int32_t>(state.currentHeight), kBoxWidth, kBoxHeight);
    if (fit.width <= 0 || fit.height <= 0) return;
    const QImage& picture = *state.current;
    if (picture.hasAlphaChannel()) {
        // Transparent parts show the background, as when drawn over the cleared box.
        const QImage scaled =
            picture.scaled(fit.width, fit.height, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        QPainter painter(&state.shown);
        painter.drawImage(QPoint(fit.x, fit.y), scaled);
        return;
    }
    // Opaque pictures: scale (area-averaging when reducing) and copy the rows in place.
    const QImage opaque = picture.format() == QImage::Format_RGB32
                              ? picture
                              : picture.convertToFormat(QImage::Format_RGB32);
    if (fit.width > opaque.width() && fit.height > opaque.height()) {
        Enlarge(opaque, fit, state.shown); // the gram snapshots: slightly enlarged
        return;
    }
    const QImage scaled =
        opaque.size() == QSize(fit.width, fit.height)
            ? opaque
            : opaque.scaled(fit.width, fit.height, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    for (int y = 0; y < fit.height; ++y) {
        std::memcpy(state.shown.scanLine(fit.y + y) + qsizetype(fit.x) * 4, scaled.constScanLine(y),
                    size_t(fit.width) * 4);
    }
}

} // namespace reel
