// SPDX-License-Identifier: GPL-3.0-or-later
// Picture loading and the fitted preview, which is also every movie frame.
#pragma once

#include "reelmaker/frame_size.h"

#include <QImage>
#include <QString>

#include <cstdint>
#include <optional>

namespace reelmaker {

// Pictures are fitted into the frame.
inline constexpr int BoxWidth = FrameWidth;
inline constexpr int BoxHeight = FrameHeight;
inline constexpr QRgb PreviewBackground = 0xFFC4C4C4; // opaque grey 196

// The current picture and what the preview shows. `shown` is the off-screen image that
// the preview widget displays and that a movie frame is taken from.
struct PreviewState {
    std::optional<QImage> Current; // none after a failed load
    uint32_t CurrentWidth = 0;     // of the last picture that loaded
    uint32_t CurrentHeight = 0;
    QRgb Background = PreviewBackground;
    QImage Shown;    // BoxWidth x BoxHeight, Format_RGB32
    QString Problem; // why the last load failed; empty after one that loaded
};

// An empty preview: the background colour only.
PreviewState MakePreviewState();

// One attempt to load a picture.
struct LoadedPicture {
    std::optional<QImage> Image; // none when it did not load
    uint32_t Width = 0;          // the picture's own size, also when `image` is smaller
    uint32_t Height = 0;
    QString Problem; // why it did not load, in words for the user; empty for no path
};

// Any format QImageReader reads, recognised by the file's content (the name's suffix only
// where the content does not tell). A picture much larger than the box is decoded
// straight to its fitted size. `reuse` lends its memory to a picture of the same size.
LoadedPicture LoadPicture(const QString& path, QImage reuse = QImage());

// Load, make current and draw. A failed load makes the current picture none, says why in
// `problem` and leaves `shown` as it was. Returns whether the picture loaded.
bool ShowPicture(PreviewState& state, const QString& path);

// Clear `shown` to the background and draw the current picture fitted, smoothly scaled.
void DrawPicture(PreviewState& state);

} // namespace reelmaker
