// SPDX-License-Identifier: GPL-3.0-or-later
// The sound device vanishing under a running capture, whatever the operator is
// doing at that moment: one message, the window ends, the settings are written
// (or, when the disk refuses them, the old file stays whole), nothing crashes.
#include "hardening_support.h"

#include "receiver/io/tests/scripted_device.h"
#include "receiver/session/receiver_state.h"
#include "receiver/session/settings_file.h"
#include "receiver/ui/main_window.h"
#include "receiver/ui/window_ids.h"

#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QTimer>

namespace hard {
namespace {

// A receiver over one scripted device, its settings file in the test's folder.
struct Station {
    session::ReceiverState state;
    io::WaveInput wave{false};
    std::shared_ptr<io::testing::ScriptedScript> script =
        std::make_shared<io::testing::ScriptedScript>();
    std::unique_ptr<ui::MainWindow> window;

    explicit Station(const fs::path& dir) {
        state.SettingsPath = (dir / "Stanag4285.set").string();
        state.Display.SnapshotFolder = QString::fromStdString(dir.string());
        wave.AddDevice(std::make_unique<io::testing::ScriptedDevice>("Scripted", script));
        session::PrepareReceiver(state);
        window = std::make_unique<ui::MainWindow>(state, wave);
        window->OpenDocument = [](const QUrl&) {};
        window->OnInitDialog();
        for (int i = 0; i < 5; ++i)
            QCoreApplication::processEvents();
    }
};

struct Outcome {
    QStringList messages;
    bool promptSeen = false;
};

// Runs the window; once the dialog of `command` is up (or at once for 0), the
// device starts failing and one more buffer comes in.  Message boxes are
// answered with OK as they appear.
Outcome VanishDuring(Station& station, int command) {
    Outcome outcome;
    bool armed = false;
    QWidget* answered = nullptr;
    const auto vanish = [&] {
        armed = true;
        station.script->Failures[io::WaveOp::Queue] = io::WaveError;
        station.script->Failures[io::WaveOp::Prepare] = io::WaveError;
        station.script->Record(std::vector<int16_t>(1024, 100));
    };
    QTimer watcher;
    QObject::connect(&watcher, &QTimer::timeout, [&] {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal || !modal->isVisible() || modal == station.window.get()) return;
        if (!armed) {
            // The operator's dialog (the About box is a message box too) is up.
            outcome.promptSeen = true;
            vanish();
            return;
        }
        auto* box = qobject_cast<QMessageBox*>(modal);
        if (!box || box == answered) return;
        answered = box;
        outcome.messages << box->text();
        box->accept();
    });
    watcher.start(5);
    // Bound to the window: a timer left over never fires into a later test.
    QTimer::singleShot(0, station.window.get(), [&] {
        if (command == 0)
            vanish();
        else
            station.window->OnCommand(command);
    });
    QTimer::singleShot(10000, station.window.get(),
                       [&] { station.window->EndWindow(); }); // never hang
    station.window->exec();
    // A second message box would show up now.
    QElapsedTimer settle;
    settle.start();
    while (settle.elapsed() < 150)
        QCoreApplication::processEvents();
    return outcome;
}

using DeviceVanishes = TempDirTest;

TEST_F(DeviceVanishes, UnderEveryDialogOneMessageEndsTheWindowAndTheSettingsAreWritten) {
    const struct {
        const char* what;
        int command;
    } cases[] = {{"while capturing", 0},
                 {"under the averaging prompt", ui::AveragingCommand},
                 {"under the clock prompt", ui::ClockOffsetCommand},
                 {"under the brightness dialog", ui::BrightnessCommand},
                 {"under the About box", ui::AboutCommand}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove(dir / "Stanag4285.set");
        Station station(dir);
        station.state.Settings.CorrGain = 2.0f;
        const Outcome outcome = VanishDuring(station, c.command);
        if (c.command != 0) {
            EXPECT_TRUE(outcome.promptSeen);
        }
        EXPECT_TRUE(station.window->Ending());
        ASSERT_EQ(outcome.messages.size(), 1) << outcome.messages.join(" | ").toStdString();
        EXPECT_FALSE(outcome.messages[0].isEmpty());
        const dsp::Settings written = session::ParseSettings(ReadBytes(station.state.SettingsPath));
        EXPECT_EQ(written.CorrGain, 2.0f);
    }
}

TEST_F(DeviceVanishes, WhenTheSettingsCannotBeWrittenTheOldFileStaysWhole) {
    const std::string path = (dir / "Stanag4285.set").string();
    dsp::Settings old;
    old.ScatterGain = 3.0f;
    ASSERT_TRUE(session::WriteSettings(old, path));
    const std::string before = ReadBytes(path);
    Station station(dir);
    station.state.Settings.ScatterGain = 5.0f;
    Outcome outcome;
    {
        FileSizeCap cap(64);
        outcome = VanishDuring(station, 0);
    }
    EXPECT_TRUE(station.window->Ending());
    EXPECT_EQ(outcome.messages.size(), 1);
    EXPECT_EQ(ReadBytes(path), before);
}

} // namespace
} // namespace hard
