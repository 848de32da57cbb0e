// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/app/web_attach.h"

#include <QDir>
#include <QElapsedTimer>

#include <cstdio>

#include "receiver/acquisition/block_table.h"
#include "receiver/autosave/snapshot.h"

namespace propmon {

namespace {

// The block table's first columns, which the page shows in its own words.
constexpr int OwnColumns = 5;

QString Formatted(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return QString::fromLatin1(text);
}

web::PanelSet PanelsOf(const rx::DisplayState& display) {
    return {{display.CorrelationImage.Image(), display.CorrelogramImage.Image(),
             display.DopplergramImage.Image(), display.ScattergramImage.Image(),
             display.TuneImage.Image()}};
}

} // namespace

web::WebViewConfig WebViewConfigFor(const ReceiverOptions& options, const ReceiverState& state,
                                    const QString& logFolder) {
    web::WebViewConfig config;
    config.Address = QHostAddress(options.httpAddress);
    config.Port = options.httpPort;
    const QDir snapshots(QDir::current().absoluteFilePath(state.Display.SnapshotFolder));
    for (const rx::Gram gram :
         {rx::Gram::Correlogram, rx::Gram::Dopplergram, rx::Gram::Scattergram})
        config.Folders.push_back(
            {rx::GramFolderName(gram), snapshots.absoluteFilePath(rx::GramFolderName(gram))});
    config.LogFolder = QDir::current().absoluteFilePath(logFolder);
    config.Folders.push_back({QStringLiteral("logs"), config.LogFolder});
    return config;
}

web::BlockFacts BlockFactsOf(const ReceiverState& state, const rx::ChainState& chain,
                             int64_t blocks, const QString& input) {
    const bool nato = chain.ReceiverMode == rx::ModeNato;
    web::BlockFacts facts;
    facts.BaudRate = nato ? 2400 : 2000;
    facts.Mode = QStringLiteral("%1 (%2 baud, %3 Hz)")
                     .arg(nato ? QStringLiteral("NATO") : QStringLiteral("AMATEUR"))
                     .arg(facts.BaudRate)
                     .arg(chain.CarrierHz);
    facts.Input = input.isEmpty() ? QStringLiteral("the system's default input") : input;
    facts.Blocks = blocks;
    facts.BlockTime = QDateTime::currentDateTimeUtc();

    const rx::BlockRow row = rx::MakeBlockRow(chain, blocks, 0.0);
    // Two baseband samples a symbol.
    const double delayMs = row.PeakLag * 1000.0 / (2.0 * facts.BaudRate);
    const rx::Settings& s = state.Settings;
    const double clockPpm = static_cast<double>(s.ClockOffset * 1000000.0L + s.ClockPpm);
    facts.Fields = {
        {QStringLiteral("Peak lag"), QString::number(row.PeakLag)},
        {QStringLiteral("Peak delay"), Formatted("%.2f ms", delayMs)},
        {QStringLiteral("Doppler"), Formatted("%+.2f Hz", row.DopplerHz)},
        {QStringLiteral("Tune"), Formatted("%+.0f Hz", row.TuneHz)},
        {QStringLiteral("Clock correction"), Formatted("%+.2f ppm", clockPpm)},
        {QStringLiteral("Correlogram averaging"), QString::number(state.Controls.AverageCount)},
    };
    // Columns the block table has beyond its first five (signal quality,
    // further paths) are shown under their own names.
    const QStringList names = QString::fromStdString(rx::BlockTableHeader()).split(u',');
    const QStringList values = QString::fromStdString(rx::FormatBlockRow(row)).split(u',');
    for (qsizetype i = OwnColumns; i < names.size() && i < values.size(); ++i)
        facts.Fields.push_back({names[i], values[i]});
    return facts;
}

void AttachWebView(ReceiverState& state, web::WebView& view, const cap::WaveInput& wave) {
    struct Pace {
        int64_t blocks = 0;
        QElapsedTimer sincePublished;
    };
    auto pace = std::make_shared<Pace>();
    view.PublishPanels(PanelsOf(state.Display));
    web::BlockFacts start =
        BlockFactsOf(state, *state.Chain, 0, wave.DeviceName(state.Capture.DeviceId));
    start.BlockTime = QDateTime();
    start.Fields.clear();
    view.PublishBlock(start);

    state.BlockObservers.push_back([&state, &view, &wave, pace](const rx::ChainState& chain) {
        ++pace->blocks;
        if (pace->sincePublished.isValid() && pace->sincePublished.elapsed() < 1000) return;
        pace->sincePublished.start();
        view.PublishPanels(PanelsOf(state.Display));
        view.PublishBlock(
            BlockFactsOf(state, chain, pace->blocks, wave.DeviceName(state.Capture.DeviceId)));
    });
}

std::unique_ptr<web::WebView> StartWebView(const ReceiverOptions& options, ReceiverState& state,
                                           const cap::WaveInput& wave, const QString& logFolder,
                                           QString& error) {
    auto view = std::make_unique<web::WebView>(WebViewConfigFor(options, state, logFolder));
    if (!view->Start(error)) return nullptr;
    AttachWebView(state, *view, wave);
    return view;
}

} // namespace propmon
