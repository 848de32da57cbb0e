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

#include "receiver/analysis/acquisition_monitor.h"
#include "receiver/analysis/measurement.h"
#include "receiver/display/display_state.h"
#include "receiver/dsp/chain.h"
#include "receiver/session/block_log.h"
#include "receiver/session/capture.h"
#include "receiver/session/channel_minutes.h"
#include "receiver/session/clock_watch.h"
#include "receiver/session/command_line.h"
#include "receiver/session/events.h"
#include "receiver/session/settings_file.h"

namespace session {

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
using BlockObserver = std::function<void(const dsp::ChainState&)>;

struct ReceiverState {
    dsp::Settings Settings;
    dsp::ChainControls Controls; // K, LagOffset, DopplerShift: set by the operator
    std::unique_ptr<dsp::ChainState> Chain = dsp::MakeChainState();
    display::DisplayState Display;
    dsp::DisplayHooks Hooks;                   // installed by the window: the painters of Display
    std::vector<BlockObserver> BlockObservers; // called in order after each block
    // Block quality, lock, level, clock measurement and path placing; the
    // first block observer (PrepareReceiver), so those after it read this
    // block's quality.  A run with other options replaces it.
    analysis::AcquisitionMonitor Acquisition{analysis::MonitorOptions{.AutoPlacePaths = true}};
    // The measurements of every block (lock, SNR in 3 kHz, paths, flags), fed
    // before the acquisition, which takes its lock; its minutes go to the
    // channel table beside the block log.
    analysis::MeasurementStage Measurement;
    ChannelMinutes Minutes;
    session::CaptureState Capture;
    WindowFonts Fonts = MakeWindowFonts();
    std::string SettingsPath = SettingsFileName;
    QString HelpFile = QStringLiteral("Stanag Help.htm");
    // Where Help looks when the current folder has no help page.
    QStringList HelpFolders = InstalledHelpFolders();

    // Files that could not be written, and their recoveries.
    session::ProblemReporter Problems;
    // The live block log, while one is written.
    std::unique_ptr<session::BlockLog> Log;
    // Steps and synchronisation of the wall clock, flagged in the rows.
    session::ClockWatch Clock;
    bool UtcClock = false;  // time marks and snapshot names in UTC
    QString Station;        // the station's name: the page's title, the start line
    int64_t BlockCount = 0; // blocks processed before the current one
    // The block being processed (see BlockTime), set before the observers run.
    struct BlockTime {
        int64_t Block = 0;
        double TimeS = 0.0;
        int64_t WallMs = 0;
        // Samples of the block (at the chain's rate) that are silence a
        // network input put in for lost data: such a block is not to be
        // trusted (BlockInputFacts::Fill).
        int64_t FillSamples = 0;
    } CurrentBlock;
    // Since the start: the silence filled in, and the blocks flagged for it
    // (those that held some or whose measurement reaches back into some).
    double FilledMs = 0.0;
    int64_t FilledBlocks = 0;
};

// Before the window exists: the settings file, the signal parameters and the
// rest of the run's state at their start values; the acquisition watches the
// blocks (the correlogram scrolled back to its bottom when it places the
// paths).
void PrepareReceiver(ReceiverState& state);

// What the command line asks of the run's state: mode, K, LagOffset,
// auto-saves, UTC clock, dated names, the block log.
void ApplyReceiverOptions(ReceiverState& state, const ReceiverOptions& options);

// Ends the block log: the minute under way goes to the channel table, then
// the files are closed.
void CloseLog(ReceiverState& state);

// Time marks and snapshot names from the UTC clock, or from the local one.
void SetUtcClock(ReceiverState& state, bool utc);

// Where "Log blocks to CSV" writes: logs/ beside the gram folders.
QString WindowLogFolder(const ReceiverState& state);

// The chain's hooks: the painters of Display, then after every block the
// BlockObservers in order and last the block log (with the measurement); snapshot outcomes go to
// Problems.  The window and the headless runner call it once.
void InstallHooks(ReceiverState& state);

// Where the block being processed stands: its number in the run, the input
// seconds from the start of the run to its last sample, and the wall-clock
// time of that sample (milliseconds since the epoch), found from the time the
// current buffer came back full less the samples in it that follow the block.
// Buffers returned together (a device catching up) would give a block a time
// a little before its predecessor's: such a block gets 1 ms after it; a
// clock set back by a second or more shows as it is.
using BlockTime = ReceiverState::BlockTime;
BlockTime NextBlockTime(const ReceiverState& state);

// Writes the settings file; a failure goes to Problems.
void SaveSettingsFile(ReceiverState& state);
// Whether the settings file could be written at the end, tried at the start
// (a temporary file beside it, removed again) so that the operator learns of
// it while something can still be done; a failure goes to Problems.
void CheckSettingsFile(ReceiverState& state);

} // namespace session
