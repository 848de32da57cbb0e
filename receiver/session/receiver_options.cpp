// SPDX-License-Identifier: GPL-3.0-or-later
// The receiver's own options (the window's and --headless's), apart from the
// command line's common parts: they name the live inputs, which batch runs
// never read.
#include "receiver/session/command_line.h"

#include <QDateTime>
#include <QSysInfo>
#include <QTimeZone>

#include <QHostAddress>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "receiver/dsp/chain.h"

namespace session {

namespace {

// The receiver's options in the order --help lists them: name, description,
// and the value's name (none for a switch).
struct OptionText {
    const char* Name;
    const char* Description;
    const char* Value;
};
constexpr OptionText ReceiverOptionTexts[] = {
    {"simulate", "listen to the built-in STANAG 4285 test signal", nullptr},
    {"replay",
     "listen to a recording played at real-time pace; any\n"
     "WAV/FLAC at any rate, converted to the mode's rate\n"
     "(9600 samples/s NATO, 8000 AMATEUR); in the mode\n"
     "whose signal locks in its first minute",
     "FILE"},
    {"channel", nullptr, nullptr}, // ChannelOption(), which batch runs share
    {"device",
     "listen to the first input whose name or description\n"
     "contains TEXT (case does not matter)",
     "TEXT"},
    {"list-devices", "print the inputs, one per line, and exit", nullptr},
    {"autosave", "start with all three gram auto-saves on", nullptr},
    {"input",
     "listen to samples another program sends:\n"
     "udp:PORT[@RATE]  16-bit little-endian mono datagrams on\n"
     "  127.0.0.1 (udp:ADDR:PORT[@RATE] on another address,\n"
     "  udp:0.0.0.0:PORT on all), 48000 samples/s unless given;\n"
     "  lost datagrams are filled with silence and counted\n"
     "rtp:[ADDR:]PORT[#SSRC][@RATE]  RTP L16 (payload types 10\n"
     "  and 11 at 44100, a dynamic one at RATE), unicast or a\n"
     "  multicast group; #SSRC takes only that stream\n"
     "stdin:RATE[:s16|f32]  raw mono samples piped in, 16-bit\n"
     "  (default) or 32-bit float, taken as they come",
     "SOURCE"},
    {"start-time",
     "when the first sample of --replay or --input stdin\n"
     "was taken, ISO 8601 (UTC unless it says Z or +HH:MM\n"
     "itself); the blocks are dated from it plus their\n"
     "samples (default: when the input opens)",
     "ISO8601"},
    {"reconnect",
     "retry a lost input every 10 s and go on when\n"
     "it returns (Audio Input menu: the same switch)",
     nullptr},
    {"mode",
     "nato (2400 baud, 1800 Hz) or amateur (2000 baud,\n"
     "1500 Hz)",
     "M"},
    {"average", "blocks averaged per correlogram column, 1 or more", "K"},
    {"lag-offset",
     "first lag of the correlogram window, 0..512; auto:\n"
     "10 lags below the strongest path once the signal\n"
     "holds (the window does that by itself)",
     "N"},
    {"clock-ppm",
     "coarse clock correction in whole ppm, as Tools >\n"
     "Clock offset; auto: measured in the first minutes,\n"
     "then applied once",
     "N"},
    {"log",
     "log every block to DIR/propmon-YYYY-MM-DD.csv, one\n"
     "file per UTC day",
     "DIR"},
    {"utc", "time marks and snapshot names in UTC, not local time", nullptr},
    {"dated-names", "snapshot names start with the day, YYYYMMDD-", nullptr},
    {"station",
     "the station's name, in the web page's title and\n"
     "the start line (default: the host name)",
     "NAME"},
    {"headless",
     "no window: capture, grams, auto-save and log run\n"
     "until SIGTERM, SIGINT or SIGHUP (or the end of a\n"
     "replay); one line per event on stderr",
     nullptr},
    {"http",
     "serve a read-only web view of the receiver on PORT\n"
     "(0: any free port), on 127.0.0.1 unless ADDR is given\n"
     "(0.0.0.0: every network; the view has no login)",
     "[ADDR:]PORT"},
};

} // namespace

QList<QCommandLineOption> ReceiverOptionList() {
    QList<QCommandLineOption> options;
    for (const OptionText& option : ReceiverOptionTexts) {
        if (!option.Description)
            options << ChannelOption();
        else
            options << QCommandLineOption(QString::fromUtf8(option.Name),
                                          QString::fromUtf8(option.Description),
                                          QString::fromUtf8(option.Value));
    }
    return options;
}

void ParseHttpListen(const QString& text, QString& address, quint16& port) {
    const UsageError bad{QStringLiteral("--http is [ADDR:]PORT (an IP address and a port "
                                        "0..65535), not ") +
                         Quoted(text)};
    QString host = QStringLiteral("127.0.0.1");
    QString portText = text;
    const qsizetype colon = text.lastIndexOf(u':');
    if (colon >= 0) {
        host = text.left(colon);
        portText = text.mid(colon + 1);
        if (host.startsWith(u'[') && host.endsWith(u']')) host = host.mid(1, host.size() - 2);
        if (host == u"localhost") host = QStringLiteral("127.0.0.1");
        const QHostAddress parsed(host);
        // Only the full dotted form: "1.2.3" would be read as 1.2.0.3.
        if (parsed.isNull() ||
            (parsed.protocol() == QAbstractSocket::IPv4Protocol && host.count(u'.') != 3))
            throw bad;
        host = parsed.toString();
    }
    bool ok = false;
    const uint value = portText.toUInt(&ok);
    if (!ok || value > 65535 || portText.startsWith(u'+')) throw bad;
    address = host;
    port = static_cast<quint16>(value);
}

int64_t ParseStartTime(const QString& text) {
    QDateTime time = QDateTime::fromString(text, Qt::ISODateWithMs);
    if (!time.isValid())
        throw UsageError{QStringLiteral("--start-time is an ISO 8601 date and time such as "
                                        "2026-12-07T14:30:00Z, not ") +
                         Quoted(text)};
    // Without a zone of its own the time is UTC, as a station's logs are.
    if (time.timeSpec() == Qt::LocalTime) time.setTimeZone(QTimeZone::utc());
    return time.toMSecsSinceEpoch();
}

ReceiverOptions TakeReceiverOptions(const QCommandLineParser& parser) {
    ReceiverOptions options;
    options.Simulate = parser.isSet(QStringLiteral("simulate"));
    options.Autosave = parser.isSet(QStringLiteral("autosave"));
    options.Replay = parser.value(QStringLiteral("replay"));
    if (parser.isSet(QStringLiteral("replay")) && options.Replay.isEmpty())
        throw UsageError{QStringLiteral("--replay needs a file")};
    options.Channel = ChannelValue(parser);
    options.ChannelAuto = ChannelAuto(parser);
    if (options.Simulate && !options.Replay.isEmpty())
        throw UsageError{QStringLiteral("choose either --simulate or --replay")};
    if (parser.isSet(QStringLiteral("input"))) {
        QString error;
        if (!io::ParseStreamInput(parser.value(QStringLiteral("input")), options.Input, error))
            throw UsageError{error};
        if (options.Simulate || !options.Replay.isEmpty())
            throw UsageError{QStringLiteral("choose one input: --simulate, --replay or --input")};
    }
    options.Reconnect = parser.isSet(QStringLiteral("reconnect"));
    if (parser.isSet(QStringLiteral("start-time"))) {
        options.StartWallMs = ParseStartTime(parser.value(QStringLiteral("start-time")));
        if (options.Replay.isEmpty() && options.Input.Kind != io::StreamInput::Kind::Stdin)
            throw UsageError{QStringLiteral(
                "--start-time dates a recording: it goes with --replay or --input stdin")};
    }

    const auto text = [&](const char* name) {
        return parser.value(QString::fromLatin1(name)).toLocal8Bit().toStdString();
    };
    const auto isSet = [&](const char* name) { return parser.isSet(QString::fromLatin1(name)); };
    options.Headless = isSet("headless");
    options.ListDevices = isSet("list-devices");
    options.Device = parser.value(QStringLiteral("device"));
    if (isSet("device") && options.Device.isEmpty())
        throw UsageError{QStringLiteral("--device needs a name")};
    if (!options.Device.isEmpty() && (options.Simulate || !options.Replay.isEmpty()))
        throw UsageError{QStringLiteral("choose one input: --device, --simulate or --replay")};
    if (isSet("mode")) {
        const QString mode = parser.value(QStringLiteral("mode"));
        if (mode == QStringLiteral("nato"))
            options.Mode = dsp::ModeNato;
        else if (mode == QStringLiteral("amateur"))
            options.Mode = dsp::ModeAmateur;
        else
            throw UsageError{QStringLiteral("--mode is nato or amateur, not ") + Quoted(mode)};
    }
    if (isSet("average")) options.Average = WholeIn("--average", text("average"), 1, 1000000);
    if (isSet("lag-offset") && text("lag-offset") == "auto")
        options.LagOffsetAuto = true;
    else if (isSet("lag-offset"))
        options.LagOffset = WholeIn("--lag-offset", text("lag-offset"), 0, 512);
    // Whole ppm, as the prompt takes it: the number rounded down.
    if (isSet("clock-ppm") && text("clock-ppm") == "auto")
        options.ClockAuto = true;
    else if (isSet("clock-ppm"))
        options.ClockPpm =
            std::floor(NumberIn("--clock-ppm", text("clock-ppm"), -500000.0L, 500000.0L));
    options.Log = parser.value(QStringLiteral("log"));
    if (isSet("log") && options.Log.isEmpty())
        throw UsageError{QStringLiteral("--log needs a folder")};
    options.Station = isSet("station") ? parser.value(QStringLiteral("station")).trimmed()
                                       : QSysInfo::machineHostName();
    if (isSet("station") && options.Station.isEmpty())
        throw UsageError{QStringLiteral("--station needs a name")};
    options.StationNamed = isSet("station");
    options.Utc = isSet("utc");
    options.DatedNames = isSet("dated-names");
    if (!options.Device.isEmpty() && options.Input.Kind != io::StreamInput::Kind::None)
        throw UsageError{
            QStringLiteral("choose one input: --device, --simulate, --replay or --input")};
    options.Http = parser.isSet(QStringLiteral("http"));
    if (options.Http)
        ParseHttpListen(parser.value(QStringLiteral("http")), options.HttpAddress,
                        options.HttpPort);
    return options;
}

} // namespace session
