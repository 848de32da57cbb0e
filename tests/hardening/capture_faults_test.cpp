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

namespace hardening {
namespace {

// A receiver over one scripted device, its settings file in the test's folder.
struct Station {
    session::ReceiverState State;
    io::WaveInput Wave{false};
    std::shared_ptr<io::testing::ScriptedScript> Script =
        std::make_shared<io::testing::ScriptedScript>();
    std::unique_ptr<ui::MainWindow> Window;

    explicit Station(const fs::path& dir) {
        State.SettingsPath = (dir / "Stanag4285.set").string();
        State.Display.SnapshotFolder = QString::fromStdString(dir.string());
        Wave.AddDevice(std::make_unique<io::testing::ScriptedDevice>("Scripted", Script));
        session::PrepareReceiver(State);
        Window = std::make_unique<ui::MainWindow>(State, Wave);
        Window->OpenDocument = [](const QUrl&) {};
        Window->OnInitDialog();
        for (int i = 0; i < 5; ++i)
            QCoreApplication::processEvents();
    }
};

struct Outcome {
    QStringList Messages;
    bool PromptSeen = false;
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
        station.Script->Failures[io::WaveOp::Queue] = io::WaveError;
        station.Script->Failures[io::WaveOp::Prepare] = io::WaveError;
        station.Script->Record(std::vector<int16_t>(1024, 100));
    };
    QTimer watcher;
    QObject::connect(&watcher, &QTimer::timeout, [&] {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal || !modal->isVisible() || modal == station.Window.get()) return;
        if (!armed) {
            // The operator's dialog (the About box is a message box too) is up.
            outcome.PromptSeen = true;
            vanish();
            return;
        }
        auto* box = qobject_cast<QMessageBox*>(modal);
        if (!box || box == answered) return;
        answered = box;
        outcome.Messages << box->text();
        box->accept();
    });
    watcher.start(5);
    // Bound to the window: a timer left over never fires into a later test.
    QTimer::singleShot(0, station.Window.get(), [&] {
        if (command == 0)
            vanish();
        else
            station.Window->OnCommand(command);
    });
    QTimer::singleShot(10000, station.Window.get(),
                       [&] { station.Window->EndWindow(); }); // never hang
    station.Window->exec();
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
        const char* What;
        int Command;
    } cases[] = {{"while capturing", 0},
                 {"under the averaging prompt", ui::AveragingCommand},
                 {"under the clock prompt", ui::ClockOffsetCommand},
                 {"under the brightness dialog", ui::BrightnessCommand},
                 {"under the About box", ui::AboutCommand}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.What);
        fs::remove(dir_ / "Stanag4285.set");
        Station station(dir_);
        station.State.Settings.CorrGain = 2.0f;
        const Outcome outcome = VanishDuring(station, c.Command);
        if (c.Command != 0) {
            EXPECT_TRUE(outcome.PromptSeen);
        }
        EXPECT_TRUE(station.Window->Ending());
        ASSERT_EQ(outcome.Messages.size(), 1) << outcome.Messages.join(" | ").toStdString();
        EXPECT_FALSE(outcome.Messages[0].isEmpty());
        const dsp::Settings written = session::ParseSettings(ReadBytes(station.State.SettingsPath));
        EXPECT_EQ(written.CorrGain, 2.0f);
    }
}

TEST_F(DeviceVanishes, WhenTheSettingsCannotBeWrittenTheOldFileStaysWhole) {
    const std::string path = (dir_ / "Stanag4285.set").string();
    dsp::Settings old;
    old.ScatterGain = 3.0f;
    ASSERT_TRUE(session::WriteSettings(old, path));
    const std::string before = ReadBytes(path);
    Station station(dir_);
    station.State.Settings.ScatterGain = 5.0f;
    Outcome outcome;
    {
        FileSizeCap cap(64);
        outcome = VanishDuring(station, 0);
    }
    EXPECT_TRUE(station.Window->Ending());
    EXPECT_EQ(outcome.Messages.size(), 1);
    EXPECT_EQ(ReadBytes(path), before);
}

} // namespace
} // namespace hardening
