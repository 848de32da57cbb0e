// SPDX-License-Identifier: GPL-3.0-or-later
// The one picture size of reelmaker: the preview box and every movie frame.
#pragma once

#include <cstdint>

namespace reelmaker {

inline constexpr int FrameWidth = 564; // pixels
inline constexpr int FrameHeight = 400;
inline constexpr int FrameBitCount = 24; // a full frame: blue, green, red per pixel
// Rows of a full frame are padded to whole 32-bit words; 1692 bytes need no padding.
inline constexpr uint32_t FrameRowBytes = (FrameBitCount / 8 * FrameWidth + 3) & ~3u;
inline constexpr uint32_t FrameBytes = FrameRowBytes * FrameHeight; // 676800
static_assert(FrameRowBytes == 1692 && FrameBytes == 676800);

} // namespace reelmaker
