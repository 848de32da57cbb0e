// SPDX-License-Identifier: GPL-3.0-or-later
// A real sound server under the window: a private PulseAudio with a null sink
// and a source that records its monitor; the test signal is played into the
// sink and captured through Qt Multimedia.  Then the source is unloaded, or the
// server dies: the window must not crash; when capture can no longer go on it
// shows one message, ends and writes the settings.
#include "hardening_support.h"

#include "receiver/session/receiver_state.h"
#include "receiver/session/settings_file.h"
#include "receiver/ui/main_window.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMessageBox>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <signal.h>

namespace hardening {
namespace {

constexpr const char* SinkName = "hard_test_sink";
constexpr const char* SourceName = "hard_test_source";

void Stop(QProcess& process, int signal = SIGTERM) {
    if (process.state() == QProcess::NotRunning) return;
    ::kill(static_cast<pid_t>(process.processId()), signal);
    if (!process.waitForFinished(3000)) {
        ::kill(static_cast<pid_t>(process.processId()), SIGKILL);
        process.waitForFinished(3000);
    }
}

// A PulseAudio server of our own in a temporary runtime folder.
class PrivatePulse {
  public:
    ~PrivatePulse() { Stop(Server); }
    QString Start() {
        const QString pulse = QStandardPaths::findExecutable("pulseaudio");
        if (pulse.isEmpty() || QStandardPaths::findExecutable("pactl").isEmpty() ||
            QStandardPaths::findExecutable("paplay").isEmpty())
            return "pulseaudio or pulseaudio-utils are not installed";
        QFile config(Dir.filePath("client.conf"));
        if (!config.open(QIODevice::WriteOnly)) return "cannot write client.conf";
        config.write("autospawn = no\n");
        config.close();
        Server.setProcessEnvironment(Environment());
        Server.setProcessChannelMode(QProcess::MergedChannels);
        Server.start(
            pulse,
            {"-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=false",
             "--system=false", "--log-target=stderr", "-L",
             "module-native-protocol-unix socket=" + Dir.filePath("native") + " auth-anonymous=1",
             "-L", QString("module-null-sink sink_name=%1 rate=9600 channels=1").arg(SinkName),
             "-L",
             QString("module-remap-source master=%1.monitor source_name=%2")
                 .arg(SinkName, SourceName)});
        if (!Server.waitForStarted(5000)) return "pulseaudio did not start";
        for (int attempt = 0; attempt < 50; ++attempt) {
            if (Server.state() == QProcess::NotRunning) return "pulseaudio exited";
            if (Pactl({"info"}) == 0) return {};
            QThread::msleep(100);
        }
        return "pulseaudio did not answer";
    }
    QProcessEnvironment Environment() const {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_RUNTIME_DIR", Dir.path());
        env.insert("PULSE_RUNTIME_PATH", Dir.filePath("runtime"));
        env.insert("PULSE_STATE_PATH", Dir.filePath("state"));
        env.insert("PULSE_CLIENTCONFIG", Dir.filePath("client.conf"));
        env.insert("HOME", Dir.path());
        env.insert("PULSE_SERVER", "unix:" + Dir.filePath("native"));
        return env;
    }
    int Pactl(const QStringList& args) const {
        QProcess process;
        process.setProcessEnvironment(Environment());
        process.start("pactl", args);
        if (!process.waitForFinished(3000)) {
            Stop(process);
            return -1;
        }
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }

    QTemporaryDir Dir;
    QProcess Server;
};

enum class Vanish { UnloadSource, ServerDies };

struct LiveOutcome {
    bool Captured = false; // signal reached the chain before the fault
    bool Ended = false;    // the window ended
    QStringList Messages;  // message boxes shown
    bool SettingsWritten = false;
};

LiveOutcome CaptureThenVanish(PrivatePulse& pulse, const fs::path& dir, Vanish how) {
    LiveOutcome outcome;
    const QProcessEnvironment env = pulse.Environment();
    for (const char* name : {"PULSE_SERVER", "PULSE_CLIENTCONFIG", "PULSE_RUNTIME_PATH"})
        qputenv(name, env.value(name).toUtf8());
    const fs::path wav = dir / "signal.wav";
    { TempDirTest::WriteRecordingTo(wav, 30.0); }

    session::ReceiverState state;
    state.SettingsPath = (dir / "Stanag4285.set").string();
    state.Display.SnapshotFolder = QString::fromStdString(dir.string());
    io::WaveInput wave(true);
    session::PrepareReceiver(state);
    state.Capture.DeviceId = -1; // the server's default source
    ui::MainWindow window(state, wave);
    window.OpenDocument = [](const QUrl&) {};

    QProcess player;
    player.setProcessEnvironment(env);
    player.start("paplay", {"--device=" + QString(SinkName), QString::fromStdString(wav.string())});
    player.waitForStarted(5000);

    QTimer watcher;
    QWidget* answered = nullptr;
    bool faulted = false;
    QElapsedTimer clock;
    clock.start();
    QObject::connect(&watcher, &QTimer::timeout, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            if (box != answered && box->isVisible()) {
                answered = box;
                outcome.Messages << box->text();
                box->accept();
            }
            return;
        }
        if (!faulted) {
            const auto& block = state.Chain->Intake.CaptureBlock;
            outcome.Captured = outcome.Captured || std::any_of(block.begin(), block.end(),
                                                               [](int16_t s) { return s != 0; });
            if (outcome.Captured && clock.elapsed() > 3000) {
                faulted = true;
                clock.restart();
                if (how == Vanish::UnloadSource)
                    pulse.Pactl({"unload-module", "module-remap-source"});
                else
                    Stop(pulse.Server, SIGKILL);
            }
            if (!outcome.Captured && clock.elapsed() > 15000) window.EndWindow();
            return;
        }
        // After the fault: five seconds for the window to react, then we end it.
        if (clock.elapsed() > 5000) window.EndWindow();
    });
    watcher.start(20);
    window.Run();
    watcher.stop();
    Stop(player);
    outcome.Ended = window.Ending();
    outcome.SettingsWritten = fs::exists(state.SettingsPath);
    return outcome;
}

using PulseVanishes = TempDirTest;

void CheckVanish(const fs::path& dir, Vanish how) {
    // Qt Multimedia keeps the sound server it first reached for the whole
    // process; CTest runs every test in a process of its own.
    if (!qEnvironmentVariableIsEmpty("HARD_PULSE_USED"))
        GTEST_SKIP() << "a private server was already used in this process; run alone";
    PrivatePulse pulse;
    const QString why = pulse.Start();
    if (!why.isEmpty()) GTEST_SKIP() << "no private PulseAudio server: " << why.toStdString();
    qputenv("HARD_PULSE_USED", "1");
    const LiveOutcome outcome = CaptureThenVanish(pulse, dir, how);
    ASSERT_TRUE(outcome.Captured) << "no signal came through the private server";
    EXPECT_TRUE(outcome.Ended);
    // A dead server ends the capture with one message; an unloaded source may
    // be replaced by the server (the stream moves on), or end it the same way.
    if (how == Vanish::ServerDies)
        EXPECT_EQ(outcome.Messages.size(), 1) << outcome.Messages.join(" | ").toStdString();
    else
        EXPECT_LE(outcome.Messages.size(), 1) << outcome.Messages.join(" | ").toStdString();
    EXPECT_TRUE(outcome.SettingsWritten);
    std::printf("%lld message(s)%s%s\n", static_cast<long long>(outcome.Messages.size()),
                outcome.Messages.isEmpty() ? "" : ": ",
                outcome.Messages.join(" | ").toStdString().c_str());
}

TEST_F(PulseVanishes, UnloadedSourceNeverCrashesTheWindow) {
    CheckVanish(dir_, Vanish::UnloadSource);
}

TEST_F(PulseVanishes, DeadServerNeverCrashesTheWindow) {
    CheckVanish(dir_, Vanish::ServerDies);
}

} // namespace
} // namespace hardening
