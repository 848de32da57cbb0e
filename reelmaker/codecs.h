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

inline constexpr uint32_t kFullFramesFourCC = MakeFourCC('D', 'I', 'B', ' ');

// What the compression-options dialog fills in.
struct CompressOptions {
    uint32_t fccType = 0;
    uint32_t fccHandler = 0;
    uint32_t dwKeyFrameEvery = 0;
    uint32_t dwQuality = 0; // 0..10000
    uint32_t dwBytesPerSecond = 0;
    uint32_t dwFlags = 0;
};
inline constexpr uint32_t kCompressDataRate = 0x2;  // dwBytesPerSecond is set
inline constexpr uint32_t kCompressKeyFrames = 0x4; // dwKeyFrameEvery is set
inline constexpr uint32_t kCompressValid = 0x8;
inline constexpr uint32_t kDefaultQuality = 7500;

enum class QualityControl { None, QScale, Crf };

struct CodecInfo {
    const char* name = "";         // shown to the user
    uint32_t fourcc = 0;           // biCompression and fccHandler
    const char* encoder = nullptr; // libavcodec encoder name; null for full frames
    int pixelFormat = -1;          // AVPixelFormat the encoder is fed
    uint16_t bitCount = 24;        // biBitCount when the encoder does not say
    QualityControl quality = QualityControl::None;
    bool keyFrames = false; // has inter frames, so a key-frame interval matters
    bool dataRate = false;
    // GStreamer's AVI demuxer knows no caps for this fourcc, so GStreamer-based players
    // cannot open the movie; ffmpeg-based ones can.
    bool ffmpegPlayersOnly = false;
};

// The mark after the name of a codec that only ffmpeg-based players play.
inline constexpr char kFfmpegPlayersOnlyMark[] = "(plays in ffmpeg-based players only)";
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
    std::vector<uint8_t> bytes;
    bool keyFrame = true;
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
    CodecInfo codec;
    AvPtr<AVCodecContext> context;
    AvPtr<SwsContext> convert;
    AvPtr<AVFrame> picture;
    AvPtr<AVPacket> packet;
    int64_t nextPts = 0;
    int qualityLambda = -1; // fixed quantiser per frame, or -1
    // Rows that are one plain colour (the grey around a fitted picture) are converted
    // once into `plain`; each frame converts only the band that holds the picture.
    AvPtr<SwsContext> bandConvert;
    AvPtr<AVFrame> plain;
    QRgb plainColour = 0;
    int dirtyTop = 0; // rows of `picture` that may differ from `plain`
    int dirtyBottom = 0;
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

// The kFrameBytes of a full frame: blue, green, red, bottom row first.
void PackFullFrame(const QImage& frame, std::vector<uint8_t>& out);

} // namespace reelmaker
