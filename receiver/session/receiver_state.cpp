// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/session/receiver_state.h"

#include "receiver/session/events.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>

#include "receiver/analysis/block_table.h"
#include "receiver/display/painters.h"
#include "savefile/pending_file.h"

namespace session {

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
    dsp::SetSignalParameters(*state.Chain, state.Controls, state.Settings);
    state.Display.CorrelogramScroll = 0;
    state.Display.ScatterBlack = display::SwitchOff;
    state.Display.AutoSaveCorrelogram = display::SwitchOff;
    state.Display.AutoSaveDopplergram = display::SwitchOff;
    state.Display.AutoSaveScattergram = display::SwitchOff;
    state.Capture.DeviceId = 0;
    state.BlockObservers.push_back([&state](const dsp::ChainState& chain) {
        const BlockTime& time = state.CurrentBlock;
        const double blockS = chain.SampleRate > 0 ? double(dsp::BlockLen) / chain.SampleRate : 0;
        const int64_t minuteMs = state.Minutes.MinuteMs();
        const auto row = state.Minutes.Before(state.Measurement, time.WallMs, time.TimeS - blockS);
        if (row && state.Log) state.Log->WriteMinute(*row, minuteMs);
        // Silence a network input put in for lost data, where it lies in
        // the stream (the capture cycle's marks), flags the block.
        analysis::BlockInputFacts facts = state.Capture.Inputs.TakeBlock(chain);
        facts.Fill = facts.Fill || time.FillSamples > 0;
        const analysis::BlockMeasurement& measured =
            state.Measurement.Add(chain, state.Settings, facts);
        const analysis::MonitorChanges changes =
            state.Acquisition.OnBlock(chain, state.Settings, state.Controls, &measured);
        if (changes.LagOffsetPlaced) state.Display.CorrelogramScroll = 0;
    });
}

void ApplyReceiverOptions(ReceiverState& state, const ReceiverOptions& options) {
    if (options.Mode) dsp::SetReceiverMode(*state.Chain, *options.Mode);
    if (options.Average) state.Controls.AverageCount = *options.Average;
    if (options.LagOffset) state.Controls.LagOffset = *options.LagOffset;
    if (options.ClockPpm) state.Settings.ClockPpm = *options.ClockPpm;
    // The window places the paths by itself unless told where they are; a run
    // without a window only when asked to.  Events go to stderr without one.
    analysis::MonitorOptions watch;
    watch.AutoClock = options.ClockAuto;
    watch.AutoPlacePaths = options.Headless ? options.LagOffsetAuto : !options.LagOffset;
    analysis::AcquisitionMonitor::EventSink report;
    if (options.Headless)
        report = [](const std::string& line) {
            session::ReportEvent(QString::fromStdString(line));
        };
    state.Acquisition = analysis::AcquisitionMonitor(watch, report);
    if (options.Autosave) {
        state.Display.AutoSaveCorrelogram = display::SwitchOn;
        state.Display.AutoSaveDopplergram = display::SwitchOn;
        state.Display.AutoSaveScattergram = display::SwitchOn;
    }
    if (options.Utc) SetUtcClock(state, true);
    if (options.DatedNames) state.Display.DatedNames = true;
    state.Capture.Reconnect = options.Reconnect;
    state.Station = options.Station;
    if (!options.Log.isEmpty())
        state.Log = std::make_unique<session::BlockLog>(options.Log, state.Problems);
}

QString WindowLogFolder(const ReceiverState& state) {
    const QString logs = QStringLiteral("logs");
    return state.Display.SnapshotFolder.isEmpty()
               ? logs
               : QDir(state.Display.SnapshotFolder).filePath(logs);
}

void CloseLog(ReceiverState& state) {
    const int64_t minuteMs = state.Minutes.MinuteMs();
    const auto row = state.Minutes.Finish(state.Measurement);
    if (row && state.Log) state.Log->WriteMinute(*row, minuteMs);
    state.Log.reset();
}

void SetUtcClock(ReceiverState& state, bool utc) {
    state.UtcClock = utc;
    state.Display.Clock = utc ? display::UtcTimeOfDay : display::LocalTimeOfDay;
}

void InstallHooks(ReceiverState& state) {
    state.Hooks = display::MakeDisplayHooks(state.Display, state.Settings, state.Controls);
    // Then whoever watches whole blocks (quality, the web view), and last the
    // log, which writes the block's row once everything about it is known.
    state.Hooks.BlockProcessed = [&state](const dsp::ChainState& chain) {
        state.CurrentBlock = NextBlockTime(state);
        state.CurrentBlock.FillSamples =
            TakeBlockFill(state.Capture, chain.Intake.ResampleInputPos + 1);
        state.FilledMs += 1000.0 * double(state.CurrentBlock.FillSamples) / chain.SampleRate;
        const uint32_t clockFlags = state.Clock.Check();
        for (const BlockObserver& observe : state.BlockObservers)
            observe(chain);
        // The measurement flags a block when it or the two before held fill.
        if (state.Measurement.Last().Flags & analysis::FlagFill) ++state.FilledBlocks;
        if (state.Log) {
            const BlockTime& time = state.CurrentBlock;
            analysis::BlockRow row =
                analysis::MakeBlockRow(chain, state.Acquisition.Quality().Last(), time.Block,
                                       time.TimeS, &state.Measurement.Last());
            row.Flags |= clockFlags;
            state.Log->Write(row, time.WallMs);
        }
        ++state.BlockCount;
    };
    // A snapshot whose name is taken (a clock set back) is numbered: said
    // once per gram folder, not for every picture of the hour that follows.
    auto renamedTold = std::make_shared<std::array<bool, 3>>();
    state.Display.SnapshotSaved = [&state, renamedTold](display::Gram gram,
                                                        const display::SnapshotResult& result) {
        const QString folder = display::GramFolderName(gram);
        const QString subject = QStringLiteral("snapshots in %1/").arg(folder);
        if (result.Renamed && !(*renamedTold)[static_cast<size_t>(gram)]) {
            (*renamedTold)[static_cast<size_t>(gram)] = true;
            ReportEvent(QStringLiteral("a snapshot of that name is already in %1/ and is kept: "
                                       "this one is %2, and later ones whose names are taken "
                                       "are numbered too")
                            .arg(folder, QFileInfo(result.Path).fileName()));
        }
        if (result)
            state.Problems.Succeeded(subject);
        else
            state.Problems.Failed(subject, result.Path, result.Error);
    };
}

BlockTime NextBlockTime(const ReceiverState& state) {
    const dsp::ChainState& chain = *state.Chain;
    const double rate = chain.SampleRate > 0 ? chain.SampleRate : 1.0;
    // Input samples of the current buffer up to the block's last one, and after it.
    const int32_t through = chain.Intake.ResampleInputPos + 1;
    const int32_t after = std::max(state.Capture.CurrentBufferSamples - through, 0);
    BlockTime time;
    time.Block = state.BlockCount;
    time.TimeS = state.Capture.InputSecondsBefore + through / rate;
    const int64_t bufferDoneMs = state.Capture.CurrentBufferDoneMs > 0
                                     ? state.Capture.CurrentBufferDoneMs
                                     : QDateTime::currentMSecsSinceEpoch();
    time.WallMs = bufferDoneMs - static_cast<int64_t>(std::llround(after * 1000.0 / rate));
    const int64_t previousMs = state.CurrentBlock.WallMs;
    constexpr int64_t catchUpMs = 1000;
    if (state.BlockCount > 0 && time.WallMs <= previousMs && time.WallMs > previousMs - catchUpMs)
        time.WallMs = previousMs + 1;
    return time;
}

namespace {

const QString SettingsSubject = QStringLiteral("the settings file");

} // namespace

void SaveSettingsFile(ReceiverState& state) {
    QString error;
    if (WriteSettings(state.Settings, state.SettingsPath, &error))
        state.Problems.Succeeded(SettingsSubject);
    else
        state.Problems.Failed(SettingsSubject, QString::fromLocal8Bit(state.SettingsPath.c_str()),
                              error);
}

void CheckSettingsFile(ReceiverState& state) {
    // The same way the file is written: a temporary file beside it, dropped
    // again, which leaves the settings alone.
    savefile::PendingFile probe;
    std::string why;
    if (probe.Open(state.SettingsPath, why)) return;
    state.Problems.Failed(SettingsSubject, QString::fromLocal8Bit(state.SettingsPath.c_str()),
                          QString::fromLocal8Bit(probe.Reason().c_str()));
}

} // namespace session
