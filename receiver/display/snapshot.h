// SPDX-License-Identifier: GPL-3.0-or-later
// Gram snapshots: the top-left part of a gram's panel image written as an
// uncompressed 24-bit bottom-up BMP into the gram's own folder, named by the
// time of day (hhmmss + the gram's name ending).  A snapshot never replaces a
// picture of an earlier day: that one moves into a dated subfolder first.
#pragma once

#include <QByteArray>
#include <QDate>
#include <QImage>
#include <QString>

#include <cstdint>

namespace display {

enum class Gram { Correlogram, Dopplergram, Scattergram };

// A reading of the clock the time marks and snapshot names follow.
struct TimeOfDay {
    int32_t Hours = 0; // 0..23
    int32_t Minutes = 0;
    int32_t Seconds = 0;
    // The day of the reading, and whether it is UTC (else local time).  A
    // recording's own clock (batch runs) knows no day: Date is then invalid.
    QDate Date = {};
    bool Utc = false;
};

// "14:05:09"
QString TimeText(const TimeOfDay& time);
// The folder below the snapshot folder ("Correlograms", ...) and the file
// name for a snapshot taken at `time` ("140509correlogram.BMP", ...; with
// `dated` and a known day "20261207-140509correlogram.BMP", so that names
// sort in time order across midnight).
QString GramFolderName(Gram gram);
QString GramFileName(Gram gram, const TimeOfDay& time, bool dated = false);

// The complete BMP file: 14-byte file header, 40-byte info header, then the
// rows bottom row first, blue-green-red, each padded with zeros to a multiple
// of four bytes.  Pixels the image does not cover are black.
QByteArray GramBmp(const QImage& panel, int32_t height, int32_t width);

// What became of one snapshot.
struct SnapshotResult {
    bool Written = false;
    QString Path;         // the snapshot's file
    bool Renamed = false; // its name was taken: Path has "-1", "-2", ... added
    QString Error;        // why it was not written (empty when it was)
    QString MovedTo;      // where an earlier day's picture of that name went, if one did
    explicit operator bool() const { return Written; }
};

// Writes GramBmp() to <snapshotFolder>/<gram folder>/<name>, the name from
// GramFileName().  All three gram folders are created first when missing.
// When a file of that name was last modified on an earlier day than `time`'s
// (in `time`'s zone; today's local date when the clock knows no day), it is
// first moved to <gram folder>/<YYYY-MM-DD of its modification>/, under a
// name with -1, -2, ... added should one be there already; if it cannot be
// moved, the snapshot is not written.  A picture is never replaced: when the
// name is taken (a clock set back, two saves in one second) the snapshot gets
// "-1", "-2", ... before its suffix.  The file is written under a hidden
// temporary name, made durable and renamed into place, so a reader never sees
// a partial file and a failure leaves none; Error is the system's reason.
SnapshotResult SaveGramSnapshot(const QImage& panel, int32_t height, int32_t width, Gram gram,
                                const QString& snapshotFolder, const TimeOfDay& time,
                                bool datedNames = false);

} // namespace display
