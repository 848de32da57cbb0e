// SPDX-License-Identifier: GPL-3.0-or-later
// Gram snapshots: the top-left part of a gram's panel image written as an
// uncompressed 24-bit bottom-up BMP into the gram's own folder, named by the
// time of day (hhmmss + the gram's name ending).
#pragma once

#include <QByteArray>
#include <QImage>
#include <QString>

#include <cstdint>

namespace rx {

enum class Gram { Correlogram, Dopplergram, Scattergram };

struct TimeOfDay {
    int32_t Hours = 0; // 0..23
    int32_t Minutes = 0;
    int32_t Seconds = 0;
};

// "14:05:09"
QString TimeText(const TimeOfDay& time);
// The folder below the snapshot folder ("Correlograms", ...) and the file
// name for a snapshot taken at `time` ("140509correlogram.BMP", ...).
QString GramFolderName(Gram gram);
QString GramFileName(Gram gram, const TimeOfDay& time);

// The complete BMP file: 14-byte file header, 40-byte info header, then the
// rows bottom row first, blue-green-red, each padded with zeros to a multiple
// of four bytes.  Pixels the image does not cover are black.
QByteArray GramBmp(const QImage& panel, int32_t height, int32_t width);

// Writes GramBmp() to <snapshotFolder>/<gram folder>/<hhmmss><ending>.  All
// three gram folders are created first when missing.  The file is written
// under a temporary name and renamed into place, so a reader never sees a
// partial file and a failure leaves none.  Failures are not reported to the
// operator (the receiver carries on); the result only tells tests and batch
// runs whether a file was written.
bool SaveGramSnapshot(const QImage& panel, int32_t height, int32_t width, Gram gram,
                      const QString& snapshotFolder, const TimeOfDay& time);

} // namespace rx
