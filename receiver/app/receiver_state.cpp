// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/app/receiver_state.h"

#include <QCoreApplication>
#include <QDir>

namespace propmon {

namespace {

QFont TimesRoman(int pixels) {
    QFont font;
    // "Times Roman" itself is rarely installed; these are its metric twins.
    font.setFamilies({QStringLiteral("Times Roman"), QStringLiteral("Times"),
                      QStringLiteral("Nimbus Roman"), QStringLiteral("Liberation Serif")});
    font.setPixelSize(pixels); // points at 96 pixels per inch
    font.setWeight(QFont::Normal);
    return font;
}

QFont SansSerif(int pixels) {
    QFont font;
    font.setFamilies({QStringLiteral("MS Sans Serif"), QStringLiteral("Liberation Sans"),
                      QStringLiteral("Arial"), QStringLiteral("Nimbus Sans")});
    font.setPixelSize(pixels);
    return font;
}

} // namespace

WindowFonts MakeWindowFonts() {
    return {TimesRoman(12), TimesRoman(8), SansSerif(11)};
}

QStringList InstalledHelpFolders() {
    // The program in <prefix>/bin, the page in <prefix>/share/doc/propmon.
    QString prefix = QCoreApplication::applicationDirPath();
    const QStringList bin = QStringLiteral(PROPMON_BINDIR).split(u'/', Qt::SkipEmptyParts);
    for (qsizetype i = 0; i < bin.size(); ++i)
        prefix += QStringLiteral("/..");
    QStringList folders{QDir::cleanPath(prefix + u'/' + QStringLiteral(PROPMON_DOCDIR))};
    for (const char* folder : {PROPMON_FULL_DOCDIR, PROPMON_SOURCE_DOCDIR})
        if (!folders.contains(QString::fromUtf8(folder))) folders << QString::fromUtf8(folder);
    return folders;
}

void PrepareReceiver(ReceiverState& state) {
    ReadSettings(state.Settings, state.SettingsPath);
    rx::SetSignalParameters(*state.Chain, state.Controls, state.Settings);
    state.Display.CorrelogramScroll = 0;
    state.Display.ScatterBlack = rx::SwitchOff;
    state.Display.AutoSaveCorrelogram = rx::SwitchOff;
    state.Display.AutoSaveDopplergram = rx::SwitchOff;
    state.Display.AutoSaveScattergram = rx::SwitchOff;
    state.Capture.DeviceId = 0;
    state.BlockObservers.push_back([&state](const rx::ChainState& chain) {
        const rx::MonitorChanges changes =
            state.Acquisition.OnBlock(chain, state.Settings, state.Controls);
        if (changes.LagOffsetPlaced) state.Display.CorrelogramScroll = 0;
    });
}

} // namespace propmon
