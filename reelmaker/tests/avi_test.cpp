// SPDX-License-Identifier: GPL-3.0-or-later
#include "reelmaker/avi_writer.h"
#include "reelmaker/codecs.h"
#include "reelmaker/movie.h"
#include "reelmaker/picture.h"
#include "test_util.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace reelmaker {
namespace {

constexpr uint32_t FourCC(const char (&s)[5]) {
    return MakeFourCC(s[0], s[1], s[2], s[3]);
}

// Writes pictures as the window does: each shown in the preview, the preview is the frame.
bool WriteMovie(const QString& path, const QStringList& pictures, const CompressOptions& options,
                int32_t rate, uint64_t riffLimit = RiffLimitBytes,
                std::vector<QImage>* frames = nullptr) {
    MovieWriter movie;
    if (!MovieOpen(movie, path, rate)) return false;
    movie.Avi.RiffLimitBytes = riffLimit;
    if (!MovieSetCodec(movie, options) || !MovieSetFormat(movie)) {
        MovieAbandon(movie);
        return false;
    }
    PreviewState preview = MakePreviewState();
    for (const QString& p : pictures) {
        ShowPicture(preview, p);
        if (frames) frames->push_back(preview.Shown);
        if (MovieWriteFrame(movie, preview.Shown) != FrameResult::Written) {
            MovieAbandon(movie);
            return false;
        }
    }
    return MovieFinish(movie);
}

QStringList SavePatterns(const QTemporaryDir& dir, int count, QSize size = QSize(564, 400)) {
    QStringList paths;
    for (int i = 0; i < count; ++i) {
        const QString p = dir.filePath(QString("pic%1.bmp").arg(i, 3, 10, QChar('0')));
        PatternPicture(size.width(), size.height(), i).save(p);
        paths << p;
    }
    return paths;
}

TEST(AviHeaders, FullFrameMovieParsesBackFieldByField) {
    QTemporaryDir dir;
    const QStringList pics = SavePatterns(dir, 3);
    const QString out = dir.filePath("m.avi");
    CompressOptions options;
    options.FccHandler = FourCC("DIB ");
    options.DwQuality = 7500;
    ASSERT_TRUE(WriteMovie(out, pics, options, 15));
    const QByteArray f = ReadFile(out);
    const std::vector<Chunk> chunks = ReadChunks(f);
    ASSERT_FALSE(chunks.empty());
    EXPECT_EQ(chunks[0].Id, "RIFF/AVI ");
    EXPECT_EQ(qsizetype(chunks[0].Size) + 8, f.size());

    const Chunk* avih = FindChunk(chunks, "avih");
    ASSERT_TRUE(avih);
    const qsizetype a = avih->Offset + 8;
    EXPECT_EQ(avih->Size, 56u);
    EXPECT_EQ(Le32(f, a), 66667u);  // microseconds per frame
    EXPECT_EQ(Le32(f, a + 16), 3u); // total frames
    EXPECT_EQ(Le32(f, a + 24), 1u); // streams
    EXPECT_EQ(Le32(f, a + 28), 676800u);
    EXPECT_EQ(Le32(f, a + 32), 564u);
    EXPECT_EQ(Le32(f, a + 36), 400u);
    EXPECT_TRUE(Le32(f, a + 12) & 0x10); // has index

    const Chunk* strh = FindChunk(chunks, "strh");
    ASSERT_TRUE(strh);
    const qsizetype s = strh->Offset + 8;
    EXPECT_EQ(Le32(f, s), FourCC("vids"));
    EXPECT_EQ(Le32(f, s + 4), FourCC("DIB "));
    EXPECT_EQ(Le32(f, s + 8), 0u);       // flags
    EXPECT_EQ(Le32(f, s + 12), 0u);      // priority, language
    EXPECT_EQ(Le32(f, s + 16), 0u);      // initial frames
    EXPECT_EQ(Le32(f, s + 20), 1u);      // dwScale
    EXPECT_EQ(Le32(f, s + 24), 15u);     // dwRate
    EXPECT_EQ(Le32(f, s + 28), 0u);      // dwStart
    EXPECT_EQ(Le32(f, s + 32), 3u);      // dwLength
    EXPECT_EQ(Le32(f, s + 36), 676800u); // dwSuggestedBufferSize
    EXPECT_EQ(Le32(f, s + 40), 0u);      // dwQuality
    EXPECT_EQ(Le32(f, s + 44), 0u);      // dwSampleSize
    EXPECT_EQ(Le64(f, s + 48), 0u);      // rcFrame

    const Chunk* strf = FindChunk(chunks, "strf");
    ASSERT_TRUE(strf);
    ASSERT_EQ(strf->Size, 40u);
    const qsizetype b = strf->Offset + 8;
    const BitmapInfoHeader h = StreamFormatHeader();
    EXPECT_EQ(Le32(f, b), 40u);
    EXPECT_EQ(Le32(f, b + 4), 564u);
    EXPECT_EQ(Le32(f, b + 8), 400u);
    EXPECT_EQ(Le16(f, b + 12), 1u);
    EXPECT_EQ(Le16(f, b + 14), 24u);
    EXPECT_EQ(Le32(f, b + 16), 0u); // BI_RGB
    EXPECT_EQ(Le32(f, b + 20), 676800u);
    for (int i = 24; i < 40; i += 4)
        EXPECT_EQ(Le32(f, b + i), 0u);
    EXPECT_EQ(h.biSizeImage, 676800u);

    // The frame bitmap's own header differs only in biSizeImage.
    const BitmapInfoHeader cap = CaptureHeader();
    EXPECT_EQ(cap.biSize, 40u);
    EXPECT_EQ(cap.biWidth, 564);
    EXPECT_EQ(cap.biHeight, 400);
    EXPECT_EQ(cap.biPlanes, 1);
    EXPECT_EQ(cap.biBitCount, 24);
    EXPECT_EQ(cap.biCompression, 0u);
    EXPECT_EQ(cap.biSizeImage, 0u);
}

TEST(AviHeaders, Idx1MarksEveryFullFrameAsKeyAndPointsAtItsChunk) {
    QTemporaryDir dir;
    const QStringList pics = SavePatterns(dir, 4);
    const QString out = dir.filePath("m.avi");
    std::vector<QImage> frames;
    ASSERT_TRUE(WriteMovie(out, pics, CompressOptions{}, 15, RiffLimitBytes, &frames));
    const QByteArray f = ReadFile(out);
    const std::vector<Chunk> chunks = ReadChunks(f);
    const Chunk* movi = FindChunk(chunks, "LIST/movi");
    const Chunk* idx1 = FindChunk(chunks, "idx1");
    ASSERT_TRUE(movi && idx1);
    ASSERT_EQ(idx1->Size, 4u * 16u);
    // No codec chosen: the handler stays 0, the frames are full frames.
    EXPECT_EQ(Le32(f, FindChunk(chunks, "strh")->Offset + 12), 0u);
    for (int k = 0; k < 4; ++k) {
        const qsizetype e = idx1->Offset + 8 + 16 * k;
        EXPECT_EQ(Le32(f, e), FourCC("00db"));
        EXPECT_EQ(Le32(f, e + 4), AviIfKeyFrame);
        EXPECT_EQ(Le32(f, e + 12), 676800u);
        const qsizetype chunkAt = movi->Offset + 8 + Le32(f, e + 8);
        EXPECT_EQ(f.mid(chunkAt, 4), "00db");
        // Bottom row first, blue green red.
        const QRgb bottomLeft = frames[k].pixel(0, 399);
        EXPECT_EQ(uint8_t(f[chunkAt + 8]), qBlue(bottomLeft));
        EXPECT_EQ(uint8_t(f[chunkAt + 9]), qGreen(bottomLeft));
        EXPECT_EQ(uint8_t(f[chunkAt + 10]), qRed(bottomLeft));
        const QRgb topRight = frames[k].pixel(563, 0);
        const qsizetype last = chunkAt + 8 + 676800 - 3;
        EXPECT_EQ(uint8_t(f[last]), qBlue(topRight));
        EXPECT_EQ(uint8_t(f[last + 2]), qRed(topRight));
    }
}

TEST(AviHeaders, PastTheRiffLimitOpenDmlPartsCarryEveryFrame) {
    QTemporaryDir dir;
    const QStringList pics = SavePatterns(dir, 7);
    const QString out = dir.filePath("big.avi");
    std::vector<QImage> frames;
    // Three full frames fit a part of 2.5 MB, so seven frames need three parts.
    ASSERT_TRUE(WriteMovie(out, pics, CompressOptions{}, 10, 2500000, &frames));
    const QByteArray f = ReadFile(out);
    const std::vector<Chunk> chunks = ReadChunks(f);
    ASSERT_TRUE(FindChunk(chunks, "RIFF/AVIX", 1));
    EXPECT_FALSE(FindChunk(chunks, "RIFF/AVIX", 2));
    for (const Chunk& c : chunks) {
        if (c.Id.rfind("RIFF", 0) == 0) {
            EXPECT_LE(c.Size + 8u, 2500000u);
        }
    }
    const Chunk* idx1 = FindChunk(chunks, "idx1");
    ASSERT_TRUE(idx1);
    const uint32_t firstPart = idx1->Size / 16;
    EXPECT_EQ(Le32(f, FindChunk(chunks, "avih")->Offset + 8 + 16), firstPart);
    EXPECT_EQ(Le32(f, FindChunk(chunks, "strh")->Offset + 8 + 32), 7u);
    EXPECT_EQ(Le32(f, FindChunk(chunks, "dmlh")->Offset + 8), 7u);
    const Chunk* indx = FindChunk(chunks, "indx");
    ASSERT_TRUE(indx);
    EXPECT_EQ(Le32(f, indx->Offset + 8 + 4), 3u); // parts
    uint32_t indexed = 0;
    for (int i = 0; i < 3; ++i) {
        const qsizetype e = indx->Offset + 8 + 24 + 16 * i;
        EXPECT_EQ(f.mid(qsizetype(Le64(f, e)), 4), "ix00");
        indexed += Le32(f, e + 12);
    }
    EXPECT_EQ(indexed, 7u);

    const ProbeResult p = Probe(out);
    ASSERT_TRUE(p.Ok) << p.Fields.count("stderr");
    EXPECT_EQ(p.Fields.at("nb_read_frames"), "7");
    const std::vector<QImage> decoded = DecodeFrames(out);
    ASSERT_EQ(decoded.size(), 7u);
    for (int k = 0; k < 7; ++k)
        EXPECT_EQ(decoded[k], frames[k]) << "frame " << k;
}

TEST(AviHeaders, EmptyListStillWritesAFilePlayersOpen) {
    QTemporaryDir dir;
    const QString out = dir.filePath("empty.avi");
    ASSERT_TRUE(WriteMovie(out, {}, CompressOptions{}, 15));
    const QByteArray f = ReadFile(out);
    const std::vector<Chunk> chunks = ReadChunks(f);
    ASSERT_TRUE(FindChunk(chunks, "idx1"));
    EXPECT_EQ(FindChunk(chunks, "idx1")->Size, 0u);
    EXPECT_EQ(Le32(f, FindChunk(chunks, "strh")->Offset + 8 + 32), 0u);
    ProbeResult p = Probe(out);
    EXPECT_TRUE(p.Ok);
    EXPECT_EQ(p.Fields["width"], "564");
    EXPECT_EQ(p.Fields["height"], "400");
}

TEST(AviFileSafety, ExistingMovieIsReplacedOnlyWhenTheNewOneIsComplete) {
    QTemporaryDir dir;
    const QString out = dir.filePath("keep.avi");
    WriteFile(out, "previous movie");
    MovieWriter movie;
    ASSERT_TRUE(MovieOpen(movie, out, 15));
    ASSERT_TRUE(MovieSetCodec(movie, CompressOptions{}));
    ASSERT_TRUE(MovieSetFormat(movie));
    PreviewState preview = MakePreviewState();
    ASSERT_EQ(MovieWriteFrame(movie, preview.Shown), FrameResult::Written);
    EXPECT_EQ(ReadFile(out), "previous movie"); // still writing
    MovieAbandon(movie);
    EXPECT_EQ(ReadFile(out), "previous movie");
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList{"keep.avi"});

    ASSERT_TRUE(WriteMovie(out, {}, CompressOptions{}, 15));
    EXPECT_EQ(ReadFile(out).left(4), "RIFF");
}

class DroppedWriter : public ::testing::TestWithParam<const char*> {};

// Every early return of a caller is this: the writer goes out of scope half-way.
TEST_P(DroppedWriter, WriterDestroyedBeforeFinishLeavesTheOldMovieAndNoTemporaryFile) {
    QTemporaryDir dir;
    const QString out = dir.filePath("keep.avi");
    WriteFile(out, "previous movie");
    {
        MovieWriter movie;
        ASSERT_TRUE(MovieOpen(movie, out, 15));
        CompressOptions options;
        options.FccHandler = FindCodecByText(GetParam())->Fourcc;
        ASSERT_TRUE(MovieSetCodec(movie, options));
        ASSERT_TRUE(MovieSetFormat(movie));
        PreviewState preview = MakePreviewState();
        ASSERT_EQ(MovieWriteFrame(movie, preview.Shown), FrameResult::Written);
    }
    EXPECT_EQ(ReadFile(out), "previous movie");
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList{"keep.avi"});
}

// Full frames of our own, and an encoder holding libav objects (leaks show under LSan).
INSTANTIATE_TEST_SUITE_P(AviFileSafety, DroppedWriter, ::testing::Values("DIB", "MJPG"));

TEST(AviFileSafety, UnwritableFolderIsReportedNotIgnored) {
    MovieWriter movie;
    EXPECT_FALSE(MovieOpen(movie, "/nonexistent-folder/x.avi", 15));
    EXPECT_FALSE(movie.Error.empty());
}

TEST(FrameRate, TextIsReadByItsLeadingNumberAndRoundedToEven) {
    EXPECT_EQ(ReadFrameRate("15"), 15);
    EXPECT_EQ(ReadFrameRate("12.5"), 12);
    EXPECT_EQ(ReadFrameRate("13.5"), 14);
    EXPECT_EQ(ReadFrameRate(" \t\n25fps"), 25);
    EXPECT_EQ(ReadFrameRate("+7.49"), 7);
    EXPECT_EQ(ReadFrameRate("1e3"), 1);
    EXPECT_EQ(ReadFrameRate("abc"), 0);
    EXPECT_EQ(ReadFrameRate(""), 0);
    EXPECT_EQ(ReadFrameRate("-5"), -5);
    EXPECT_EQ(ReadFrameRate("99999999999"), std::nullopt);
}

TEST(FrameRate, ZeroNegativeAndTextWithoutNumberAreRefused) {
    EXPECT_TRUE(FrameRateProblem("15").isEmpty());
    EXPECT_TRUE(FrameRateProblem("12.5").isEmpty());
    EXPECT_FALSE(FrameRateProblem("abc").isEmpty());
    EXPECT_FALSE(FrameRateProblem("0.4").isEmpty());
    EXPECT_FALSE(FrameRateProblem("-5").isEmpty());
    EXPECT_FALSE(FrameRateProblem("99999999999").isEmpty());
    EXPECT_TRUE(FrameRateProblem("abc").contains("abc"));
}

TEST(ProgressText, LinesFollowTheNumberFormat) {
    EXPECT_EQ(ProgressText(3, 12, FourCC("MJPG"), 7500),
              "  Writing frame  3 of  12\r\n  Compression MJPG\r\n  Compress quality  75%");
    EXPECT_EQ(ProgressText(1, 1, FourCC("cvid"), 7550),
              "  Writing frame  1 of  1\r\n  Compression cvid\r\n  Compress quality  75.5%");
    EXPECT_EQ(QualityText(7501), " 75.01");
    EXPECT_EQ(QualityText(10000), " 100");
    EXPECT_EQ(QualityText(1), " 0.01");
    EXPECT_EQ(QualityText(0), " 0");
    EXPECT_EQ(NumberText(-5), "-5");
    EXPECT_EQ(NumberText(12), " 12");
}

TEST(ProgressText, ZeroHandlerEndsTheTextAfterCompression) {
    EXPECT_EQ(ProgressText(2, 5, 0, 7500), "  Writing frame  2 of  5\r\n  Compression ");
    EXPECT_EQ(ProgressText(2, 5, FourCC("DIB "), 0),
              "  Writing frame  2 of  5\r\n  Compression DIB \r\n  Compress quality  0%");
}

} // namespace
} // namespace reelmaker
