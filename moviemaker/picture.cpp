#include "moviemaker/picture.h"

#include "moviemaker/fit.h"

#include <QImageReader>
#include <QPainter>

#include <algorithm>
#include <cstring>

namespace reel {

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
