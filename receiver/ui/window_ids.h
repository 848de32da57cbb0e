// SPDX-License-Identifier: GPL-3.0-or-later
// Identifiers of the main window's controls and menu commands, and the scroll
// codes of the trackbar notifications.  Handlers, dialogs and tests use these.
#pragma once

namespace ui {

// Controls.
inline constexpr int NoControlId = -1; // lines and captions without an id
inline constexpr int CorrelogramPanelId = 4000;
inline constexpr int CorrelationPanelId = 4002;
inline constexpr int DopplergramPanelId = 4008;
inline constexpr int ScattergramPanelId = 4009;
inline constexpr int TunePanelId = 4012;
inline constexpr int ClockSliderId = 700;
inline constexpr int ClockLabelId = 4005;
inline constexpr int GainSliderId = 800;
inline constexpr int GainLabelId = 900;
inline constexpr int DopplerReadoutId = 1000;
inline constexpr int DelayReadoutId = 1001;
// Scale labels, rebuilt with every initialisation: the delay scale beside the
// correlogram (time and distance labels alternating), the Doppler scale beside
// the scattergram and the tune scale beside the tune indicator.
inline constexpr int FirstScaleLabelId = 9000;
inline constexpr int FirstDelayScaleLabelId = 9000; // DelayScaleLabels 9000..9010
inline constexpr int SmallestDelayLabelId = 9008;   // the time label above "0ms"
inline constexpr int LastDelayScaleLabelId = 9010;
inline constexpr int FirstDopplerScaleLabelId = 9011; // DopplerScaleLabels 9011..9013
inline constexpr int LastDopplerScaleLabelId = 9013;
inline constexpr int FirstTuneScaleLabelId = 9014; // TuneScaleLabels 9014..9016
inline constexpr int LastTuneScaleLabelId = 9016;
inline constexpr int LastScaleLabelId = 9016;

// Commands (menu items and the two push buttons).
inline constexpr int SelectInputCommand = 1310;
inline constexpr int ReconnectCommand = 1311; // a lost input is retried every 10 s
inline constexpr int BrightnessCommand = 1340;
inline constexpr int ClockOffsetCommand = 1344;
inline constexpr int ShiftUpCommand = 1345;   // ShiftUpButton "+"
inline constexpr int ShiftDownCommand = 1346; // ShiftDownButton "-"
inline constexpr int AveragingCommand = 1350;
inline constexpr int ScatterBlackCommand = 1355;
inline constexpr int AutoSaveCorrelogramCommand = 1360;
inline constexpr int AutoSaveDopplergramCommand = 1361;
inline constexpr int AutoSaveScattergramCommand = 1362;
inline constexpr int NatoCommand = 1370;
inline constexpr int AmateurCommand = 1371;
inline constexpr int AboutCommand = 1381;
inline constexpr int HelpCommand = 32651;
// Station items: the live block log (end of the File menu) and UTC times (end
// of the Tools menu).
inline constexpr int LogBlocksCommand = 1390;
inline constexpr int UtcTimeCommand = 1391;
// Acquisition, at the end of the Tools menu.
inline constexpr int MeasureClockCommand = 1392;
inline constexpr int FindPathsCommand = 1393;

// Trackbar scroll codes.
enum ScrollCode : int {
    ScrollLineUp = 0,
    ScrollLineDown = 1,
    ScrollPageUp = 2,
    ScrollPageDown = 3,
    ScrollThumbPosition = 4,
    ScrollThumbTrack = 5,
    ScrollTop = 6,
    ScrollBottom = 7,
    ScrollEnd = 8,
};

// Soundcard picker and brightness dialog.
inline constexpr int DeviceComboId = 1300;
inline constexpr int PickerOkId = 4321;
inline constexpr int CorrGainEditId = 1341;
inline constexpr int DopplerGainEditId = 1342;
inline constexpr int ScatterGainEditId = 1343;
inline constexpr int BrightnessOkId = 8888;

} // namespace ui
