// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/session/web_attach.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

#include <cstdio>
#include <sys/statvfs.h>

#include "receiver/analysis/block_table.h"
#include "receiver/display/snapshot.h"

namespace session {

namespace {

QString Formatted(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return QString::fromLatin1(text);
}

web::PanelSet PanelsOf(const display::DisplayState& display) {
    return {{display.CorrelationImage.Image(), display.CorrelogramImage.Image(),
             display.DopplergramImage.Image(), display.ScattergramImage.Image(),
             display.TuneImage.Image()}};
}

// Free bytes on the file system holding `folder` (or the nearest folder
// above it that exists); -1 when unknown.
int64_t FreeBytes(QString folder) {
    for (int up = 0; up < 64; ++up) {
        struct statvfs info {};
        if (::statvfs(QFile::encodeName(folder).constData(), &info) == 0)
            return static_cast<int64_t>(info.f_bavail) * static_cast<int64_t>(info.f_frsize);
        const QString parent = QFileInfo(folder).absolutePath();
        if (parent == folder) break;
        folder = parent;
    }
    return -1;
}

} // namespace

void HealthWatch::Fill(const ReceiverState& state, web::StationHealth& health,
                       const io::StreamCounts* network) {
    if (!started_.isValid()) started_.start();
    const analysis::InputLevel level = state.Acquisition.Level();
    if (state.BlockCount > 0) health.InputDbfs = level.PeakDbfs;
    health.Clipping = level.Clipping;
    health.Locked = state.Acquisition.Locked();
    health.Logging = state.Log != nullptr;
    health.LogError = state.Problems.Outstanding(QStringLiteral("the block log"));
    const display::DisplayState& d = state.Display;
    health.Snapshots = d.AutoSaveCorrelogram == display::SwitchOn ||
                       d.AutoSaveDopplergram == display::SwitchOn ||
                       d.AutoSaveScattergram == display::SwitchOn;
    health.SnapshotError = state.Problems.Outstanding(QStringLiteral("snapshots in "));
    health.InputLosses = state.Capture.Losses;
    const int64_t nowMs = started_.elapsed();
    health.UptimeS = nowMs / 1000;
    health.FreeBytes = FreeBytes(QDir::current().absoluteFilePath(
        state.Log ? state.Log->Folder() : state.Display.SnapshotFolder));
    // Days left from the fall of the free space since the first look, once
    // there is a fall worth the name.
    if (firstFreeBytes_ < 0) {
        firstFreeBytes_ = health.FreeBytes;
        firstFreeMs_ = nowMs;
    }
    const int64_t used = firstFreeBytes_ - health.FreeBytes;
    constexpr int64_t minimumMs = 10 * 60 * 1000;
    if (health.FreeBytes >= 0 && used > 0 && nowMs - firstFreeMs_ >= minimumMs)
        health.DaysLeft = static_cast<double>(health.FreeBytes) / used *
                          static_cast<double>(nowMs - firstFreeMs_) / 86400000.0;
    health.ClockSynchronised = state.Clock.Synchronised();
    health.ClockSteps = state.Clock.Steps();
    if (network)
        health.Network = web::StationHealth::NetworkLosses{.Losses = network->Gaps,
                                                           .FilledMs = state.FilledMs,
                                                           .FilledBlocks = state.FilledBlocks,
                                                           .Late = network->Late};
}

web::WebViewConfig WebViewConfigFor(const ReceiverOptions& options, const ReceiverState& state) {
    web::WebViewConfig config;
    config.Address = QHostAddress(options.HttpAddress);
    config.Port = options.HttpPort;
    const QDir snapshots(QDir::current().absoluteFilePath(state.Display.SnapshotFolder));
    for (const display::Gram gram :
         {display::Gram::Correlogram, display::Gram::Dopplergram, display::Gram::Scattergram})
        config.Folders.push_back({display::GramFolderName(gram),
                                  snapshots.absoluteFilePath(display::GramFolderName(gram))});
    config.LogFolder = QDir::current().absoluteFilePath(
        options.Log.isEmpty() ? WindowLogFolder(state) : options.Log);
    config.Folders.push_back({QStringLiteral("logs"), config.LogFolder});
    return config;
}

web::BlockFacts BlockFactsOf(const ReceiverState& state, const dsp::ChainState& chain,
                             int64_t blocks, const QString& input) {
    const bool nato = chain.ReceiverMode == dsp::ModeNato;
    web::BlockFacts facts;
    facts.BaudRate = nato ? 2400 : 2000;
    facts.Mode = QStringLiteral("%1 (%2 baud, %3 Hz)")
                     .arg(nato ? QStringLiteral("NATO") : QStringLiteral("AMATEUR"))
                     .arg(facts.BaudRate)
                     .arg(chain.CarrierHz);
    facts.Input = input.isEmpty() ? QStringLiteral("the system's default input") : input;
    facts.Blocks = blocks;
    facts.Station = state.Station;
    // The wall clock at the block's last sample, as the log has it.
    facts.BlockTime = state.CurrentBlock.WallMs > 0
                          ? QDateTime::fromMSecsSinceEpoch(state.CurrentBlock.WallMs, Qt::UTC)
                          : QDateTime::currentDateTimeUtc();

    // Before any block the stage has nothing to say: the row without it.
    const analysis::BlockMeasurement* measured = blocks > 0 ? &state.Measurement.Last() : nullptr;
    const analysis::BlockRow row =
        analysis::MakeBlockRow(chain, state.Acquisition.Quality().Last(), blocks, 0.0, measured);
    // Two baseband samples a symbol.
    const double delayMs = row.PeakLag * 1000.0 / (2.0 * facts.BaudRate);
    const dsp::Settings& s = state.Settings;
    const double clockPpm = static_cast<double>(s.ClockOffset * 1000000.0L + s.ClockPpm);
    facts.Fields = {
        {QStringLiteral("Peak lag"), QString::number(row.PeakLag)},
        {QStringLiteral("Peak delay"), Formatted("%.2f ms", delayMs)},
        {QStringLiteral("Doppler"), Formatted("%+.2f Hz", row.DopplerHz)},
        {QStringLiteral("Tune"), Formatted("%+.0f Hz", row.TuneHz)},
        {QStringLiteral("Clock correction"), Formatted("%+.2f ppm", clockPpm)},
        {QStringLiteral("Correlogram averaging"), QString::number(state.Controls.AverageCount)},
        {QStringLiteral("Sync peak contrast"), Formatted("%.1f dB", row.PeakSnrDb)},
        {QStringLiteral("SNR in 3 kHz"),
         row.SnrDb ? Formatted("%.1f dB", *row.SnrDb) : QStringLiteral("-")},
        {QStringLiteral("Locked"), row.Locked ? QStringLiteral("yes") : QStringLiteral("no")},
    };
    if (row.Flags != 0)
        facts.Fields.push_back(
            {QStringLiteral("Flags"), QString::fromStdString(analysis::FlagWords(row.Flags))});
    // The further paths, as the block table has them.
    for (size_t i = 0; i < row.Paths.size(); ++i)
        if (row.Paths[i])
            facts.Fields.push_back({QStringLiteral("Path %1").arg(i + 2),
                                    Formatted("%+.2f ms, ", row.Paths[i]->DelayMs) +
                                        Formatted("%+.1f dB", row.Paths[i]->RelDb)});
    return facts;
}

void AttachWebView(ReceiverState& state, web::WebView& view, const io::WaveInput& wave) {
    struct Pace {
        int64_t Blocks = 0;
        QElapsedTimer SincePublished;
        HealthWatch Health;
    };
    auto pace = std::make_shared<Pace>();
    view.PublishPanels(PanelsOf(state.Display));
    web::BlockFacts start =
        BlockFactsOf(state, *state.Chain, 0, wave.DeviceName(state.Capture.DeviceId));
    start.BlockTime = QDateTime();
    start.Fields.clear();
    pace->Health.Fill(state, start.Health, wave.NetworkCounts(state.Capture.DeviceId));
    view.PublishBlock(start);

    state.BlockObservers.push_back([&state, &view, &wave, pace](const dsp::ChainState& chain) {
        ++pace->Blocks;
        if (pace->SincePublished.isValid() && pace->SincePublished.elapsed() < 1000) return;
        pace->SincePublished.start();
        view.PublishPanels(PanelsOf(state.Display));
        web::BlockFacts facts =
            BlockFactsOf(state, chain, pace->Blocks, wave.DeviceName(state.Capture.DeviceId));
        pace->Health.Fill(state, facts.Health, wave.NetworkCounts(state.Capture.DeviceId));
        view.PublishBlock(facts);
    });
}

std::unique_ptr<web::WebView> StartWebView(const ReceiverOptions& options, ReceiverState& state,
                                           const io::WaveInput& wave, QString& error) {
    auto view = std::make_unique<web::WebView>(WebViewConfigFor(options, state));
    if (!view->Start(error)) return nullptr;
    AttachWebView(state, *view, wave);
    return view;
}

} // namespace session
