// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/autosave/snapshot.h"

#include <QDir>
#include <QSaveFile>

#include <algorithm>

namespace rx {

namespace {

void PutU16(QByteArray& out, int offset, uint32_t value) {
    out[offset] = static_cast<char>(value & 0xFF);
    out[offset + 1] = static_cast<char>((value >> 8) & 0xFF);
}

void PutU32(QByteArray& out, int offset, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        out[offset + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

QString TwoDigits(int32_t value) {
    return QString::number(value).rightJustified(2, u'0');
}

} // namespace

QString TimeText(const TimeOfDay& time) {
    return TwoDigits(time.Hours) + u':' + TwoDigits(time.Minutes) + u':' + TwoDigits(time.Seconds);
}

QString GramFolderName(Gram gram) {
    switch (gram) {
    case Gram::Correlogram:
        return QStringLiteral("Correlograms");
    case Gram::Dopplergram:
        return QStringLiteral("Dopplergrams");
    case Gram::Scattergram:
        break;
    }
    return QStringLiteral("Scattergrams");
}

QString GramFileName(Gram gram, const TimeOfDay& time) {
    QString ending = QStringLiteral("scattergram.BMP");
    if (gram == Gram::Correlogram) ending = QStringLiteral("correlogram.BMP");
    if (gram == Gram::Dopplergram) ending = QStringLiteral("dopplergram.BMP");
    return TwoDigits(time.Hours) + TwoDigits(time.Minutes) + TwoDigits(time.Seconds) + ending;
}

QByteArray GramBmp(const QImage& panel, int32_t height, int32_t width) {
    width = std::max(width, 0);
    height = std::max(height, 0);
    const int64_t stride = (static_cast<int64_t>(width) * 3 + 3) / 4 * 4;
    const int64_t imageBytes = stride * height;
    QByteArray out(static_cast<qsizetype>(54 + imageBytes), '\0');

    out[0] = 'B';
    out[1] = 'M';
    PutU32(out, 2, static_cast<uint32_t>(54 + imageBytes)); // file size
    PutU32(out, 10, 54);                                    // offset of the pixels
    PutU32(out, 14, 40);                                    // info header size
    PutU32(out, 18, static_cast<uint32_t>(width));
    PutU32(out, 22, static_cast<uint32_t>(height)); // positive: bottom row first
    PutU16(out, 26, 1);                             // planes
    PutU16(out, 28, 24);                            // bits per pixel
    PutU32(out, 34, static_cast<uint32_t>(imageBytes));
    // Compression, resolutions and colour counts stay 0.

    const QImage source =
        panel.format() == QImage::Format_RGB32 || panel.format() == QImage::Format_ARGB32
            ? panel
            : panel.convertToFormat(QImage::Format_RGB32);
    const int32_t copyWidth = std::min(width, source.width());
    const int32_t copyHeight = std::min(height, source.height());
    char* pixels = out.data() + 54;
    for (int32_t y = 0; y < copyHeight; ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(source.constScanLine(y));
        char* row = pixels + static_cast<int64_t>(height - 1 - y) * stride;
        for (int32_t x = 0; x < copyWidth; ++x) {
            row[3 * x] = static_cast<char>(qBlue(line[x]));
            row[3 * x + 1] = static_cast<char>(qGreen(line[x]));
            row[3 * x + 2] = static_cast<char>(qRed(line[x]));
        }
    }
    return out;
}

bool SaveGramSnapshot(const QImage& panel, int32_t height, int32_t width, Gram gram,
                      const QString& snapshotFolder, const TimeOfDay& time) {
    const QDir base(snapshotFolder.isEmpty() ? QStringLiteral(".") : snapshotFolder);
    // All three folders on every save, in this order; one that exists or
    // cannot be made is passed over.
    for (Gram each : {Gram::Correlogram, Gram::Dopplergram, Gram::Scattergram})
        base.mkdir(GramFolderName(each));

    const QString path = base.filePath(GramFolderName(gram) + u'/' + GramFileName(gram, time));
    const QByteArray bytes = GramBmp(panel, height, width);
    QSaveFile file(path);
    // Writing straight into the folder would leave a partial file behind on
    // failure; the temporary name is never seen by a reader.
    file.setDirectWriteFallback(false);
    if (!file.open(QIODevice::WriteOnly)) return false;
    if (file.write(bytes) != bytes.size()) {
        file.cancelWriting();
        file.commit();
        return false;
    }
    return file.commit();
}

} // namespace rx
