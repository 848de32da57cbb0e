// SPDX-License-Identifier: GPL-3.0-or-later
// Every offered codec through the batch mode, read back by ffprobe and ffmpeg.
#include "reelmaker/codecs.h"
#include "reelmaker/picture.h"
#include "test_util.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <set>

namespace reelmaker {
namespace {

ProcessResult Reelmaker(const QStringList& args) {
    return RunProgram(REELMAKER_EXE, args);
}

// The frames the window would show for these pictures.
std::vector<QImage> ExpectedFrames(const QStringList& pictures) {
    std::vector<QImage> frames;
    PreviewState preview = MakePreviewState();
    for (const QString& p : pictures) {
        ShowPicture(preview, p);
        frames.push_back(preview.Shown);
    }
    return frames;
}

bool Lossless(const std::string& code) {
    static const std::set<std::string> Lossless = {"DIB ", "HFYU", "FFV1", "MPNG", "ULRG", "M8RG"};
    return Lossless.count(code) > 0;
}

// Lossy codecs at the default quality reach about 34 dB on the test pictures.
constexpr double PsnrBoundDb = 30;

TEST(Codecs, ListOffersTheStandardSetWithTheirCodesFirst) {
    const ProcessResult r = Reelmaker({"--list-codecs"});
    ASSERT_EQ(r.ExitCode, 0);
    const QStringList lines = r.Out.split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(size_t(lines.size()), AvailableCodecs().size());
    EXPECT_EQ(lines[0], "DIB   Full Frames (Uncompressed)");
    for (const char* code : {"MJPG", "cvid", "CRAM", "FMP4", "H264", "HFYU", "FFV1"}) {
        EXPECT_TRUE(r.Out.contains(QString("\n") + code + "  ")) << code;
    }
}

TEST(Codecs, EveryOfferedCodecWritesAMoviePlayersDecode) {
    QTemporaryDir dir;
    QStringList pictures;
    // Different sizes and shapes, so the fitted frames differ in band and scale.
    const QSize sizes[] = {{560, 216}, {800, 600}, {400, 564}};
    for (int i = 0; i < 3; ++i) {
        const QString p = dir.filePath(QString("p%1.bmp").arg(i));
        ASSERT_TRUE(PatternPicture(sizes[i].width(), sizes[i].height(), i).save(p));
        pictures << p;
    }
    const std::vector<QImage> expected = ExpectedFrames(pictures);
    for (const CodecInfo& codec : AvailableCodecs()) {
        const std::string code = FourCCText(codec.Fourcc);
        SCOPED_TRACE(code + " " + codec.Name);
        const QString out = dir.filePath(QString::fromStdString(code).trimmed() + ".avi");
        const ProcessResult r = Reelmaker(QStringList{"--batch", "-o", out, "--fps", "12.5",
                                                      "--codec", QString::fromStdString(code)}
                                          << pictures);
        ASSERT_EQ(r.ExitCode, 0) << r.Err.toStdString();
        const ProbeResult p = Probe(out);
        ASSERT_TRUE(p.Ok);
        EXPECT_EQ(p.Fields.at("width"), "564");
        EXPECT_EQ(p.Fields.at("height"), "400");
        EXPECT_EQ(p.Fields.at("r_frame_rate"), "12/1");
        EXPECT_EQ(p.Fields.at("nb_read_frames"), "3");
        const std::vector<QImage> decoded = DecodeFrames(out);
        ASSERT_EQ(decoded.size(), 3u);
        for (size_t k = 0; k < 3; ++k) {
            if (Lossless(code)) {
                EXPECT_EQ(decoded[k], expected[k]) << "frame " << k;
            } else {
                EXPECT_GE(Psnr(decoded[k], expected[k]), PsnrBoundDb) << "frame " << k;
            }
        }
    }
}

TEST(Codecs, CompressedStreamFormatDescribesTheCompressedData) {
    QTemporaryDir dir;
    const QString pic = dir.filePath("p.bmp");
    ASSERT_TRUE(PatternPicture(564, 400, 1).save(pic));
    const QString out = dir.filePath("m.avi");
    ASSERT_EQ(Reelmaker({"--batch", "-o", out, "--codec", "mjpg", "--quality", "80", pic}).ExitCode,
              0);
    const QByteArray f = ReadFile(out);
    const std::vector<Chunk> chunks = ReadChunks(f);
    const qsizetype strh = FindChunk(chunks, "strh")->Offset + 8;
    const qsizetype strf = FindChunk(chunks, "strf")->Offset + 8;
    EXPECT_EQ(f.mid(strh + 4, 4), "MJPG");
    EXPECT_EQ(Le32(f, strh + 24), 15u); // default frame rate
    EXPECT_EQ(f.mid(strf + 16, 4), "MJPG");
    EXPECT_EQ(Le32(f, strf + 4), 564u);
    EXPECT_EQ(Le32(f, strf + 8), 400u);
    EXPECT_EQ(Le32(f, strf + 20), 564u * 400u * 3u); // biSizeImage
    const Chunk* idx1 = FindChunk(chunks, "idx1");
    ASSERT_TRUE(idx1);
    EXPECT_EQ(f.mid(idx1->Offset + 8, 4), "00dc");
    EXPECT_EQ(Le32(f, idx1->Offset + 12), 0x10u);
}

TEST(Codecs, InterFramesAreNotIndexedAsKeyFrames) {
    if (!FindCodecByText("FMP4")) GTEST_SKIP() << "no MPEG-4 encoder";
    QTemporaryDir dir;
    QStringList pictures;
    for (int i = 0; i < 6; ++i) {
        pictures << dir.filePath(QString("p%1.png").arg(i));
        ASSERT_TRUE(PatternPicture(564, 400, i).save(pictures.back()));
    }
    const QString out = dir.filePath("m.avi");
    ASSERT_EQ(Reelmaker(QStringList{"--batch", "-o", out, "--codec", "fmp4", "--keyframe", "3"}
                        << pictures)
                  .ExitCode,
              0);
    const QByteArray f = ReadFile(out);
    const std::vector<Chunk> chunks = ReadChunks(f);
    const Chunk* idx1 = FindChunk(chunks, "idx1");
    ASSERT_TRUE(idx1);
    ASSERT_EQ(idx1->Size, 6u * 16u);
    std::vector<uint32_t> flags;
    for (int k = 0; k < 6; ++k)
        flags.push_back(Le32(f, idx1->Offset + 8 + 16 * k + 4));
    EXPECT_EQ(flags, (std::vector<uint32_t>{0x10, 0, 0, 0x10, 0, 0}));
}

TEST(Batch, BrokenAndMissingPicturesRepeatThePreviousFrameWithAWarning) {
    QTemporaryDir dir;
    const QString a = dir.filePath("a.bmp");
    const QString b = dir.filePath("b.png");
    const QString broken = dir.filePath("broken.jpg");
    ASSERT_TRUE(PatternPicture(300, 200, 1).save(a));
    ASSERT_TRUE(PatternPicture(640, 480, 2).save(b));
    WriteFile(broken, QByteArray(100, 'x'));
    const QString missing = dir.filePath("missing.bmp");
    const QString out = dir.filePath("m.avi");
    const ProcessResult r = Reelmaker({"--batch", "-o", out, missing, a, broken, b, missing});
    ASSERT_EQ(r.ExitCode, 0) << r.Err.toStdString();
    EXPECT_EQ(r.Err.count("warning: cannot load"), 3);
    const std::vector<QImage> decoded = DecodeFrames(out);
    ASSERT_EQ(decoded.size(), 5u);
    const std::vector<QImage> shown = ExpectedFrames({a, b});
    EXPECT_EQ(decoded[0], SolidPicture(564, 400, PreviewBackground));
    EXPECT_EQ(decoded[1], shown[0]);
    EXPECT_EQ(decoded[2], shown[0]);
    EXPECT_EQ(decoded[3], shown[1]);
    EXPECT_EQ(decoded[4], shown[1]);
}

TEST(Batch, BadUsageExitsWith2AndWritesNothing) {
    QTemporaryDir dir;
    const QString pic = dir.filePath("p.bmp");
    ASSERT_TRUE(PatternPicture(100, 100, 0).save(pic));
    const QString out = dir.filePath("m.avi");
    for (const QStringList& args : {QStringList{"--batch", "-o", out, "--fps", "abc", pic},
                                    QStringList{"--batch", "-o", out, "--fps", "0.4", pic},
                                    QStringList{"--batch", "-o", out, "--fps", "-5", pic},
                                    QStringList{"--batch", "-o", out, "--codec", "ZZZZ", pic},
                                    QStringList{"--batch", "-o", out, "--quality", "101", pic},
                                    QStringList{"--batch", "-o", out, "--keyframe", "0", pic},
                                    QStringList{"--batch", pic}, QStringList{"--bogus"}}) {
        const ProcessResult r = Reelmaker(args);
        EXPECT_EQ(r.ExitCode, 2) << args.join(' ').toStdString();
        EXPECT_FALSE(r.Err.isEmpty());
        EXPECT_FALSE(QFileInfo::exists(out));
    }
}

TEST(Batch, FailureExitsWith1AndKeepsTheExistingMovie) {
    QTemporaryDir dir;
    const QString pic = dir.filePath("p.bmp");
    ASSERT_TRUE(PatternPicture(100, 100, 0).save(pic));
    const ProcessResult r = Reelmaker({"--batch", "-o", "/nonexistent-folder/m.avi", pic});
    EXPECT_EQ(r.ExitCode, 1);
    EXPECT_EQ(r.Err.count('\n'), 1) << r.Err.toStdString();

    const QString out = dir.filePath("m.avi");
    WriteFile(out, "old");
    const ProcessResult ok = Reelmaker({"--batch", "-o", out, "--fps", "13.5", pic});
    ASSERT_EQ(ok.ExitCode, 0) << ok.Err.toStdString();
    EXPECT_TRUE(ok.Err.contains("  Writing frame  1 of  1"));
    const QByteArray f = ReadFile(out);
    EXPECT_EQ(Le32(f, FindChunk(ReadChunks(f), "strh")->Offset + 8 + 24), 14u);
}

// GStreamer with the plugin sets a desktop player brings along: the AVI demuxer and JPEG
// decoder (good), the H.264 parser (bad) and the libav decoders.
bool HaveGStreamerPlayer() {
    for (const char* element : {"avidemux", "jpegdec", "h264parse", "avdec_h264", "avdec_cinepak"})
        if (RunProgram("gst-inspect-1.0", {"--exists", element}).ExitCode != 0) return false;
    return true;
}

TEST(Codecs, UnmarkedCodecsPlayInGStreamerPlayersToo) {
    if (!HaveGStreamerPlayer())
        GTEST_SKIP() << "needs gstreamer1.0-tools, -plugins-good, -plugins-bad and -libav";
    QTemporaryDir dir;
    QStringList pictures;
    for (int i = 0; i < 3; ++i) {
        pictures << dir.filePath(QString("p%1.bmp").arg(i));
        ASSERT_TRUE(PatternPicture(560, 216 + 100 * i, i).save(pictures.back()));
    }
    const std::vector<QImage> expected = ExpectedFrames(pictures);
    const QStringList listed = Reelmaker({"--list-codecs"}).Out.split('\n', Qt::SkipEmptyParts);
    const std::vector<CodecInfo> codecs = AvailableCodecs();
    ASSERT_EQ(size_t(listed.size()), codecs.size());
    for (size_t i = 0; i < codecs.size(); ++i) {
        const CodecInfo& codec = codecs[i];
        const QString code = QString::fromStdString(FourCCText(codec.Fourcc));
        SCOPED_TRACE(code.toStdString());
        EXPECT_EQ(listed[qsizetype(i)].endsWith(FfmpegPlayersOnlyMark), codec.FfmpegPlayersOnly);
        const QString movie = dir.filePath(code.trimmed() + ".avi");
        ASSERT_EQ(
            Reelmaker(QStringList{"--batch", "-o", movie, "--codec", code} << pictures).ExitCode,
            0);
        const QString raw = movie + ".raw";
        const ProcessResult play =
            RunProgram("gst-launch-1.0",
                       {"-q", "filesrc", "location=" + movie, "!", "decodebin", "!", "videoconvert",
                        "!", "video/x-raw,format=BGRx", "!", "filesink", "location=" + raw});
        if (codec.FfmpegPlayersOnly) {
            EXPECT_NE(play.ExitCode, 0) << "plays after all: drop the mark";
            continue;
        }
        ASSERT_EQ(play.ExitCode, 0) << play.Err.toStdString();
        const QByteArray frames = ReadFile(raw);
        ASSERT_EQ(frames.size(), 3 * FrameWidth * FrameHeight * 4);
        for (int k = 0; k < 3; ++k) {
            QImage frame(reinterpret_cast<const uchar*>(frames.constData()) +
                             qsizetype(k) * FrameWidth * FrameHeight * 4,
                         FrameWidth, FrameHeight, QImage::Format_RGB32);
            EXPECT_GE(Psnr(frame, expected[size_t(k)]), PsnrBoundDb) << "frame " << k;
        }
    }
}

struct RefusedRun {
    QStringList Args; // {dir}: the test's folder, which holds p.bmp and broken.png
    int ExitCode;
    const char* Says;
};

void PrintTo(const RefusedRun& run, std::ostream* os) {
    *os << run.Args.join(' ').toStdString();
}

class Refused : public ::testing::TestWithParam<RefusedRun> {};

TEST_P(Refused, RunThatCannotGiveTheMovieAskedForFailsAndKeepsTheOldOne) {
    QTemporaryDir dir;
    ASSERT_TRUE(PatternPicture(100, 100, 0).save(dir.filePath("p.bmp")));
    WriteFile(dir.filePath("broken.png"), "no picture");
    QStringList args = GetParam().Args;
    args.replaceInStrings("{dir}", dir.path());
    const QString out = args.value(args.indexOf("-o") + 1);
    WriteFile(out, "an earlier movie");
    const ProcessResult r = Reelmaker(args);
    EXPECT_EQ(r.ExitCode, GetParam().ExitCode);
    EXPECT_TRUE(r.Err.contains(GetParam().Says)) << r.Err.toStdString();
    EXPECT_EQ(ReadFile(out), "an earlier movie");
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files).size(), 3); // nothing left beside it
}

INSTANTIATE_TEST_SUITE_P(
    Batch, Refused,
    ::testing::Values(
        RefusedRun{{"--batch", "-o", "{dir}/movie.mp4", "{dir}/p.bmp"}, 2, "must end in .avi"},
        RefusedRun{{"--batch", "-o", "{dir}/movie.AVI.mkv", "{dir}/p.bmp"}, 2, "must end in .avi"},
        RefusedRun{{"--batch", "-o", "{dir}/movie.avi"}, 2, "needs at least one picture"},
        RefusedRun{{"--batch", "-o", "{dir}/movie.avi", "--", "-missing.bmp"},
                   1,
                   "the picture could not be loaded"},
        RefusedRun{{"--batch", "-o", "{dir}/movie.avi", "{dir}/missing.bmp", "{dir}/broken.png"},
                   1,
                   "none of the 2 pictures could be loaded"}));

TEST(Batch, UpperCaseAviNameAndPicturesAfterDoubleDashAreAccepted) {
    QTemporaryDir dir;
    ASSERT_TRUE(PatternPicture(100, 100, 0).save(dir.filePath("-dash.bmp")));
    const QString saved = QDir::currentPath();
    QDir::setCurrent(dir.path()); // the child starts here
    const QString out = dir.filePath("MOVIE.AVI");
    const ProcessResult r = Reelmaker({"--batch", "-o", out, "--", "-dash.bmp"});
    QDir::setCurrent(saved);
    EXPECT_EQ(r.ExitCode, 0) << r.Err.toStdString();
    EXPECT_EQ(DecodeFrames(out).size(), 1u);
}

class NoDisplay : public ::testing::TestWithParam<const char*> {};

TEST_P(NoDisplay, WindowWithoutADisplaySaysSoInOneLineAndExits1) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        environment.remove(name);
    const QString setting = QString::fromLatin1(GetParam());
    if (!setting.isEmpty()) environment.insert(setting.section('=', 0, 0), setting.section('=', 1));
    const ProcessResult r = RunProgram(REELMAKER_EXE, {}, environment);
    EXPECT_EQ(r.ExitCode, 1);
    EXPECT_EQ(r.Err.count('\n'), 1) << r.Err.toStdString();
    EXPECT_TRUE(r.Err.startsWith("reelmaker: no display")) << r.Err.toStdString();
    EXPECT_TRUE(r.Err.contains("--batch"));
}

// Nothing named; an X display nobody serves; a platform that cannot start.
INSTANTIATE_TEST_SUITE_P(Startup, NoDisplay,
                         ::testing::Values("", "DISPLAY=:4321", "QT_QPA_PLATFORM=xcb"));

TEST(Batch, HelpAndVersionSucceed) {
    const ProcessResult help = Reelmaker({"--help"});
    EXPECT_EQ(help.ExitCode, 0);
    EXPECT_TRUE(help.Out.contains("--batch -o OUT.avi"));
    const ProcessResult version = Reelmaker({"--version"});
    EXPECT_EQ(version.ExitCode, 0);
    EXPECT_TRUE(version.Out.startsWith("reelmaker "));
}

} // namespace
} // namespace reelmaker
