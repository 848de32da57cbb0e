// SPDX-License-Identifier: GPL-3.0-or-later
// The one picture size of reelmaker: the preview box and every movie frame.
#pragma once

#include <cstdint>

namespace reelmaker {

inline constexpr int kFrameWidth = 564; // pixels
inline constexpr int kFrameHeight = 400;
inline constexpr int kFrameBitCount = 24; // a full frame: blue, green, red per pixel
// Rows of a full frame are padded to whole 32-bit words; 1692 bytes need no padding.
inline constexpr uint32_t kFrameRowBytes = (kFrameBitCount / 8 * kFrameWidth + 3) & ~3u;
inline constexpr uint32_t kFrameBytes = kFrameRowBytes * kFrameHeight; // 676800
static_assert(kFrameRowBytes == 1692 && kFrameBytes == 676800);

} // namespace reelmaker
