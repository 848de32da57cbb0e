// SPDX-License-Identifier: GPL-3.0-or-later
#include "reelmaker/picture.h"

#include "reelmaker/fit.h"

#include <QFileInfo>
#include <QImageReader>
#include <QPainter>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace reelmaker {

namespace {

// Mixes two packed pixels channel by channel; weight 0..256 is the share of b.
inline uint32_t Mix(uint32_t a, uint32_t b, uint32_t weight) {
    const uint32_t inverse = 256 - weight;
    const uint32_t rb =
        (((a & 0x00FF00FFu) * inverse + (b & 0x00FF00FFu) * weight) >> 8) & 0x00FF00FFu;
    const uint32_t ag =
        ((((a >> 8) & 0x00FF00FFu) * inverse + ((b >> 8) & 0x00FF00FFu) * weight)) & 0xFF00FF00u;
    return rb | ag;
}

struct Tap {
    int First = 0;
    int Second = 0;
    uint32_t Weight = 0; // share of `second`, 0..256
};

// Bilinear taps with pixel centres aligned, for enlarging n source pixels to m.
std::vector<Tap> Taps(int n, int m) {
    std::vector<Tap> taps(static_cast<size_t>(m));
    for (int i = 0; i < m; ++i) {
        const double pos = (i + 0.5) * n / m - 0.5;
        const double clamped = std::clamp(pos, 0.0, double(n - 1));
        Tap& t = taps[size_t(i)];
        t.First = static_cast<int>(clamped);
        t.Second = std::min(t.First + 1, n - 1);
        t.Weight = static_cast<uint32_t>(std::lround((clamped - t.First) * 256));
    }
    return taps;
}

// Enlarges an opaque RGB32 picture into the box at `fit` by bilinear interpolation: each
// source row is interpolated across once, then neighbouring rows are mixed.
void Enlarge(const QImage& picture, const FitRect& fit, QImage& box) {
    const std::vector<Tap> columns = Taps(picture.width(), fit.Width);
    const std::vector<Tap> rows = Taps(picture.height(), fit.Height);
    std::vector<uint32_t> upper(static_cast<size_t>(fit.Width));
    std::vector<uint32_t> lower(static_cast<size_t>(fit.Width));
    int upperRow = -1, lowerRow = -1;
    auto across = [&](int row, std::vector<uint32_t>& out) {
        const QRgb* line = reinterpret_cast<const QRgb*>(picture.constScanLine(row));
        for (int x = 0; x < fit.Width; ++x) {
            const Tap& c = columns[size_t(x)];
            out[size_t(x)] = Mix(line[c.First], line[c.Second], c.Weight);
        }
    };
    for (int y = 0; y < fit.Height; ++y) {
        const Tap& r = rows[size_t(y)];
        if (upperRow != r.First) {
            if (lowerRow == r.First) {
                std::swap(upper, lower);
                std::swap(upperRow, lowerRow);
            } else {
                across(r.First, upper);
                upperRow = r.First;
            }
        }
        if (lowerRow != r.Second) {
            across(r.Second, lower);
            lowerRow = r.Second;
        }
        QRgb* out = reinterpret_cast<QRgb*>(box.scanLine(fit.Y + y)) + fit.X;
        for (int x = 0; x < fit.Width; ++x)
            out[x] = Mix(upper[size_t(x)], lower[size_t(x)], r.Weight) | 0xFF000000u;
    }
}

// A picture at least this many times its fitted size in each direction is decoded straight
// to the fitted size where the reader can: a JPEG then decodes at an eighth or a quarter of
// its size, faster and in a fraction of the memory, and photos beyond Qt's allocation
// limit (36 and 48 megapixels) load at all. Smaller pictures are decoded whole and scaled
// here, as the readers' own reduction gives slightly different pixels.
constexpr int ReducedDecodeFactor = 4;

// Reads the size first, then the picture; `size` is the picture's own size.
bool ReadPicture(QImageReader& reader, QImage& image, QSize& size) {
    reader.setAutoTransform(false);
    size = reader.size();
    if (size.isValid() && reader.supportsOption(QImageIOHandler::ScaledSize)) {
        const FitRect fit = FitPicture(size.width(), size.height(), BoxWidth, BoxHeight);
        if (fit.Width > 0 && fit.Height > 0 &&
            int64_t{size.width()} >= int64_t{ReducedDecodeFactor} * fit.Width &&
            int64_t{size.height()} >= int64_t{ReducedDecodeFactor} * fit.Height)
            reader.setScaledSize(QSize(fit.Width, fit.Height));
    }
    if (!reader.read(&image) || image.isNull()) return false;
    if (!reader.scaledSize().isValid() || !size.isValid()) size = image.size();
    return true;
}

// Why a picture did not load; `knownFormat`: a reader took the file for its own.
QString LoadProblem(const QString& path, bool knownFormat, const QByteArray& format, QSize size) {
    const QFileInfo file(path);
    if (!file.exists()) return QStringLiteral("there is no such file");
    if (file.isDir()) return QStringLiteral("it is a folder");
    if (!file.isReadable()) return QStringLiteral("the file may not be read");
    if (!knownFormat) return QStringLiteral("not a picture format this program reads");
    const int limitMb = QImageReader::allocationLimit();
    if (size.isValid() && limitMb > 0 &&
        int64_t{size.width()} * size.height() * 4 > int64_t{limitMb} * 1024 * 1024)
        return QStringLiteral("%1 x %2 pixels is too large to load as %3")
            .arg(size.width())
            .arg(size.height())
            .arg(QString::fromLatin1(format.toUpper()));
    return QStringLiteral("the picture is damaged or incomplete");
}

} // namespace

PreviewState MakePreviewState() {
    PreviewState state;
    state.Shown = QImage(BoxWidth, BoxHeight, QImage::Format_RGB32);
    state.Shown.fill(state.Background);
    return state;
}

LoadedPicture LoadPicture(const QString& path, QImage reuse) {
    LoadedPicture loaded;
    if (path.isEmpty()) return loaded;
    // The content decides: a BMP named .dib would otherwise go to the reader of headerless
    // bitmaps. Formats without a signature of their own (TGA) are found by the suffix.
    QImageReader byContent(path);
    byContent.setDecideFormatFromContent(true);
    QSize size;
    if (ReadPicture(byContent, reuse, size)) {
        loaded.Width = static_cast<uint32_t>(size.width());
        loaded.Height = static_cast<uint32_t>(size.height());
        loaded.Image = std::move(reuse);
        return loaded;
    }
    QImageReader bySuffix(path);
    QSize suffixSize;
    if (ReadPicture(bySuffix, reuse, suffixSize)) {
        loaded.Width = static_cast<uint32_t>(suffixSize.width());
        loaded.Height = static_cast<uint32_t>(suffixSize.height());
        loaded.Image = std::move(reuse);
        return loaded;
    }
    // A file whose content no reader recognises is no picture, whatever its name says.
    const bool known = byContent.error() != QImageReader::UnsupportedFormatError;
    loaded.Problem = size.isValid() ? LoadProblem(path, known, byContent.format(), size)
                                    : LoadProblem(path, known, bySuffix.format(), suffixSize);
    return loaded;
}

bool ShowPicture(PreviewState& state, const QString& path) {
    // The previous picture is released here; its memory may hold the new one.
    QImage previous = state.Current ? std::move(*state.Current) : QImage();
    state.Current.reset();
    LoadedPicture loaded = LoadPicture(path, std::move(previous));
    state.Problem = loaded.Problem;
    if (!loaded.Image) return false;
    state.Current = std::move(loaded.Image);
    state.CurrentWidth = loaded.Width;
    state.CurrentHeight = loaded.Height;
    DrawPicture(state);
    return true;
}

void DrawPicture(PreviewState& state) {
    if (state.Shown.size() != QSize(BoxWidth, BoxHeight) ||
        state.Shown.format() != QImage::Format_RGB32)
        state.Shown = QImage(BoxWidth, BoxHeight, QImage::Format_RGB32);
    state.Shown.fill(state.Background);
    if (!state.Current) return;
    const FitRect fit = FitPicture(static_cast<int32_t>(state.CurrentWidth),
                                   static_cast<int32_t>(state.CurrentHeight), BoxWidth, BoxHeight);
    if (fit.Width <= 0 || fit.Height <= 0) return;
    const QImage& picture = *state.Current;
    if (picture.hasAlphaChannel()) {
        // Transparent parts show the background, as when drawn over the cleared box.
        const QImage scaled =
            picture.scaled(fit.Width, fit.Height, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        QPainter painter(&state.Shown);
        painter.drawImage(QPoint(fit.X, fit.Y), scaled);
        return;
    }
    // Opaque pictures: scale (area-averaging when reducing) and copy the rows in place.
    const QImage opaque = picture.format() == QImage::Format_RGB32
                              ? picture
                              : picture.convertToFormat(QImage::Format_RGB32);
    if (fit.Width > opaque.width() && fit.Height > opaque.height()) {
        Enlarge(opaque, fit, state.Shown); // the gram snapshots: slightly enlarged
        return;
    }
    const QImage scaled =
        opaque.size() == QSize(fit.Width, fit.Height)
            ? opaque
            : opaque.scaled(fit.Width, fit.Height, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    for (int y = 0; y < fit.Height; ++y) {
        std::memcpy(state.Shown.scanLine(fit.Y + y) + qsizetype(fit.X) * 4, scaled.constScanLine(y),
                    size_t(fit.Width) * 4);
    }
}

} // namespace reelmaker
