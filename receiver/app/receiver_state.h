// SPDX-License-Identifier: GPL-3.0-or-later
// Everything the live receiver keeps for its whole run, owned by main() (or by
// a test) and handed to the window by reference.
#pragma once

#include <QFont>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "receiver/acquisition/acquisition_monitor.h"
#include "receiver/app/settings_file.h"
#include "receiver/capture/capture.h"
#include "receiver/display/display_state.h"
#include "receiver/dsp/chain.h"

namespace propmon {

// The fonts of the main window: the two scale fonts ("Times Roman" 9 pt and
// 6 pt) and the controls' font ("MS Sans Serif" 8 pt), each drawn by a metric
// twin where the face itself is not installed, so the texts fit the fixed
// control sizes.  PanelFont, the third scale font, belongs to the displays.
// Needs a QGuiApplication.
struct WindowFonts {
    QFont ScaleFont;
    QFont DistanceFont;
    QFont ControlFont;
};
WindowFonts MakeWindowFonts();

// The folders the help page is installed in, in the order they are tried: the
// documentation folder beside the running program (any install prefix), the
// one of the configured prefix, and the source tree's docs/ for a program run
// from its build tree.  Needs a QCoreApplication.
QStringList InstalledHelpFolders();

// Called after every processed block, once its results are final.
using BlockObserver = std::function<void(const rx::ChainState&)>;

struct ReceiverState {
    rx::Settings Settings;
    rx::ChainControls Controls; // K, LagOffset, DopplerShift: set by the operator
    std::unique_ptr<rx::ChainState> Chain = rx::MakeChainState();
    rx::DisplayState Display;
    rx::DisplayHooks Hooks;                    // installed by the window: the painters of Display
    std::vector<BlockObserver> BlockObservers; // called in order after each block
    // Block quality, lock, level, clock measurement and path placing; the
    // first block observer (PrepareReceiver), so those after it read this
    // block's quality.  A run with other options replaces it.
    rx::AcquisitionMonitor Acquisition{rx::MonitorOptions{.AutoPlacePaths = true}};
    cap::CaptureState Capture;
    WindowFonts Fonts = MakeWindowFonts();
    std::string SettingsPath = SettingsFileName;
    QString HelpFile = QStringLiteral("Stanag Help.htm");
    // Where Help looks when the current folder has no help page.
    QStringList HelpFolders = InstalledHelpFolders();
};

// Before the window exists: the settings file, the signal parameters and the
// rest of the run's state at their start values; the acquisition watches the
// blocks (the correlogram scrolled back to its bottom when it places the
// paths).
void PrepareReceiver(ReceiverState& state);

} // namespace propmon
