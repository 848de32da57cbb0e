// SPDX-License-Identifier: GPL-3.0-or-later
// Live raw IQ: standard input is read as it comes (poll, then read), decoded,
// and fed to one set of front ends; each channel's audio buffers go to its own
// receiver exactly as a sound card's buffers go to the headless receiver's
// capture cycle, so the chain, the painters, the auto-saves, the block log and
// the channel table are the ones every live receiver runs.
#include "receiver/runners/iq_live.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <poll.h>
#include <unistd.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHostAddress>

#include "receiver/analysis/block_table.h"
#include "receiver/io/iq_front_end.h"
#include "receiver/io/iq_recording.h"
#include "receiver/runners/headless.h"
#include "receiver/runners/iq_batch.h"
#include "receiver/session/block_log.h"
#include "receiver/session/command_line.h"
#include "receiver/session/events.h"
#include "receiver/session/instance_lock.h"
#include "receiver/session/receiver_state.h"
#include "receiver/session/termination.h"
#include "receiver/session/web_attach.h"
#include "receiver/web/web_view.h"

namespace runners {

namespace {

constexpr size_t ReadBytes = 1 << 18;
constexpr int PollMs = 200;
constexpr int MaxIqRate = 20000000;

constexpr const char* LiveSynopsis =
    "usage: propmon --headless --input stdin:RATE:cu8|cs16|cf32\n"
    "               (--tune HZ [--centre HZ] | --offset HZ)... [receiver options]\n"
    "\n"
    "Raw IQ piped in (unsigned 8-bit, signed 16-bit or 32-bit float pairs, I\n"
    "first, at RATE complex samples/s), one receiver per carrier: --tune HZ is\n"
    "the carrier's frequency (with --centre HZ, the frequency at the middle of\n"
    "the stream), --offset HZ its distance from the middle.  Each receiver\n"
    "writes into a folder named by its carrier in whole hertz (7104000Hz/)\n"
    "below --log DIR or the working folder: its block log, channel table,\n"
    "settings file and, with --autosave, its grams.\n"
    "\n"
    "propmon --headless --replay IQFILE [--iq] (--tune HZ | --offset HZ)...\n"
    "plays an IQ recording (IQ WAV or SigMF) the same way, at the pace it was\n"
    "recorded, its centre and start taken from the file where they are there.\n"
    "\n";

struct LiveChannel {
    double OffsetHz = 0.0;
    double FrequencyHz = 0.0; // absolute with --centre, else the offset
    QString Folder;
    std::unique_ptr<session::ReceiverState> State;
    std::vector<int16_t> Buffer = std::vector<int16_t>(io::AudioBufferSamples);
    int64_t Samples = 0;                // audio samples fed so far
    std::unique_ptr<web::WebView> View; // its own full page, with --http
};

struct LiveRequest {
    session::ReceiverOptions Options;
    io::IqSampleType Type = io::IqSampleType::Cs16;
    int Rate = 0;
    std::optional<double> CentreHz;
    std::vector<double> OffsetsHz;
    bool Help = false;
    std::shared_ptr<io::IqRecordingReader> Recording; // --replay of an IQ recording
};

// A recording that cannot be played: a failure, not bad usage.
struct ReplayError {
    QString Reason;
};

// The value of --replay, when given.
QString ReplayValue(const QStringList& arguments) {
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        if (arguments[i] == u"--replay" && i + 1 < arguments.size()) return arguments[i + 1];
        if (arguments[i].startsWith(QLatin1String("--replay="))) return arguments[i].mid(9);
    }
    return {};
}

QString InputValue(const QStringList& arguments) {
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        if (arguments[i] == u"--input" && i + 1 < arguments.size()) return arguments[i + 1];
        if (arguments[i].startsWith(QLatin1String("--input="))) return arguments[i].mid(8);
    }
    return {};
}

QString HzText(double frequencyHz) {
    return QString::number(std::nearbyint(frequencyHz), 'f', 0) + QStringLiteral(" Hz");
}

QList<QCommandLineOption> LiveOptionList() {
    QList<QCommandLineOption> options = session::ReceiverOptionList();
    options << QCommandLineOption(QStringLiteral("tune"),
                                  QStringLiteral("a carrier's frequency (with --centre)"),
                                  QStringLiteral("HZ"))
            << QCommandLineOption(QStringLiteral("offset"),
                                  QStringLiteral("a carrier's distance from the middle"),
                                  QStringLiteral("HZ"))
            << QCommandLineOption(QStringLiteral("centre"),
                                  QStringLiteral("the frequency at the middle of the stream"),
                                  QStringLiteral("HZ"))
            << QCommandLineOption(QStringLiteral("iq"),
                                  QStringLiteral("the --replay recording is IQ (I left, Q right)"));
    return options;
}

// The command line; a usage error (thrown) when it does not make sense.
LiveRequest ParseLive(QCommandLineParser& parser, QStringList arguments) {
    LiveRequest request;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        QString& argument = arguments[i];
        const bool joined = argument.startsWith(QLatin1String("--input="));
        if (!joined && (argument != u"--input" || i + 1 >= arguments.size())) continue;
        QString& value = joined ? argument : arguments[++i];
        const QStringList parts = (joined ? value.mid(8) : value).split(u':');
        if (parts.size() != 3 || !IsLiveIqInput(parts.join(u':'), request.Type)) continue;
        request.Rate =
            session::WholeIn("--input", parts[1].toLocal8Bit().toStdString(), 1000, MaxIqRate);
        // The receiver's options take the stream as the pipe input it is.
        value = (joined ? QStringLiteral("--input=stdin:") : QStringLiteral("stdin:")) + "48000";
    }
    if (session::ParseCommandLine(parser, LiveOptionList(), arguments).Help) {
        request.Help = true;
        return request;
    }
    request.Options = session::TakeReceiverOptions(parser);
    if (!request.Options.Headless)
        throw session::UsageError{QStringLiteral("raw IQ runs without a window: add --headless")};
    const auto text = [&](const QString& value) { return value.toLocal8Bit().toStdString(); };
    if (parser.isSet(QStringLiteral("centre")))
        request.CentreHz = double(
            session::NumberIn("--centre", text(parser.value(QStringLiteral("centre"))), 0, 1e12L));
    if (!request.Options.Replay.isEmpty()) {
        std::string error;
        request.Recording = io::IqRecordingReader::Open(text(request.Options.Replay),
                                                        parser.isSet(QStringLiteral("iq")), error);
        if (!request.Recording) throw ReplayError{QString::fromStdString(error)};
        const io::IqRecordingInfo& info = request.Recording->Info();
        request.Rate = int(std::lround(info.SampleRate));
        if (!request.CentreHz) request.CentreHz = info.CentreHz;
        if (!request.Options.StartWallMs && !info.StartTime.empty()) {
            try {
                request.Options.StartWallMs =
                    session::ParseStartTime(QString::fromStdString(info.StartTime));
            } catch (const session::UsageError&) {
                // A start the file states in a form not read: dated from the open.
            }
        }
    }
    for (const QString& tune : parser.values(QStringLiteral("tune"))) {
        if (tune == u"all")
            throw session::UsageError{QStringLiteral(
                "--tune all finds the carriers in a recording; on a live stream give each "
                "one by --tune HZ (with --centre HZ) or --offset HZ")};
        if (!request.CentreHz)
            throw session::UsageError{QStringLiteral(
                "--tune HZ needs the stream's centre frequency: give --centre HZ, or tune "
                "by --offset HZ from the centre")};
        request.OffsetsHz.push_back(double(session::NumberIn("--tune", text(tune), 0, 1e12L)) -
                                    *request.CentreHz);
    }
    for (const QString& offset : parser.values(QStringLiteral("offset")))
        request.OffsetsHz.push_back(
            double(session::NumberIn("--offset", text(offset), -1e9L, 1e9L)));
    if (request.OffsetsHz.empty())
        throw session::UsageError{QStringLiteral(
            "which carriers? give --tune HZ (with --centre HZ) or --offset HZ for each")};
    return request;
}

// A channel's receiver, as the headless receiver prepares its own, with its
// folder for the block log, the settings file and the grams, and its events
// told with its carrier first.
void PrepareChannel(const LiveRequest& request, LiveChannel& channel) {
    session::ReceiverOptions options = request.Options;
    options.Log = channel.Folder;
    channel.State = std::make_unique<session::ReceiverState>();
    session::ReceiverState& state = *channel.State;
    state.SettingsPath =
        QDir(channel.Folder).filePath(QStringLiteral("Stanag4285.set")).toStdString();
    state.Display.SnapshotFolder = channel.Folder;
    session::PrepareReceiver(state);
    session::ApplyReceiverOptions(state, options);
    const QString prefix = HzText(channel.FrequencyHz) + QStringLiteral(": ");
    analysis::MonitorOptions watch;
    watch.AutoClock = options.ClockAuto;
    watch.AutoPlacePaths = options.LagOffsetAuto;
    state.Acquisition = analysis::AcquisitionMonitor(watch, [prefix](const std::string& line) {
        session::ReportEvent(prefix + QString::fromStdString(line));
    });
    dsp::SetReceiverMode(*state.Chain, options.Mode.value_or(dsp::ModeNato));
    session::CheckSettingsFile(state);
    session::InstallHooks(state);
    dsp::BuildSignalTables(state.Chain->Tables, dsp::TableBuild::StraightThrough);
    state.Capture.Inputs.InputOpened();
}

// One buffer of a channel's audio through its receiver, as the capture cycle
// hands a sound card's buffer on; `doneMs` the wall time of its last sample.
void FeedChannel(LiveChannel& channel, const int16_t* samples, int32_t count, int64_t doneMs) {
    session::ReceiverState& state = *channel.State;
    session::CaptureState& capture = state.Capture;
    std::fill(channel.Buffer.begin(), channel.Buffer.end(), 0);
    std::copy(samples, samples + count, channel.Buffer.begin());
    capture.CurrentBufferSamples = count;
    capture.CurrentBufferDoneMs = doneMs;
    capture.NextBlockStart = 0;
    dsp::ResampleBuffer(*state.Chain, state.Settings, state.Controls, state.Hooks,
                        channel.Buffer.data(), count * int32_t(sizeof(int16_t)));
    capture.Inputs.EndBuffer(*state.Chain, count);
    capture.InputSecondsBefore += double(count) / state.Chain->SampleRate;
    capture.CurrentBufferSamples = 0;
    channel.Samples += count;
}

// The stream, read until it ends or `stop` is set, `tick` called between
// reads; false (told) on a read failure.
bool ReadStream(const LiveRequest& request, io::IqFrontEnds& frontEnds, const io::AudioSink& sink,
                const bool& stop, const std::function<void()>& tick) {
    io::RawIqDecoder decoder(request.Type);
    std::vector<uint8_t> bytes(ReadBytes);
    std::vector<io::IqSample> samples;
    pollfd in{STDIN_FILENO, POLLIN, 0};
    while (!stop) {
        QCoreApplication::processEvents();
        tick();
        const int ready = ::poll(&in, 1, PollMs);
        if (ready == 0 || (ready < 0 && errno == EINTR)) continue;
        const ssize_t got = ready < 0 ? -1 : ::read(STDIN_FILENO, bytes.data(), bytes.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            session::ReportEvent(QStringLiteral("cannot read standard input: %1")
                                     .arg(QString::fromLocal8Bit(std::strerror(errno))));
            return false;
        }
        if (got == 0) break;
        samples.clear();
        decoder.Decode(bytes.data(), size_t(got), samples);
        frontEnds.Feed(samples.data(), samples.size(), sink);
    }
    if (decoder.PendingBytes() > 0)
        session::ReportEvent(QStringLiteral("the stream ended inside a sample: its %1 bytes "
                                            "are left out")
                                 .arg(decoder.PendingBytes()));
    return true;
}

// Each channel's folder below `base`, one receiver a carrier.
std::vector<LiveChannel> ChannelsOf(const LiveRequest& request, const QString& base) {
    std::vector<LiveChannel> channels;
    std::set<std::string> names;
    for (const double offset : request.OffsetsHz) {
        LiveChannel c;
        c.OffsetHz = offset;
        c.FrequencyHz = request.CentreHz ? *request.CentreHz + offset : offset;
        const std::string name = ChannelName(c.FrequencyHz);
        if (!names.insert(name).second) {
            session::ReportEvent(HzText(c.FrequencyHz) + QStringLiteral(" is tuned twice; it is "
                                                                        "run once"));
            continue;
        }
        c.Folder = QDir(base).filePath(QString::fromStdString(name));
        channels.push_back(std::move(c));
    }
    return channels;
}

// Where the samples come from, as the input line and the page name it.
QString SourceName(const LiveRequest& request) {
    if (request.Recording)
        return QStringLiteral("IQ recording %1 (%2, %3 samples/s)")
            .arg(QFileInfo(request.Options.Replay).fileName(),
                 QString::fromStdString(request.Recording->Info().SampleTypeName))
            .arg(request.Rate);
    return QStringLiteral("raw IQ on standard input (%1, %2 samples/s)")
        .arg(QString::fromLatin1(io::IqSampleTypeName(request.Type)))
        .arg(request.Rate);
}

QString InputName(const LiveRequest& request, const LiveChannel& channel) {
    return SourceName(request) + QStringLiteral(", ") + HzText(channel.FrequencyHz);
}

// An IQ recording played at the pace it was recorded: a tenth of a second at
// a time, each when its time has come; false (told) on a read error.
bool PlayRecording(io::IqRecordingReader& recording, int rate, io::IqFrontEnds& frontEnds,
                   const io::AudioSink& sink, const bool& stop, const std::function<void()>& tick) {
    std::vector<io::IqSample> samples(size_t(std::max(rate / 10, 1)));
    QElapsedTimer clock;
    clock.start();
    int64_t played = 0;
    while (!stop) {
        QCoreApplication::processEvents();
        tick();
        const int64_t dueMs = played * 1000 / rate;
        if (clock.elapsed() < dueMs) {
            ::poll(nullptr, 0, int(std::min<int64_t>(dueMs - clock.elapsed(), PollMs)));
            continue;
        }
        const int64_t got = recording.Read(samples.data(), int64_t(samples.size()));
        if (got > 0) frontEnds.Feed(samples.data(), size_t(got), sink);
        if (got < 0) {
            session::ReportEvent(QStringLiteral("cannot read %1: %2")
                                     .arg(QString::fromStdString(recording.Info().DataPath),
                                          QString::fromStdString(recording.Error())));
            return false;
        }
        if (got < int64_t(samples.size())) break;
        played += got;
    }
    return true;
}

// A channel's own page on a port of its own (any free one), fed as the
// headless receiver feeds its view: after the first block, then at most once
// a second.  False (told) when it cannot listen.
bool StartChannelView(const LiveRequest& request, LiveChannel& channel) {
    session::ReceiverOptions options = request.Options;
    options.HttpPort = 0;
    options.Log = channel.Folder;
    session::ReceiverState& state = *channel.State;
    channel.View = std::make_unique<web::WebView>(session::WebViewConfigFor(options, state));
    QString error;
    if (!channel.View->Start(error)) {
        session::ReportEvent(error);
        return false;
    }
    session::ReportEvent(HzText(channel.FrequencyHz) + QStringLiteral(": web page at ") +
                         channel.View->Url());
    struct Pace {
        QElapsedTimer SincePublished;
        session::HealthWatch Health;
    };
    auto pace = std::make_shared<Pace>();
    web::WebView& view = *channel.View;
    const QString input = InputName(request, channel);
    state.BlockObservers.push_back([&state, &view, pace, input](const dsp::ChainState& chain) {
        if (pace->SincePublished.isValid() && pace->SincePublished.elapsed() < 1000) return;
        pace->SincePublished.start();
        const display::DisplayState& d = state.Display;
        view.PublishPanels(
            {{d.CorrelationImage.Image(), d.CorrelogramImage.Image(), d.DopplergramImage.Image(),
              d.ScattergramImage.Image(), d.TuneImage.Image()}});
        web::BlockFacts facts = session::BlockFactsOf(state, chain, state.BlockCount + 1, input);
        pace->Health.Fill(state, facts.Health);
        view.PublishBlock(facts);
    });
    return true;
}

// Every channel as the overview page shows it.
web::Overview OverviewOf(const LiveRequest& request, const std::vector<LiveChannel>& channels) {
    web::Overview overview;
    overview.Station = request.Options.Station;
    for (const LiveChannel& c : channels) {
        const session::ReceiverState& state = *c.State;
        const dsp::ChainState& chain = *state.Chain;
        web::OverviewChannel row;
        row.FrequencyHz = c.FrequencyHz;
        const bool nato = chain.ReceiverMode == dsp::ModeNato;
        row.Mode = nato ? QStringLiteral("NATO") : QStringLiteral("AMATEUR");
        row.Blocks = state.BlockCount;
        if (state.BlockCount > 0) {
            const analysis::BlockRow block = analysis::MakeBlockRow(
                chain, state.Acquisition.Quality().Last(), 0, 0.0, &state.Measurement.Last());
            row.Locked = block.Locked;
            row.SnrDb = block.SnrDb;
            // Two baseband samples a symbol.
            row.DelayMs = block.PeakLag * 1000.0 / (2.0 * (nato ? 2400 : 2000));
            row.DopplerHz = block.DopplerHz;
        }
        row.Correlogram = state.Display.CorrelogramImage.Image();
        if (c.View) row.PageUrl = c.View->Url();
        overview.Channels.push_back(std::move(row));
    }
    return overview;
}

// With --http: the overview on the address asked for, each channel's page on
// a free port beside it.  Null when not asked for; false (told) on failure.
bool StartViews(const LiveRequest& request, std::vector<LiveChannel>& channels,
                std::unique_ptr<web::WebView>& overview) {
    if (!request.Options.Http) return true;
    for (LiveChannel& c : channels)
        if (!StartChannelView(request, c)) return false;
    web::WebViewConfig config;
    config.Address = QHostAddress(request.Options.HttpAddress);
    config.Port = request.Options.HttpPort;
    const QString base = QFileInfo(channels.front().Folder).absolutePath();
    config.Folders.push_back({QStringLiteral("channels"), base});
    config.LogFolder = base;
    overview = std::make_unique<web::WebView>(config);
    QString error;
    if (!overview->Start(error)) {
        session::ReportEvent(error);
        return false;
    }
    overview->PublishOverview(OverviewOf(request, channels));
    session::ReportEvent(QStringLiteral("web view at ") + overview->Url());
    return true;
}

int RunChannels(const LiveRequest& request, std::vector<LiveChannel>& channels) {
    const int32_t mode = request.Options.Mode.value_or(dsp::ModeNato);
    std::vector<io::ChannelTuning> tunings;
    for (const LiveChannel& c : channels)
        tunings.push_back({c.OffsetHz, mode, 0.0f});
    std::string error;
    const auto frontEnds = io::IqFrontEnds::Create(request.Rate, tunings, error);
    // A carrier outside the stream's band, or a rate no filter bank serves:
    // the command line asks for what the stream cannot give.
    if (!frontEnds) {
        session::ReportEvent(QString::fromStdString(error));
        return session::ExitUsage;
    }
    for (LiveChannel& c : channels) {
        if (!QDir().mkpath(c.Folder)) {
            session::ReportEvent(QStringLiteral("cannot create %1").arg(c.Folder));
            return session::ExitFailure;
        }
        PrepareChannel(request, c);
        session::ReportEvent(HzText(c.FrequencyHz) + QStringLiteral(": into %1/").arg(c.Folder));
    }
    std::unique_ptr<web::WebView> overview;
    if (!StartViews(request, channels, overview)) return session::ExitFailure;
    session::ReportEvent(
        QStringLiteral("input: %1; %2 receivers, mode %3")
            .arg(SourceName(request))
            .arg(channels.size())
            .arg(mode == dsp::ModeAmateur ? QStringLiteral("AMATEUR") : QStringLiteral("NATO")));

    // The blocks are dated by the samples counted from the first one.
    std::optional<int64_t> startMs = request.Options.StartWallMs;
    const io::AudioSink sink = [&](int32_t index, const int16_t* samples, int32_t count) {
        LiveChannel& c = channels[size_t(index)];
        if (!startMs) startMs = QDateTime::currentMSecsSinceEpoch();
        const double rate = c.State->Chain->SampleRate;
        const auto doneMs = *startMs + int64_t(std::llround((c.Samples + count) * 1000.0 / rate));
        FeedChannel(c, samples, count, doneMs);
    };
    bool stop = false;
    QString why = request.Recording
                      ? QStringLiteral("end of the recording %1").arg(request.Options.Replay)
                      : QStringLiteral("end of input from standard input");
    session::TerminationWatcher watcher([&] {
        stop = true;
        why = QStringLiteral("stopped by ") +
              session::TerminationWatcher::SignalName(watcher.LastSignal());
    });
    QElapsedTimer sincePublished;
    sincePublished.start();
    const auto tick = [&] {
        if (!overview || sincePublished.elapsed() < 1000) return;
        sincePublished.restart();
        overview->PublishOverview(OverviewOf(request, channels));
    };
    const bool read = request.Recording ? PlayRecording(*request.Recording, request.Rate,
                                                        *frontEnds, sink, stop, tick)
                                        : ReadStream(request, *frontEnds, sink, stop, tick);
    if (!stop) frontEnds->Finish(sink);
    for (LiveChannel& c : channels) {
        session::SaveSettingsFile(*c.State);
        session::CloseLog(*c.State);
        session::ReportEvent(
            HzText(c.FrequencyHz) +
            QStringLiteral(": %1 blocks in %2/").arg(c.State->BlockCount).arg(c.Folder));
    }
    session::ReportEvent(read ? why : QStringLiteral("the input failed"));
    return read ? session::ExitSuccess : session::ExitFailure;
}

} // namespace

bool IsLiveIqInput(const QString& input, io::IqSampleType& type) {
    const QStringList parts = input.split(u':');
    return parts.size() == 3 && parts[0] == u"stdin" &&
           io::ParseIqSampleType(parts[2].toStdString(), type);
}

bool AsksLiveIq(const QStringList& arguments) {
    io::IqSampleType type{};
    if (IsLiveIqInput(InputValue(arguments), type)) return true;
    // A replay of a recording that says it is IQ, or is said to be.
    const QString replay = ReplayValue(arguments);
    return !replay.isEmpty() && (arguments.contains(QStringLiteral("--iq")) ||
                                 io::IsIqRecording(replay.toLocal8Bit().toStdString()));
}

int RunIqLive(int argc, char** argv) {
    QCommandLineParser parser;
    LiveRequest request;
    try {
        request = ParseLive(parser, session::Arguments(argc, argv));
    } catch (const session::UsageError& error) {
        std::fprintf(stderr,
                     "propmon: %s\nsee propmon --headless --input stdin:RATE:cs16 --help for "
                     "the usage\n",
                     error.Reason.toLocal8Bit().constData());
        return session::ExitUsage;
    } catch (const ReplayError& error) {
        std::fprintf(stderr, "propmon: %s\n", error.Reason.toLocal8Bit().constData());
        return session::ExitFailure;
    }
    if (request.Help) {
        std::fputs(LiveSynopsis, stdout);
        std::fputs(session::OptionsHelp(LiveOptionList()).toLocal8Bit().constData(), stdout);
        return session::ExitSuccess;
    }
    if (!request.Recording && ::isatty(STDIN_FILENO)) {
        std::fprintf(stderr, "propmon: --input stdin reads samples piped to it, but standard "
                             "input is a terminal\n");
        return session::ExitUsage;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    ReportStart(request.Options.Station);
    const QString base = request.Options.Log.isEmpty() ? QStringLiteral(".") : request.Options.Log;
    const QString reason = session::UnwritableReason(base);
    if (!reason.isEmpty()) {
        session::ReportEvent(
            QStringLiteral("cannot write %1: %2; nothing would be saved").arg(base, reason));
        return session::ExitFailure;
    }
    session::InstanceLock lock;
    QString message;
    const auto outcome = lock.Take(message);
    if (outcome != session::InstanceLock::Outcome::Held) session::ReportEvent(message);
    if (outcome == session::InstanceLock::Outcome::HeldElsewhere) return session::ExitFailure;
    std::vector<LiveChannel> channels = ChannelsOf(request, base);
    return RunChannels(request, channels);
}

} // namespace runners
