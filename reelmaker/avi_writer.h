// SPDX-License-Identifier: GPL-3.0-or-later
// A RIFF AVI writer of our own: one video stream, an idx1 index, and the OpenDML
// extension (AVIX parts, ix00 and indx indexes) once the file passes 1 GiB.
#pragma once

#include "reelmaker/frame_size.h"

#include <QIODevice>

#include <cstdint>
#include <string>
#include <vector>

namespace reelmaker {

constexpr uint32_t MakeFourCC(char a, char b, char c, char d) {
    return static_cast<uint32_t>(static_cast<uint8_t>(a)) |
           static_cast<uint32_t>(static_cast<uint8_t>(b)) << 8 |
           static_cast<uint32_t>(static_cast<uint8_t>(c)) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(d)) << 24;
}

inline constexpr uint32_t StreamTypeVideo = MakeFourCC('v', 'i', 'd', 's');
inline constexpr uint32_t AviIfKeyFrame = 0x10;
inline constexpr uint32_t BiRgb = 0;
inline constexpr uint32_t BitmapInfoHeaderBytes = 40;
inline constexpr uint64_t RiffLimitBytes = 1ull << 30; // 1 GiB

// The file's own header structures: their fields keep the names the AVI and
// bitmap formats give them.
// NOLINTBEGIN(readability-identifier-naming)
struct FrameRect {
    int16_t left = 0, top = 0, right = 0, bottom = 0;
};

// The stream information of the video stream.
struct AviStreamInfo {
    uint32_t fccType = 0;
    uint32_t fccHandler = 0;
    uint32_t dwFlags = 0;
    uint32_t dwCaps = 0;
    uint16_t wPriority = 0;
    uint16_t wLanguage = 0;
    uint32_t dwScale = 0;
    uint32_t dwRate = 0;
    uint32_t dwStart = 0;
    uint32_t dwLength = 0;
    uint32_t dwInitialFrames = 0;
    uint32_t dwSuggestedBufferSize = 0;
    uint32_t dwQuality = 0;
    uint32_t dwSampleSize = 0;
    FrameRect rcFrame;
    uint32_t dwEditCount = 0;
    uint32_t dwFormatChangeCount = 0;
    char szName[64] = {};
};

struct BitmapInfoHeader {
    uint32_t biSize = BitmapInfoHeaderBytes;
    int32_t biWidth = 0;
    int32_t biHeight = 0;
    uint16_t biPlanes = 0;
    uint16_t biBitCount = 0;
    uint32_t biCompression = 0;
    uint32_t biSizeImage = 0;
    int32_t biXPelsPerMeter = 0;
    int32_t biYPelsPerMeter = 0;
    uint32_t biClrUsed = 0;
    uint32_t biClrImportant = 0;
};
// NOLINTEND(readability-identifier-naming)

// The stream information for a movie at `rate` frames per second.
AviStreamInfo MovieStreamInfo(int32_t rate);
// The header of the 24-bit bottom-up frame bitmap (biSizeImage 0).
BitmapInfoHeader CaptureHeader();
// The header of the uncompressed stream format (biSizeImage 676800).
BitmapInfoHeader StreamFormatHeader();
// The 40 bytes of a header followed by codec setup data, with biSize counting both.
std::vector<uint8_t> FormatBytes(BitmapInfoHeader header, const std::vector<uint8_t>& extra);

struct AviChunkRef {
    uint64_t Offset = 0; // absolute file position of the chunk header
    uint32_t Size = 0;   // payload bytes
    bool KeyFrame = false;
};

struct AviSuperIndexEntry {
    uint64_t Offset = 0; // absolute position of an ix00 chunk
    uint32_t Size = 0;   // its size including the chunk header
    uint32_t Duration = 0;
};

// The state of one AVI file being written. The device is owned by the caller.
struct AviFile {
    QIODevice* Device = nullptr;
    AviStreamInfo Info;
    std::vector<uint8_t> Format; // strf payload
    uint32_t ChunkId = 0;        // '00db' for full frames, '00dc' for compressed ones
    uint32_t FrameWidth = reelmaker::FrameWidth;
    uint32_t FrameHeight = reelmaker::FrameHeight;
    uint64_t RiffLimitBytes = reelmaker::RiffLimitBytes;

    // Where headers that are completed at the end were written.
    uint64_t AvihPos = 0;
    uint64_t StrhPos = 0;
    uint64_t IndxPos = 0; // the JUNK chunk reserved for the super index
    uint64_t DmlhPos = 0;

    int RiffCount = 0;                        // 1: plain AVI; more: OpenDML AVIX parts follow
    uint64_t RiffStart = 0;                   // position of the current "RIFF" header
    uint64_t MoviStart = 0;                   // position of the current "LIST" header of "movi"
    std::vector<AviChunkRef> FirstRiffChunks; // for idx1
    std::vector<AviChunkRef> RiffChunks;      // chunks of the current part, for ix00
    std::vector<AviSuperIndexEntry> SuperIndex;
    uint32_t TotalFrames = 0;
    uint32_t FirstRiffFrames = 0;
    uint32_t MaxChunkBytes = 0;
    std::string Error; // the first failure, empty while all is well
};

inline constexpr int SuperIndexEntries = 256;

// Writes the headers and opens the movi list. `info`, `format` and `chunkId` must be set.
bool AviBegin(AviFile& avi);
// Appends one frame chunk; starts a new AVIX part first when this one would pass the limit.
bool AviWriteFrame(AviFile& avi, const uint8_t* data, uint32_t size, bool keyFrame);
// Writes the indexes and completes the headers (frame counts, sizes).
bool AviFinish(AviFile& avi);

} // namespace reelmaker
