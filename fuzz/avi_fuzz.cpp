// SPDX-License-Identifier: GPL-3.0-or-later
// The AVI writer with every offered codec, random picture sizes and pixel
// formats, frame rates, qualities, key-frame intervals and part sizes (so that
// movies also spread over OpenDML parts).  Every movie is read back by the RIFF
// walker and must hold exactly the frames written, with consistent indexes.
#include "fuzz/fuzz_support.h"
#include "fuzz/riff_walk.h"
#include "reelmaker/codecs.h"
#include "reelmaker/movie.h"
#include "reelmaker/picture.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <QFile>
#include <QTemporaryDir>

namespace {

QImage MakePicture(FuzzedDataProvider& in) {
    static const QImage::Format formats[] = {QImage::Format_RGB32,
                                             QImage::Format_ARGB32,
                                             QImage::Format_RGB888,
                                             QImage::Format_Grayscale8,
                                             QImage::Format_Mono,
                                             QImage::Format_RGB16,
                                             QImage::Format_ARGB32_Premultiplied};
    // Mostly ordinary sizes, now and then a thin line or a tall strip.
    const bool extreme = in.ConsumeIntegralInRange(0, 7) == 0;
    const int width =
        extreme ? in.ConsumeIntegralInRange(1, 6000) : in.ConsumeIntegralInRange(1, 900);
    const int height = extreme ? in.ConsumeIntegralInRange(1, 6000 * 3 / std::max(1, width / 64))
                               : in.ConsumeIntegralInRange(1, 700);
    const QImage::Format format =
        formats[in.ConsumeIntegralInRange<size_t>(0, std::size(formats) - 1)];
    const uint32_t seed = in.ConsumeIntegral<uint32_t>();
    QImage picture(width, height, QImage::Format_ARGB32);
    for (int y = 0; y < height; ++y) {
        auto* line = reinterpret_cast<QRgb*>(picture.scanLine(y));
        for (int x = 0; x < width; ++x) {
            const uint32_t v = seed ^ uint32_t(x * 2654435761u) ^ uint32_t(y * 40503u);
            line[x] = qRgba(int(v & 0xFF), int((v >> 8) & 0xFF), int((x + y + seed) & 0xFF),
                            int((v >> 24) | 0x0F));
        }
    }
    return picture.convertToFormat(format);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::StartGuiApplication();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::vector<reelmaker::CodecInfo> codecs = reelmaker::AvailableCodecs();
    FuzzedDataProvider in(data, size);
    const reelmaker::CodecInfo codec =
        codecs[in.ConsumeIntegralInRange<size_t>(0, codecs.size() - 1)];
    const int32_t rate =
        in.ConsumeBool() ? in.ConsumeIntegralInRange(1, 60) : in.ConsumeIntegralInRange(1, 1000000);
    reelmaker::CompressOptions options;
    options.FccType = reelmaker::StreamTypeVideo;
    options.FccHandler = codec.Fourcc;
    options.DwQuality = in.ConsumeIntegralInRange<uint32_t>(0, 10000);
    options.DwFlags = reelmaker::CompressValid;
    if (in.ConsumeBool()) {
        options.DwKeyFrameEvery = in.ConsumeIntegralInRange<uint32_t>(1, 10);
        options.DwFlags |= reelmaker::CompressKeyFrames;
    }
    if (in.ConsumeBool()) {
        options.DwBytesPerSecond = in.ConsumeIntegralInRange<uint32_t>(1, 4000000);
        options.DwFlags |= reelmaker::CompressDataRate;
    }
    const int frames = in.ConsumeIntegralInRange(1, 4);
    // Parts of a few hundred kilobytes make OpenDML movies of a few frames.
    const bool smallParts = in.ConsumeIntegralInRange(0, 3) == 0;
    const uint64_t partBytes = in.ConsumeIntegralInRange<uint64_t>(200000, 3000000);

    QTemporaryDir dir;
    fuzz::Check(dir.isValid(), "no temporary folder");
    const QString path = dir.filePath("movie.avi");
    reelmaker::MovieWriter movie;
    if (!reelmaker::MovieOpen(movie, path, rate) || !reelmaker::MovieCreateStream(movie, rate) ||
        !reelmaker::MovieSetCodec(movie, options) || !reelmaker::MovieSetFormat(movie)) {
        // A codec may refuse a setting; then nothing is left behind.
        fuzz::Check(!movie.Error.empty(), "a refused movie without a reason");
        reelmaker::MovieAbandon(movie);
        fuzz::Check(!QFile::exists(path), "a refused movie left a file");
        return 0;
    }
    if (smallParts) movie.Avi.RiffLimitBytes = partBytes;

    reelmaker::PreviewState preview = reelmaker::MakePreviewState();
    for (int k = 0; k < frames; ++k) {
        preview.Current = MakePicture(in);
        preview.CurrentWidth = uint32_t(preview.Current->width());
        preview.CurrentHeight = uint32_t(preview.Current->height());
        reelmaker::DrawPicture(preview);
        const reelmaker::FrameResult result = reelmaker::MovieWriteFrame(movie, preview.Shown);
        fuzz::Check(result != reelmaker::FrameResult::Failed, "a frame failed", movie.Error);
    }
    fuzz::Check(reelmaker::MovieFinish(movie), "the movie was not finished", movie.Error);

    QFile written(path);
    fuzz::Check(written.open(QIODevice::ReadOnly), "the movie is not at its name");
    const QByteArray bytes = written.readAll();
    const std::vector<uint8_t> avi(bytes.begin(), bytes.end());
    fuzz::MovieExpectation expected;
    expected.frames = uint32_t(frames);
    expected.chunkId = codec.Encoder ? reelmaker::MakeFourCC('0', '0', 'd', 'c')
                                     : reelmaker::MakeFourCC('0', '0', 'd', 'b');
    expected.rate = uint32_t(rate);
    const std::string why = fuzz::CheckMovie(avi, expected);
    fuzz::Check(why.empty(), "the movie does not read back",
                why + " (codec " + reelmaker::FourCCText(codec.Fourcc) + ")");
    return 0;
}
