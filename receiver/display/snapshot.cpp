// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/display/snapshot.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "savefile/pending_file.h"

namespace display {

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

QString GramFileName(Gram gram, const TimeOfDay& time, bool dated) {
    QString ending = QStringLiteral("scattergram.BMP");
    if (gram == Gram::Correlogram) ending = QStringLiteral("correlogram.BMP");
    if (gram == Gram::Dopplergram) ending = QStringLiteral("dopplergram.BMP");
    const QString day = dated && time.Date.isValid()
                            ? time.Date.toString(QStringLiteral("yyyyMMdd")) + u'-'
                            : QString();
    return day + TwoDigits(time.Hours) + TwoDigits(time.Minutes) + TwoDigits(time.Seconds) + ending;
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

namespace {

// Moves the picture at `path` out of the way when it was written on an earlier
// day than `time`'s, into a subfolder named by that day.  False, with the
// reason, when it is in the way and cannot be moved.
bool KeepEarlierDay(const QString& path, const TimeOfDay& time, SnapshotResult& result) {
    const QFileInfo old(path);
    if (!old.exists()) return true;
    QDateTime modified = old.lastModified();
    if (time.Utc) modified = modified.toUTC();
    const QDate today = time.Date.isValid() ? time.Date
                        : time.Utc          ? QDateTime::currentDateTimeUtc().date()
                                            : QDate::currentDate();
    // The same day (or a clock set back): the new picture gets a name of
    // its own beside it.
    if (modified.date() >= today) return true;

    const QString day = modified.date().toString(Qt::ISODate);
    QDir dayFolder = old.dir();
    if (!dayFolder.mkpath(day) || !dayFolder.cd(day)) {
        result.Error = QStringLiteral("cannot make the folder %1 for the earlier picture")
                           .arg(QDir::cleanPath(old.dir().filePath(day)));
        return false;
    }
    QString target = dayFolder.filePath(old.fileName());
    for (int n = 1; QFileInfo::exists(target); ++n)
        target = dayFolder.filePath(old.completeBaseName() + QStringLiteral("-%1.").arg(n) +
                                    old.suffix());
    QFile file(path);
    if (!file.rename(target)) {
        result.Error = QStringLiteral("cannot move the earlier picture to %1: %2")
                           .arg(target, file.errorString());
        return false;
    }
    result.MovedTo = target;
    return true;
}

// `path` with "-N" before its suffix: "010203scattergram-2.BMP".
QString Numbered(const QString& path, int n) {
    const QFileInfo info(path);
    return info.dir().filePath(info.completeBaseName() + QStringLiteral("-%1.").arg(n) +
                               info.suffix());
}

// Writes `bytes` under a temporary name beside result.Path, makes it durable
// and renames it to result.Path, or to the first of its numbered names not
// taken: a picture already there is never replaced.  Every failure gives the
// system's own reason.
void WriteUnderFreeName(const QByteArray& bytes, SnapshotResult& result) {
    savefile::PendingFile file;
    std::string error;
    if (file.Open(QFile::encodeName(result.Path).toStdString(), error)) {
        file.Write(std::string_view(bytes.constData(), size_t(bytes.size())));
        const QString wanted = result.Path;
        for (int n = 0; n < 1000; ++n) {
            const QString path = n == 0 ? wanted : Numbered(wanted, n);
            bool taken = false;
            if (file.CommitNew(QFile::encodeName(path).toStdString(), taken, error)) {
                result.Path = path;
                result.Renamed = n > 0;
                result.Written = true;
                return;
            }
            if (!taken) break;
        }
    }
    result.Error = QString::fromLocal8Bit(file.Reason().empty() ? std::strerror(EEXIST)
                                                                : file.Reason().c_str());
}

} // namespace

SnapshotResult SaveGramSnapshot(const QImage& panel, int32_t height, int32_t width, Gram gram,
                                const QString& snapshotFolder, const TimeOfDay& time,
                                bool datedNames) {
    const QDir base(snapshotFolder.isEmpty() ? QStringLiteral(".") : snapshotFolder);
    // All three folders on every save, in this order; one that exists or
    // cannot be made is passed over.
    for (Gram each : {Gram::Correlogram, Gram::Dopplergram, Gram::Scattergram})
        base.mkdir(GramFolderName(each));

    SnapshotResult result;
    result.Path = QDir::cleanPath(
        base.filePath(GramFolderName(gram) + u'/' + GramFileName(gram, time, datedNames)));
    if (!QFileInfo(base.filePath(GramFolderName(gram))).isDir()) {
        // Made again for the reason, which QDir does not give.
        std::error_code error;
        std::filesystem::create_directory(
            QFile::encodeName(base.filePath(GramFolderName(gram))).toStdString(), error);
        if (error) {
            result.Error = QString::fromLocal8Bit(error.message().c_str());
            return result;
        }
    }
    if (!KeepEarlierDay(result.Path, time, result)) return result;
    WriteUnderFreeName(GramBmp(panel, height, width), result);
    return result;
}

} // namespace display
