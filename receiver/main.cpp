// SPDX-License-Identifier: GPL-3.0-or-later
// propmon: the live receiver window; with --headless the same receiver
// without a window; with --batch a run over a recording.
#include <QApplication>
#include <QDir>
#include <QGuiApplication>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "receiver/analysis/recording_survey.h"
#include "receiver/io/recording.h"
#include "receiver/io/wave_input.h"
#include "receiver/runners/batch.h"
#include "receiver/runners/block_painting.h"
#include "receiver/runners/headless.h"
#include "receiver/runners/iq_batch.h"
#include "receiver/runners/iq_live.h"
#include "receiver/session/command_line.h"
#include "receiver/session/events.h"
#include "receiver/session/inputs.h"
#include "receiver/session/instance_lock.h"
#include "receiver/session/preferences.h"
#include "receiver/session/receiver_state.h"
#include "receiver/session/termination.h"
#include "receiver/session/web_attach.h"
#include "receiver/ui/main_window.h"

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
    "       propmon --headless --input stdin:RATE:cu8|cs16|cf32 (--tune HZ | --offset HZ)...\n"
    "                [--centre HZ] [the same options] (see propmon --headless --input\n"
    "                stdin:RATE:cs16 --help)\n"
    "       propmon --list-devices [--simulate | --replay FILE]\n"
    "       propmon --batch FILE (--out DIR | --csv OUT.csv) ...\n"
    "       propmon --batch FILE|FOLDER... (--out DIR | --csv DIR) [--jobs N] ...\n"
    "       propmon --batch IQFILE [--tune HZ|all]... (--out DIR | --csv DIR) ...\n"
    "                                  (see propmon --batch --help)\n"
    "       propmon --find-signals IQFILE [--iq] [--centre HZ]\n"
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

// What follows the one line of a usage error.
constexpr const char* SeeHelp = "see propmon --help for the usage";

std::string Usage() {
    return WindowSynopsis + session::OptionsHelp(session::ReceiverOptionList()).toStdString() +
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
    QtMsgType Type;
    QByteArray Category;
    QString Text;
};
std::vector<HeldMessage>* HeldMessages = nullptr;

void HoldMessage(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (type == QtFatalMsg) {
        std::fprintf(stderr, "propmon: cannot open a window on this display; %s\n", NoWindowHint);
        std::fflush(stderr);
        std::_Exit(session::ExitFailure);
    }
    if (HeldMessages) HeldMessages->push_back({type, QByteArray(context.category), text});
}

std::unique_ptr<QApplication> MakeApplication(int& argc, char** argv) {
    std::vector<HeldMessage> held;
    HeldMessages = &held;
    const QtMessageHandler previous = qInstallMessageHandler(HoldMessage);
    auto app = std::make_unique<QApplication>(argc, argv);
    qInstallMessageHandler(previous);
    HeldMessages = nullptr;
    for (const HeldMessage& message : held) {
        const QMessageLogContext context(nullptr, 0, nullptr, message.Category.constData());
        qt_message_output(message.Type, context, message.Text);
    }
    return app;
}

// Events of the inputs (losses, returns, the end of a stream), one line each;
// the window also shows the stream's counts in its status line.
io::StreamReports InputReports(std::function<void(const QString&)> status = {}) {
    io::StreamReports reports;
    reports.Event = [](const std::string& line) {
        session::ReportEvent(QString::fromStdString(line));
    };
    reports.Status = std::move(status);
    return reports;
}

// One receiver per folder: false (told) when another one runs here; a lock
// that cannot be made (a read-only folder) is told and the receiver runs on.
bool TakeFolder(session::InstanceLock& lock) {
    QString message;
    const session::InstanceLock::Outcome outcome = lock.Take(message);
    if (outcome != session::InstanceLock::Outcome::Held) session::ReportEvent(message);
    return outcome != session::InstanceLock::Outcome::HeldElsewhere;
}

// The web view when --http asks for it, its address told; nullptr (the
// reason told) when it cannot listen.
std::unique_ptr<web::WebView> StartWebViewAsked(const session::ReceiverOptions& options,
                                                session::ReceiverState& state,
                                                const io::WaveInput& wave) {
    if (!options.Http) return nullptr;
    QString error;
    std::unique_ptr<web::WebView> view = session::StartWebView(options, state, wave, error);
    session::ReportEvent(view ? QStringLiteral("web view at ") + view->Url() : error);
    return view;
}

// Qt wants a private runtime folder and warns on every start where
// XDG_RUNTIME_DIR is not set (a service, a cron job): one is given, the one
// Qt would take itself, when it is ours and private.
void PrivateRuntimeFolder() {
    if (!qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR")) return;
    const QByteArray folder = "/tmp/runtime-" + QByteArray::number(::getuid());
    ::mkdir(folder.constData(), 0700);
    struct stat info {};
    if (::lstat(folder.constData(), &info) == 0 && S_ISDIR(info.st_mode) &&
        info.st_uid == ::getuid() && (info.st_mode & 0777) == 0700)
        qputenv("XDG_RUNTIME_DIR", folder);
}

// The receiver without a window: the offscreen platform draws the grams, so
// neither a display nor QT_QPA_PLATFORM is needed.
int RunWithoutWindow(int argc, char** argv, const session::ReceiverOptions& options) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    PrivateRuntimeFolder();
    QGuiApplication app(argc, argv);
    runners::ReportStart(options.Station);
    // A station that cannot save what it measures is not running: said in
    // one line, and the service manager sees the failure.
    for (const QString& folder : {QStringLiteral("."), options.Log}) {
        if (folder.isEmpty()) continue;
        const QString reason = session::UnwritableReason(folder);
        if (reason.isEmpty()) continue;
        session::ReportEvent(QStringLiteral("cannot write %1 %2: %3; nothing would be saved")
                                 .arg(folder == u"." ? QStringLiteral("the working folder")
                                                     : QStringLiteral("the log folder"),
                                      folder == u"." ? QDir::currentPath() : folder, reason));
        return session::ExitFailure;
    }
    session::InstanceLock lock;
    if (!TakeFolder(lock)) return session::ExitFailure;

    session::ReceiverState state;
    session::PrepareReceiver(state);
    session::ApplyReceiverOptions(state, options);
    session::CheckSettingsFile(state);
    // The sound cards are looked up only when one may be the input.
    const bool soundCards = !options.Simulate && options.Replay.isEmpty() &&
                            options.Input.Kind == io::StreamInput::Kind::None;
    io::WaveInput wave(soundCards, session::SoundSystemFromEnvironment());
    try {
        state.Capture.DeviceId =
            session::ConfigureInputs(wave, options, state.Capture.DeviceId, InputReports());
    } catch (const session::InputError& error) {
        session::ReportEvent(error.Reason);
        return session::ExitFailure;
    }
    const std::unique_ptr<web::WebView> webView = StartWebViewAsked(options, state, wave);
    if (options.Http && !webView) return session::ExitFailure;
    return runners::RunHeadless(state, wave);
}

int ListDevices(int argc, char** argv, const session::ReceiverOptions& options) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    PrivateRuntimeFolder();
    QGuiApplication app(argc, argv);
    io::WaveInput wave(true, session::SoundSystemFromEnvironment());
    session::ReceiverOptions inputs = options;
    inputs.Device.clear();
    inputs.Input = {}; // listing opens no socket and reads no pipe
    session::ConfigureInputs(wave, inputs, 0);
    for (const QString& line : session::DeviceList(wave))
        std::printf("%s\n", line.toLocal8Bit().constData());
    return session::ExitSuccess;
}

// The receiver's command line read into `options`; an exit status where
// nothing is left to do (help, version, bad usage).
std::optional<int> ReadCommandLine(int argc, char** argv, session::ReceiverOptions& options) {
    QCommandLineParser parser;
    try {
        const session::CommandLineRequest request = session::ParseCommandLine(
            parser, session::ReceiverOptionList(), session::Arguments(argc, argv));
        if (request.Help) {
            std::fputs(Usage().c_str(), stdout);
            return session::ExitSuccess;
        }
        if (request.Version) {
            std::printf("propmon %s\n", PROPMON_VERSION);
            return session::ExitSuccess;
        }
        options = session::TakeReceiverOptions(parser);
        if (options.StationNamed) session::SetReportStation(options.Station);
    } catch (const session::UsageError& error) {
        std::fprintf(stderr, "propmon: %s\n%s\n", error.Reason.toLocal8Bit().constData(), SeeHelp);
        return session::ExitUsage;
    }
    return std::nullopt;
}

// A recording that cannot be played is reported before any window opens; one
// that can is listened to in the mode (and of a stereo one the channel) whose
// signal locks in its first minute.  False when it cannot be played.
bool ChooseReplayMode(session::ReceiverOptions& options) {
    const std::string replay = options.Replay.toLocal8Bit().toStdString();
    if (replay.empty()) return true;
    std::string error;
    std::optional<io::ChannelChoice> channel;
    if (!options.ChannelAuto) channel = options.Channel;
    const auto choice = analysis::ChooseModeAndChannel(replay, options.Mode.value_or(0), channel,
                                                       analysis::TrialSeconds, error);
    if (!choice) {
        std::fprintf(stderr, "propmon: %s\n", error.c_str());
        return false;
    }
    std::fprintf(stderr, "%s\n", analysis::ChoiceLine(*choice).c_str());
    options.Channel = choice->Channel;
    options.Mode = choice->Mode;
    return true;
}

int RunWithWindow(int argc, char** argv, const session::ReceiverOptions& options) {
    if (!DisplayNamed()) {
        std::fprintf(stderr, "propmon: no display (DISPLAY and WAYLAND_DISPLAY are unset); %s\n",
                     NoWindowHint);
        return session::ExitFailure;
    }
    const std::unique_ptr<QApplication> app = MakeApplication(argc, argv);

    session::InstanceLock lock;
    if (!TakeFolder(lock)) return session::ExitFailure;

    // The state brings the chain's CaptureBlock and the fonts; then the
    // settings file, the signal parameters and the rest of the state, what
    // the window remembers, and what the command line asks for.
    session::ReceiverState state;
    session::PrepareReceiver(state);
    const QString rememberedInput = session::RestorePreferences(state);
    session::ApplyReceiverOptions(state, options);
    session::CheckSettingsFile(state);

    ui::MainWindow* shown = nullptr;
    const io::StreamReports reports = InputReports([&shown](const QString& text) {
        if (shown) shown->SetStatus(ui::StatusField::Stream, text);
    });
    io::WaveInput wave(true, session::SoundSystemFromEnvironment());
    const int32_t remembered = session::DeviceNamed(wave, rememberedInput);
    try {
        state.Capture.DeviceId = session::ConfigureInputs(
            wave, options, remembered >= 0 ? remembered : state.Capture.DeviceId, reports);
    } catch (const session::InputError& error) {
        session::ReportEvent(error.Reason);
        return session::ExitFailure;
    }

    const std::unique_ptr<web::WebView> webView = StartWebViewAsked(options, state, wave);
    if (options.Http && !webView) return session::ExitFailure;

    ui::MainWindow window(state, wave);
    shown = &window;
    window.EventReport = reports.Event;
    session::TerminationWatcher watcher([&window] { window.EndWindow(); });
    window.Run();
    session::CloseLog(state);
    wave.DeviceCount();
    session::SavePreferences(state, wave.DeviceName(state.Capture.DeviceId));
    return session::ExitSuccess;
}

} // namespace

int main(int argc, char** argv) {
    runners::UsePainters();
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--batch") == 0 || std::strncmp(argv[i], "--batch=", 8) == 0)
            return runners::RunBatch(argc, argv);
        if (std::strcmp(argv[i], "--find-signals") == 0 ||
            std::strncmp(argv[i], "--find-signals=", 15) == 0)
            return runners::RunFindSignals(argc, argv);
    }
    // Raw IQ piped in: one receiver per carrier tuned.
    if (runners::AsksLiveIq(session::Arguments(argc, argv))) {
        PrivateRuntimeFolder();
        return runners::RunIqLive(argc, argv);
    }
    session::ReceiverOptions options;
    if (const std::optional<int> status = ReadCommandLine(argc, argv, options)) return *status;
    if (!ChooseReplayMode(options)) return session::ExitFailure;

    // Samples piped in, not typed: a terminal on standard input is a mistake.
    if (options.Input.Kind == io::StreamInput::Kind::Stdin && isatty(STDIN_FILENO)) {
        std::fprintf(stderr,
                     "propmon: --input stdin reads samples piped to it, but standard input is a "
                     "terminal\n%s\n",
                     SeeHelp);
        return session::ExitUsage;
    }
    if (options.ListDevices) return ListDevices(argc, argv, options);
    if (options.Headless) return RunWithoutWindow(argc, argv, options);
    return RunWithWindow(argc, argv, options);
}
