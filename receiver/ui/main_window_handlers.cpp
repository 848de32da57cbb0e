// SPDX-License-Identifier: GPL-3.0-or-later
// The window's handlers: messages, commands and the acquisition it starts.
#include "receiver/ui/client_area.h"
#include "receiver/ui/main_window.h"

#include <QAction>
#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QSlider>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <limits>

#include "receiver/display/painters.h"
#include "receiver/display/panel_widget.h"
#include "receiver/display/pointer.h"
#include "receiver/session/number_text.h"
#include "receiver/ui/clock_dialog.h"
#include "receiver/ui/dialogs.h"
#include "receiver/ui/fitted_font.h"
#include "receiver/ui/input_box.h"
#include "receiver/ui/messages.h"
#include "receiver/ui/window_ids.h"

#ifndef PROPMON_VERSION
#define PROPMON_VERSION "0"
#endif

namespace ui {

using session::ClampToInt;

// ---- Handlers -------------------------------------------------------------

int MainWindow::Run() {
    OnInitDialog();
    if (ending_) return result();
    return exec();
}

void MainWindow::OnInitDialog() {
    const dsp::Settings& s = state_.Settings;
    clockSlider_->setRange(0, 20000);
    clockSlider_->setValue(ClampToInt(std::floor(s.ClockOffset * 200000000.0L + 10000.0L)));
    RebuildLabel(ClockLabelId, display::ClockLabelBox, QString());
    SetClockLabel();

    gainSlider_->setRange(0, 2000);
    const long double g = s.InputGain;
    gainSlider_->setValue(ClampToInt(std::nearbyint(2100.0L * g / (1.0L + g))));
    RebuildLabel(GainLabelId, display::GainLabelBox, QString());
    SetGainLabel();

    DestroyScaleLabels();
    CreateScaleLabels();

    dsp::BuildSignalTables(state_.Chain->Tables);
    // Failures show their own message; the window stays up without capture.
    session::OpenCapture(state_.Capture, wave_, *this);
    session::AllocateBuffers(state_.Capture, wave_, *this);
}

void MainWindow::OnHScroll(int scrollCode, int position, int senderId) {
    switch (scrollCode) {
    case ScrollThumbTrack:
        if (senderId == ClockSliderId) SetClockFromSlider(position);
        if (senderId == GainSliderId) SetGainFromSlider(position);
        break;
    case ScrollLineUp:
    case ScrollLineDown:
    case ScrollPageUp:
    case ScrollPageDown:
    case ScrollTop:
    case ScrollBottom:
        // The slider has already moved: take its current position (the low
        // 16 bits, as a trackbar reports it).
        if (senderId == ClockSliderId) SetClockFromSlider(clockSlider_->sliderPosition() & 0xFFFF);
        if (senderId == GainSliderId) SetGainFromSlider(gainSlider_->sliderPosition() & 0xFFFF);
        break;
    default:
        break;
    }
}

void MainWindow::OnCommand(int id) {
    dsp::ChainControls& controls = state_.Controls;
    display::DisplayState& display = state_.Display;
    switch (id) {
    case ShiftUpCommand:
        controls.DopplerShift = std::max(controls.DopplerShift - 10, -128);
        break;
    case ShiftDownCommand:
        controls.DopplerShift = std::min(controls.DopplerShift + 10, 128);
        break;
    case AutoSaveCorrelogramCommand:
        Toggle(display.AutoSaveCorrelogram, id);
        break;
    case AutoSaveDopplergramCommand:
        Toggle(display.AutoSaveDopplergram, id);
        break;
    case AutoSaveScattergramCommand:
        Toggle(display.AutoSaveScattergram, id);
        break;
    case ScatterBlackCommand:
        Toggle(display.ScatterBlack, id);
        break;
    case AveragingCommand:
        AskAverageCount();
        break;
    case ClockOffsetCommand:
        AskClockPpm();
        break;
    case NatoCommand:
        SwitchMode(dsp::ModeNato);
        break;
    case AmateurCommand:
        SwitchMode(dsp::ModeAmateur);
        break;
    case SelectInputCommand:
        PickDevice();
        break;
    case ReconnectCommand:
        session::SetReconnect(state_.Capture, *this, !state_.Capture.Reconnect);
        MenuItem(ReconnectCommand)->setChecked(state_.Capture.Reconnect);
        break;
    case BrightnessCommand:
        EditGains();
        break;
    case AboutCommand:
        ShowAbout();
        break;
    case HelpCommand:
        OpenHelp();
        break;
    case LogBlocksCommand:
        ToggleLog();
        break;
    case UtcTimeCommand:
        ToggleUtc();
        break;
    case MeasureClockCommand:
        MeasureClock();
        break;
    case FindPathsCommand:
        FindPaths();
        break;
    default:
        break;
    }
}

void MainWindow::DeliverNotice(const io::WaveNotice& notice) {
    if (notice.Kind == io::WaveNoticeKind::Open)
        OnWaveOpen(notice);
    else
        OnWaveData(notice);
}

void MainWindow::OnWaveOpen(const io::WaveNotice& notice) {
    session::OnWaveOpen(state_.Capture, wave_, *this, notice);
    if (destroyed_ || !wave_.IsOpen(state_.Capture.CaptureDevice)) return;
    const QString name = wave_.DeviceName(state_.Capture.DeviceId);
    SetStatus(StatusField::Input, name.isEmpty() ? QStringLiteral("Default input") : name);
}

void MainWindow::CaptureEvent(const std::string& line) {
    if (EventReport) EventReport(line);
    if (!destroyed_) SetStatus(StatusField::Input, QString::fromStdString(line));
}

void MainWindow::OnWaveData(const io::WaveNotice& notice) {
    if (destroyed_) return;
    session::OnWaveData(state_.Capture, wave_, *this, notice);
}

void MainWindow::OnMouseMove(int x, int y) {
    const display::PointerReadouts readouts =
        display::PointerMoved(state_.Display, state_.Chain->ReceiverMode, x, y);
    if (readouts.Doppler)
        if (auto* label = qobject_cast<QLabel*>(Control(DopplerReadoutId)))
            label->setText(*readouts.Doppler);
    if (readouts.Delay)
        if (auto* label = qobject_cast<QLabel*>(Control(DelayReadoutId)))
            label->setText(*readouts.Delay);
}

void MainWindow::OnLButtonUp(int x, int y) {
    // The operator's click places the correlogram from now on.
    if (display::ButtonReleased(state_.Controls, state_.Display, x, y))
        state_.Acquisition.OperatorPlacedPaths();
}

void MainWindow::OnDestroy() {
    if (destroyed_) return;
    destroyed_ = true;
    session::ReleaseCapture(state_.Capture, wave_);
    session::SaveSettingsFile(state_); // a failure is told on stderr
}

// ---- Ending the window -------------------------------------------------------

void MainWindow::done(int result) {
    ending_ = true;
    OnDestroy();
    QDialog::done(result);
}

void MainWindow::EndWindow() {
    if (ending_) return;
    ending_ = true;
    // Dialogs and message boxes still open over the window close with it, so
    // their nested loops unwind and the window's own loop can end.
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        auto* dialog = qobject_cast<QDialog*>(widget);
        if (dialog && dialog != this && dialog->isVisible()) dialog->reject();
    }
    done(QDialog::Rejected);
}

void MainWindow::keyPressEvent(QKeyEvent* event) {
    // Escape would reject the dialog; the receiver ends only by a close.
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

// ---- Commands -----------------------------------------------------------------

void MainWindow::ReportFailure(const QString& text) {
    ShowMessage(text);
}

void MainWindow::SetClockLabel() {
    const dsp::Settings& s = state_.Settings;
    const float ppm = session::ClampToFloat(s.ClockOffset * 1000000.0L + s.ClockPpm);
    if (auto* label = qobject_cast<QLabel*>(Control(ClockLabelId))) {
        label->setText(QStringLiteral("Clock offset ") +
                       QString::fromStdString(session::FixedNumber(ppm, 2)) +
                       QStringLiteral(" ppm"));
        FitLabel(*label, client_->font());
    }
}

void MainWindow::SetGainLabel() {
    if (auto* label = qobject_cast<QLabel*>(Control(GainLabelId))) {
        label->setText(QStringLiteral("Gain ") +
                       QString::fromStdString(session::FixedNumber(state_.Settings.InputGain, 1)));
        FitLabel(*label, client_->font());
    }
}

void MainWindow::SetClockFromSlider(int position) {
    state_.Settings.ClockOffset = (position - 10000) / 200000000.0L;
    SetClockLabel();
}

void MainWindow::SetGainFromSlider(int position) {
    // 0 at the left end, 1 at 1050, 20 at 2000.
    state_.Settings.InputGain =
        static_cast<float>(static_cast<long double>(position) / (2100 - position));
    SetGainLabel();
}

void MainWindow::Toggle(int32_t& flag, int commandId) {
    flag = -flag;
    if (QAction* action = MenuItem(commandId)) action->setChecked(flag == display::SwitchOn);
}

void MainWindow::AskAverageCount() {
    dsp::ChainControls& controls = state_.Controls;
    const QString fallback =
        QString::fromStdString(session::PromptNumber(controls.AverageCount, 15));
    QString answer = InputBox(QStringLiteral("Enter number of correlogram averages"),
                              QStringLiteral("Correlogram averages"), fallback, this);
    if (ending_) return;
    if (answer.isEmpty()) answer = fallback;
    const long double value = std::floor(session::LeadingNumber(answer.toStdString()));
    controls.AverageCount = std::max(ClampToInt(value), 1);
}

void MainWindow::AskClockPpm() {
    dsp::Settings& s = state_.Settings;
    const QString fallback = QString::fromStdString(session::PromptNumber(s.ClockPpm, 15));
    QString answer =
        InputBox(QStringLiteral("Enter clock offset in ppm\r\n(to allow for very large "
                                "soundcard errors)"),
                 QStringLiteral("Clock offset"), fallback, this);
    if (ending_) return;
    if (answer.isEmpty()) answer = fallback;
    s.ClockPpm = session::ClampToFinite(std::floor(session::LeadingNumber(answer.toStdString())));
    SetClockLabel();
}

void MainWindow::SwitchMode(int32_t mode) {
    dsp::SetReceiverMode(*state_.Chain, mode); // ReceiverMode, SampleRate, CarrierHz
    ShowMode(mode);
    // Releases the device and runs the initialisation again at the new rate.
    session::RestartCapture(state_.Capture, wave_, *this);
}

void MainWindow::ShowMode(int32_t mode) {
    const bool nato = mode == dsp::ModeNato;
    MenuItem(NatoCommand)->setChecked(nato);
    MenuItem(AmateurCommand)->setChecked(!nato);
    setWindowTitle(nato ? QStringLiteral("Stanag 4285 receiver (NATO)")
                        : QStringLiteral("Stanag 4285 receiver (AMATEUR)"));
}

void MainWindow::ToggleLog() {
    if (state_.Log)
        session::CloseLog(state_);
    else
        state_.Log =
            std::make_unique<session::BlockLog>(session::WindowLogFolder(state_), state_.Problems);
    MenuItem(LogBlocksCommand)->setChecked(state_.Log != nullptr);
}

void MainWindow::ToggleUtc() {
    session::SetUtcClock(state_, !state_.UtcClock);
    MenuItem(UtcTimeCommand)->setChecked(state_.UtcClock);
}

void MainWindow::StartInMode(int32_t mode) {
    dsp::SetReceiverMode(*state_.Chain, mode);
    ShowMode(mode);
}

// ---- Acquisition ---------------------------------------------------------------

void MainWindow::OnBlockAcquired() {
    const analysis::AcquisitionMonitor& acquisition = state_.Acquisition;
    const analysis::InputLevel level = acquisition.Level();
    QString levelText;
    if (level.PeakDbfs < -90.0)
        levelText = QStringLiteral("Level silent");
    else
        levelText = QString::asprintf("Level %.0f dBFS", level.PeakDbfs + 0.0);
    if (level.Clipping) levelText += QStringLiteral(": clipping, turn the input down");
    SetStatus(StatusField::Level, levelText);
    SetStatus(StatusField::Lock,
              acquisition.Locked() ? QStringLiteral("Locked") : QStringLiteral("Searching"));
    SetStatus(StatusField::Snr,
              QString::asprintf("SNR %.0f dB", acquisition.Quality().Last().AverageSnrDb));

    // The measurement is summed up every 16 blocks (about 1.7 s).
    if (!acquisition.MeasuringClock() || ++blocksSeen_ % 16 != 0) return;
    const analysis::ClockEstimate estimate = acquisition.ClockNow();
    SetStatus(StatusField::Clock, ClockStatusText(estimate));
    if (clockDialog_)
        clockDialog_->Show(estimate,
                           double(estimate.Blocks) * dsp::BlockLen / state_.Chain->SampleRate);
}

void MainWindow::MeasureClock() {
    if (!clockDialog_) {
        clockDialog_ = new ClockErrorDialog(this);
        clockDialog_->setAttribute(Qt::WA_DeleteOnClose);
        clockDialog_->setFont(state_.Fonts.ControlFont);
        clockDialog_->Apply = [this](const analysis::ClockEstimate& estimate) {
            ApplyClock(estimate);
        };
        connect(clockDialog_, &QDialog::finished, this, [this] {
            state_.Acquisition.StopClockMeasurement();
            SetStatus(StatusField::Clock, QString());
        });
        state_.Acquisition.StartClockMeasurement();
        blocksSeen_ = 0;
        SetStatus(StatusField::Clock, ClockStatusText(analysis::ClockEstimate()));
        PlaceBelowClientOrigin(*clockDialog_, *client_);
    }
    clockDialog_->show();
    clockDialog_->raise();
}

void MainWindow::ApplyClock(const analysis::ClockEstimate& estimate) {
    // Whole ppm into ClockPpm, the rest onto the slider, as the operator
    // would set them; the label follows from both.
    const analysis::ClockSetting setting = analysis::SplitClockCorrection(estimate.TotalPpm);
    state_.Settings.ClockPpm = setting.ClockPpm;
    clockSlider_->setValue(setting.SliderPosition);
    SetClockFromSlider(setting.SliderPosition);
    // What is left is measured afresh with the new correction in place.
    state_.Acquisition.StartClockMeasurement();
    blocksSeen_ = 0;
    SetStatus(StatusField::Clock, ClockStatusText(analysis::ClockEstimate()));
    if (clockDialog_) clockDialog_->Show(analysis::ClockEstimate(), 0.0);
}

void MainWindow::FindPaths() {
    if (state_.Acquisition.PlacePaths(state_.Controls)) state_.Display.CorrelogramScroll = 0;
}

void MainWindow::PickDevice() {
    session::StopCapture(state_.Capture, wave_);
    SoundcardPicker picker(session::DeviceNames(wave_), state_.Capture.DeviceId, this);
    picker.setFont(state_.Fonts.ControlFont);
    PlaceBelowClientOrigin(picker, *client_);
    picker.exec();
    if (ending_) return;
    if (picker.Chosen()) state_.Capture.DeviceId = picker.ChosenDevice();
    // Closing without "OK" opens the same device again.
    session::SwitchDevice(state_.Capture, wave_, *this);
}

void MainWindow::EditGains() {
    BrightnessDialog dialog(state_.Settings, this);
    dialog.setFont(state_.Fonts.ControlFont);
    PlaceBelowClientOrigin(dialog, *client_);
    if (dialog.exec() == QDialog::Accepted && !ending_) dialog.ApplyTo(state_.Settings);
}

void MainWindow::ShowAbout() {
    ShowMessage(QStringLiteral(
        "propmon " PROPMON_VERSION "\n\n"
        "HF propagation monitor for STANAG 4285 transmissions.\n\n"
        "It correlates the receiver's audio, frame by frame, against the known "
        "synchronisation sequence of the waveform and shows how the signal arrives: "
        "the correlation trace, the correlogram (delay against time), the dopplergram "
        "(frequency offset against time), the scattergram (frequency offset against "
        "delay) and the tune indicator."));
}

void MainWindow::OpenHelp() {
    // The copy in the current folder first (propmon-desktop puts one there, a
    // station may keep its own notes in it), else the installed page.
    QString page = QDir::current().absoluteFilePath(state_.HelpFile);
    if (!QFileInfo::exists(page)) {
        for (const QString& folder : state_.HelpFolders) {
            const QString installed = QDir(folder).absoluteFilePath(state_.HelpFile);
            if (QFileInfo::exists(installed)) {
                page = installed;
                break;
            }
        }
    }
    // The result is not checked: the desktop reports its own failures.
    if (OpenDocument) OpenDocument(QUrl::fromLocalFile(page));
}

} // namespace ui
