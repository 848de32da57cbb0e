// SPDX-License-Identifier: GPL-3.0-or-later
// Pictures of the receiver window for the documentation:
//   propmon_screenshot OUT.png               the window as it opens
//   propmon_screenshot OUT.png --blocks N    after N blocks of the built-in
//                                            test signal, fed faster than real time
// Runs with a silent scripted input so nothing but the fed blocks reaches the
// chain; settings are neither read nor written.
#include <QApplication>
#include <QDir>
#include <QTemporaryDir>
#include <QTime>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "receiver/io/tests/scripted_device.h"
#include "receiver/session/receiver_state.h"
#include "receiver/ui/main_window.h"
#include "s4285gen/s4285gen.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: propmon_screenshot OUT.png [--blocks N]\n");
        return 2;
    }
    const QString out = QString::fromLocal8Bit(argv[1]);
    long blocks = 0;
    if (argc >= 4 && std::strcmp(argv[2], "--blocks") == 0) blocks = std::atol(argv[3]);

    QApplication app(argc, argv);
    QTemporaryDir scratch;
    session::ReceiverState state;
    state.SettingsPath = (scratch.path() + "/Stanag4285.set").toStdString();
    state.Display.SnapshotFolder = scratch.path();
    session::PrepareReceiver(state);

    io::WaveInput wave(false);
    auto script = std::make_shared<io::testing::ScriptedScript>();
    wave.AddDevice(std::make_unique<io::testing::ScriptedDevice>(QStringLiteral("Silent"), script));

    ui::MainWindow window(state, wave);
    window.OnInitDialog();
    window.show();
    app.processEvents();

    if (blocks > 0) {
        // The time marks follow the signal's own clock, not the fast feeding.
        auto fed = std::make_shared<long>(0);
        const QTime start = QTime::currentTime();
        const double blockSeconds = 1024.0 / state.Chain->SampleRate;
        state.Display.Clock = [fed, start, blockSeconds] {
            const QTime now = start.addMSecs(static_cast<int>(*fed * blockSeconds * 1000));
            return display::TimeOfDay{now.hour(), now.minute(), now.second()};
        };
        s4285gen::Generator generator(s4285gen::LiveDemoConfig(state.Chain->SampleRate));
        std::vector<int16_t> buffer(1024);
        for (long b = 0; b < blocks; ++b) {
            generator.Generate(buffer.data(), buffer.size());
            dsp::ResampleBuffer(*state.Chain, state.Settings, state.Controls, state.Hooks,
                                buffer.data(), 2048);
            ++*fed;
            if (b % 64 == 0) app.processEvents();
        }
        // A pointer over the scattergram fills the two readouts.
        window.OnMouseMove(510, 400);
    }
    app.processEvents();
    const bool saved = window.grab().save(out, "PNG");
    window.EndWindow();
    if (!saved) {
        std::fprintf(stderr, "propmon_screenshot: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
