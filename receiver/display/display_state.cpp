// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/display/display_state.h"

#include <QDateTime>
#include <QDir>
#include <QSaveFile>

namespace display {

QFont MakePanelFont() {
    QFont font;
    // "Times Roman" itself is rarely installed; these are its metric twins.
    font.setFamilies({QStringLiteral("Times Roman"), QStringLiteral("Times"),
                      QStringLiteral("Nimbus Roman"), QStringLiteral("Liberation Serif")});
    font.setPixelSize(9); // 7 points at 96 pixels per inch
    font.setWeight(QFont::Normal);
    font.setStyleStrategy(QFont::NoAntialias);
    font.setHintingPreference(QFont::PreferFullHinting);
    return font;
}

namespace {

TimeOfDay Reading(const QDateTime& now, bool utc) {
    const QTime time = now.time();
    return {time.hour(), time.minute(), time.second(), now.date(), utc};
}

} // namespace

TimeOfDay LocalTimeOfDay() {
    return Reading(QDateTime::currentDateTime(), false);
}

TimeOfDay UtcTimeOfDay() {
    return Reading(QDateTime::currentDateTimeUtc(), true);
}

bool WritePanelPngs(const DisplayState& display, const QString& folder) {
    const struct {
        const PanelImage& Image;
        const char* Name;
    } panels[] = {
        {display.CorrelationImage, "final-correlation.png"},
        {display.CorrelogramImage, "final-correlogram.png"},
        {display.DopplergramImage, "final-dopplergram.png"},
        {display.ScattergramImage, "final-scattergram.png"},
        {display.TuneImage, "final-tune.png"},
    };
    bool allWritten = true;
    const QDir dir(folder);
    for (const auto& panel : panels) {
        QSaveFile file(dir.filePath(QString::fromLatin1(panel.Name)));
        // QSaveFile::commit() misses a flush of its buffer that writes only part
        // of it (full disk) and would rename the cut-off picture into place.
        bool ok = file.open(QIODevice::WriteOnly) && panel.Image.Image().save(&file, "PNG") &&
                  file.flush();
        if (!ok) file.cancelWriting();
        ok = file.commit() && ok;
        allWritten = allWritten && ok;
    }
    return allWritten;
}

} // namespace display
