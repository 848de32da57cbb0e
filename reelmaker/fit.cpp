// SPDX-License-Identifier: GPL-3.0-or-later
#include "reelmaker/fit.h"

#include <cmath>
#include <limits>

namespace {

// s x n in extended precision, rounded to nearest even; saturated so that absurd
// sizes handed to the exported routine cannot overflow.
int64_t ScaledSize(float scale, int32_t n) {
    const long double v = std::nearbyint(static_cast<long double>(scale) * n);
    constexpr long double lo = std::numeric_limits<int32_t>::min();
    constexpr long double hi = std::numeric_limits<int32_t>::max();
    if (!(v >= lo)) return std::numeric_limits<int32_t>::min();
    if (v > hi) return std::numeric_limits<int32_t>::max();
    return static_cast<int64_t>(v);
}

int32_t Saturate(int64_t v) {
    if (v < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
    if (v > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
    return static_cast<int32_t>(v);
}

} // namespace

extern "C" void SKICONISE(int32_t pictureWidth, int32_t pictureHeight, int32_t boxWidth,
                          int32_t boxHeight, int32_t* left, int32_t* top, int32_t* width,
                          int32_t* height) {
    float scale = 0.0f;
    if (pictureWidth != 0)
        scale = static_cast<float>(static_cast<long double>(boxWidth) / pictureWidth);
    int64_t w = ScaledSize(scale, pictureWidth);
    int64_t h = ScaledSize(scale, pictureHeight);
    if (boxHeight < h) { // too tall: fit the height instead
        if (pictureHeight != 0)
            scale = static_cast<float>(static_cast<long double>(boxHeight) / pictureHeight);
        w = ScaledSize(scale, pictureWidth);
        h = ScaledSize(scale, pictureHeight);
    }
    if (left) *left = Saturate((static_cast<int64_t>(boxWidth) - w) / 2);
    if (top) *top = Saturate((static_cast<int64_t>(boxHeight) - h) / 2);
    if (width) *width = static_cast<int32_t>(w);
    if (height) *height = static_cast<int32_t>(h);
}

namespace reelmaker {

FitRect FitPicture(int32_t pictureWidth, int32_t pictureHeight, int32_t boxWidth,
                   int32_t boxHeight) {
    FitRect r;
    SKICONISE(pictureWidth, pictureHeight, boxWidth, boxHeight, &r.X, &r.Y, &r.Width, &r.Height);
    return r;
}

} // namespace reelmaker
