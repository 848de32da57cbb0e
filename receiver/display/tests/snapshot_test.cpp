// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/display/snapshot.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QImageReader>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdint>

namespace display {
namespace {

uint32_t U32(const QByteArray& b, int at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = (v << 8) | static_cast<uint8_t>(b[at + i]);
    return v;
}
uint32_t U16(const QByteArray& b, int at) {
    return static_cast<uint8_t>(b[at]) |
           (static_cast<uint32_t>(static_cast<uint8_t>(b[at + 1])) << 8);
}

// A panel with a different colour in every pixel so that rows and columns
// cannot be confused.
QImage Pattern(int width, int height) {
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            image.setPixel(x, y, qRgb(x & 0xFF, y & 0xFF, (x + 3 * y) & 0xFF));
    return image;
}

QByteArray ReadAll(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {};
    return f.readAll();
}

void ExpectHeader(const QByteArray& b, int32_t width, int32_t height, uint32_t stride) {
    ASSERT_GE(b.size(), 54);
    EXPECT_EQ(b[0], 'B');
    EXPECT_EQ(b[1], 'M');
    EXPECT_EQ(U32(b, 2), 54 + height * stride);
    EXPECT_EQ(U16(b, 6), 0u);
    EXPECT_EQ(U16(b, 8), 0u);
    EXPECT_EQ(U32(b, 10), 54u);
    EXPECT_EQ(U32(b, 14), 40u);
    EXPECT_EQ(static_cast<int32_t>(U32(b, 18)), width);
    EXPECT_EQ(static_cast<int32_t>(U32(b, 22)), height);
    EXPECT_EQ(U16(b, 26), 1u);
    EXPECT_EQ(U16(b, 28), 24u);
    EXPECT_EQ(U32(b, 30), 0u);
    EXPECT_EQ(U32(b, 34), height * stride);
    for (int at : {38, 42, 46, 50})
        EXPECT_EQ(U32(b, at), 0u) << "offset " << at;
    EXPECT_EQ(static_cast<uint32_t>(b.size()), 54 + height * stride);
}

TEST(GramBmpFormat, HeadersAndSizesOfTheThreeGrams) {
    const QByteArray correlogram = GramBmp(Pattern(561, 216), 216, 560);
    EXPECT_EQ(correlogram.size(), 362934);
    ExpectHeader(correlogram, 560, 216, 1680);

    const QByteArray dopplergram = GramBmp(Pattern(401, 271), 271, 400);
    EXPECT_EQ(dopplergram.size(), 325254);
    EXPECT_EQ(U32(dopplergram, 34), 325200u);
    ExpectHeader(dopplergram, 400, 271, 1200);

    const QByteArray scattergram = GramBmp(Pattern(68, 255), 256, 70);
    EXPECT_EQ(scattergram.size(), 54326);
    ExpectHeader(scattergram, 70, 256, 212);
}

TEST(GramBmpFormat, RowsBottomUpBlueGreenRedWithZeroPaddingAndBlackBeyondTheImage) {
    const QImage panel = Pattern(68, 255);
    const QByteArray b = GramBmp(panel, 256, 70);
    const int stride = 212;
    for (int fileRow = 0; fileRow < 256; ++fileRow) {
        const int y = 255 - fileRow; // the first stored row is the bottom one
        const char* row = b.constData() + 54 + fileRow * stride;
        for (int x = 0; x < 70; ++x) {
            const QRgb expected = (x < 68 && y < 255) ? panel.pixel(x, y) : qRgb(0, 0, 0);
            ASSERT_EQ(static_cast<uint8_t>(row[3 * x]), qBlue(expected)) << x << "," << y;
            ASSERT_EQ(static_cast<uint8_t>(row[3 * x + 1]), qGreen(expected)) << x << "," << y;
            ASSERT_EQ(static_cast<uint8_t>(row[3 * x + 2]), qRed(expected)) << x << "," << y;
        }
        EXPECT_EQ(row[210], 0);
        EXPECT_EQ(row[211], 0);
    }
}

TEST(GramBmpNames, FoldersAndTwoDigitTimeNames) {
    EXPECT_EQ(GramFolderName(Gram::Correlogram), "Correlograms");
    EXPECT_EQ(GramFolderName(Gram::Dopplergram), "Dopplergrams");
    EXPECT_EQ(GramFolderName(Gram::Scattergram), "Scattergrams");
    EXPECT_EQ(GramFileName(Gram::Correlogram, {14, 5, 9}), "140509correlogram.BMP");
    EXPECT_EQ(GramFileName(Gram::Dopplergram, {0, 0, 0}), "000000dopplergram.BMP");
    EXPECT_EQ(GramFileName(Gram::Scattergram, {23, 59, 59}), "235959scattergram.BMP");
    // Dated names where the clock knows the day.
    const TimeOfDay dated{14, 5, 9, QDate(2026, 12, 7), true};
    EXPECT_EQ(GramFileName(Gram::Correlogram, dated, true), "20261207-140509correlogram.BMP");
    EXPECT_EQ(GramFileName(Gram::Correlogram, dated), "140509correlogram.BMP");
    EXPECT_EQ(GramFileName(Gram::Correlogram, {14, 5, 9}, true), "140509correlogram.BMP");
    EXPECT_EQ(TimeText({7, 3, 0}), "07:03:00");
}

TEST(SaveGramSnapshotFiles, CreatesAllFoldersAndAFileThatRealReadersOpen) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QImage panel = Pattern(561, 216);
    ASSERT_TRUE(SaveGramSnapshot(panel, 216, 560, Gram::Correlogram, dir.path(), {14, 5, 9}));
    for (const char* folder : {"Correlograms", "Dopplergrams", "Scattergrams"})
        EXPECT_TRUE(QDir(dir.filePath(folder)).exists()) << folder;
    const QString path = dir.filePath("Correlograms/140509correlogram.BMP");
    const QByteArray bytes = ReadAll(path);
    EXPECT_EQ(bytes, GramBmp(panel, 216, 560));
    // Only the snapshot itself: no temporary file is left behind.
    EXPECT_EQ(QDir(dir.filePath("Correlograms")).entryList(QDir::Files).size(), 1);

    QImageReader reader(path);
    EXPECT_EQ(reader.format(), "bmp");
    const QImage back = reader.read();
    ASSERT_FALSE(back.isNull()) << reader.errorString().toStdString();
    EXPECT_EQ(back.size(), QSize(560, 216));
    for (int y : {0, 100, 215})
        for (int x : {0, 300, 559})
            EXPECT_EQ(back.pixel(x, y), panel.pixel(x, y)) << x << "," << y;

    const QString ffprobe = QStandardPaths::findExecutable("ffprobe");
    if (ffprobe.isEmpty()) GTEST_SKIP() << "ffprobe not installed";
    QProcess probe;
    probe.start(ffprobe, {"-v", "error", "-show_entries", "stream=codec_name,width,height,pix_fmt",
                          "-of", "csv=p=0", path});
    ASSERT_TRUE(probe.waitForFinished(30000));
    EXPECT_EQ(probe.exitCode(), 0);
    EXPECT_EQ(QString::fromUtf8(probe.readAllStandardOutput()).trimmed(), "bmp,560,216,bgr24");
}

// A clock set back, or two saves in one second: the name is taken, and the
// picture already there stays as it is.
TEST(SaveGramSnapshotFiles, ANameTakenGetsANumberAndNothingIsReplaced) {
    QTemporaryDir dir;
    QImage first(68, 255, QImage::Format_RGB32);
    first.fill(qRgb(255, 255, 255));
    QImage second = first;
    second.fill(qRgb(0, 0, 0));
    const SnapshotResult one =
        SaveGramSnapshot(first, 256, 70, Gram::Scattergram, dir.path(), {1, 2, 3});
    ASSERT_TRUE(one);
    EXPECT_FALSE(one.Renamed);
    for (int n = 1; n <= 3; ++n) {
        const SnapshotResult again =
            SaveGramSnapshot(second, 256, 70, Gram::Scattergram, dir.path(), {1, 2, 3});
        ASSERT_TRUE(again) << again.Error.toStdString();
        EXPECT_TRUE(again.Renamed);
        EXPECT_EQ(again.Path,
                  dir.filePath(QStringLiteral("Scattergrams/010203scattergram-%1.BMP").arg(n)));
        EXPECT_EQ(ReadAll(again.Path), GramBmp(second, 256, 70));
    }
    EXPECT_EQ(ReadAll(dir.filePath("Scattergrams/010203scattergram.BMP")), GramBmp(first, 256, 70));
    // No temporary file is left, hidden or not.
    EXPECT_EQ(QDir(dir.filePath("Scattergrams")).entryList(QDir::Files | QDir::Hidden).size(), 4);
}

TEST(SaveGramSnapshotFiles, UnwritablePlacesLeaveNoFileAndReportFailure) {
    QTemporaryDir dir;
    // The snapshot folder is a plain file: nothing can be created below it
    // (this holds even for a superuser, unlike permission bits).
    const QString notAFolder = dir.filePath("plain-file");
    {
        QFile f(notAFolder);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("x");
    }
    const QImage panel = Pattern(401, 271);
    EXPECT_FALSE(SaveGramSnapshot(panel, 271, 400, Gram::Dopplergram, notAFolder, {1, 2, 3}));
    EXPECT_EQ(ReadAll(notAFolder), "x");

    // The gram's folder name is taken by a file: the other folders are made,
    // no snapshot and no temporary file appear.
    {
        QFile f(dir.filePath("Dopplergrams"));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    }
    EXPECT_FALSE(SaveGramSnapshot(panel, 271, 400, Gram::Dopplergram, dir.path(), {1, 2, 3}));
    EXPECT_TRUE(QDir(dir.filePath("Correlograms")).exists());
    EXPECT_TRUE(QDir(dir.filePath("Scattergrams")).exists());
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(),
              2); // the two plain files
}

// A picture of an earlier day is never replaced: it moves into a folder named
// by its day, beside any picture of that name already there; when it cannot
// move, the new snapshot is not written and the old one stays.
TEST(SaveGramSnapshotFiles, AnEarlierDaysPictureMovesIntoItsDayFolderAndIsNeverReplaced) {
    QTemporaryDir dir;
    const TimeOfDay today{14, 5, 9, QDate(2026, 12, 8), false};
    const auto old = [&](const QString& name, const QByteArray& text) {
        QDir(dir.path()).mkpath(QFileInfo(dir.filePath(name)).path());
        QFile f(dir.filePath(name));
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(text);
        f.flush(); // else closing would stamp the file with the time now
        f.setFileTime(QDateTime(QDate(2026, 12, 7), QTime(23, 59)), QFile::FileModificationTime);
    };
    old("Correlograms/140509correlogram.BMP", "yesterday");
    old("Correlograms/2026-12-07/140509correlogram.BMP", "kept before");
    const QImage panel = Pattern(561, 216);
    const SnapshotResult saved =
        SaveGramSnapshot(panel, 216, 560, Gram::Correlogram, dir.path(), today);
    ASSERT_TRUE(saved) << saved.Error.toStdString();
    EXPECT_EQ(ReadAll(dir.filePath("Correlograms/140509correlogram.BMP")),
              GramBmp(panel, 216, 560));
    EXPECT_EQ(ReadAll(dir.filePath("Correlograms/2026-12-07/140509correlogram.BMP")),
              "kept before");
    EXPECT_EQ(saved.MovedTo, dir.filePath("Correlograms/2026-12-07/140509correlogram-1.BMP"));
    EXPECT_EQ(ReadAll(saved.MovedTo), "yesterday");

    // Today's own picture of that name stays too: the new one is numbered.
    const SnapshotResult second =
        SaveGramSnapshot(Pattern(561, 216), 216, 560, Gram::Correlogram, dir.path(), today);
    ASSERT_TRUE(second);
    EXPECT_EQ(second.Path, dir.filePath("Correlograms/140509correlogram-1.BMP"));
    EXPECT_EQ(QDir(dir.filePath("Correlograms/2026-12-07")).count(), 4u); // with . and ..

    // The day folder's name is taken by a file: nothing moves, nothing is written.
    old("Scattergrams/140509scattergram.BMP", "yesterday");
    old("Scattergrams/2026-12-07", "in the way");
    const SnapshotResult refused =
        SaveGramSnapshot(panel, 256, 70, Gram::Scattergram, dir.path(), today);
    EXPECT_FALSE(refused);
    EXPECT_TRUE(refused.Error.startsWith("cannot make the folder")) << refused.Error.toStdString();
    EXPECT_EQ(ReadAll(dir.filePath("Scattergrams/140509scattergram.BMP")), "yesterday");
}

} // namespace
} // namespace display
