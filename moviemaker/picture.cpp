#include "moviemaker/picture.h"

#include "moviemaker/fit.h"

#include <QImageReader>
#include <QPainter>

namespace reel {

PreviewState MakePreviewState() {
    PreviewState state;
    state.shown = QImage(kBoxWidth, kBoxHeight, QImage::Format_RGB32);
    state.shown.fill(state.background);
    return state;
}

std::optional<QImage> LoadPicture(const QString& path) {
    if (path.isEmpty()) return std::nullopt;
    QImageReader reader(path);
    reader.setAutoTransform(false);
    QImage image;
    if (!reader.read(&image) || image.isNull()) return std::nullopt;
    return image;
}

bool ShowPicture(PreviewState& state, const QString& path) {
    state.current = LoadPicture(path); // the previous picture is released here
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
    // Scale first (area-averaging when reducing), then place without further filtering.
    const QImage scaled = picture.size() == QSize(fit.width, fit.height)
                              ? picture
                              : picture.scaled(fit.width, fit.height, Qt::IgnoreAspectRatio,
                                               Qt::SmoothTransformation);
    QPainter painter(&state.shown);
    painter.drawImage(QPoint(fit.x, fit.y), scaled);
}

} // namespace reel
