// propmon: the live receiver window, or with --batch a run over a recording
// without a window.
#include <QApplication>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "receiver/app/batch.h"
#include "receiver/app/main_window.h"
#include "receiver/app/receiver_state.h"
#include "receiver/app/termination.h"
#include "receiver/capture/paced_devices.h"
#include "receiver/capture/wave_input.h"

#ifndef PROPMON_VERSION
#define PROPMON_VERSION "0"
#endif

namespace {

constexpr const char* WindowUsage =
    "usage: propmon [--simulate | --replay FILE] [--autosave]\n"
    "       propmon --batch FILE ...   (see propmon --batch --help)\n"
    "       propmon --help | --version\n"
    "\n"
    "  --simulate      listen to the built-in STANAG 4285 test signal\n"
    "  --replay FILE   listen to a recording (9600 samples/s for NATO mode,\n"
    "                  8000 for AMATEUR), played at real-time pace\n"
    "  --autosave      start with all three gram auto-saves on\n"
    "\n"
    "Settings are kept in Stanag4285.set in the current directory; gram snapshots\n"
    "go to Correlograms/, Dopplergrams/ and Scattergrams/ below it.\n";

struct WindowOptions {
    bool simulate = false;
    bool autosave = false;
    std::string replay;
};

} // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--batch") == 0) return propmon::RunBatch(argc, argv);
    }

    WindowOptions options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(WindowUsage, stdout);
            return 0;
        }
        if (arg == "--version") {
            std::printf("propmon %s\n", PROPMON_VERSION);
            return 0;
        }
        if (arg == "--simulate") {
            options.simulate = true;
        } else if (arg == "--autosave") {
            options.autosave = true;
        } else if (arg == "--replay" && i + 1 < argc) {
            options.replay = argv[++i];
        } else {
            std::fprintf(stderr, "propmon: %s '%s'\n%s",
                         arg == "--replay" ? "--replay needs a file" : "unknown option",
                         arg.c_str(), WindowUsage);
            return 2;
        }
    }
    if (options.simulate && !options.replay.empty()) {
        std::fprintf(stderr, "propmon: choose either --simulate or --replay\n%s", WindowUsage);
        return 2;
    }

    // A recording that cannot be played is reported before any window opens.
    if (!options.replay.empty()) {
        const cap::RecordingInfo info =
            cap::InspectRecording(QString::fromLocal8Bit(options.replay.c_str()));
        if (!info.Readable) {
            std::fprintf(stderr, "propmon: %s\n", qPrintable(info.Error));
            return 1;
        }
        if (info.SampleRate != 9600)
            std::fprintf(stderr,
                         "propmon: %s has %d samples/s; it plays only in a mode of that rate "
                         "(9600 NATO, 8000 AMATEUR)\n",
                         options.replay.c_str(), info.SampleRate);
    }

    QApplication app(argc, argv);

    // Start-up: the chain's CaptureBlock and the fonts come with the state,
    // then the settings file, the signal parameters and the rest of the state.
    propmon::ReceiverState state;
    propmon::PrepareReceiver(state);
    if (options.autosave) {
        state.Display.AutoSaveCorrelogram = rx::SwitchOn;
        state.Display.AutoSaveDopplergram = rx::SwitchOn;
        state.Display.AutoSaveScattergram = rx::SwitchOn;
    }

    cap::WaveInput wave(true);
    if (options.simulate)
        state.Capture.DeviceId = wave.AddDevice(std::make_unique<cap::TestSignalDevice>());
    if (!options.replay.empty())
        state.Capture.DeviceId = wave.AddDevice(
            std::make_unique<cap::RecordingDevice>(QString::fromLocal8Bit(options.replay.c_str())));

    propmon::MainWindow window(state, wave);
    propmon::TerminationWatcher watcher([&window] { window.EndWindow(); });
    window.Run();
    return 0;
}
