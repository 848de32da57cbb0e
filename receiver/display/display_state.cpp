// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/display/display_state.h"

#include <QBuffer>
#include <QDateTime>
#include <QDir>

#include "savefile/pending_file.h"

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
        QByteArray png;
        QBuffer buffer(&png);
        std::string error;
        const bool ok =
            buffer.open(QIODevice::WriteOnly) && panel.Image.Image().save(&buffer, "PNG") &&
            savefile::WriteWholeFile(
                QFile::encodeName(dir.filePath(QString::fromLatin1(panel.Name))).toStdString(),
                std::string_view(png.constData(), size_t(png.size())), error);
        allWritten = allWritten && ok;
    }
    return allWritten;
}

} // namespace display
