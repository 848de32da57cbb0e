// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/ui/main_window.h"
#include "receiver/ui/client_area.h"

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
#include "receiver/display/window_layout.h"
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

namespace {

// A static black frame: a one-pixel black outline, a line when one side is 1.
class BlackFrame : public QWidget {
  public:
    using QWidget::QWidget;

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setPen(Qt::NoPen);
        painter.setBrush(Qt::black);
        const int w = width(), h = height();
        painter.drawRect(0, 0, w, 1);
        painter.drawRect(0, h - 1, w, 1);
        painter.drawRect(0, 0, 1, h);
        painter.drawRect(w - 1, 0, 1, h);
    }
};

// The scale labels of both modes, by id.
const display::ScaleLabelPlace& ScaleLabelOf(int id) {
    if (id >= FirstTuneScaleLabelId) return display::TuneScaleLabels[id - FirstTuneScaleLabelId];
    if (id >= FirstDopplerScaleLabelId)
        return display::DopplerScaleLabels[id - FirstDopplerScaleLabelId];
    return display::DelayScaleLabels[id - FirstDelayScaleLabelId];
}
static_assert(std::size(display::DelayScaleLabels) ==
              LastDelayScaleLabelId - FirstDelayScaleLabelId + 1);
static_assert(std::size(display::DopplerScaleLabels) ==
              LastDopplerScaleLabelId - FirstDopplerScaleLabelId + 1);
static_assert(std::size(display::TuneScaleLabels) ==
              LastTuneScaleLabelId - FirstTuneScaleLabelId + 1);
static_assert(SmallestDelayLabelId - FirstDelayScaleLabelId == display::SmallestDelayTimeLabel);

// The delay scale alternates time labels (ScaleFont) and distance labels.
bool IsDelayTimeLabel(int id) {
    return (id - FirstDelayScaleLabelId) % 2 == 0;
}

// Scroll code of a trackbar action.
int ScrollCodeOf(int action) {
    switch (action) {
    case QAbstractSlider::SliderSingleStepSub:
        return ScrollLineUp;
    case QAbstractSlider::SliderSingleStepAdd:
        return ScrollLineDown;
    case QAbstractSlider::SliderPageStepSub:
        return ScrollPageUp;
    case QAbstractSlider::SliderPageStepAdd:
        return ScrollPageDown;
    case QAbstractSlider::SliderToMinimum:
        return ScrollTop;
    case QAbstractSlider::SliderToMaximum:
        return ScrollBottom;
    case QAbstractSlider::SliderMove:
        return ScrollThumbTrack;
    default:
        return -1;
    }
}

} // namespace

QIcon MakeProgramIcon() {
    QImage image(32, 32, QImage::Format_ARGB32);
    image.fill(QColor(0, 0, 128));
    QPainter painter(&image);
    painter.setPen(QColor(0, 255, 255));
    // Three paths arriving a few milliseconds apart, the first one strongest.
    const int heights[] = {0, 1, 1, 2, 26, 9, 2, 1, 14, 4, 1, 1, 7, 2, 1, 0};
    for (int i = 0; i < 16; ++i)
        painter.drawLine(i * 2, 30, i * 2, 30 - heights[i]);
    painter.setPen(QColor(255, 255, 0));
    painter.drawLine(0, 31, 31, 31);
    painter.end();
    return QIcon(QPixmap::fromImage(image));
}

MainWindow::MainWindow(session::ReceiverState& state, io::WaveInput& wave, QWidget* parent)
    : QDialog(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint |
                          Qt::CustomizeWindowHint),
      state_(state), wave_(wave) {
    OpenDocument = [](const QUrl& url) { QDesktopServices::openUrl(url); };
    setWindowTitle(StartTitle);
    setWindowIcon(MakeProgramIcon());

    client_ = new ClientArea(*this, this);
    client_->setFont(state_.Fonts.ControlFont);
    CreateControls();
    CreateMenus();

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->setMenuBar(menuBar_);
    layout->addWidget(client_, 0, Qt::AlignLeft | Qt::AlignTop);
    status_ = new StatusLine(this);
    status_->setFont(state_.Fonts.ControlFont);
    layout->addWidget(status_);
    adjustSize();
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame(QPoint(0, 0), size());
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }

    // The painters draw into the panels' images from inside the chain; then
    // whoever watches whole blocks.  Files that cannot be written show below.
    // The status line and the clock measurement follow the acquisition.
    state_.BlockObservers.push_back([window = QPointer<MainWindow>(this)](const dsp::ChainState&) {
        if (window) window->OnBlockAcquired();
    });
    InstallHooks(state_);
    state_.Problems.SetStatusSink(
        [this](const QString& text) { SetStatus(StatusField::Problem, text); });
    // A start in the AMATEUR mode (remembered, or asked for) looks as after
    // the mode command.
    if (state_.Chain->ReceiverMode == dsp::ModeAmateur) ShowMode(dsp::ModeAmateur);
}

void MainWindow::SetStatus(StatusField field, const QString& text) {
    status_->Set(field, text);
}

MainWindow::~MainWindow() {
    state_.Problems.SetStatusSink(nullptr);
}

QWidget* MainWindow::Client() const {
    return client_;
}

void MainWindow::Register(QWidget* control, int id, const char* kind) {
    control->setProperty("controlId", id);
    control->setProperty("kind", QString::fromLatin1(kind));
    controls_.push_back(control);
    slotIds_.push_back(id);
}

QLabel* MainWindow::MakeLabel(int id, const display::Box& box, const QString& text) {
    auto* label = new QLabel(text, client_);
    label->setGeometry(box.X, box.Y, box.W, box.H);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setWordWrap(true);
    label->setTextFormat(Qt::PlainText);
    label->setAttribute(Qt::WA_TransparentForMouseEvents);
    FitLabel(*label, client_->font());
    Register(label, id, "label");
    return label;
}

void MainWindow::MakeLine(const display::Box& box) {
    auto* line = new BlackFrame(client_);
    line->setGeometry(box.X, box.Y, box.W, box.H);
    line->setAttribute(Qt::WA_TransparentForMouseEvents);
    Register(line, NoControlId, "line");
}

// The controls in creation order, which is their tab order and (first on
// top) their stacking order.
void MainWindow::CreateControls() {
    CreatePanels();
    CreateSliders();
    CreateReadouts();
    CreateCaptionsAndScales();
    // The first control created lies on top: the panels cover the frame
    // lines and the "Signal Phase" caption.
    for (auto it = controls_.rbegin(); it != controls_.rend(); ++it)
        (*it)->raise();
}

// The five panels and the tune indicator's scale.
void MainWindow::CreatePanels() {
    display::DisplayState& display = state_.Display;
    const auto panel = [&](int id, display::PanelImage& image, const display::PanelPlace& place) {
        auto* widget = new display::PanelWidget(image, place.Border, client_);
        const display::Box outer = display::Outer(place);
        widget->move(outer.X, outer.Y);
        Register(widget, id, "panel");
    };
    panel(CorrelogramPanelId, display.CorrelogramImage, display::CorrelogramPlace);
    panel(DopplergramPanelId, display.DopplergramImage, display::DopplergramPlace);
    panel(CorrelationPanelId, display.CorrelationImage, display::CorrelationPlace);
    panel(ScattergramPanelId, display.ScattergramImage, display::ScattergramPlace);
    panel(TunePanelId, display.TuneImage, display::TunePlace);

    for (const display::Box& line : display::TuneScaleLines)
        MakeLine(line);
    for (int id = FirstTuneScaleLabelId; id <= LastTuneScaleLabelId; ++id)
        MakeLabel(id, ScaleLabelOf(id).Box, QString::fromLatin1(ScaleLabelOf(id).Nato));
}

// Clock offset and gain.
void MainWindow::CreateSliders() {
    const auto slider = [&](int id, const display::Box& box, int maximum, int position) {
        auto* bar = new QSlider(Qt::Horizontal, client_);
        bar->setGeometry(box.X, box.Y, box.W, box.H);
        bar->setRange(0, maximum);
        bar->setSingleStep(1);
        bar->setPageStep(maximum / 5);
        bar->setValue(position);
        Register(bar, id, "trackbar");
        // The slider has moved when actionTriggered arrives: read it then.
        connect(bar, &QAbstractSlider::actionTriggered, this, [this, bar, id](int action) {
            const int code = ScrollCodeOf(action);
            if (code >= 0) OnHScroll(code, bar->sliderPosition(), id);
        });
        connect(bar, &QAbstractSlider::sliderReleased, this, [this, bar, id] {
            OnHScroll(ScrollThumbPosition, bar->sliderPosition(), id);
            OnHScroll(ScrollEnd, 0, id);
        });
        return bar;
    };
    clockSlider_ = slider(ClockSliderId, display::ClockSliderBox, 20000, 10000);
    MakeLabel(ClockLabelId, display::ClockLabelBox, QStringLiteral("Clock offset 0.00 ppm"));
    gainSlider_ = slider(GainSliderId, display::GainSliderBox, 2000, 1050);
    MakeLabel(GainLabelId, display::GainLabelBox, QStringLiteral("Gain 1.0"));
}

// The pointer's Doppler and delay readouts, and the Doppler shift buttons.
void MainWindow::CreateReadouts() {
    const auto readout = [&](int id, const display::Box& box, const char* colour,
                             const QString& widest) {
        QLabel* label = MakeLabel(id, box, QStringLiteral(" "));
        label->setWordWrap(false);
        // Centred in its 12 inner rows so the digits are not cut off.
        label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        label->setStyleSheet(
            QStringLiteral("QLabel { color: %1; border: 1px solid black; padding: 0px; }")
                .arg(QString::fromLatin1(colour)));
        // Fitted for the widest reading (digits are all as wide as 0).
        FitLabel(*label, client_->font(), {widest});
    };
    readout(DopplerReadoutId, display::DopplerReadoutBox, "rgb(255,0,0)",
            QStringLiteral("-0.00 Hz"));
    readout(DelayReadoutId, display::DelayReadoutBox, "rgb(0,0,255)", QStringLiteral("00.00 msec"));

    const auto button = [&](int id, const display::Box& box, const char* text) {
        auto* push = new QPushButton(QString::fromLatin1(text), client_);
        push->setGeometry(box.X, box.Y, box.W, box.H);
        // The window is a dialog: a default button would be pressed by every
        // Return or Enter, shifting the Doppler axis.
        push->setAutoDefault(false);
        push->setDefault(false);
        Register(push, id, "button");
        connect(push, &QPushButton::clicked, this, [this, id] { OnCommand(id); });
    };
    button(ShiftUpCommand, display::ShiftUpButtonBox, "+");
    button(ShiftDownCommand, display::ShiftDownButtonBox, "-");
}

// Captions, frame lines and the delay and Doppler scales.
void MainWindow::CreateCaptionsAndScales() {
    for (const display::Caption& caption : display::Captions)
        MakeLabel(NoControlId, caption.Box, QString::fromLatin1(caption.Text));

    for (const display::Box& line : display::DelayScaleLines)
        MakeLine(line);
    for (int id = FirstDelayScaleLabelId; id <= LastDelayScaleLabelId; ++id) {
        QLabel* label =
            MakeLabel(id, ScaleLabelOf(id).Box, QString::fromLatin1(ScaleLabelOf(id).Nato));
        FitLabel(*label, IsDelayTimeLabel(id) ? state_.Fonts.ScaleFont : state_.Fonts.DistanceFont);
    }
    for (const display::Box& line : display::DopplerScaleLines)
        MakeLine(line);
    for (int id = FirstDopplerScaleLabelId; id <= LastDopplerScaleLabelId; ++id)
        MakeLabel(id, ScaleLabelOf(id).Box, QString::fromLatin1(ScaleLabelOf(id).Nato));
}

void MainWindow::CreateMenus() {
    menuBar_ = new QMenuBar(this);
    const auto item = [&](QMenu* menu, const char* text, int id, int checkState) {
        QAction* action = menu->addAction(QString::fromLatin1(text));
        action->setProperty("commandId", id);
        if (checkState >= 0) {
            action->setCheckable(true);
            action->setChecked(checkState == 1);
        }
        menuItems_[id] = action;
        connect(action, &QAction::triggered, this, [this, id] { OnCommand(id); });
    };
    constexpr int noCheck = -1, unchecked = 0, checked = 1;
    QMenu* file = menuBar_->addMenu(QStringLiteral("File"));
    item(file, "Auto-save Correlogram", AutoSaveCorrelogramCommand, unchecked);
    item(file, "Auto-save Dopplergram", AutoSaveDopplergramCommand, unchecked);
    item(file, "Auto-save Scattergram", AutoSaveScattergramCommand, unchecked);
    item(file, "Log blocks to CSV", LogBlocksCommand, unchecked);
    QMenu* audio = menuBar_->addMenu(QStringLiteral("Audio Input"));
    item(audio, "Select Input", SelectInputCommand, noCheck);
    item(audio, "Reconnect lost input every 10 s", ReconnectCommand,
         state_.Capture.Reconnect ? checked : unchecked);
    QMenu* tools = menuBar_->addMenu(QStringLiteral("Tools"));
    // Never checked: a plain item.
    item(tools, "Correlogram averaging", AveragingCommand, noCheck);
    item(tools, "Clock offset", ClockOffsetCommand, noCheck);
    item(tools, "Display brightness", BrightnessCommand, noCheck);
    item(tools, "Scattergram black b/g", ScatterBlackCommand, unchecked);
    item(tools, "NATO - 2400 baud, 1800 Hz", NatoCommand, checked);
    item(tools, "AMATEUR - 2000 baud, 1500 Hz", AmateurCommand, unchecked);
    item(tools, "Times in UTC", UtcTimeCommand, unchecked);
    tools->addSeparator();
    item(tools, "Measure clock error", MeasureClockCommand, noCheck);
    item(tools, "Find paths", FindPathsCommand, noCheck);
    menuItems_[FindPathsCommand]->setShortcut(QKeySequence(Qt::Key_F5));
    addAction(menuItems_[FindPathsCommand]); // the key works wherever the focus is
    QMenu* help = menuBar_->addMenu(QStringLiteral("Help"));
    item(help, "About", AboutCommand, noCheck);
    item(help, "Help", HelpCommand, noCheck);

    // Flags switched on before the window exists (--autosave) show their marks.
    const display::DisplayState& d = state_.Display;
    menuItems_[AutoSaveCorrelogramCommand]->setChecked(d.AutoSaveCorrelogram == display::SwitchOn);
    menuItems_[AutoSaveDopplergramCommand]->setChecked(d.AutoSaveDopplergram == display::SwitchOn);
    menuItems_[AutoSaveScattergramCommand]->setChecked(d.AutoSaveScattergram == display::SwitchOn);
    menuItems_[ScatterBlackCommand]->setChecked(d.ScatterBlack == display::SwitchOn);
    menuItems_[LogBlocksCommand]->setChecked(state_.Log != nullptr);
    menuItems_[UtcTimeCommand]->setChecked(state_.UtcClock);
}

QWidget* MainWindow::Control(int id) const {
    for (QWidget* control : controls_)
        if (control && control->property("controlId").toInt() == id) return control;
    return nullptr;
}

QAction* MainWindow::MenuItem(int commandId) const {
    const auto it = menuItems_.find(commandId);
    return it == menuItems_.end() ? nullptr : it->second;
}

QLabel* MainWindow::RebuildLabel(int id, const display::Box& box, const QString& text) {
    // The label keeps its place in the creation order (its slot).
    const auto slot = std::find(slotIds_.begin(), slotIds_.end(), id);
    const size_t index = static_cast<size_t>(slot - slotIds_.begin());
    if (slot != slotIds_.end()) {
        delete controls_[index];
        controls_[index] = nullptr;
    }
    QLabel* label = MakeLabel(id, box, text); // appended by Register
    if (slot != slotIds_.end()) {
        controls_.pop_back();
        slotIds_.pop_back();
        controls_[index] = label;
    }
    label->show();
    return label;
}

void MainWindow::DestroyScaleLabels() {
    // Each id in turn; ids already missing are passed over.
    for (int id = FirstScaleLabelId; id <= LastScaleLabelId; ++id)
        for (size_t i = 0; i < controls_.size(); ++i)
            if (slotIds_[i] == id && controls_[i]) {
                delete controls_[i];
                controls_[i] = nullptr;
            }
}

void MainWindow::CreateScaleLabels() {
    const bool nato = state_.Chain->ReceiverMode == dsp::ModeNato;
    for (int id = FirstScaleLabelId; id <= LastScaleLabelId; ++id) {
        const display::ScaleLabelPlace& s = ScaleLabelOf(id);
        display::Box box = s.Box;
        if (!nato && id == SmallestDelayLabelId) box.H = display::AmateurSmallestDelayLabelHeight;
        QLabel* label = RebuildLabel(id, box, QString::fromLatin1(nato ? s.Nato : s.Amateur));
        if (id <= LastDelayScaleLabelId)
            FitLabel(*label,
                     IsDelayTimeLabel(id) ? state_.Fonts.ScaleFont : state_.Fonts.DistanceFont);
    }
}

} // namespace ui
