// SPDX-License-Identifier: GPL-3.0-or-later
// propmon: the live receiver window, or with --batch a run over a recording
// without a window.
#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include "receiver/app/batch.h"
#include "receiver/app/command_line.h"
#include "receiver/app/inputs.h"
#include "receiver/app/main_window.h"
#include "receiver/app/receiver_state.h"
#include "receiver/app/termination.h"
#include "receiver/capture/wave_input.h"
#include "receiver/recording/recording.h"

#ifndef PROPMON_VERSION
#define PROPMON_VERSION "0"
#endif

namespace {

constexpr const char* WindowSynopsis =
    "usage: propmon [--simulate | --replay FILE [--channel left|right|mix] |\n"
    "                --input udp:[ADDR:]PORT[@RATE] | --input stdin:RATE[:s16|f32]]\n"
    "               [--autosave] [--reconnect]\n"
    "       propmon --batch FILE (--out DIR | --csv OUT.csv) ...\n"
    "                                  (see propmon --batch --help)\n"
    "       propmon --help | --version\n"
    "\n";

constexpr const char* WindowFiles =
    "\n"
    "Settings are kept in Stanag4285.set in the current directory; gram snapshots\n"
    "go to Correlograms/, Dopplergrams/ and Scattergrams/ below it.\n";

constexpr const char* NoWindowHint = "use --batch to process a recording without a window";

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

// PROPMON_SOUND_SYSTEM=qt (or pulse) makes one sound system take the sound cards
// whatever answers; without it PulseAudio/PipeWire is used where a server runs.
cap::SoundSystemChoice SoundSystemFromEnvironment() {
    const QByteArray choice = qgetenv("PROPMON_SOUND_SYSTEM");
    if (choice == "qt") return cap::SoundSystemChoice::QtMultimedia;
    if (choice == "pulse") return cap::SoundSystemChoice::PulseAudio;
    return cap::SoundSystemChoice::Automatic;
}

} // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--batch") == 0) return propmon::RunBatch(argc, argv);
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

    // A recording that cannot be played is reported before any window opens.
    const std::string replay = options.replay.toLocal8Bit().toStdString();
    if (!replay.empty()) {
        std::string error;
        const auto reader = rx::RecordingReader::Open(replay, 0, options.channel, error);
        if (!reader) {
            std::fprintf(stderr, "propmon: %s\n", error.c_str());
            return propmon::ExitFailure;
        }
        // Every start is in the NATO mode; an AMATEUR recording plays at its
        // own rate once that mode is chosen.
        if (reader->Info().fileRate == 8000)
            std::fprintf(stderr,
                         "propmon: %s has 8000 samples/s: choose Tools > AMATEUR to hear it at "
                         "2000 baud\n",
                         replay.c_str());
    }

    // Samples piped in, not typed: a terminal on standard input is a mistake.
    if (options.input.kind == cap::StreamSpec::Kind::Stdin && isatty(STDIN_FILENO)) {
        std::fprintf(stderr,
                     "propmon: --input stdin reads samples piped to it, but standard input is a "
                     "terminal\n%s",
                     Usage().c_str());
        return propmon::ExitUsage;
    }

    if (!DisplayNamed()) {
        std::fprintf(stderr, "propmon: no display (DISPLAY and WAYLAND_DISPLAY are unset); %s\n",
                     NoWindowHint);
        return propmon::ExitFailure;
    }
    const std::unique_ptr<QApplication> app = MakeApplication(argc, argv);

    // The state brings the chain's CaptureBlock and the fonts; then the
    // settings file, the signal parameters and the rest of the state.
    propmon::ReceiverState state;
    propmon::PrepareReceiver(state);
    if (options.autosave) {
        state.Display.AutoSaveCorrelogram = rx::SwitchOn;
        state.Display.AutoSaveDopplergram = rx::SwitchOn;
        state.Display.AutoSaveScattergram = rx::SwitchOn;
    }

    // Events of the inputs (losses, returns, the end of a stream): one line each.
    const auto report = [](const std::string& line) {
        std::fprintf(stderr, "propmon: %s\n", line.c_str());
        std::fflush(stderr);
    };
    propmon::MainWindow* shown = nullptr;
    cap::StreamReports reports;
    reports.Event = report;
    reports.Status = [&shown](const QString& text) {
        if (shown) shown->SetStatus(propmon::StatusField::Stream, text);
    };

    cap::WaveInput wave(true, SoundSystemFromEnvironment());
    state.Capture.Reconnect = options.reconnect;
    state.Capture.DeviceId =
        propmon::ConfigureInputs(wave, options, state.Capture.DeviceId, reports);

    propmon::MainWindow window(state, wave);
    shown = &window;
    window.EventReport = report;
    propmon::TerminationWatcher watcher([&window] { window.EndWindow(); });
    window.Run();
    return propmon::ExitSuccess;
}
