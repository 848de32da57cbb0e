// SPDX-License-Identifier: GPL-3.0-or-later
// propmon: the live receiver window; with --headless the same receiver
// without a window; with --batch a run over a recording.
#include <QApplication>
#include <QGuiApplication>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <unistd.h>

#include "receiver/acquisition/recording_survey.h"
#include "receiver/app/batch.h"
#include "receiver/app/command_line.h"
#include "receiver/app/inputs.h"
#include "receiver/app/main_window.h"
#include "receiver/app/preferences.h"
#include "receiver/app/receiver_state.h"
#include "receiver/app/termination.h"
#include "receiver/app/web_attach.h"
#include "receiver/capture/wave_input.h"
#include "receiver/recording/recording.h"
#include "receiver/station/events.h"
#include "receiver/station/headless.h"
#include "receiver/station/instance_lock.h"

#ifndef PROPMON_VERSION
#define PROPMON_VERSION "0"
#endif

namespace {

constexpr const char* WindowSynopsis =
    "usage: propmon [--simulate | --replay FILE [--channel C] | --device TEXT |\n"
    "                --input udp:[ADDR:]PORT[@RATE] | --input stdin:RATE[:s16|f32]]\n"
    "               [--mode M] [--average K] [--lag-offset N|auto] [--clock-ppm N|auto]\n"
    "               [--autosave]\n"
    "               [--log DIR] [--utc] [--dated-names] [--reconnect] [--http [ADDR:]PORT]\n"
    "       propmon --headless [the same options]\n"
    "       propmon --list-devices [--simulate | --replay FILE]\n"
    "       propmon --batch FILE (--out DIR | --csv OUT.csv) ...\n"
    "       propmon --batch FILE|FOLDER... (--out DIR | --csv DIR) [--jobs N] ...\n"
    "                                  (see propmon --batch --help)\n"
    "       propmon --help | --version\n"
    "\n";

constexpr const char* WindowFiles =
    "\n"
    "Settings are kept in Stanag4285.set in the current directory; gram snapshots\n"
    "go to Correlograms/, Dopplergrams/ and Scattergrams/ below it (a picture of an\n"
    "earlier day that a new one would replace moves to a subfolder named by its\n"
    "day, e.g. Correlograms/2026-12-07/).  One receiver per folder: .propmon.lock.\n"
    "The window remembers its mode, input, auto-saves and K in\n"
    "~/.config/propmon/propmon.conf; options given here win.  With --http the web\n"
    "view shows the panels, the last block's numbers, plots of the live log and\n"
    "those folders; it has no login: give ADDR only on a trusted network (or reach\n"
    "it through an SSH tunnel).  Exit status: 0 success, 1 failure (one line on\n"
    "stderr), 2 bad usage.\n";

constexpr const char* NoWindowHint =
    "use --headless to run the receiver, or --batch to process a recording, without a window";

std::string Usage() {
    return WindowSynopsis + propmon::OptionsHelp(propmon::ReceiverOptionList()).toStdString() +
           WindowFiles;
}

// Qt ends the program (abort, exit status 134) when no platform plugin can
// open a window.  Where no display is named at all, say so before trying.
bool DisplayNamed() {
    return !qEnvironmentVariableIsEmpty("DISPLAY") ||
           !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") ||
           !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
}

// While the application object is made, Qt's messages wait here: a named
// display that cannot be reached ends in one line of ours, not in an abort
// and a page of plugin advice; otherwise they are passed on as they came.
struct HeldMessage {
    QtMsgType type;
    QByteArray category;
    QString text;
};
std::vector<HeldMessage>* heldMessages = nullptr;

void HoldMessage(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (type == QtFatalMsg) {
        std::fprintf(stderr, "propmon: cannot open a window on this display; %s\n", NoWindowHint);
        std::fflush(stderr);
        std::_Exit(propmon::ExitFailure);
    }
    if (heldMessages) heldMessages->push_back({type, QByteArray(context.category), text});
}

std::unique_ptr<QApplication> MakeApplication(int& argc, char** argv) {
    std::vector<HeldMessage> held;
    heldMessages = &held;
    const QtMessageHandler previous = qInstallMessageHandler(HoldMessage);
    auto app = std::make_unique<QApplication>(argc, argv);
    qInstallMessageHandler(previous);
    heldMessages = nullptr;
    for (const HeldMessage& message : held) {
        const QMessageLogContext context(nullptr, 0, nullptr, message.category.constData());
        qt_message_output(message.type, context, message.text);
    }
    return app;
}

// Events of the inputs (losses, returns, the end of a stream), one line each;
// the window also shows the stream's counts in its status line.
cap::StreamReports InputReports(std::function<void(const QString&)> status = {}) {
    cap::StreamReports reports;
    reports.Event = [](const std::string& line) {
        station::ReportEvent(QString::fromStdString(line));
    };
    reports.Status = std::move(status);
    return reports;
}

// One receiver per folder: false (told) when another one runs here; a lock
// that cannot be made (a read-only folder) is told and the receiver runs on.
bool TakeFolder(station::InstanceLock& lock) {
    QString message;
    const station::InstanceLock::Outcome outcome = lock.Take(message);
    if (outcome != station::InstanceLock::Outcome::Held) station::ReportEvent(message);
    return outcome != station::InstanceLock::Outcome::HeldElsewhere;
}

// The web view when --http asks for it, its address told; nullptr (the
// reason told) when it cannot listen.
std::unique_ptr<web::WebView> StartWebViewAsked(const propmon::ReceiverOptions& options,
                                                propmon::ReceiverState& state,
                                                const cap::WaveInput& wave) {
    if (!options.http) return nullptr;
    QString error;
    std::unique_ptr<web::WebView> view = propmon::StartWebView(options, state, wave, error);
    station::ReportEvent(view ? QStringLiteral("web view at ") + view->Url() : error);
    return view;
}

// The receiver without a window: the offscreen platform draws the grams, so
// neither a display nor QT_QPA_PLATFORM is needed.
int RunWithoutWindow(int argc, char** argv, const propmon::ReceiverOptions& options) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    station::ReportStart();
    station::InstanceLock lock;
    if (!TakeFolder(lock)) return propmon::ExitFailure;

    propmon::ReceiverState state;
    propmon::PrepareReceiver(state);
    propmon::ApplyReceiverOptions(state, options);
    propmon::CheckSettingsFile(state);
    // The sound cards are looked up only when one may be the input.
    const bool soundCards = !options.simulate && options.replay.isEmpty() &&
                            options.input.kind == cap::StreamSpec::Kind::None;
    cap::WaveInput wave(soundCards, propmon::SoundSystemFromEnvironment());
    try {
        state.Capture.DeviceId =
            propmon::ConfigureInputs(wave, options, state.Capture.DeviceId, InputReports());
    } catch (const propmon::InputError& error) {
        station::ReportEvent(error.reason);
        return propmon::ExitFailure;
    }
    const std::unique_ptr<web::WebView> webView = StartWebViewAsked(options, state, wave);
    if (options.http && !webView) return propmon::ExitFailure;
    return station::RunHeadless(state, wave);
}

int ListDevices(int argc, char** argv, const propmon::ReceiverOptions& options) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    cap::WaveInput wave(true, propmon::SoundSystemFromEnvironment());
    propmon::ReceiverOptions inputs = options;
    inputs.device.clear();
    inputs.input = {}; // listing opens no socket and reads no pipe
    propmon::ConfigureInputs(wave, inputs, 0);
    for (const QString& line : propmon::DeviceList(wave))
        std::printf("%s\n", line.toLocal8Bit().constData());
    return propmon::ExitSuccess;
}

} // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--batch") == 0 || std::strncmp(argv[i], "--batch=", 8) == 0)
            return propmon::RunBatch(argc, argv);
    }

    QCommandLineParser parser;
    propmon::ReceiverOptions options;
    try {
        const propmon::CommandLineRequest request = propmon::ParseCommandLine(
            parser, propmon::ReceiverOptionList(), propmon::Arguments(argc, argv));
        if (request.help) {
            std::fputs(Usage().c_str(), stdout);
            return propmon::ExitSuccess;
        }
        if (request.version) {
            std::printf("propmon %s\n", PROPMON_VERSION);
            return propmon::ExitSuccess;
        }
        options = propmon::TakeReceiverOptions(parser);
    } catch (const propmon::UsageError& error) {
        std::fprintf(stderr, "propmon: %s\n%s", error.reason.toLocal8Bit().constData(),
                     Usage().c_str());
        return propmon::ExitUsage;
    }

    // A recording that cannot be played is reported before any window opens;
    // one that can is listened to in the mode (and of a stereo one the
    // channel) whose signal locks in its first minute.
    const std::string replay = options.replay.toLocal8Bit().toStdString();
    if (!replay.empty()) {
        std::string error;
        std::optional<rx::ChannelChoice> channel;
        if (!options.channelAuto) channel = options.channel;
        const auto choice = rx::ChooseModeAndChannel(replay, options.mode.value_or(0), channel,
                                                     rx::TrialSeconds, error);
        if (!choice) {
            std::fprintf(stderr, "propmon: %s\n", error.c_str());
            return propmon::ExitFailure;
        }
        std::fprintf(stderr, "%s\n", rx::ChoiceLine(*choice).c_str());
        options.channel = choice->Channel;
        options.mode = choice->Mode;
    }

    // Samples piped in, not typed: a terminal on standard input is a mistake.
    if (options.input.kind == cap::StreamSpec::Kind::Stdin && isatty(STDIN_FILENO)) {
        std::fprintf(stderr,
                     "propmon: --input stdin reads samples piped to it, but standard input is a "
                     "terminal\n%s",
                     Usage().c_str());
        return propmon::ExitUsage;
    }
    if (options.listDevices) return ListDevices(argc, argv, options);
    if (options.headless) return RunWithoutWindow(argc, argv, options);

    if (!DisplayNamed()) {
        std::fprintf(stderr, "propmon: no display (DISPLAY and WAYLAND_DISPLAY are unset); %s\n",
                     NoWindowHint);
        return propmon::ExitFailure;
    }
    const std::unique_ptr<QApplication> app = MakeApplication(argc, argv);

    station::InstanceLock lock;
    if (!TakeFolder(lock)) return propmon::ExitFailure;

    // The state brings the chain's CaptureBlock and the fonts; then the
    // settings file, the signal parameters and the rest of the state, what
    // the window remembers, and what the command line asks for.
    propmon::ReceiverState state;
    propmon::PrepareReceiver(state);
    const QString rememberedInput = propmon::RestorePreferences(state);
    propmon::ApplyReceiverOptions(state, options);
    propmon::CheckSettingsFile(state);

    propmon::MainWindow* shown = nullptr;
    const cap::StreamReports reports = InputReports([&shown](const QString& text) {
        if (shown) shown->SetStatus(propmon::StatusField::Stream, text);
    });
    cap::WaveInput wave(true, propmon::SoundSystemFromEnvironment());
    const int32_t remembered = propmon::DeviceNamed(wave, rememberedInput);
    try {
        state.Capture.DeviceId = propmon::ConfigureInputs(
            wave, options, remembered >= 0 ? remembered : state.Capture.DeviceId, reports);
    } catch (const propmon::InputError& error) {
        station::ReportEvent(error.reason);
        return propmon::ExitFailure;
    }

    const std::unique_ptr<web::WebView> webView = StartWebViewAsked(options, state, wave);
    if (options.http && !webView) return propmon::ExitFailure;

    propmon::MainWindow window(state, wave);
    shown = &window;
    window.EventReport = reports.Event;
    propmon::TerminationWatcher watcher([&window] { window.EndWindow(); });
    window.Run();
    wave.DeviceCount();
    propmon::SavePreferences(state, wave.DeviceName(state.Capture.DeviceId));
    return propmon::ExitSuccess;
}
