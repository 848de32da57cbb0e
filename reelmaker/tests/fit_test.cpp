// SPDX-License-Identifier: GPL-3.0-or-later
#include "reelmaker/fit.h"
#include "reelmaker/main_window.h"
#include "reelmaker/picture.h"
#include "test_util.h"

#include <QImageReader>
#include <QTemporaryDir>

#include <map>

#include <gtest/gtest.h>

namespace reelmaker {
namespace {

struct FitCase {
    int32_t Pw, Ph;
    int32_t W, H, X, Y;
};

TEST(Skiconise, WorkedTableForThePreviewBox) {
    const FitCase cases[] = {
        {564, 400, 564, 400, 0, 0},   {1128, 800, 564, 400, 0, 0},  {800, 600, 533, 400, 15, 0},
        {1024, 768, 533, 400, 15, 0}, {400, 564, 284, 400, 140, 0}, {100, 50, 564, 282, 0, 59},
        {3, 2, 564, 376, 0, 12},      {4000, 10, 564, 1, 0, 199},   {0, 100, 0, 0, 282, 200},
    };
    for (const FitCase& c : cases) {
        int32_t x = -1, y = -1, w = -1, h = -1;
        SKICONISE(c.Pw, c.Ph, 564, 400, &x, &y, &w, &h);
        EXPECT_EQ(w, c.W) << c.Pw << " x " << c.Ph;
        EXPECT_EQ(h, c.H) << c.Pw << " x " << c.Ph;
        EXPECT_EQ(x, c.X) << c.Pw << " x " << c.Ph;
        EXPECT_EQ(y, c.Y) << c.Pw << " x " << c.Ph;
    }
}

TEST(Skiconise, AbsurdSizesSaturateInsteadOfOverflowing) {
    const FitRect r = FitPicture(1, 2000000000, 564, 400);
    EXPECT_EQ(r.Height, 400);
    EXPECT_EQ(r.Width, 0);
    const FitRect tiny = FitPicture(1, 0x7FFFFFFF, 0x7FFFFFFF, 0x7FFFFFFF);
    EXPECT_GE(tiny.Width, 0);
}

TEST(Skiconise, ExecutableExportsItUnmangled) {
    const ProcessResult r = RunProgram("nm", {"-D", "--defined-only", REELMAKER_EXE});
    ASSERT_EQ(r.ExitCode, 0) << r.Err.toStdString();
    EXPECT_TRUE(r.Out.contains(" T SKICONISE\n")) << r.Out.toStdString();
}

TEST(Preview, EightHundredBySixHundredLeavesGreyBandsOf15And16) {
    QTemporaryDir dir;
    const QString path = dir.filePath("p.bmp");
    ASSERT_TRUE(SolidPicture(800, 600, qRgb(255, 0, 0)).save(path));
    PreviewState s = MakePreviewState();
    ASSERT_TRUE(ShowPicture(s, path));
    EXPECT_EQ(s.CurrentWidth, 800u);
    EXPECT_EQ(s.CurrentHeight, 600u);
    const QImage& f = s.Shown;
    ASSERT_EQ(f.size(), QSize(564, 400));
    EXPECT_EQ(f.pixel(14, 200), PreviewBackground);
    EXPECT_EQ(f.pixel(15, 200), qRgb(255, 0, 0));
    EXPECT_EQ(f.pixel(547, 200), qRgb(255, 0, 0));
    EXPECT_EQ(f.pixel(548, 200), PreviewBackground);
    EXPECT_EQ(f.pixel(563, 0), PreviewBackground);
}

TEST(Preview, SmallPictureIsEnlargedAndCentredVertically) {
    QTemporaryDir dir;
    const QString path = dir.filePath("small.png");
    ASSERT_TRUE(SolidPicture(100, 50, qRgb(0, 0, 255)).save(path));
    PreviewState s = MakePreviewState();
    ASSERT_TRUE(ShowPicture(s, path));
    EXPECT_EQ(s.Shown.pixel(0, 58), PreviewBackground);
    EXPECT_EQ(s.Shown.pixel(0, 59), qRgb(0, 0, 255));
    EXPECT_EQ(s.Shown.pixel(563, 340), qRgb(0, 0, 255));
    EXPECT_EQ(s.Shown.pixel(563, 341), PreviewBackground);
}

TEST(Preview, FailedLoadClearsCurrentButKeepsSizeAndShownImage) {
    QTemporaryDir dir;
    const QString good = dir.filePath("good.bmp");
    const QString broken = dir.filePath("broken.bmp");
    ASSERT_TRUE(SolidPicture(564, 400, qRgb(10, 20, 30)).save(good));
    WriteFile(broken, "BM this is no picture");
    PreviewState s = MakePreviewState();
    ASSERT_TRUE(ShowPicture(s, good));
    const QImage before = s.Shown;
    EXPECT_FALSE(ShowPicture(s, broken));
    EXPECT_FALSE(s.Current.has_value());
    EXPECT_EQ(s.CurrentWidth, 564u);
    EXPECT_EQ(s.CurrentHeight, 400u);
    EXPECT_EQ(s.Shown, before);
    EXPECT_FALSE(ShowPicture(s, dir.filePath("missing.jpg")));
    EXPECT_FALSE(ShowPicture(s, QString()));
    EXPECT_EQ(s.Shown, before);
    // A repaint without a current picture shows only the background.
    DrawPicture(s);
    EXPECT_EQ(s.Shown, SolidPicture(564, 400, PreviewBackground));
}

TEST(Preview, TransparentPictureShowsTheGreyBehindIt) {
    QTemporaryDir dir;
    QImage clear(564, 400, QImage::Format_ARGB32);
    clear.fill(Qt::transparent);
    const QString path = dir.filePath("clear.png");
    ASSERT_TRUE(clear.save(path));
    PreviewState s = MakePreviewState();
    ASSERT_TRUE(ShowPicture(s, path));
    EXPECT_EQ(s.Shown.pixel(100, 100), PreviewBackground);
}

} // namespace
} // namespace reelmaker

namespace reelmaker {
namespace {

TEST(Preview, ScaledColoursStayTrueToThePicture) {
    QTemporaryDir dir;
    for (const QSize size : {QSize(560, 216), QSize(1600, 1200), QSize(97, 61)}) {
        const QImage picture = PatternPicture(size.width(), size.height(), 5);
        const QString path = dir.filePath("p.bmp");
        ASSERT_TRUE(picture.save(path));
        PreviewState s = MakePreviewState();
        ASSERT_TRUE(ShowPicture(s, path));
        const FitRect fit = FitPicture(size.width(), size.height(), 564, 400);
        const QImage reference =
            picture.scaled(fit.Width, fit.Height, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        const QImage drawn = s.Shown.copy(fit.X, fit.Y, fit.Width, fit.Height);
        EXPECT_GE(Psnr(drawn, reference), 30) << size.width() << " x " << size.height();
    }
    const QString solid = dir.filePath("solid.png");
    ASSERT_TRUE(SolidPicture(333, 77, qRgb(200, 30, 90)).save(solid));
    PreviewState s = MakePreviewState();
    ASSERT_TRUE(ShowPicture(s, solid));
    EXPECT_EQ(s.Shown.pixel(282, 200), qRgb(200, 30, 90));
}

} // namespace
} // namespace reelmaker

namespace reelmaker {
namespace {

// A picture of the given suffix: written by Qt where it can, by ffmpeg otherwise. Each
// pattern the open dialog offers must be here, so a format nothing reads cannot creep in.
bool WritePictureAs(const QImage& picture, const QString& path, const QString& suffix) {
    static const std::map<QString, const char*> QtWriter = {
        {"BMP", "bmp"}, {"DIB", "bmp"}, {"EXIF", "jpg"}, {"JPG", "jpg"},   {"JPEG", "jpg"},
        {"ICO", "ico"}, {"PNG", "png"}, {"TIF", "tiff"}, {"TIFF", "tiff"},
    };
    if (const auto it = QtWriter.find(suffix); it != QtWriter.end())
        return picture.save(path, it->second);
    if (suffix != "GIF" && suffix != "TGA") return false;
    const QString png = path + ".png";
    if (!picture.save(png)) return false;
    // Qt reads TGA files without run-length coding only.
    QStringList args{"-v", "error", "-y", "-i", png};
    if (suffix == "TGA")
        args << "-c:v"
             << "targa"
             << "-rle"
             << "0"
             << "-f"
             << "image2";
    if (suffix == "GIF")
        args << "-f"
             << "gif";
    return RunProgram("ffmpeg", args << path).ExitCode == 0;
}

TEST(Loading, EveryPictureTheOpenDialogOffersLoadsWhateverItsSuffixSuggests) {
    QTemporaryDir dir;
    const QRgb colour = qRgb(200, 40, 90);
    const QImage picture = SolidPicture(40, 30, colour);
    const QString patterns = QString::fromLatin1(OpenFilter).section('|', 1, 1);
    for (const QString& pattern : patterns.split(';')) {
        if (!pattern.startsWith("*.")) continue; // ".CUT" and the like match no picture name
        const QString suffix = pattern.mid(2);
        SCOPED_TRACE(suffix.toStdString());
        const QString path = dir.filePath("picture." + suffix.toLower());
        ASSERT_TRUE(WritePictureAs(picture, path, suffix)) << "nothing here writes or reads it";
        PreviewState s = MakePreviewState();
        ASSERT_TRUE(ShowPicture(s, path)) << s.Problem.toStdString();
        EXPECT_EQ(s.CurrentWidth, 40u);
        EXPECT_EQ(s.CurrentHeight, 30u);
        const QRgb centre = s.Shown.pixel(282, 200);
        EXPECT_NEAR(qRed(centre), qRed(colour), 8);
        EXPECT_NEAR(qGreen(centre), qGreen(colour), 8);
        EXPECT_NEAR(qBlue(centre), qBlue(colour), 8);
    }
}

TEST(Loading, PhotoBeyondQtsImageLimitIsDecodedStraightToItsFittedSize) {
    // 48 megapixels: 183 MB as a whole picture, above Qt's 128 MB allocation limit.
    QTemporaryDir dir;
    const QString photo = dir.filePath("photo.jpg");
    ASSERT_EQ(RunProgram("ffmpeg", {"-v", "error", "-f", "lavfi", "-i", "testsrc2=size=8000x6000",
                                    "-frames:v", "1", "-q:v", "4", photo})
                  .ExitCode,
              0);
    ASSERT_GT(8000ll * 6000 * 4, QImageReader::allocationLimit() * 1024ll * 1024);
    PreviewState s = MakePreviewState();
    ASSERT_TRUE(ShowPicture(s, photo)) << s.Problem.toStdString();
    EXPECT_EQ(s.CurrentWidth, 8000u);
    EXPECT_EQ(s.CurrentHeight, 6000u);
    EXPECT_LE(s.Current->width() * s.Current->height(), 533 * 400);
    // Against ffmpeg's own reduction of the same photo.
    const ProcessResult reference =
        RunProgram("ffmpeg", {"-v", "error", "-i", photo, "-vf", "scale=533:400:flags=area", "-f",
                              "rawvideo", "-pix_fmt", "bgra", "-"});
    ASSERT_EQ(reference.OutBytes.size(), 533 * 400 * 4);
    QImage expected(reinterpret_cast<const uchar*>(reference.OutBytes.constData()), 533, 400,
                    QImage::Format_RGB32);
    EXPECT_GE(Psnr(s.Shown.copy(15, 0, 533, 400), expected.copy()), 25);
}

} // namespace
} // namespace reelmaker
