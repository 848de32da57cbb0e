// SPDX-License-Identifier: GPL-3.0-or-later
// The picture-fitting rule shared by the preview and every movie frame.
#pragma once

#include <cstdint>

extern "C" {
// Fits a picture of pictureWidth x pictureHeight into a box, keeping its aspect ratio,
// touching the box on two opposite sides and centred. The scale is a 32-bit float;
// drawn sizes are rounded to nearest (ties to even); offsets truncate, so an odd margin
// leaves its extra pixel on the right or at the bottom. Exported from the executable.
void SKICONISE(int32_t pictureWidth, int32_t pictureHeight, int32_t boxWidth, int32_t boxHeight,
               int32_t* left, int32_t* top, int32_t* width, int32_t* height);
}

namespace reelmaker {

struct FitRect {
    int32_t X = 0;
    int32_t Y = 0;
    int32_t Width = 0;
    int32_t Height = 0;
};

FitRect FitPicture(int32_t pictureWidth, int32_t pictureHeight, int32_t boxWidth,
                   int32_t boxHeight);

} // namespace reelmaker
