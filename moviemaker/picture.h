// Picture loading and the fitted 564 x 400 preview, which is also every movie frame.
#pragma once

#include <QImage>
#include <QString>

#include <cstdint>
#include <optional>

namespace reel {

inline constexpr int kBoxWidth = 564;
inline constexpr int kBoxHeight = 400;
inline constexpr QRgb kPreviewBackground = 0xFFC4C4C4; // opaque grey 196

// The current picture and what the preview shows. `shown` is the off-screen image that
// the preview widget displays and that a movie frame is taken from.
struct PreviewState {
    std::optional<QImage> current; // none after a failed load
    uint32_t currentWidth = 0;     // of the last picture that loaded
    uint32_t currentHeight = 0;
    QRgb background = kPreviewBackground;
    QImage shown; // kBoxWidth x kBoxHeight, Format_RGB32
};

// An empty preview: the background colour only.
PreviewState MakePreviewState();

// Any format QImageReader reads; none when the file is missing, unreadable or no picture.
std::optional<QImage> LoadPicture(const QString& path);
// The same, reading into `reuse` so that a picture of the same size needs no new memory.
std::optional<QImage> LoadPicture(const QString& path, QImage reuse);

// Load, make current and draw. A failed load makes the current picture none and leaves
// `shown` as it was. Returns whether the picture loaded.
bool ShowPicture(PreviewState& state, const QString& path);

// Clear `shown` to the background and draw the current picture fitted, smoothly scaled.
void DrawPicture(PreviewState& state);

} // namespace reel
