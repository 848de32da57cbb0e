// SPDX-License-Identifier: GPL-3.0-or-later
// The codecs offered for movies: full frames of our own, the rest from libavcodec.
#pragma once

#include "reelmaker/avi_writer.h"

#include <QImage>
#include <QString>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct SwsContext;

namespace reelmaker {

inline constexpr uint32_t FullFramesFourCC = MakeFourCC('D', 'I', 'B', ' ');

// What the compression-options dialog fills in.
struct CompressOptions {
    uint32_t FccType = 0;
    uint32_t FccHandler = 0;
    uint32_t DwKeyFrameEvery = 0;
    uint32_t DwQuality = 0; // 0..10000
    uint32_t DwBytesPerSecond = 0;
    uint32_t DwFlags = 0;
};
inline constexpr uint32_t CompressDataRate = 0x2;  // dwBytesPerSecond is set
inline constexpr uint32_t CompressKeyFrames = 0x4; // dwKeyFrameEvery is set
inline constexpr uint32_t CompressValid = 0x8;
inline constexpr uint32_t DefaultQuality = 7500;

enum class QualityControl { None, QScale, Crf };

struct CodecInfo {
    const char* Name = "";         // shown to the user
    uint32_t Fourcc = 0;           // biCompression and fccHandler
    const char* Encoder = nullptr; // libavcodec encoder name; null for full frames
    int PixelFormat = -1;          // AVPixelFormat the encoder is fed
    uint16_t BitCount = 24;        // biBitCount when the encoder does not say
    QualityControl Quality = QualityControl::None;
    bool KeyFrames = false; // has inter frames, so a key-frame interval matters
    bool DataRate = false;
    // GStreamer's AVI demuxer knows no caps for this fourcc, so GStreamer-based players
    // cannot open the movie; ffmpeg-based ones can.
    bool FfmpegPlayersOnly = false;
};

// The mark after the name of a codec that only ffmpeg-based players play.
inline constexpr char FfmpegPlayersOnlyMark[] = "(plays in ffmpeg-based players only)";
// The name as offered to the user, with the mark where it applies.
std::string CodecLabel(const CodecInfo& codec);

// Every codec of our list that the installed libavcodec can encode, full frames first.
std::vector<CodecInfo> AvailableCodecs();
// The codec of a fourcc; fourcc 0 means full frames, as when no codec was chosen.
std::optional<CodecInfo> FindCodec(uint32_t fourcc);
// A four-character code typed by the user, without regard to case ("dib" is "DIB ").
std::optional<CodecInfo> FindCodecByText(const QString& text);
// The four bytes as text, ending at the first zero byte.
std::string FourCCText(uint32_t fourcc);

struct EncodedFrame {
    std::vector<uint8_t> Bytes;
    bool KeyFrame = true;
};

// Frees each libav object with its own release call.
struct AvDelete {
    void operator()(AVCodecContext* context) const;
    void operator()(SwsContext* context) const;
    void operator()(AVFrame* frame) const;
    void operator()(AVPacket* packet) const;
};
template <class T> using AvPtr = std::unique_ptr<T, AvDelete>;

// One run's encoder; it owns its libav objects, so it can be moved but not copied.
// Full frames are packed by us: 24-bit, bottom row first.
struct FrameEncoder {
    CodecInfo Codec;
    AvPtr<AVCodecContext> Context;
    AvPtr<SwsContext> Convert;
    AvPtr<AVFrame> Picture;
    AvPtr<AVPacket> Packet;
    int64_t NextPts = 0;
    int QualityLambda = -1; // fixed quantiser per frame, or -1
    // Rows that are one plain colour (the grey around a fitted picture) are converted
    // once into `plain`; each frame converts only the band that holds the picture.
    AvPtr<SwsContext> BandConvert;
    AvPtr<AVFrame> Plain;
    QRgb PlainColour = 0;
    int DirtyTop = 0; // rows of `picture` that may differ from `plain`
    int DirtyBottom = 0;
};

bool OpenEncoder(FrameEncoder& encoder, const CompressOptions& options, int32_t rate,
                 std::string& why);
// The strf payload describing what this encoder writes.
std::vector<uint8_t> EncodedFormat(const FrameEncoder& encoder);
// Encodes a frame-sized RGB32 picture; appends whatever frames the encoder hands back.
bool EncodeFrame(FrameEncoder& encoder, const QImage& frame, std::vector<EncodedFrame>& out,
                 std::string& why);
// Drains the frames an encoder still holds.
bool FlushEncoder(FrameEncoder& encoder, std::vector<EncodedFrame>& out, std::string& why);
// Frees the encoder's libav objects now rather than when it is destroyed.
void CloseEncoder(FrameEncoder& encoder);

// The FrameBytes of a full frame: blue, green, red, bottom row first.
void PackFullFrame(const QImage& frame, std::vector<uint8_t>& out);

} // namespace reelmaker
