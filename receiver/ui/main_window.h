// SPDX-License-Identifier: GPL-3.0-or-later
// The receiver's one window.  Every control and menu item carries its id from
// window_ids.h; Qt signals only translate into the handler calls below
// (initialisation, scroll, command by id, wave open, wave data, pointer move,
// button up, destruction), which hold all the behaviour.
#pragma once

#include <QDialog>
#include <QIcon>
#include <QPointer>
#include <QUrl>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "receiver/display/window_layout.h"
#include "receiver/io/wave_input.h"
#include "receiver/session/capture.h"
#include "receiver/session/receiver_state.h"
#include "receiver/ui/clock_dialog.h"
#include "receiver/ui/status_line.h"

class QAction;
class QLabel;
class QMenuBar;
class QSlider;

namespace ui {

class ClientArea;

// The window's title at start-up; the mode commands write their own (also at
// a start in the AMATEUR mode).
inline const QString StartTitle = QStringLiteral("Stanag 4285 Receiver (NATO)");

// Our own 32 x 32 icon: a correlation peak over a dark sky.
QIcon MakeProgramIcon();

class MainWindow : public QDialog, public session::CaptureHost {
    Q_OBJECT
  public:
    // Creates the window hidden, with its controls and menus.
    MainWindow(session::ReceiverState& state, io::WaveInput& wave, QWidget* parent = nullptr);
    ~MainWindow() override;

    // The initialisation, then the window modally until it ends.  Returns the
    // dialog result.
    int Run();

    // The handlers, one per message kind.
    void OnInitDialog();
    void OnHScroll(int scrollCode, int position, int senderId);
    void OnCommand(int id);
    void OnWaveOpen(const io::WaveNotice& notice);
    void OnWaveData(const io::WaveNotice& notice);
    void OnMouseMove(int x, int y);
    void OnLButtonUp(int x, int y);
    void OnDestroy();

    // session::CaptureHost.
    void ReportFailure(const QString& text) override;
    void EndRun() override { EndWindow(); }
    dsp::ChainState& Chain() override { return *state_.Chain; }
    const dsp::Settings& ChainSettings() override { return state_.Settings; }
    const dsp::ChainControls& ChainControls() override { return state_.Controls; }
    const dsp::DisplayHooks& ChainHooks() override { return state_.Hooks; }
    void DeliverNotice(const io::WaveNotice& notice) override;
    void Initialise() override { OnInitDialog(); }
    void CaptureEvent(const std::string& line) override;

    // Lookup for the handlers' helpers and for tests.
    QWidget* Control(int id) const;
    QAction* MenuItem(int commandId) const;
    QWidget* Client() const;
    QMenuBar* Menus() const { return menuBar_; }
    StatusLine* Status() const { return status_; }
    // One field of the status line below the panels.
    void SetStatus(StatusField field, const QString& text);
    // The mode the window starts in (before Run): menu marks, title and the
    // chain's rate, without opening anything yet.
    void StartInMode(int32_t mode);
    // The open "Measure clock error" window, if any.
    ClockErrorDialog* ClockDialog() const { return clockDialog_.data(); }
    // The controls in creation order (a rebuilt label keeps its place).
    const std::vector<QWidget*>& Controls() const { return controls_; }
    // Ends the window: dialogs over it close with it, the settings file is written.
    void EndWindow();
    bool Ending() const { return ending_; }

    // Opens a document with the desktop's viewer (replaced in tests).
    std::function<void(const QUrl&)> OpenDocument;
    // Where the capture's events go as lines (standard error in the program).
    std::function<void(const std::string&)> EventReport;

  protected:
    void done(int result) override;
    void keyPressEvent(QKeyEvent* event) override;

  private:
    void CreateControls();
    void CreatePanels();
    void CreateSliders();
    void CreateReadouts();
    void CreateCaptionsAndScales();
    void CreateMenus();
    QLabel* MakeLabel(int id, const display::Box& box, const QString& text);
    void MakeLine(const display::Box& box);
    void Register(QWidget* control, int id, const char* kind);
    QLabel* RebuildLabel(int id, const display::Box& box, const QString& text);
    void DestroyScaleLabels();
    void CreateScaleLabels();

    void SetClockLabel();
    void SetGainLabel();
    void SetClockFromSlider(int position);
    void SetGainFromSlider(int position);
    void Toggle(int32_t& flag, int commandId);
    void AskAverageCount();
    void AskClockPpm();
    void SwitchMode(int32_t mode);
    void ShowMode(int32_t mode);
    void ToggleLog();
    void ToggleUtc();
    void OnBlockAcquired();
    void MeasureClock();
    void ApplyClock(const analysis::ClockEstimate& estimate);
    void FindPaths();
    void PickDevice();
    void EditGains();
    void ShowAbout();
    void OpenHelp();

    session::ReceiverState& state_;
    io::WaveInput& wave_;
    QMenuBar* menuBar_ = nullptr;
    StatusLine* status_ = nullptr;
    ClientArea* client_ = nullptr;
    QSlider* clockSlider_ = nullptr;
    QSlider* gainSlider_ = nullptr;
    std::vector<QWidget*> controls_;
    std::vector<int> slotIds_; // the id of each slot of controls_
    std::map<int, QAction*> menuItems_;
    QPointer<ClockErrorDialog> clockDialog_;
    int64_t blocksSeen_ = 0;
    bool ending_ = false;
    bool destroyed_ = false;
};

} // namespace ui
