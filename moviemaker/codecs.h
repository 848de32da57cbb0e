// The codecs offered for movies: full frames of our own, the rest from libavcodec.
#pragma once

#include "moviemaker/avi_writer.h"

#include <QImage>
#include <QString>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct SwsContext;

namespace reel {

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
};

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

// One run's encoder. Full frames are packed by us: 24-bit, bottom row first.
struct FrameEncoder {
    CodecInfo codec;
    AVCodecContext* context = nullptr;
    SwsContext* convert = nullptr;
    AVFrame* picture = nullptr;
    AVPacket* packet = nullptr;
    int64_t nextPts = 0;
    int qualityLambda = -1; // fixed quantiser per frame, or -1
    // Rows that are one plain colour (the grey around a fitted picture) are converted
    // once into `plain`; each frame converts only the band that holds the picture.
    SwsContext* bandConvert = nullptr;
    AVFrame* plain = nullptr;
    QRgb plainColour = 0;
    int dirtyTop = 0; // rows of `picture` that may differ from `plain`
    int dirtyBottom = 0;
};

bool OpenEncoder(FrameEncoder& encoder, const CompressOptions& options, int32_t rate,
                 std::string& why);
// The strf payload describing what this encoder writes.
std::vector<uint8_t> EncodedFormat(const FrameEncoder& encoder);
// Encodes a 564 x 400 RGB32 frame; appends whatever frames the encoder hands back.
bool EncodeFrame(FrameEncoder& encoder, const QImage& frame, std::vector<EncodedFrame>& out,
                 std::string& why);
// Drains the frames an encoder still holds.
bool FlushEncoder(FrameEncoder& encoder, std::vector<EncodedFrame>& out, std::string& why);
void CloseEncoder(FrameEncoder& encoder);

// The 676800 bytes of a full frame: blue, green, red, bottom row first.
void PackFullFrame(const QImage& frame, std::vector<uint8_t>& out);

} // namespace reel
