// SPDX-License-Identifier: GPL-3.0-or-later
// Any bytes as a picture for reelmaker: loaded (or refused), fitted into the
// 564 x 400 preview and written as the one frame of an uncompressed movie, which
// must read back as exactly the preview's pixels.
#include "fuzz/fuzz_support.h"
#include "fuzz/riff_walk.h"
#include "reelmaker/codecs.h"
#include "reelmaker/movie.h"
#include "reelmaker/picture.h"

#include <QFile>
#include <QImageReader>
#include <QTemporaryDir>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::StartGuiApplication();
    // A lying header must not make the reader claim gigabytes; the default
    // limit of Qt stays in force, said here so a change of default shows.
    QImageReader::setAllocationLimit(256);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::MemoryFile file(data, size);
    reelmaker::PreviewState preview = reelmaker::MakePreviewState();
    const QImage before = preview.Shown;
    const bool loaded = reelmaker::ShowPicture(preview, QString::fromStdString(file.Path()));
    fuzz::Check(preview.Shown.width() == reelmaker::BoxWidth &&
                    preview.Shown.height() == reelmaker::BoxHeight &&
                    preview.Shown.format() == QImage::Format_RGB32,
                "the preview is no longer 564 x 400 RGB32");
    if (!loaded) {
        fuzz::Check(!preview.Current.has_value(), "a failed load left a current picture");
        fuzz::Check(preview.Shown == before, "a failed load changed the preview");
    } else {
        fuzz::Check(preview.Current && preview.CurrentWidth > 0 && preview.CurrentHeight > 0,
                    "a loaded picture without a size");
    }

    QTemporaryDir dir;
    fuzz::Check(dir.isValid(), "no temporary folder");
    const QString path = dir.filePath("movie.avi");
    reelmaker::MovieWriter movie;
    reelmaker::CompressOptions options;
    options.FccType = reelmaker::StreamTypeVideo;
    options.FccHandler = reelmaker::FullFramesFourCC;
    options.DwQuality = reelmaker::DefaultQuality;
    options.DwFlags = reelmaker::CompressValid;
    const bool open = reelmaker::MovieOpen(movie, path, 15) &&
                      reelmaker::MovieCreateStream(movie, 15) &&
                      reelmaker::MovieSetCodec(movie, options) && reelmaker::MovieSetFormat(movie);
    fuzz::Check(open, "cannot start a movie", movie.Error);
    fuzz::Check(reelmaker::MovieWriteFrame(movie, preview.Shown) == reelmaker::FrameResult::Written,
                "the frame was not written", movie.Error);
    fuzz::Check(reelmaker::MovieFinish(movie), "the movie was not finished", movie.Error);

    QFile written(path);
    fuzz::Check(written.open(QIODevice::ReadOnly), "the movie is not at its name");
    const QByteArray bytes = written.readAll();
    const std::vector<uint8_t> avi(bytes.begin(), bytes.end());
    fuzz::MovieExpectation expected;
    expected.frames = 1;
    expected.chunkId = reelmaker::MakeFourCC('0', '0', 'd', 'b');
    expected.rate = 15;
    const std::string why = fuzz::CheckMovie(avi, expected);
    fuzz::Check(why.empty(), "the movie does not read back", why);
    std::vector<uint8_t> frame;
    reelmaker::PackFullFrame(preview.Shown, frame);
    const auto frames = fuzz::MovieFrames(avi);
    fuzz::Check(frames.size() == 1 && frames[0] == frame, "the frame is not the preview");
    return 0;
}
