// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/web/page.h"

#include <array>
#include <iterator>

#include <QJsonArray>
#include <QString>
#include <QUrl>

#include <cmath>

#include "receiver/display/window_layout.h"
#include "receiver/web/plot_drawing.h"

namespace web {

namespace {

// Places in the window's client area: x, y, width, height.
using Box = display::Box;

// The panels and whether the window draws its thin sunken border round it.
struct PanelPlace {
    web::Panel Panel;
    web::Box Box; // of the picture inside any border
    bool Border;
};
constexpr PanelPlace PanelPlaces[] = {
    {Panel::Correlation, display::CorrelationPlace.Picture, display::CorrelationPlace.Border},
    {Panel::Correlogram, display::CorrelogramPlace.Picture, display::CorrelogramPlace.Border},
    {Panel::Dopplergram, display::DopplergramPlace.Picture, display::DopplergramPlace.Border},
    {Panel::Scattergram, display::ScattergramPlace.Picture, display::ScattergramPlace.Border},
    {Panel::Tune, display::TunePlace.Picture, display::TunePlace.Border},
};

// The black lines and frames of the window's scales.
constexpr auto Lines = [] {
    std::array<Box, std::size(display::TuneScaleLines) + std::size(display::DelayScaleLines) +
                        std::size(display::DopplerScaleLines)>
        all{};
    size_t n = 0;
    for (const Box& line : display::TuneScaleLines)
        all[n++] = line;
    for (const Box& line : display::DelayScaleLines)
        all[n++] = line;
    for (const Box& line : display::DopplerScaleLines)
        all[n++] = line;
    return all;
}();

// Scale labels of both modes and the captions the page shows.  Fonts: "time"
// (the delay scale's times), "distance" (its distances) and "control" (all
// others).
struct ScaleText {
    web::Box Box;
    const char* Font;
    const char* Nato;
    const char* Amateur;
};
constexpr size_t ShownCaptions = [] {
    size_t n = 0;
    for (const display::Caption& caption : display::Captions)
        n += caption.UnderPanel ? 0 : 1;
    return n;
}();
constexpr auto ScaleTexts = [] {
    std::array<ScaleText, std::size(display::DelayScaleLabels) +
                              std::size(display::DopplerScaleLabels) +
                              std::size(display::TuneScaleLabels) + ShownCaptions>
        all{};
    size_t n = 0;
    for (const display::ScaleLabelPlace& label : display::DelayScaleLabels) {
        const char* font = n % 2 == 0 ? "time" : "distance"; // alternating from the top
        all[n++] = {label.Box, font, label.Nato, label.Amateur};
    }
    for (const display::ScaleLabelPlace& label : display::DopplerScaleLabels)
        all[n++] = {label.Box, "control", label.Nato, label.Amateur};
    for (const display::ScaleLabelPlace& label : display::TuneScaleLabels)
        all[n++] = {label.Box, "control", label.Nato, label.Amateur};
    for (const display::Caption& caption : display::Captions)
        if (!caption.UnderPanel) all[n++] = {caption.Box, "control", caption.Text, caption.Text};
    return all;
}();

QString Px(const Box& box) {
    return QStringLiteral("left:%1px;top:%2px;width:%3px;height:%4px")
        .arg(box.X)
        .arg(box.Y)
        .arg(box.W)
        .arg(box.H);
}

QString Escaped(const QString& text) {
    return text.toHtmlEscaped();
}

bool IsAmateur(const BlockFacts& facts) {
    return facts.BaudRate == 2000;
}

QString UtcText(const BlockFacts& facts) {
    if (!facts.BlockTime.isValid()) return QStringLiteral("no block yet");
    return facts.BlockTime.toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) +
           QStringLiteral(" UTC");
}

QString LocalText(const BlockFacts& facts) {
    if (!facts.BlockTime.isValid()) return QString();
    return facts.BlockTime.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss t"));
}

QString Title(const BlockFacts& facts) {
    const QString receiver = IsAmateur(facts) ? QStringLiteral("Stanag 4285 Receiver (AMATEUR)")
                                              : QStringLiteral("Stanag 4285 Receiver (NATO)");
    return facts.Station.isEmpty() ? receiver : facts.Station + QStringLiteral(": ") + receiver;
}

QString Bytes(int64_t bytes) {
    if (bytes >= 1000LL * 1000 * 1000)
        return QString::number(bytes / 1.0e9, 'f', 1) + QStringLiteral(" GB");
    return QString::number(bytes / 1.0e6, 'f', 0) + QStringLiteral(" MB");
}

QString Uptime(int64_t seconds) {
    const int64_t days = seconds / 86400, hours = seconds / 3600 % 24, minutes = seconds / 60 % 60;
    if (days > 0) return QStringLiteral("%1 d %2 h").arg(days).arg(hours);
    if (hours > 0) return QStringLiteral("%1 h %2 min").arg(hours).arg(minutes);
    return QStringLiteral("%1 min").arg(minutes);
}

// Free space that is as good as none: a day's worth of log rows and snapshots.
constexpr int64_t LowFreeBytes = 200LL * 1000 * 1000;
constexpr double LowDaysLeft = 7.0;

struct HealthLine {
    QString Text;
    bool Bad = false;
};

// The health block in plain words, worst news marked.
std::vector<HealthLine> HealthLines(const StationHealth& h) {
    std::vector<HealthLine> lines;
    if (!h.InputDbfs)
        lines.push_back({QStringLiteral("Input: no level yet"), false});
    else if (h.Clipping)
        lines.push_back({QStringLiteral("Input: CLIPPING (peak %1 dBFS): turn the level down")
                             .arg(*h.InputDbfs, 0, 'f', 1),
                         true});
    else
        lines.push_back(
            {QStringLiteral("Input: peak %1 dBFS").arg(*h.InputDbfs, 0, 'f', 1), false});
    lines.push_back(
        {h.Locked ? QStringLiteral("Signal: locked") : QStringLiteral("Signal: not locked"),
         false});
    if (!h.Logging)
        lines.push_back({QStringLiteral("Block log: off"), false});
    else if (!h.LogError.isEmpty())
        lines.push_back({QStringLiteral("Block log: NOT BEING SAVED: ") + h.LogError, true});
    else
        lines.push_back({QStringLiteral("Block log: saved"), false});
    if (!h.Snapshots)
        lines.push_back({QStringLiteral("Snapshots: off"), false});
    else if (!h.SnapshotError.isEmpty())
        lines.push_back({QStringLiteral("Snapshots: NOT BEING SAVED: ") + h.SnapshotError, true});
    else
        lines.push_back({QStringLiteral("Snapshots: saved"), false});
    lines.push_back({QStringLiteral("Input lost: %1 times").arg(h.InputLosses), false});
    if (h.Network) {
        const StationHealth::NetworkLosses& n = *h.Network;
        QString text = n.Losses == 0 ? QStringLiteral("Network: nothing lost")
                                     : QStringLiteral("Network: %1 losses, %2 ms filled with "
                                                      "silence (%3 blocks not trusted)")
                                           .arg(n.Losses)
                                           .arg(std::llround(n.FilledMs))
                                           .arg(n.FilledBlocks);
        if (n.Late > 0) text += QStringLiteral("; %1 late datagrams dropped").arg(n.Late);
        lines.push_back({text, false});
    }
    lines.push_back({QStringLiteral("Up: ") + Uptime(h.UptimeS), false});
    if (h.FreeBytes >= 0) {
        QString text = QStringLiteral("Free disk: ") + Bytes(h.FreeBytes);
        if (h.DaysLeft)
            text += QStringLiteral(" (about %1 days at the current rate)")
                        .arg(*h.DaysLeft, 0, 'f', *h.DaysLeft < 10 ? 1 : 0);
        lines.push_back(
            {text, h.FreeBytes < LowFreeBytes || (h.DaysLeft && *h.DaysLeft < LowDaysLeft)});
    }
    QString clock = h.ClockSynchronised ? QStringLiteral("Clock: synchronised")
                                        : QStringLiteral("Clock: NOT SYNCHRONISED (rows flagged "
                                                         "clock-unsynced)");
    if (h.ClockSteps > 0) clock += QStringLiteral("; %1 steps seen").arg(h.ClockSteps);
    lines.push_back({clock, !h.ClockSynchronised});
    return lines;
}

QJsonObject HealthJson(const StationHealth& h) {
    QJsonArray lines;
    for (const HealthLine& line : HealthLines(h))
        lines.append(
            QJsonObject{{QStringLiteral("text"), line.Text}, {QStringLiteral("bad"), line.Bad}});
    QJsonObject health{
        {QStringLiteral("clipping"), h.Clipping},
        {QStringLiteral("locked"), h.Locked},
        {QStringLiteral("log"), QJsonObject{{QStringLiteral("on"), h.Logging},
                                            {QStringLiteral("ok"), h.LogError.isEmpty()},
                                            {QStringLiteral("error"), h.LogError}}},
        {QStringLiteral("snapshots"), QJsonObject{{QStringLiteral("on"), h.Snapshots},
                                                  {QStringLiteral("ok"), h.SnapshotError.isEmpty()},
                                                  {QStringLiteral("error"), h.SnapshotError}}},
        {QStringLiteral("input_losses"), static_cast<qint64>(h.InputLosses)},
        {QStringLiteral("uptime_s"), static_cast<qint64>(h.UptimeS)},
        {QStringLiteral("clock_synchronised"), h.ClockSynchronised},
        {QStringLiteral("clock_steps"), static_cast<qint64>(h.ClockSteps)},
        {QStringLiteral("lines"), lines},
    };
    health.insert(QStringLiteral("input_dbfs"),
                  h.InputDbfs ? QJsonValue(*h.InputDbfs) : QJsonValue());
    health.insert(QStringLiteral("free_bytes"),
                  h.FreeBytes >= 0 ? QJsonValue(static_cast<qint64>(h.FreeBytes)) : QJsonValue());
    health.insert(QStringLiteral("days_left"), h.DaysLeft ? QJsonValue(*h.DaysLeft) : QJsonValue());
    QJsonValue network;
    if (h.Network)
        network = QJsonObject{
            {QStringLiteral("losses"), static_cast<qint64>(h.Network->Losses)},
            {QStringLiteral("filled_ms"), std::round(h.Network->FilledMs)},
            {QStringLiteral("filled_blocks"), static_cast<qint64>(h.Network->FilledBlocks)},
            {QStringLiteral("late"), static_cast<qint64>(h.Network->Late)},
        };
    health.insert(QStringLiteral("network"), network);
    return health;
}

QString HealthHtml(const StationHealth& h) {
    QString html;
    for (const HealthLine& line : HealthLines(h))
        html += (line.Bad ? QStringLiteral("<li class=\"bad\">") : QStringLiteral("<li>")) +
                Escaped(line.Text) + QStringLiteral("</li>");
    return html;
}

QString Row(const QString& name, const QString& value, const QString& id = QString()) {
    return QStringLiteral("<tr><th>") + Escaped(name) + QStringLiteral("</th><td") +
           (id.isEmpty() ? QString() : QStringLiteral(" id=\"") + id + u'"') + u'>' +
           Escaped(value) + QStringLiteral("</td></tr>\n");
}

// The top of the page: the health block, the links to the served folders,
// and the band of title, time and input above the window's picture.
QString HeadHtml(const BlockFacts& facts, const std::vector<ServedFolder>& folders) {
    QString links;
    for (const ServedFolder& folder : folders)
        links += QStringLiteral(" &middot; <a href=\"/files/") +
                 QString::fromLatin1(QUrl::toPercentEncoding(folder.Name)) +
                 QStringLiteral("/\">") + Escaped(folder.Name) + QStringLiteral("</a>");
    return QStringLiteral("<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
                          "<meta name=\"viewport\" content=\"width=device-width\">\n<title>") +
           Escaped(Title(facts)) +
           QStringLiteral(" - propmon</title>\n<link rel=\"stylesheet\" href=\"/page.css\">\n"
                          "<script src=\"/page.js\" defer></script></head>\n<body>\n"
                          "<ul id=\"health\">") +
           HealthHtml(facts.Health) +
           QStringLiteral("</ul>\n<p id=\"links\"><a href=\"/files/\">Files</a>") + links +
           QStringLiteral("</p>\n<div id=\"client\">\n<div id=\"band\"><span id=\"title\">") +
           Escaped(Title(facts)) + QStringLiteral("</span> <span id=\"stale\"></span><br>\n") +
           QStringLiteral("Last block <span id=\"bandutc\">") + Escaped(UtcText(facts)) +
           QStringLiteral("</span> &middot; <span id=\"bandinput\">") + Escaped(facts.Input) +
           QStringLiteral("</span></div>\n");
}

// The window's client area: its lines and frames, the scale labels of the
// mode shown (with both modes' texts for the script), and the panels.
QString ClientHtml(const Snapshot& snapshot) {
    const bool amateur = IsAmateur(snapshot.Facts);
    QString html;
    for (const Box& line : Lines)
        html += QStringLiteral("<div class=\"") +
                (line.W == 1 || line.H == 1 ? QStringLiteral("line") : QStringLiteral("frame")) +
                QStringLiteral("\" style=\"") + Px(line) + QStringLiteral("\"></div>\n");
    for (const ScaleText& text : ScaleTexts) {
        const QString nato = QString::fromLatin1(text.Nato);
        const QString other = QString::fromLatin1(text.Amateur);
        html += QStringLiteral("<div class=\"label ") + QString::fromLatin1(text.Font) +
                QStringLiteral("\" style=\"") + Px(text.Box) + QStringLiteral("\"") +
                (nato == other ? QString()
                               : QStringLiteral(" data-nato=\"") + Escaped(nato) +
                                     QStringLiteral("\" data-amateur=\"") + Escaped(other) + u'"') +
                u'>' + Escaped(amateur ? other : nato) + QStringLiteral("</div>\n");
    }
    for (const PanelPlace& place : PanelPlaces) {
        const int i = static_cast<int>(place.Panel);
        const QString name = QString::fromLatin1(PanelName(place.Panel));
        html += QStringLiteral("<img id=\"") + name + QStringLiteral("\" class=\"panel") +
                (place.Border ? QStringLiteral(" sunken") : QString()) +
                QStringLiteral("\" alt=\"") + name + QStringLiteral("\" style=\"") + Px(place.Box) +
                QStringLiteral("\" src=\"/panel/") + name + QStringLiteral(".png?v=") +
                QString::number(snapshot.PanelVersions[i]) + QStringLiteral("\" data-version=\"") +
                QString::number(snapshot.PanelVersions[i]) + QStringLiteral("\">\n");
    }
    return html;
}

// The table of the block's numbers: the fields of the block, then the input,
// the mode, the times and the count (the script updates them by their ids).
QString FactsHtml(const BlockFacts& facts) {
    QString html = QStringLiteral("<table id=\"facts\">\n<tbody id=\"fields\">\n");
    for (const auto& [name, value] : facts.Fields)
        html += Row(name, value);
    html += QStringLiteral("</tbody>\n<tbody>\n") +
            Row(QStringLiteral("Input"), facts.Input, QStringLiteral("input")) +
            Row(QStringLiteral("Mode"), facts.Mode, QStringLiteral("mode")) +
            Row(QStringLiteral("Last block (UTC)"), UtcText(facts), QStringLiteral("utc")) +
            Row(QStringLiteral("Last block (local)"), LocalText(facts), QStringLiteral("local")) +
            Row(QStringLiteral("Blocks"), QString::number(facts.Blocks), QStringLiteral("blocks")) +
            QStringLiteral("</tbody>\n</table>\n");
    return html;
}

// The plots of the live log: id, the picture below /plot/, and what it shows.
struct LogPlot {
    const char* Id;
    const char* Picture;
    const char* Alt;
};
constexpr LogPlot LogPlots[] = {
    {"delayplot", "delay", "peak delay against time"},
    {"dopplerplot", "doppler", "Doppler against time"},
    {"snrplot", "snr", "SNR in 3 kHz against time"},
    {"lockedplot", "locked", "locked share against time"},
    {"pathsplot", "paths", "Doppler shift and spread of each path against time"},
};

QString PlotsHtml() {
    QString html = QStringLiteral("<h2>Last 24 hours, from the live log</h2>\n");
    for (const LogPlot& plot : LogPlots)
        html += QStringLiteral("<p><img id=\"%1\" class=\"plot\" alt=\"%2\" src=\"/plot/%3.png\" "
                               "width=\"%4\" height=\"%5\"></p>\n")
                    .arg(QString::fromLatin1(plot.Id), QString::fromLatin1(plot.Alt),
                         QString::fromLatin1(plot.Picture))
                    .arg(plot::Width)
                    .arg(plot::Height);
    return html;
}

// The page's script, served as /page.js.
constexpr char PageScriptText[] = R"js("use strict";
// Polls the receiver's state once a second, with the pictures that changed
// since the versions shown, and swaps pictures and numbers.  Nothing is
// loaded from anywhere but this server.
const panels = ["correlation", "correlogram", "dopplergram", "scattergram", "tune"];

function markLoaded(img) {
  img.dataset.loaded = img.naturalWidth + "x" + img.naturalHeight;
}

for (const name of panels) {
  const img = document.getElementById(name);
  img.addEventListener("load", () => markLoaded(img));
  if (img.complete && img.naturalWidth > 0) markLoaded(img);
}

function setText(id, text) {
  const element = document.getElementById(id);
  if (element && element.textContent !== text) element.textContent = text;
}

function show(state) {
  // The pictures that changed came with the state; any other that changed is
  // fetched on its own.
  for (const name of panels) {
    const img = document.getElementById(name);
    const version = String(state.panels[name]);
    if (img.dataset.version === version) continue;
    img.dataset.version = version;
    const picture = state.pictures && state.pictures[name];
    img.src = picture ? picture : "/panel/" + name + ".png?v=" + version;
  }
  const rows = document.getElementById("fields");
  const fresh = document.createElement("tbody");
  fresh.id = "fields";
  for (const [name, value] of state.fields) {
    const row = fresh.insertRow();
    const th = document.createElement("th");
    th.textContent = name;
    row.appendChild(th);
    row.insertCell().textContent = value;
  }
  rows.replaceWith(fresh);
  setText("title", state.title);
  document.title = state.title + " - propmon";
  setText("input", state.input);
  setText("bandinput", state.input);
  setText("mode", state.mode);
  setText("utc", state.utc);
  setText("bandutc", state.utc);
  setText("local", state.local);
  setText("blocks", String(state.blocks));
  const health = document.createElement("ul");
  health.id = "health";
  for (const line of state.health.lines) {
    const item = document.createElement("li");
    item.textContent = line.text;
    if (line.bad) item.className = "bad";
    health.appendChild(item);
  }
  document.getElementById("health").replaceWith(health);
  for (const label of document.querySelectorAll("[data-nato]"))
    label.textContent = state.amateur ? label.dataset.amateur : label.dataset.nato;
  setText("stale", "");
}

async function poll() {
  try {
    const have = panels.map((name) => document.getElementById(name).dataset.version);
    const response = await fetch("/state.json?have=" + have.join(","), {cache: "no-store"});
    if (response.ok) show(await response.json());
    else setText("stale", "(receiver answers " + response.status + ")");
  } catch (error) {
    setText("stale", "(no answer from the receiver)");
  }
  setTimeout(poll, 1000);
}
setTimeout(poll, 1000);

// The plots change slowly: once a minute.
setInterval(() => {
  for (const id of ["delayplot", "dopplerplot", "snrplot", "lockedplot", "pathsplot"]) {
    const img = document.getElementById(id);
    img.src = img.src.replace(/\?.*$/, "") + "?t=" + Date.now();
  }
}, 60000);
)js";

} // namespace

QJsonObject StateJson(const Snapshot& snapshot) {
    const BlockFacts& facts = snapshot.Facts;
    QJsonObject panels;
    for (int i = 0; i < PanelCount; ++i)
        panels.insert(QString::fromLatin1(PanelName(static_cast<Panel>(i))),
                      static_cast<qint64>(snapshot.PanelVersions[i]));
    QJsonArray fields;
    for (const auto& [name, value] : facts.Fields)
        fields.append(QJsonArray{name, value});
    return QJsonObject{
        {QStringLiteral("title"), Title(facts)},
        {QStringLiteral("amateur"), IsAmateur(facts)},
        {QStringLiteral("input"), facts.Input},
        {QStringLiteral("mode"), facts.Mode},
        {QStringLiteral("utc"), UtcText(facts)},
        {QStringLiteral("local"), LocalText(facts)},
        {QStringLiteral("blocks"), static_cast<qint64>(facts.Blocks)},
        {QStringLiteral("panels"), panels},
        {QStringLiteral("fields"), fields},
        {QStringLiteral("station"), facts.Station},
        {QStringLiteral("health"), HealthJson(facts.Health)},
    };
}

QByteArray PageHtml(const Snapshot& snapshot, const std::vector<ServedFolder>& folders) {
    QString html = HeadHtml(snapshot.Facts, folders) + ClientHtml(snapshot) +
                   QStringLiteral("</div>\n") + FactsHtml(snapshot.Facts) + PlotsHtml() +
                   QStringLiteral("<h2>Files</h2>\n<ul id=\"folders\">\n");
    for (const ServedFolder& folder : folders)
        html += QStringLiteral("<li><a href=\"/files/") +
                QString::fromLatin1(QUrl::toPercentEncoding(folder.Name)) + QStringLiteral("/\">") +
                Escaped(folder.Name) + QStringLiteral("/</a></li>\n");
    html += QStringLiteral("</ul>\n</body></html>\n");
    return html.toUtf8();
}

QByteArray PageScript() {
    return QByteArray(PageScriptText, sizeof PageScriptText - 1);
}

QByteArray PageStyle() {
    QByteArray style = QByteArrayLiteral(R"css(body {
  margin: 8px;
  background: #f0f0f0;
  color: #000;
  font: 13px "Liberation Sans", Arial, "Nimbus Sans", sans-serif;
}
#client {
  position: relative;
  width: @CLIENT_WIDTH@px;
  height: 590px;
  background: #f0f0f0;
  overflow: hidden;
}
#band { position: absolute; left: 6px; top: 4px; width: 690px; line-height: 17px; }
#title { font-weight: bold; }
#health { list-style: none; margin: 0 0 4px 6px; padding: 0; columns: 2; max-width: @CLIENT_WIDTH@px; }
#health li { line-height: 17px; }
#health li.bad { color: #fff; background: #c00000; font-weight: bold; padding: 0 4px; }
#links { margin: 0 0 6px 6px; }
#stale { color: #b00000; }
.panel, .line, .frame, .label { position: absolute; }
.panel { image-rendering: pixelated; z-index: 1; }
.sunken {
  border-style: solid;
  border-width: 1px;
  border-color: #a0a0a0 #ffffff #ffffff #a0a0a0;
  margin: -1px 0 0 -1px;
}
.line { background: #000; }
.frame { box-sizing: border-box; border: 1px solid #000; }
.label { white-space: pre-wrap; line-height: 1.1; overflow: hidden; }
.control { font: 11px "Liberation Sans", Arial, "Nimbus Sans", sans-serif; }
.time { font: 12px "Nimbus Roman", "Liberation Serif", Times, serif; }
.distance { font: 8px "Nimbus Roman", "Liberation Serif", Times, serif; }
#facts { border-collapse: collapse; margin: 4px 0 0 6px; }
#facts th { text-align: left; font-weight: normal; color: #444; padding: 1px 16px 1px 0; }
#facts td { font-variant-numeric: tabular-nums; padding: 1px 0; }
h1, h2 { font-size: 15px; margin: 14px 0 6px 6px; }
.plot { margin-left: 6px; background: #fff; }
ul, body.files p { margin-left: 6px; }
table.listing { border-collapse: collapse; margin-left: 6px; }
table.listing th, table.listing td { text-align: left; padding: 2px 18px 2px 0; }
table.listing td.size { text-align: right; font-variant-numeric: tabular-nums; }
)css");
    // The client area is as wide as the window's.
    return style.replace("@CLIENT_WIDTH@", QByteArray::number(display::ClientWidth));
}

} // namespace web
