// SPDX-License-Identifier: GPL-3.0-or-later
// propmon: the live receiver window, or with --batch a run over a recording
// without a window.
#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "receiver/acquisition/recording_survey.h"
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
    "usage: propmon [--simulate | --replay FILE [--channel C]] [--autosave]\n"
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

    // A recording that cannot be played is reported before any window opens;
    // one that can is listened to in the mode (and of a stereo one the
    // channel) whose signal locks in its first minute.
    const std::string replay = options.replay.toLocal8Bit().toStdString();
    int32_t startMode = rx::ModeNato;
    if (!replay.empty()) {
        std::string error;
        std::optional<rx::ChannelChoice> channel;
        if (!options.channelAuto) channel = options.channel;
        const auto choice = rx::ChooseModeAndChannel(replay, 0, channel, rx::TrialSeconds, error);
        if (!choice) {
            std::fprintf(stderr, "propmon: %s\n", error.c_str());
            return propmon::ExitFailure;
        }
        std::fprintf(stderr, "%s\n", rx::ChoiceLine(*choice).c_str());
        options.channel = choice->Channel;
        startMode = choice->Mode;
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

    cap::WaveInput wave(true);
    state.Capture.DeviceId = propmon::ConfigureInputs(wave, options, state.Capture.DeviceId);

    propmon::MainWindow window(state, wave);
    window.StartInMode(startMode);
    propmon::TerminationWatcher watcher([&window] { window.EndWindow(); });
    window.Run();
    return propmon::ExitSuccess;
}
