// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/session/preferences.h"

#include <QSettings>

#include <algorithm>

namespace session {

namespace {

QSettings Store() {
    return QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("propmon"),
                     QStringLiteral("propmon"));
}

const QString ModeKey = QStringLiteral("mode");
const QString DeviceKey = QStringLiteral("input/device");
const QString AverageKey = QStringLiteral("correlogram/average");
const QString AutoSaveKeys[] = {QStringLiteral("autosave/correlogram"),
                                QStringLiteral("autosave/dopplergram"),
                                QStringLiteral("autosave/scattergram")};

int32_t* AutoSaveFlags(ReceiverState& state, int index) {
    display::DisplayState& d = state.Display;
    int32_t* flags[] = {&d.AutoSaveCorrelogram, &d.AutoSaveDopplergram, &d.AutoSaveScattergram};
    return flags[index];
}

} // namespace

QString PreferencesFile() {
    return Store().fileName();
}

QString RestorePreferences(ReceiverState& state) {
    const QSettings store = Store();
    const QString mode = store.value(ModeKey).toString();
    if (mode == QStringLiteral("nato")) dsp::SetReceiverMode(*state.Chain, dsp::ModeNato);
    if (mode == QStringLiteral("amateur")) dsp::SetReceiverMode(*state.Chain, dsp::ModeAmateur);
    for (int i = 0; i < 3; ++i)
        if (store.contains(AutoSaveKeys[i]))
            *AutoSaveFlags(state, i) =
                store.value(AutoSaveKeys[i]).toBool() ? display::SwitchOn : display::SwitchOff;
    bool ok = false;
    const int average = store.value(AverageKey).toInt(&ok);
    if (ok) state.Controls.AverageCount = std::max(average, 1);
    return store.value(DeviceKey).toString();
}

void SavePreferences(ReceiverState& state, const QString& deviceName) {
    QSettings store = Store();
    store.setValue(ModeKey, state.Chain->ReceiverMode == dsp::ModeAmateur
                                ? QStringLiteral("amateur")
                                : QStringLiteral("nato"));
    if (!deviceName.isEmpty()) store.setValue(DeviceKey, deviceName);
    for (int i = 0; i < 3; ++i)
        store.setValue(AutoSaveKeys[i], *AutoSaveFlags(state, i) == display::SwitchOn);
    store.setValue(AverageKey, state.Controls.AverageCount);
    store.sync();
    const QString subject = QStringLiteral("the preferences");
    if (store.status() == QSettings::NoError)
        state.Problems.Succeeded(subject);
    else
        state.Problems.Failed(subject, store.fileName(),
                              store.status() == QSettings::AccessError
                                  ? QStringLiteral("not writable")
                                  : QStringLiteral("format error"));
}

} // namespace session
