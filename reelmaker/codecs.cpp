// SPDX-License-Identifier: GPL-3.0-or-later
#include "reelmaker/codecs.h"

#include "reelmaker/picture.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/error.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cmath>
#include <cstring>

namespace reelmaker {

namespace {

constexpr uint32_t F(const char (&s)[5]) {
    return MakeFourCC(s[0], s[1], s[2], s[3]);
}

// Our list in the order the dialog shows it. The last field marks the codecs that
// GStreamer's AVI demuxer (gst-plugins-good 1.22) has no caps for: checked with
// gst-launch-1.0 on a movie of each, see codec_test.
const CodecInfo Candidates[] = {
    {"Full Frames (Uncompressed)", F("DIB "), nullptr, -1, 24, QualityControl::None, false, false},
    {"Motion JPEG", F("MJPG"), "mjpeg", AV_PIX_FMT_YUVJ420P, 24, QualityControl::QScale, false,
     false},
    {"Cinepak", F("cvid"), "cinepak", AV_PIX_FMT_RGB24, 24, QualityControl::None, true, false},
    {"Microsoft Video 1", F("CRAM"), "msvideo1", AV_PIX_FMT_RGB555LE, 16, QualityControl::None,
     true, false},
    {"MPEG-4 Part 2", F("FMP4"), "mpeg4", AV_PIX_FMT_YUV420P, 24, QualityControl::QScale, true,
     true},
    {"Microsoft MPEG-4 V2", F("MP42"), "msmpeg4v2", AV_PIX_FMT_YUV420P, 24, QualityControl::QScale,
     true, true},
    {"Microsoft MPEG-4 V3", F("DIV3"), "msmpeg4", AV_PIX_FMT_YUV420P, 24, QualityControl::QScale,
     true, true},
    {"H.264", F("H264"), "libx264", AV_PIX_FMT_YUV420P, 24, QualityControl::Crf, true, true},
    {"Huffyuv", F("HFYU"), "huffyuv", AV_PIX_FMT_RGB24, 24, QualityControl::None, false, false},
    {"FFV1", F("FFV1"), "ffv1", AV_PIX_FMT_BGR0, 32, QualityControl::None, true, false},
    {"PNG", F("MPNG"), "png", AV_PIX_FMT_RGB24, 24, QualityControl::None, false, false},
    {"Ut Video", F("ULRG"), "utvideo", AV_PIX_FMT_GBRP, 24, QualityControl::None, false, false,
     true},
    {"MagicYUV", F("M8RG"), "magicyuv", AV_PIX_FMT_GBRP, 24, QualityControl::None, false, false,
     true},
};

bool EncoderSupports(const AVCodec* codec, int pixelFormat) {
    if (!codec->pix_fmts) return true;
    for (const AVPixelFormat* p = codec->pix_fmts; *p != AV_PIX_FMT_NONE; ++p)
        if (*p == pixelFormat) return true;
    return false;
}

bool Offered(const CodecInfo& c) {
    if (!c.Encoder) return true;
    const AVCodec* codec = avcodec_find_encoder_by_name(c.Encoder);
    return codec && EncoderSupports(codec, c.PixelFormat);
}

std::string AvError(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

bool Receive(FrameEncoder& e, std::vector<EncodedFrame>& out, std::string& why) {
    for (;;) {
        const int r = avcodec_receive_packet(e.Context.get(), e.Packet.get());
        if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return true;
        if (r < 0) {
            why = AvError(r);
            return false;
        }
        EncodedFrame f;
        f.Bytes.assign(e.Packet->data, e.Packet->data + e.Packet->size);
        f.KeyFrame = (e.Packet->flags & AV_PKT_FLAG_KEY) != 0;
        out.push_back(std::move(f));
        av_packet_unref(e.Packet.get());
    }
}

bool PlainRow(const QImage& frame, int y, QRgb colour) {
    const QRgb* line = reinterpret_cast<const QRgb*>(frame.constScanLine(y));
    for (int x = 0; x < FrameWidth; ++x)
        if (line[x] != colour) return false;
    return true;
}

// Rows [top, bottom) of every plane, in that plane's own rows.
void PlaneRows(const AVPixFmtDescriptor* desc, int plane, int top, int bottom, int& from, int& to) {
    const bool chroma = (plane == 1 || plane == 2) && !(desc->flags & AV_PIX_FMT_FLAG_RGB);
    const int shift = chroma ? desc->log2_chroma_h : 0;
    from = top >> shift;
    to = (bottom + (1 << shift) - 1) >> shift;
}

// Full-range (JFIF) Y'CbCr 4:2:0 of rows [top, bottom), both even: luma per pixel, chroma
// from the mean of each 2 x 2 block.
void JpegYuv420Rows(const QImage& image, int top, int bottom, AVFrame* out) {
    for (int y = top; y + 1 < bottom; y += 2) {
        const QRgb* a = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        const QRgb* b = reinterpret_cast<const QRgb*>(image.constScanLine(y + 1));
        uint8_t* ya = out->data[0] + qsizetype(y) * out->linesize[0];
        uint8_t* yb = ya + out->linesize[0];
        uint8_t* cb = out->data[1] + qsizetype(y / 2) * out->linesize[1];
        uint8_t* cr = out->data[2] + qsizetype(y / 2) * out->linesize[2];
        auto luma = [](QRgb p) {
            return static_cast<uint8_t>(
                (19595 * int(qRed(p)) + 38470 * int(qGreen(p)) + 7471 * int(qBlue(p)) + 32768) >>
                16);
        };
        for (int x = 0; x + 1 < FrameWidth; x += 2) {
            const QRgb p0 = a[x], p1 = a[x + 1], p2 = b[x], p3 = b[x + 1];
            ya[x] = luma(p0);
            ya[x + 1] = luma(p1);
            yb[x] = luma(p2);
            yb[x + 1] = luma(p3);
            const int r = int(qRed(p0)) + qRed(p1) + qRed(p2) + qRed(p3);
            const int g = int(qGreen(p0)) + qGreen(p1) + qGreen(p2) + qGreen(p3);
            const int bl = int(qBlue(p0)) + qBlue(p1) + qBlue(p2) + qBlue(p3);
            const int u = (-11059 * r - 21709 * g + 32768 * bl + (128 << 18) + (1 << 17)) >> 18;
            const int v = (32768 * r - 27439 * g - 5329 * bl + (128 << 18) + (1 << 17)) >> 18;
            cb[x / 2] = static_cast<uint8_t>(std::clamp(u, 0, 255));
            cr[x / 2] = static_cast<uint8_t>(std::clamp(v, 0, 255));
        }
    }
}

// Converts rows [top, bottom) of a frame-sized RGB32 image into the same rows of `out`.
bool ConvertRows(FrameEncoder& e, const QImage& image, int top, int bottom, AVFrame* out) {
    const AVPixelFormat format = e.Context->pix_fmt;
    if (format == AV_PIX_FMT_YUVJ420P) {
        // Faster than the scaler's range-converting path, and chroma averages each block.
        JpegYuv420Rows(image, top, bottom, out);
        return true;
    }
    const uint8_t* src[1] = {image.constScanLine(top)};
    const int srcStride[1] = {static_cast<int>(image.bytesPerLine())};
    if (top == 0 && bottom == FrameHeight) {
        sws_scale(e.Convert.get(), src, srcStride, 0, FrameHeight, out->data, out->linesize);
        return true;
    }
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(format);
    // A context that does not fit is freed by libav and replaced.
    e.BandConvert.reset(sws_getCachedContext(e.BandConvert.release(), FrameWidth, bottom - top,
                                             AV_PIX_FMT_BGRA, FrameWidth, bottom - top, format,
                                             SWS_POINT, nullptr, nullptr, nullptr));
    if (!e.BandConvert || !desc) return false;
    uint8_t* dst[4] = {};
    for (int p = 0; p < av_pix_fmt_count_planes(format) && p < 4; ++p) {
        int from = 0, to = 0;
        PlaneRows(desc, p, top, bottom, from, to);
        dst[p] = out->data[p] + qsizetype(from) * out->linesize[p];
    }
    sws_scale(e.BandConvert.get(), src, srcStride, 0, bottom - top, dst, out->linesize);
    return true;
}

// Converts only the rows between the plain bands above and below the picture; the plain
// rows come from a frame converted once. False: the caller converts the whole frame.
bool ConvertBand(FrameEncoder& e, const QImage& frame) {
    const AVPixelFormat format = e.Context->pix_fmt;
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(format);
    const int planes = av_pix_fmt_count_planes(format);
    if (!desc || planes <= 0) return false;
    const QRgb colour = reinterpret_cast<const QRgb*>(frame.constBits())[0];
    int top = 0;
    while (top < FrameHeight && PlainRow(frame, top, colour))
        ++top;
    int bottom = FrameHeight;
    while (bottom > top && PlainRow(frame, bottom - 1, colour))
        --bottom;
    const int align = 1 << desc->log2_chroma_h;
    top = top / align * align;
    bottom = std::min(FrameHeight, (bottom + align - 1) / align * align);
    if (top == 0 && bottom == FrameHeight) return false;

    if (!e.Plain || e.PlainColour != colour) {
        if (!e.Plain) {
            AvPtr<AVFrame> plain(av_frame_alloc());
            if (!plain) return false;
            plain->format = format;
            plain->width = FrameWidth;
            plain->height = FrameHeight;
            if (av_frame_get_buffer(plain.get(), 0) < 0) return false;
            e.Plain = std::move(plain);
        }
        QImage plainImage(FrameWidth, FrameHeight, QImage::Format_RGB32);
        plainImage.fill(colour);
        ConvertRows(e, plainImage, 0, FrameHeight, e.Plain.get());
        e.PlainColour = colour;
        e.DirtyTop = 0;
        e.DirtyBottom = FrameHeight;
    }
    for (int p = 0; p < planes; ++p)
        if (e.Plain->linesize[p] != e.Picture->linesize[p]) return false;

    // Rows the last frame changed go back to plain; then the new band is converted.
    for (int p = 0; p < planes; ++p) {
        int from = 0, to = 0;
        PlaneRows(desc, p, e.DirtyTop, e.DirtyBottom, from, to);
        const qsizetype stride = e.Picture->linesize[p];
        if (to > from)
            std::memcpy(e.Picture->data[p] + from * stride, e.Plain->data[p] + from * stride,
                        size_t(stride) * size_t(to - from));
    }
    e.DirtyTop = top;
    e.DirtyBottom = bottom;
    if (bottom <= top) return true;
    return ConvertRows(e, frame, top, bottom, e.Picture.get());
}

} // namespace

void AvDelete::operator()(AVCodecContext* context) const {
    avcodec_free_context(&context);
}
void AvDelete::operator()(SwsContext* context) const {
    sws_freeContext(context);
}
void AvDelete::operator()(AVFrame* frame) const {
    av_frame_free(&frame);
}
void AvDelete::operator()(AVPacket* packet) const {
    av_packet_free(&packet);
}

std::string CodecLabel(const CodecInfo& codec) {
    std::string label = codec.Name;
    if (codec.FfmpegPlayersOnly) label += std::string(" ") + FfmpegPlayersOnlyMark;
    return label;
}

std::vector<CodecInfo> AvailableCodecs() {
    std::vector<CodecInfo> list;
    for (const CodecInfo& c : Candidates)
        if (Offered(c)) list.push_back(c);
    return list;
}

std::optional<CodecInfo> FindCodec(uint32_t fourcc) {
    if (fourcc == 0) fourcc = FullFramesFourCC;
    for (const CodecInfo& c : Candidates)
        if (c.Fourcc == fourcc && Offered(c)) return c;
    return std::nullopt;
}

std::optional<CodecInfo> FindCodecByText(const QString& text) {
    QString code = text.left(4).toUpper();
    if (text.size() > 4) return std::nullopt;
    while (code.size() < 4)
        code += QLatin1Char(' ');
    for (const CodecInfo& c : Candidates) {
        if (QString::fromStdString(FourCCText(c.Fourcc)).toUpper() == code && Offered(c)) return c;
    }
    return std::nullopt;
}

std::string FourCCText(uint32_t fourcc) {
    std::string s;
    for (int i = 0; i < 4; ++i) {
        const char c = static_cast<char>((fourcc >> (8 * i)) & 0xFF);
        if (c == 0) break;
        s += c;
    }
    return s;
}

void PackFullFrame(const QImage& frame, std::vector<uint8_t>& out) {
    out.resize(FrameBytes);
    const int rows = std::min(frame.height(), FrameHeight);
    const int cols = std::min(frame.width(), FrameWidth);
    if (rows < FrameHeight || cols < FrameWidth) std::fill(out.begin(), out.end(), 0);
    for (int r = 0; r < rows; ++r) {
        const QRgb* src = reinterpret_cast<const QRgb*>(frame.constScanLine(FrameHeight - 1 - r));
        uint8_t* dst = out.data() + size_t(r) * FrameRowBytes;
        for (int x = 0; x < cols; ++x) {
            const QRgb p = src[x];
            dst[3 * x] = static_cast<uint8_t>(qBlue(p));
            dst[3 * x + 1] = static_cast<uint8_t>(qGreen(p));
            dst[3 * x + 2] = static_cast<uint8_t>(qRed(p));
        }
    }
}

bool OpenEncoder(FrameEncoder& e, const CompressOptions& options, int32_t rate, std::string& why) {
    const std::optional<CodecInfo> codec = FindCodec(options.FccHandler);
    if (!codec) {
        why = "no codec for the four-character code \"" + FourCCText(options.FccHandler) + "\"";
        return false;
    }
    e = FrameEncoder{};
    e.Codec = *codec;
    if (!codec->Encoder) return true;
    if (rate <= 0) {
        why = "the frame rate must be at least 1";
        return false;
    }

    const AVCodec* av = avcodec_find_encoder_by_name(codec->Encoder);
    e.Context.reset(av ? avcodec_alloc_context3(av) : nullptr);
    e.Picture.reset(av_frame_alloc());
    e.Packet.reset(av_packet_alloc());
    if (!e.Context || !e.Picture || !e.Packet) {
        why = "cannot set up the encoder";
        CloseEncoder(e);
        return false;
    }
    AVCodecContext* c = e.Context.get();
    c->width = FrameWidth;
    c->height = FrameHeight;
    c->pix_fmt = static_cast<AVPixelFormat>(codec->PixelFormat);
    c->time_base = AVRational{1, rate};
    c->framerate = AVRational{rate, 1};
    c->sample_aspect_ratio = AVRational{1, 1};
    c->max_b_frames = 0; // AVI has no time stamps to reorder by
    c->thread_count = 1;
    if (codec->PixelFormat == AV_PIX_FMT_YUVJ420P) c->color_range = AVCOL_RANGE_JPEG;
    if (codec->KeyFrames && (options.DwFlags & CompressKeyFrames) && options.DwKeyFrameEvery > 0)
        c->gop_size = static_cast<int>(std::min<uint32_t>(options.DwKeyFrameEvery, 1u << 20));

    const bool byRate =
        codec->DataRate && (options.DwFlags & CompressDataRate) && options.DwBytesPerSecond > 0;
    const uint32_t quality = std::min<uint32_t>(options.DwQuality, 10000);
    if (byRate) {
        c->bit_rate = int64_t{options.DwBytesPerSecond} * 8;
        c->rc_max_rate = c->bit_rate;
        c->rc_buffer_size = static_cast<int>(std::min<int64_t>(c->bit_rate, 1 << 30));
    } else if (codec->Quality == QualityControl::QScale) {
        const int q = 31 - static_cast<int>((quality * 29 + 5000) / 10000); // 31 .. 2
        c->flags |= AV_CODEC_FLAG_QSCALE;
        c->global_quality = FF_QP2LAMBDA * q;
        e.QualityLambda = c->global_quality;
    } else if (codec->Quality == QualityControl::Crf) {
        av_opt_set_double(c->priv_data, "crf", 51.0 * (10000 - quality) / 10000.0, 0);
    }
    if (std::strcmp(codec->Encoder, "libx264") == 0) av_opt_set(c->priv_data, "preset", "fast", 0);

    int r = avcodec_open2(c, av, nullptr);
    if (r < 0) {
        why = "cannot open the " + std::string(codec->Name) + " encoder: " + AvError(r);
        CloseEncoder(e);
        return false;
    }
    e.Picture->format = c->pix_fmt;
    e.Picture->width = c->width;
    e.Picture->height = c->height;
    r = av_frame_get_buffer(e.Picture.get(), 0);
    e.Convert.reset(sws_getContext(FrameWidth, FrameHeight, AV_PIX_FMT_BGRA, FrameWidth,
                                   FrameHeight, c->pix_fmt, SWS_POINT, nullptr, nullptr, nullptr));
    if (r < 0 || !e.Convert) {
        why = "cannot set up the picture conversion";
        CloseEncoder(e);
        return false;
    }
    return true;
}

std::vector<uint8_t> EncodedFormat(const FrameEncoder& e) {
    if (!e.Codec.Encoder) return FormatBytes(StreamFormatHeader(), {});
    BitmapInfoHeader h = StreamFormatHeader();
    h.biCompression = e.Codec.Fourcc;
    const int bits = e.Context && e.Context->bits_per_coded_sample > 0
                         ? e.Context->bits_per_coded_sample
                         : e.Codec.BitCount;
    h.biBitCount = static_cast<uint16_t>(bits);
    h.biSizeImage = static_cast<uint32_t>((uint64_t(FrameWidth) * FrameHeight * bits + 7) / 8);
    std::vector<uint8_t> extra;
    if (e.Context && e.Context->extradata && e.Context->extradata_size > 0)
        extra.assign(e.Context->extradata, e.Context->extradata + e.Context->extradata_size);
    return FormatBytes(h, extra);
}

bool EncodeFrame(FrameEncoder& e, const QImage& frame, std::vector<EncodedFrame>& out,
                 std::string& why) {
    if (frame.width() != FrameWidth || frame.height() != FrameHeight ||
        (frame.format() != QImage::Format_RGB32 && frame.format() != QImage::Format_ARGB32)) {
        why = "the frame is not a " + std::to_string(FrameWidth) + " x " +
              std::to_string(FrameHeight) + " RGB32 picture";
        return false;
    }
    if (!e.Codec.Encoder) {
        EncodedFrame f;
        PackFullFrame(frame, f.Bytes);
        out.push_back(std::move(f));
        return true;
    }
    int r = av_frame_make_writable(e.Picture.get());
    if (r < 0) {
        why = AvError(r);
        return false;
    }
    if (!ConvertBand(e, frame)) {
        const uint8_t* src[1] = {frame.constBits()};
        const int srcStride[1] = {static_cast<int>(frame.bytesPerLine())};
        sws_scale(e.Convert.get(), src, srcStride, 0, FrameHeight, e.Picture->data,
                  e.Picture->linesize);
        e.DirtyTop = 0;
        e.DirtyBottom = FrameHeight;
    }
    e.Picture->pts = e.NextPts++;
    if (e.QualityLambda >= 0) e.Picture->quality = e.QualityLambda;
    r = avcodec_send_frame(e.Context.get(), e.Picture.get());
    if (r < 0) {
        why = AvError(r);
        return false;
    }
    return Receive(e, out, why);
}

bool FlushEncoder(FrameEncoder& e, std::vector<EncodedFrame>& out, std::string& why) {
    if (!e.Context) return true;
    const int r = avcodec_send_frame(e.Context.get(), nullptr);
    if (r < 0 && r != AVERROR_EOF) {
        why = AvError(r);
        return false;
    }
    return Receive(e, out, why);
}

void CloseEncoder(FrameEncoder& e) {
    const CodecInfo codec = e.Codec;
    e = FrameEncoder{};
    e.Codec = codec; // the stream format still describes what was written
}

} // namespace reelmaker
