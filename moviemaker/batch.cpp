#include "moviemaker/batch.h"

#include "moviemaker/movie.h"
#include "moviemaker/picture.h"

#include <cmath>
#include <future>

#ifndef REELMAKER_VERSION
#define REELMAKER_VERSION "0"
#endif

namespace reel {

namespace {

const char kUsage[] =
    "usage: reelmaker                      the window\n"
    "       reelmaker --batch -o OUT.avi [--fps N] [--codec CODE] [--quality Q]\n"
    "                 [--keyframe N] PICTURES...\n"
    "       reelmaker --list-codecs\n"
    "       reelmaker --help | --version\n"
    "\n"
    "  -o OUT.avi     the movie to write (replaced only once complete)\n"
    "  --fps N        frames per second, rounded to a whole number >= 1 (default 15)\n"
    "  --codec CODE   four-character code from --list-codecs, any case (default DIB,\n"
    "                 Full Frames (Uncompressed))\n"
    "  --quality Q    compress quality in percent, 0..100 (default 75)\n"
    "  --keyframe N   a key frame every N frames (default: the codec's own)\n"
    "Every picture becomes one 564 x 400 frame, fitted on grey; a picture that does not\n"
    "load repeats the previous frame.\n";

int Usage(std::FILE* err, const std::string& why) {
    std::fprintf(err, "reelmaker: %s\n%s", why.c_str(), kUsage);
    return 2;
}

struct BatchArgs {
    QString output;
    QString fps = QStringLiteral("15");
    QString codec = QStringLiteral("DIB ");
    uint32_t quality = kDefaultQuality;
    uint32_t keyFrameEvery = 0;
    QStringList pictures;
};

} // namespace

bool IsCommandLineMode(const QStringList& args) {
    for (const QString& a : args) {
        if (a == "--batch" || a == "--list-codecs" || a == "--help" || a == "-h" ||
            a == "--version")
            return true;
    }
    return false;
}

int RunCommandLine(const QStringList& args, std::FILE* out, std::FILE* err) {
    if (args.contains("--help") || args.contains("-h")) {
        std::fputs(kUsage, out);
        return 0;
    }
    if (args.contains("--version")) {
        std::fprintf(out, "reelmaker %s\n", REELMAKER_VERSION);
        return 0;
    }
    if (args.contains("--list-codecs")) {
        if (args.size() != 1) return Usage(err, "--list-codecs takes no other arguments");
        for (const CodecInfo& c : AvailableCodecs())
            std::fprintf(out, "%-4s  %s\n", FourCCText(c.fourcc).c_str(), c.name);
        return 0;
    }

    BatchArgs a;
    bool batch = false;
    bool picturesOnly = false;
    for (int i = 0; i < args.size(); ++i) {
        const QString& arg = args[i];
        const bool hasValue = i + 1 < args.size();
        if (picturesOnly || !arg.startsWith('-') || arg == "-") {
            a.pictures << arg;
        } else if (arg == "--") {
            picturesOnly = true;
        } else if (arg == "--batch") {
            batch = true;
        } else if (arg == "-o" || arg == "--output") {
            if (!hasValue) return Usage(err, "-o needs a file name");
            a.output = args[++i];
        } else if (arg == "--fps") {
            if (!hasValue) return Usage(err, "--fps needs a number");
            a.fps = args[++i];
        } else if (arg == "--codec") {
            if (!hasValue) return Usage(err, "--codec needs a four-character code");
            a.codec = args[++i];
        } else if (arg == "--quality") {
            if (!hasValue) return Usage(err, "--quality needs a number");
            bool ok = false;
            const double q = args[++i].toDouble(&ok);
            if (!ok || !(q >= 0 && q <= 100))
                return Usage(err, "--quality must be a number from 0 to 100");
            a.quality = static_cast<uint32_t>(std::nearbyint(q * 100));
        } else if (arg == "--keyframe") {
            if (!hasValue) return Usage(err, "--keyframe needs a number");
            bool ok = false;
            const uint n = args[++i].toUInt(&ok);
            if (!ok || n < 1) return Usage(err, "--keyframe must be a whole number >= 1");
            a.keyFrameEvery = n;
        } else {
            return Usage(err, "unknown option " + arg.toStdString());
        }
    }
    if (!batch) return Usage(err, "pictures are given only with --batch");
    if (a.output.isEmpty()) return Usage(err, "--batch needs -o OUT.avi");
    if (!FrameRateProblem(a.fps).isEmpty())
        return Usage(err, "--fps \"" + a.fps.toStdString() +
                              "\" is not a frame rate of at least 1 frame per second");
    const std::optional<CodecInfo> codec = FindCodecByText(a.codec);
    if (!codec)
        return Usage(err, "unknown codec \"" + a.codec.toStdString() + "\" (see --list-codecs)");

    CompressOptions options;
    options.fccType = kStreamTypeVideo;
    options.fccHandler = codec->fourcc;
    options.dwQuality = a.quality;
    options.dwFlags = kCompressValid;
    if (a.keyFrameEvery > 0) {
        options.dwKeyFrameEvery = a.keyFrameEvery;
        options.dwFlags |= kCompressKeyFrames;
    }

    MovieWriter movie;
    const int32_t rate = *ReadFrameRate(a.fps);
    if (!MovieOpen(movie, a.output, rate) || !MovieCreateStream(movie, rate) ||
        !MovieSetCodec(movie, options) || !MovieSetFormat(movie)) {
        std::fprintf(err, "reelmaker: %s\n", movie.error.c_str());
        MovieAbandon(movie);
        return 1;
    }
    std::fprintf(err, "reelmaker: %s at %d frames per second, %s\n",
                 a.output.toLocal8Bit().constData(), rate, codec->name);
    PreviewState preview = MakePreviewState();
    const qsizetype count = a.pictures.size();
    // The next picture is loaded and fitted on the other core while this
    // frame is compressed and written; the frames are the same as one
    // ShowPicture after another would give.
    struct Prepared {
        PreviewState state; // current: none when the picture did not load
    };
    const auto prepare = [&a](qsizetype k) {
        return std::async(std::launch::async, [path = a.pictures[k]] {
            Prepared p{MakePreviewState()};
            p.state.current = LoadPicture(path);
            if (p.state.current) {
                p.state.currentWidth = static_cast<uint32_t>(p.state.current->width());
                p.state.currentHeight = static_cast<uint32_t>(p.state.current->height());
                DrawPicture(p.state);
            }
            return p;
        });
    };
    std::future<Prepared> next;
    if (count > 0) next = prepare(0);
    for (qsizetype k = 0; k < count; ++k) {
        Prepared ready = next.get();
        if (k + 1 < count) next = prepare(k + 1);
        const bool loaded = ready.state.current.has_value();
        if (loaded) {
            preview = std::move(ready.state);
        } else {
            // As a failed load: no current picture, the frame repeats the previous one.
            preview.current.reset();
        }
        if (!loaded)
            std::fprintf(err,
                         "reelmaker: warning: cannot load %s; frame %lld repeats the "
                         "previous one\n",
                         a.pictures[k].toLocal8Bit().constData(), static_cast<long long>(k + 1));
        const FrameResult r = MovieWriteFrame(movie, preview.shown);
        if (r == FrameResult::Failed) {
            std::fprintf(err, "reelmaker: error writing frame %lld: %s\n",
                         static_cast<long long>(k + 1), movie.error.c_str());
            MovieAbandon(movie);
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
    if (!MovieFinish(movie)) {
        std::fprintf(err, "reelmaker: %s\n", movie.error.c_str());
        return 1;
    }
    return 0;
}

} // namespace reel
