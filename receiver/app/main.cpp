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
#include "receiver/recording/recording.h"

#ifndef PROPMON_VERSION
#define PROPMON_VERSION "0"
#endif

namespace {

constexpr const char* WindowUsage =
    "usage: propmon [--simulate | --replay FILE [--channel left|right|mix]] [--autosave]\n"
    "       propmon --batch FILE (--out DIR | --csv OUT.csv) ...\n"
    "                                  (see propmon --batch --help)\n"
    "       propmon --help | --version\n"
    "\n"
    "  --simulate      listen to the built-in STANAG 4285 test signal\n"
    "  --replay FILE   listen to a recording played at real-time pace; any\n"
    "                  WAV/FLAC at any rate, converted to the mode's rate\n"
    "                  (9600 samples/s NATO, 8000 AMATEUR)\n"
    "  --channel C     of a stereo recording: left (default), right or mix\n"
    "  --autosave      start with all three gram auto-saves on\n"
    "\n"
    "Settings are kept in Stanag4285.set in the current directory; gram snapshots\n"
    "go to Correlograms/, Dopplergrams/ and Scattergrams/ below it.\n";

struct WindowOptions {
    bool simulate = false;
    bool autosave = false;
    std::string replay;
    rx::ChannelChoice channel = rx::ChannelChoice::Left;
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
        } else if (arg == "--channel" && i + 1 < argc &&
                   rx::ParseChannelChoice(argv[i + 1], options.channel)) {
            ++i;
        } else if (arg == "--channel") {
            std::fprintf(stderr, "propmon: --channel is left, right or mix, not '%s'\n%s",
                         i + 1 < argc ? argv[i + 1] : "", WindowUsage);
            return 2;
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
        std::string error;
        const auto reader = rx::RecordingReader::Open(options.replay, 0, options.channel, error);
        if (!reader) {
            std::fprintf(stderr, "propmon: %s\n", error.c_str());
            return 1;
        }
        // Every start is in the NATO mode; an AMATEUR recording plays at its
        // own rate once that mode is chosen.
        if (reader->Info().fileRate == 8000)
            std::fprintf(stderr,
                         "propmon: %s has 8000 samples/s: choose Tools > AMATEUR to hear it at "
                         "2000 baud\n",
                         options.replay.c_str());
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
        state.Capture.DeviceId = wave.AddDevice(std::make_unique<cap::RecordingDevice>(
            QString::fromLocal8Bit(options.replay.c_str()), options.channel));

    propmon::MainWindow window(state, wave);
    propmon::TerminationWatcher watcher([&window] { window.EndWindow(); });
    window.Run();
    return 0;
}
