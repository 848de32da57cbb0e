// SPDX-License-Identifier: GPL-3.0-or-later
#include "reelmaker/batch.h"

#include "reelmaker/movie.h"
#include "reelmaker/picture.h"

#include <QCommandLineParser>

#include <cmath>
#include <future>

#ifndef REELMAKER_VERSION
#define REELMAKER_VERSION "0"
#endif

namespace reelmaker {

namespace {

std::string UsageText() {
    return "usage: reelmaker                      the window\n"
           "       reelmaker --batch -o OUT.avi [--fps N] [--codec CODE] [--quality Q]\n"
           "                 [--keyframe N] PICTURES...\n"
           "       reelmaker --list-codecs\n"
           "       reelmaker --help | --version\n"
           "\n"
           "  -o OUT.avi     the movie to write, a name ending in .avi (replaced only once\n"
           "                 complete)\n"
           "  --fps N        frames per second, rounded to a whole number >= 1 (default 15)\n"
           "  --codec CODE   four-character code from --list-codecs, any case (default DIB,\n"
           "                 Full Frames (Uncompressed))\n"
           "  --quality Q    compress quality in percent, 0..100 (default 75)\n"
           "  --keyframe N   a key frame every N frames (default: the codec's own)\n"
           "Every picture becomes one " +
           std::to_string(FrameWidth) + " x " + std::to_string(FrameHeight) +
           " frame, fitted on grey; a picture that does not\n"
           "load repeats the previous frame.\n"
           "Exit status: 0 written, 1 failure (also when no picture loads), 2 bad usage.\n";
}

int Usage(std::FILE* err, const std::string& why) {
    std::fprintf(err, "reelmaker: %s\n%s", why.c_str(), UsageText().c_str());
    return 2;
}

struct BatchArgs {
    QString Output;
    QString Fps = QStringLiteral("15");
    QString Codec = QStringLiteral("DIB ");
    uint32_t Quality = DefaultQuality;
    uint32_t KeyFrameEvery = 0;
    QStringList Pictures;
};

// Writes the movie; the writer drops its temporary file on every way out but success.
int WriteMovie(const BatchArgs& a, const CodecInfo& codec, std::FILE* err) {
    CompressOptions options;
    options.FccType = StreamTypeVideo;
    options.FccHandler = codec.Fourcc;
    options.DwQuality = a.Quality;
    options.DwFlags = CompressValid;
    if (a.KeyFrameEvery > 0) {
        options.DwKeyFrameEvery = a.KeyFrameEvery;
        options.DwFlags |= CompressKeyFrames;
    }

    MovieWriter movie;
    const int32_t rate = *ReadFrameRate(a.Fps);
    if (!MovieOpen(movie, a.Output, rate) || !MovieCreateStream(movie, rate) ||
        !MovieSetCodec(movie, options) || !MovieSetFormat(movie)) {
        std::fprintf(err, "reelmaker: %s\n", movie.Error.c_str());
        return 1;
    }
    std::fprintf(err, "reelmaker: %s at %d frames per second, %s\n",
                 a.Output.toLocal8Bit().constData(), rate, CodecLabel(codec).c_str());
    PreviewState preview = MakePreviewState();
    const qsizetype count = a.Pictures.size();
    // The next picture is loaded and fitted on the other core while this
    // frame is compressed and written; the frames are the same as one
    // ShowPicture after another would give.
    const auto prepare = [&a](qsizetype k) {
        return std::async(std::launch::async, [path = a.Pictures[k]] {
            PreviewState state = MakePreviewState();
            ShowPicture(state, path);
            return state;
        });
    };
    std::future<PreviewState> next;
    if (count > 0) next = prepare(0);
    qsizetype loaded = 0;
    for (qsizetype k = 0; k < count; ++k) {
        PreviewState ready = next.get();
        if (k + 1 < count) next = prepare(k + 1);
        if (ready.Current) {
            preview = std::move(ready);
            ++loaded;
        } else {
            // As a failed load: no current picture, the frame repeats the previous one.
            preview.Current.reset();
            std::fprintf(err,
                         "reelmaker: warning: cannot load %s (%s); frame %lld repeats the "
                         "previous one\n",
                         a.Pictures[k].toLocal8Bit().constData(),
                         ready.Problem.toLocal8Bit().constData(), static_cast<long long>(k + 1));
        }
        const FrameResult r = MovieWriteFrame(movie, preview.Shown);
        if (r == FrameResult::Failed) {
            std::fprintf(err, "reelmaker: error writing frame %lld: %s\n",
                         static_cast<long long>(k + 1), movie.Error.c_str());
            return 1;
        }
        if (r == FrameResult::Skipped)
            std::fprintf(err,
                         "reelmaker: warning: frame %lld could not be compressed and is "
                         "left empty\n",
                         static_cast<long long>(k + 1));
        std::fprintf(err, "  Writing frame %s of %s\n", NumberText(k + 1).c_str(),
                     NumberText(count).c_str());
    }
    if (loaded == 0) {
        // A movie of grey frames only is no movie anybody asked for.
        if (count == 1)
            std::fputs("reelmaker: the picture could not be loaded; no movie written\n", err);
        else
            std::fprintf(err,
                         "reelmaker: none of the %lld pictures could be loaded; no movie written\n",
                         static_cast<long long>(count));
        return 1;
    }
    if (!MovieFinish(movie)) {
        std::fprintf(err, "reelmaker: %s\n", movie.Error.c_str());
        return 1;
    }
    return 0;
}

} // namespace

int RunCommandLine(const QStringList& args, std::FILE* out, std::FILE* err) {
    const QCommandLineOption batchOption(QStringLiteral("batch"));
    const QCommandLineOption outputOption(
        QStringList{QStringLiteral("o"), QStringLiteral("output")}, QString(),
        QStringLiteral("OUT.avi"));
    const QCommandLineOption fpsOption(QStringLiteral("fps"), QString(), QStringLiteral("N"));
    const QCommandLineOption codecOption(QStringLiteral("codec"), QString(),
                                         QStringLiteral("CODE"));
    const QCommandLineOption qualityOption(QStringLiteral("quality"), QString(),
                                           QStringLiteral("Q"));
    const QCommandLineOption keyFrameOption(QStringLiteral("keyframe"), QString(),
                                            QStringLiteral("N"));
    const QCommandLineOption listOption(QStringLiteral("list-codecs"));
    const QCommandLineOption helpOption(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption versionOption(QStringLiteral("version"));
    QCommandLineParser parser;
    parser.addOptions({batchOption, outputOption, fpsOption, codecOption, qualityOption,
                       keyFrameOption, listOption, helpOption, versionOption});
    parser.addPositionalArgument(QStringLiteral("pictures"), QString(),
                                 QStringLiteral("PICTURES..."));
    const bool parsed = parser.parse(QStringList{QStringLiteral("reelmaker")} + args);

    // Help and version win over everything else on the line.
    if (parser.isSet(helpOption)) {
        std::fputs(UsageText().c_str(), out);
        return 0;
    }
    if (parser.isSet(versionOption)) {
        std::fprintf(out, "reelmaker %s\n", REELMAKER_VERSION);
        return 0;
    }
    if (!parsed) return Usage(err, parser.errorText().toStdString());
    if (parser.isSet(listOption)) {
        if (args.size() != 1) return Usage(err, "--list-codecs takes no other arguments");
        for (const CodecInfo& c : AvailableCodecs())
            std::fprintf(out, "%-4s  %s\n", FourCCText(c.Fourcc).c_str(), CodecLabel(c).c_str());
        return 0;
    }

    BatchArgs a;
    a.Pictures = parser.positionalArguments();
    if (!parser.isSet(batchOption)) return Usage(err, "pictures are given only with --batch");
    if (parser.isSet(outputOption)) a.Output = parser.value(outputOption);
    if (parser.isSet(fpsOption)) a.Fps = parser.value(fpsOption);
    if (parser.isSet(codecOption)) a.Codec = parser.value(codecOption);
    if (parser.isSet(qualityOption)) {
        bool ok = false;
        const double q = parser.value(qualityOption).toDouble(&ok);
        if (!ok || !(q >= 0 && q <= 100))
            return Usage(err, "--quality must be a number from 0 to 100");
        a.Quality = static_cast<uint32_t>(std::nearbyint(q * 100));
    }
    if (parser.isSet(keyFrameOption)) {
        bool ok = false;
        const uint n = parser.value(keyFrameOption).toUInt(&ok);
        if (!ok || n < 1) return Usage(err, "--keyframe must be a whole number >= 1");
        a.KeyFrameEvery = n;
    }
    if (a.Output.isEmpty()) return Usage(err, "--batch needs -o OUT.avi");
    // The file is always RIFF AVI; a name promising another container would mislead.
    if (!a.Output.endsWith(QStringLiteral(".avi"), Qt::CaseInsensitive))
        return Usage(err, "the movie is an AVI file: its name must end in .avi (not \"" +
                              a.Output.toStdString() + "\")");
    if (!FrameRateProblem(a.Fps).isEmpty())
        return Usage(err, "--fps \"" + a.Fps.toStdString() +
                              "\" is not a frame rate of at least 1 frame per second");
    const std::optional<CodecInfo> codec = FindCodecByText(a.Codec);
    if (!codec)
        return Usage(err, "unknown codec \"" + a.Codec.toStdString() + "\" (see --list-codecs)");
    if (a.Pictures.isEmpty()) return Usage(err, "--batch needs at least one picture");
    return WriteMovie(a, *codec, err);
}

} // namespace reelmaker
