// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/runners/headless.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QImage>
#include <QPainter>
#include <QStringList>
#include <QTimer>

#include <cmath>
#include <functional>

#include "receiver/session/capture.h"
#include "receiver/session/events.h"
#include "receiver/session/termination.h"

#ifndef PROPMON_VERSION
#define PROPMON_VERSION "0"
#endif

namespace runners {

namespace {

QString ModeText(const dsp::ChainState& chain) {
    return chain.ReceiverMode == dsp::ModeAmateur
               ? QStringLiteral("mode AMATEUR (2000 baud, 1500 Hz), %1 samples/s")
                     .arg(chain.SampleRate)
               : QStringLiteral("mode NATO (2400 baud, 1800 Hz), %1 samples/s")
                     .arg(chain.SampleRate);
}

QString Duration(double seconds) {
    const auto whole = static_cast<long long>(std::floor(seconds));
    return QStringLiteral("%1:%2:%3")
        .arg(whole / 3600)
        .arg(whole / 60 % 60, 2, 10, QLatin1Char('0'))
        .arg(whole % 60, 2, 10, QLatin1Char('0'));
}

// The capture cycle's host without a window: its messages are events, and
// every one of them means the receiver cannot go on listening.
class HeadlessHost : public session::CaptureHost {
  public:
    HeadlessHost(session::ReceiverState& state, io::WaveInput& wave) : state_(state), wave_(wave) {}

    void ReportFailure(const QString& text) override {
        session::ReportEvent(text);
        End(session::ExitFailure, QStringLiteral("capture failed"));
    }
    void EndRun() override { End(status_, why_); }
    dsp::ChainState& Chain() override { return *state_.Chain; }
    const dsp::Settings& ChainSettings() override { return state_.Settings; }
    const dsp::ChainControls& ChainControls() override { return state_.Controls; }
    const dsp::DisplayHooks& ChainHooks() override { return state_.Hooks; }
    void DeliverNotice(const io::WaveNotice& notice) override {
        if (ended_) return;
        if (notice.Kind == io::WaveNoticeKind::Open)
            session::OnWaveOpen(state_.Capture, wave_, *this, notice);
        else
            session::OnWaveData(state_.Capture, wave_, *this, notice);
    }
    void Initialise() override {
        dsp::BuildSignalTables(state_.Chain->Tables, dsp::TableBuild::StraightThrough);
        if (session::OpenCapture(state_.Capture, wave_, *this))
            session::AllocateBuffers(state_.Capture, wave_, *this);
    }
    void CaptureEvent(const std::string& line) override {
        session::ReportEvent(QString::fromStdString(line));
    }
    void InputEnded() override {
        End(session::ExitSuccess,
            QStringLiteral("end of input from %1").arg(wave_.DeviceName(state_.Capture.DeviceId)));
    }

    // Ends the run with `status`; the first reason given is the one told.
    void End(int status, const QString& why) {
        if (ended_) return;
        ended_ = true;
        status_ = status;
        why_ = why;
        loop_.exit(status);
    }

    // `started` is called once the input is open.
    int Run(const std::function<void()>& started) {
        Initialise();
        if (ended_) return status_;
        started();
        return loop_.exec();
    }
    QString Why() const { return why_; }

  private:
    session::ReceiverState& state_;
    io::WaveInput& wave_;
    QEventLoop loop_;
    bool ended_ = false;
    int status_ = session::ExitSuccess;
    QString why_;
};

} // namespace

void ReportStart(const QString& station) {
    session::ReportEvent(QStringLiteral("propmon %1 headless%2 in %3 (process %4)")
                             .arg(QStringLiteral(PROPMON_VERSION),
                                  station.isEmpty() ? QString() : QStringLiteral(" at ") + station,
                                  QDir::currentPath())
                             .arg(QCoreApplication::applicationPid()));
}

int RunHeadless(session::ReceiverState& state, io::WaveInput& wave) {
    session::InstallHooks(state);
    // The first text drawn loads the font database (a good part of a second
    // on a small machine): done now, not in the middle of the first minute.
    QImage warmUp(64, 16, QImage::Format_RGB32);
    {
        QPainter painter(&warmUp);
        painter.setFont(state.Display.PanelFont);
        painter.drawText(0, 12, QStringLiteral("00:00:00"));
    }
    HeadlessHost host(state, wave);
    session::TerminationWatcher watcher([&] {
        host.End(session::ExitSuccess,
                 QStringLiteral("stopped by ") +
                     session::TerminationWatcher::SignalName(watcher.LastSignal()));
    });

    wave.DeviceCount();
    const QString input = state.Capture.DeviceId < 0 ? QStringLiteral("the system's default input")
                                                     : wave.DeviceName(state.Capture.DeviceId);
    // What is missing first; nothing that reads as running before the input
    // has opened.
    if (input.isEmpty())
        session::ReportEvent(QStringLiteral("no sound card input is listed: nothing to listen to "
                                            "(is the card plugged in and the sound server "
                                            "running? propmon --list-devices lists the inputs)"));
    else
        session::ReportEvent(QStringLiteral("input %1: %2").arg(state.Capture.DeviceId).arg(input));
    const auto running = [&state] {
        session::ReportEvent(ModeText(*state.Chain));
        const display::DisplayState& d = state.Display;
        QStringList saved;
        if (d.AutoSaveCorrelogram == display::SwitchOn) saved << QStringLiteral("Correlograms/");
        if (d.AutoSaveDopplergram == display::SwitchOn) saved << QStringLiteral("Dopplergrams/");
        if (d.AutoSaveScattergram == display::SwitchOn) saved << QStringLiteral("Scattergrams/");
        if (!saved.isEmpty())
            session::ReportEvent(
                QStringLiteral("auto-save into %1, names in %2%3")
                    .arg(saved.join(u' '),
                         state.UtcClock ? QStringLiteral("UTC") : QStringLiteral("local time"),
                         d.DatedNames ? QStringLiteral(" with the day") : QString()));
        if (!state.Clock.Synchronised())
            session::ReportEvent(QStringLiteral("the system clock is not synchronised (no time "
                                                "server has set it yet): rows are flagged "
                                                "clock-unsynced until it is"));
    };

    // While files fail to be written, stderr says so again every hour, even
    // when no block comes.
    QTimer reminder;
    QElapsedTimer sinceStart;
    sinceStart.start();
    QObject::connect(&reminder, &QTimer::timeout,
                     [&] { state.Problems.Remind(sinceStart.elapsed()); });
    reminder.start(60 * 1000);

    const int status = host.Run(running);

    session::ReleaseCapture(state.Capture, wave);
    session::SaveSettingsFile(state);
    session::CloseLog(state);
    session::ReportEvent(QStringLiteral("%1 after %2 blocks (%3 of input)")
                             .arg(host.Why())
                             .arg(state.BlockCount)
                             .arg(Duration(state.Capture.InputSecondsBefore)));
    return status;
}

} // namespace runners
