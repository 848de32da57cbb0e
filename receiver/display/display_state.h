// SPDX-License-Identifier: GPL-3.0-or-later
// Everything the five displays keep for the whole run: the panel images, the
// panel font, the operator's display switches and the painters' counters.
#pragma once

#include <QFont>
#include <QString>

#include <cstdint>
#include <functional>

#include "receiver/display/panel_image.h"
#include "receiver/display/snapshot.h"

namespace display {

// Image sizes of the panels (inside the border where a panel has one).
inline constexpr int CorrelationImageWidth = 68, CorrelationImageHeight = 510;
inline constexpr int CorrelogramImageWidth = 561, CorrelogramImageHeight = 216;
inline constexpr int DopplergramImageWidth = 401, DopplergramImageHeight = 271;
inline constexpr int ScattergramImageWidth = 68, ScattergramImageHeight = 255;
inline constexpr int TuneImageWidth = 70, TuneImageHeight = 254;

// On/off switches hold +1 for on and -1 for off and are toggled by negation.
inline constexpr int32_t SwitchOn = 1;
inline constexpr int32_t SwitchOff = -1;

// "Times Roman" 7 pt (9 pixels), drawn without anti-aliasing so the time
// marks look the same on every machine.  Needs a QGuiApplication.
QFont MakePanelFont();
// The time of day (and the day) from the system clock, in local time or UTC.
TimeOfDay LocalTimeOfDay();
TimeOfDay UtcTimeOfDay();

struct DisplayState {
    PanelImage CorrelationImage{CorrelationImageWidth, CorrelationImageHeight};
    PanelImage CorrelogramImage{CorrelogramImageWidth, CorrelogramImageHeight};
    PanelImage DopplergramImage{DopplergramImageWidth, DopplergramImageHeight};
    PanelImage ScattergramImage{ScattergramImageWidth, ScattergramImageHeight};
    PanelImage TuneImage{TuneImageWidth, TuneImageHeight};
    QFont PanelFont = MakePanelFont();

    int32_t CorrelogramScroll = 0; // rows; raised by clicks in the correlogram
    int32_t MarkerLag = 0;         // lag under the pointer on the correlation panel, else 0
    int32_t ScatterBlack = SwitchOff;
    int32_t AutoSaveCorrelogram = SwitchOff;
    int32_t AutoSaveDopplergram = SwitchOff;
    int32_t AutoSaveScattergram = SwitchOff;

    // Painters' counters, zero at start and never reset by a mode change.
    int32_t CorrelogramMarkCount = 0; // t: columns since the last time mark
    int32_t CorrelogramSaveCount = 0; // s: columns since the last snapshot point
    int32_t DopplergramMarkCount = 0; // u
    int32_t DopplergramSaveCount = 0; // d
    float TunePreviousRow = 0.0f;     // y_prev: where the tune trace ended

    // Time of day for the time marks and snapshot names: the local clock in
    // the live receiver, the recording's own clock in batch runs.
    std::function<TimeOfDay()> Clock = LocalTimeOfDay;
    // Folder below which the three gram folders are made; empty means the
    // current directory at the time of each save.
    QString SnapshotFolder;
    // Snapshot names start with the day (YYYYMMDD-) where the clock knows it.
    bool DatedNames = false;
    // Snapshots written and failed, and who hears of each one (the receiver
    // reports failures and recoveries; the painters carry on either way).
    int64_t SnapshotsWritten = 0;
    int64_t SnapshotsFailed = 0;
    std::function<void(Gram, const SnapshotResult&)> SnapshotSaved;
};

// Writes final-correlation.png, final-correlogram.png, final-dopplergram.png,
// final-scattergram.png and final-tune.png into `folder` (each through a
// temporary name).  False when any of them could not be written.
bool WritePanelPngs(const DisplayState& display, const QString& folder);

} // namespace display
