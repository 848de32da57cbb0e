// SPDX-License-Identifier: GPL-3.0-or-later
#include <QAction>
#include <QComboBox>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QSlider>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <limits>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "receiver/analysis/block_table.h"
#include "receiver/display/window_layout.h"
#include "receiver/io/paced_devices.h"
#include "receiver/io/tests/scripted_device.h"
#include "receiver/session/preferences.h"
#include "receiver/session/termination.h"
#include "receiver/ui/dialogs.h"
#include "receiver/ui/input_box.h"
#include "receiver/ui/main_window.h"
#include "receiver/ui/messages.h"
#include "receiver/ui/tests/modal_helpers.h"
#include "receiver/ui/window_ids.h"
#include "s4285gen/s4285gen.h"

namespace ui {
namespace {

using testing::OnNextModal;

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::string> FileLines(const std::string& path) {
    std::vector<std::string> lines;
    std::istringstream in(ReadAll(path));
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

void Pump() {
    for (int i = 0; i < 5; ++i)
        QCoreApplication::processEvents();
}

// A window over scripted input devices, its settings file in a scratch folder.
class WindowTest : public ::testing::Test {
  protected:
    explicit WindowTest(int deviceCount = 1) {
        state_.SettingsPath = (dir_.path() + "/Stanag4285.set").toStdString();
        state_.Display.SnapshotFolder = dir_.path();
        for (int i = 0; i < deviceCount; ++i) {
            scripts_.push_back(std::make_shared<io::testing::ScriptedScript>());
            wave_.AddDevice(std::make_unique<io::testing::ScriptedDevice>(
                QStringLiteral("Scripted %1").arg(i), scripts_.back()));
        }
    }

    // Start-up with `settingsText` as the settings file (none when empty).
    void Start(const std::string& settingsText = "") {
        if (!settingsText.empty())
            std::ofstream(state_.SettingsPath, std::ios::binary) << settingsText;
        session::PrepareReceiver(state_);
        window_ = std::make_unique<MainWindow>(state_, wave_);
        window_->OpenDocument = [this](const QUrl& url) { openedDocuments_.push_back(url); };
        window_->OnInitDialog();
        Pump();
    }

    void TearDown() override {
        if (window_ && !window_->Ending()) window_->EndWindow();
        window_.reset();
    }

    QLabel* Label(int id) const { return qobject_cast<QLabel*>(window_->Control(id)); }
    QString LabelText(int id) const { return Label(id) ? Label(id)->text() : QString("<none>"); }
    QSlider* Slider(int id) const { return qobject_cast<QSlider*>(window_->Control(id)); }

    QTemporaryDir dir_;
    session::ReceiverState state_;
    io::WaveInput wave_{false};
    std::vector<std::shared_ptr<io::testing::ScriptedScript>> scripts_;
    std::unique_ptr<MainWindow> window_;
    std::vector<QUrl> openedDocuments_;
};

QRect Rect(const display::Box& box) {
    return QRect(box.X, box.Y, box.W, box.H);
}

struct PanelOfLayout {
    int Id;
    const display::PanelPlace& Place;
};
const PanelOfLayout Panels[] = {
    {CorrelogramPanelId, display::CorrelogramPlace},
    {DopplergramPanelId, display::DopplergramPlace},
    {CorrelationPanelId, display::CorrelationPlace},
    {ScattergramPanelId, display::ScattergramPlace},
    {TunePanelId, display::TunePlace},
};

const display::ScaleLabelPlace& ScalePlace(int id) {
    if (id >= FirstTuneScaleLabelId) return display::TuneScaleLabels[id - FirstTuneScaleLabelId];
    if (id >= FirstDopplerScaleLabelId)
        return display::DopplerScaleLabels[id - FirstDopplerScaleLabelId];
    return display::DelayScaleLabels[id - FirstDelayScaleLabelId];
}

// Every control the layout places: panels, lines, scale labels, captions and
// the eight controls of their own.
constexpr size_t LayoutControls =
    std::size(Panels) + std::size(display::TuneScaleLines) + std::size(display::DelayScaleLines) +
    std::size(display::DopplerScaleLines) + (LastScaleLabelId - FirstScaleLabelId + 1) +
    std::size(display::Captions) + 8;

TEST_F(WindowTest, EveryControlSitsWhereTheLayoutPutsItInsideTheClientArea) {
    Start();
    const std::vector<QWidget*>& controls = window_->Controls();
    ASSERT_EQ(controls.size(), LayoutControls);
    for (QWidget* c : controls) {
        EXPECT_EQ(c->parentWidget(), window_->Client());
        EXPECT_TRUE(window_->Client()->rect().contains(c->geometry())) << c->geometry().x();
    }
    // A panel's picture sits in the layout's box, inside its one-pixel border.
    for (const PanelOfLayout& panel : Panels) {
        QWidget* widget = window_->Control(panel.Id);
        ASSERT_NE(widget, nullptr) << panel.Id;
        EXPECT_EQ(widget->property("kind").toString(), "panel");
        const int border = panel.Place.Border ? 1 : 0;
        EXPECT_EQ(widget->geometry().adjusted(border, border, -border, -border),
                  Rect(panel.Place.Picture))
            << panel.Id;
    }
    const std::pair<int, display::Box> own[] = {
        {ClockSliderId, display::ClockSliderBox},
        {ClockLabelId, display::ClockLabelBox},
        {GainSliderId, display::GainSliderBox},
        {GainLabelId, display::GainLabelBox},
        {DopplerReadoutId, display::DopplerReadoutBox},
        {DelayReadoutId, display::DelayReadoutBox},
        {ShiftUpCommand, display::ShiftUpButtonBox},
        {ShiftDownCommand, display::ShiftDownButtonBox},
    };
    for (const auto& [id, box] : own)
        EXPECT_EQ(window_->Control(id)->geometry(), Rect(box)) << id;
    EXPECT_EQ(qobject_cast<QPushButton*>(window_->Control(ShiftUpCommand))->text(), "+");
    EXPECT_EQ(qobject_cast<QPushButton*>(window_->Control(ShiftDownCommand))->text(), "-");
    for (int id = FirstScaleLabelId; id <= LastScaleLabelId; ++id) {
        EXPECT_EQ(window_->Control(id)->geometry(), Rect(ScalePlace(id).Box)) << id;
        EXPECT_EQ(LabelText(id), ScalePlace(id).Nato) << id;
    }
    // The lines and the captions, each once, in whatever order.
    std::multiset<std::tuple<int, int, int, int>> lines, captions;
    const auto key = [](const QRect& r) { return std::tuple(r.x(), r.y(), r.width(), r.height()); };
    for (QWidget* c : controls) {
        if (c->property("kind").toString() == "line") lines.insert(key(c->geometry()));
        if (c->property("controlId").toInt() == NoControlId && qobject_cast<QLabel*>(c))
            captions.insert(key(c->geometry()));
    }
    std::multiset<std::tuple<int, int, int, int>> wantedLines, wantedCaptions;
    const auto addLines = [&](const auto& group) {
        for (const display::Box& box : group)
            wantedLines.insert(key(Rect(box)));
    };
    addLines(display::TuneScaleLines);
    addLines(display::DelayScaleLines);
    addLines(display::DopplerScaleLines);
    for (const display::Caption& caption : display::Captions)
        wantedCaptions.insert(key(Rect(caption.Box)));
    EXPECT_EQ(lines, wantedLines);
    EXPECT_EQ(captions, wantedCaptions);
}

// Panels never overlap one another; nothing but the scale frames and the
// caption they hide lies under a panel, and those lie below it.
TEST_F(WindowTest, PanelsCoverOnlyTheFramesAndTheHiddenCaption) {
    Start();
    const QObjectList stack = window_->Client()->children(); // bottom first
    for (const PanelOfLayout& a : Panels) {
        for (const PanelOfLayout& b : Panels) {
            if (a.Id == b.Id) continue;
            EXPECT_FALSE(
                window_->Control(a.Id)->geometry().intersects(window_->Control(b.Id)->geometry()))
                << a.Id << " " << b.Id;
        }
    }
    int hidden = 0;
    for (QWidget* c : window_->Controls()) {
        const QString kind = c->property("kind").toString();
        if (kind == "panel") continue;
        for (const PanelOfLayout& panel : Panels) {
            QWidget* p = window_->Control(panel.Id);
            if (!c->geometry().intersects(p->geometry())) continue;
            const auto* label = qobject_cast<QLabel*>(c);
            EXPECT_TRUE(kind == "line" || (label && label->text() == "Signal Phase"))
                << kind.toStdString() << " under panel " << panel.Id;
            EXPECT_LT(stack.indexOf(c), stack.indexOf(p)) << "panel " << panel.Id << " on top";
            if (label) ++hidden;
        }
    }
    EXPECT_EQ(hidden, 1);
}

TEST_F(WindowTest, ScaleFontsAreTimesRomanAndOtherTextsTheControlFont) {
    Start();
    for (int id = 9000; id <= 9010; ++id) {
        const QFont font = window_->Control(id)->font();
        EXPECT_EQ(font.families().value(0), QStringLiteral("Times Roman")) << id;
        EXPECT_EQ(font.pixelSize(), id % 2 == 0 ? 12 : 8) << id; // 9 pt and 6 pt
    }
    EXPECT_EQ(window_->Control(ClockLabelId)->font(), state_.Fonts.ControlFont);
    EXPECT_EQ(window_->Control(9011)->font(), state_.Fonts.ControlFont);
    EXPECT_EQ(state_.Fonts.ControlFont.pixelSize(), 11); // 8 pt
    // The readouts: red and blue text.
    EXPECT_NE(Label(DopplerReadoutId)->styleSheet().indexOf("rgb(255,0,0)"), -1);
    EXPECT_NE(Label(DelayReadoutId)->styleSheet().indexOf("rgb(0,0,255)"), -1);
}

TEST_F(WindowTest, WindowFrameTitleAndClientArea) {
    Start();
    EXPECT_EQ(window_->windowTitle(), QStringLiteral("Stanag 4285 Receiver (NATO)"));
    EXPECT_EQ(window_->Client()->size(), QSize(705, 620));
    EXPECT_EQ(window_->Client()->y(), window_->Menus()->sizeHint().height());
    EXPECT_FALSE(window_->windowIcon().isNull());
    const Qt::WindowFlags flags = window_->windowFlags();
    EXPECT_TRUE(flags & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);
}

TEST_F(WindowTest, MenusHoldTheirItemsIdsAndCheckMarks) {
    Start();
    struct Item {
        const char* Menu;
        const char* Text;
        int Id;
        int Check; // -1 no check mark, 0 unchecked, 1 checked
    };
    const Item table[] = {
        {"File", "Auto-save Correlogram", 1360, 0},
        {"File", "Auto-save Dopplergram", 1361, 0},
        {"File", "Auto-save Scattergram", 1362, 0},
        {"File", "Log blocks to CSV", 1390, 0},
        {"Audio Input", "Select Input", 1310, -1},
        {"Audio Input", "Reconnect lost input every 10 s", 1311, 0},
        {"Tools", "Correlogram averaging", 1350, -1},
        {"Tools", "Clock offset", 1344, -1},
        {"Tools", "Display brightness", 1340, -1},
        {"Tools", "Scattergram black b/g", 1355, 0},
        {"Tools", "NATO - 2400 baud, 1800 Hz", 1370, 1},
        {"Tools", "AMATEUR - 2000 baud, 1500 Hz", 1371, 0},
        {"Tools", "Times in UTC", 1391, 0},
        {"Tools", "Measure clock error", 1392, -1},
        {"Tools", "Find paths", 1393, -1},
        {"Help", "About", 1381, -1},
        {"Help", "Help", 32651, -1},
    };
    std::vector<std::pair<QString, QAction*>> found;
    QStringList menuTitles;
    for (QAction* menuAction : window_->Menus()->actions()) {
        menuTitles << menuAction->text();
        for (QAction* item : menuAction->menu()->actions())
            if (!item->isSeparator()) found.emplace_back(menuAction->text(), item);
    }
    EXPECT_EQ(menuTitles, QStringList({"File", "Audio Input", "Tools", "Help"}));
    ASSERT_EQ(found.size(), std::size(table));
    for (size_t i = 0; i < found.size(); ++i) {
        SCOPED_TRACE(table[i].Text);
        EXPECT_EQ(found[i].first, table[i].Menu);
        EXPECT_EQ(found[i].second->text(), table[i].Text);
        EXPECT_EQ(found[i].second->property("commandId").toInt(), table[i].Id);
        EXPECT_EQ(found[i].second, window_->MenuItem(table[i].Id));
        EXPECT_EQ(found[i].second->isChecked(), table[i].Check == 1);
    }
    EXPECT_EQ(window_->MenuItem(FindPathsCommand)->shortcut(), QKeySequence(Qt::Key_F5));
}

TEST_F(WindowTest, SwitchesOnBeforeTheWindowShowTheirCheckMarks) {
    // propmon --autosave switches the three saves on before the window exists.
    session::PrepareReceiver(state_);
    state_.Display.AutoSaveCorrelogram = display::SwitchOn;
    state_.Display.AutoSaveDopplergram = display::SwitchOn;
    state_.Display.AutoSaveScattergram = display::SwitchOn;
    window_ = std::make_unique<MainWindow>(state_, wave_);
    EXPECT_TRUE(window_->MenuItem(AutoSaveCorrelogramCommand)->isChecked());
    EXPECT_TRUE(window_->MenuItem(AutoSaveDopplergramCommand)->isChecked());
    EXPECT_TRUE(window_->MenuItem(AutoSaveScattergramCommand)->isChecked());
    EXPECT_FALSE(window_->MenuItem(ScatterBlackCommand)->isChecked());
    window_->OnCommand(AutoSaveDopplergramCommand);
    EXPECT_EQ(state_.Display.AutoSaveDopplergram, display::SwitchOff);
    EXPECT_FALSE(window_->MenuItem(AutoSaveDopplergramCommand)->isChecked());
}

TEST_F(WindowTest, SlidersSetGainAndClockOffsetAndTheirLabels) {
    Start();
    EXPECT_EQ(Slider(ClockSliderId)->value(), 10000);
    EXPECT_EQ(Slider(GainSliderId)->value(), 1050);

    window_->OnHScroll(ScrollThumbTrack, 2000, GainSliderId);
    EXPECT_EQ(state_.Settings.InputGain, 20.0f);
    EXPECT_EQ(LabelText(GainLabelId), "Gain 20.0");
    window_->OnHScroll(ScrollThumbTrack, 0, GainSliderId);
    EXPECT_EQ(state_.Settings.InputGain, 0.0f);
    EXPECT_EQ(LabelText(GainLabelId), "Gain 0.0");

    window_->OnHScroll(ScrollThumbTrack, 20000, ClockSliderId);
    EXPECT_EQ(state_.Settings.ClockOffset, 0.00005L);
    EXPECT_EQ(LabelText(ClockLabelId), "Clock offset 50.00 ppm");
    window_->OnHScroll(ScrollThumbTrack, 0, ClockSliderId);
    EXPECT_EQ(LabelText(ClockLabelId), "Clock offset -50.00 ppm");

    // Released thumb and end of scroll change nothing.
    window_->OnHScroll(ScrollThumbPosition, 15000, ClockSliderId);
    window_->OnHScroll(ScrollEnd, 15000, ClockSliderId);
    EXPECT_EQ(LabelText(ClockLabelId), "Clock offset -50.00 ppm");
}

TEST_F(WindowTest, KeyboardMovesOfBothSlidersTakeTheNewPosition) {
    Start();
    QSlider* clock = Slider(ClockSliderId);
    QTest::keyClick(clock, Qt::Key_Right);
    EXPECT_EQ(clock->value(), 10001);
    EXPECT_EQ(state_.Settings.ClockOffset, 1 / 200000000.0L);
    QTest::keyClick(clock, Qt::Key_End);
    EXPECT_EQ(state_.Settings.ClockOffset, 0.00005L);
    EXPECT_EQ(LabelText(ClockLabelId), "Clock offset 50.00 ppm");

    // Line and page moves of GainSlider set the gain too.
    QSlider* gain = Slider(GainSliderId);
    QTest::keyClick(gain, Qt::Key_Home);
    EXPECT_EQ(state_.Settings.InputGain, 0.0f);
    EXPECT_EQ(LabelText(GainLabelId), "Gain 0.0");
    QTest::keyClick(gain, Qt::Key_PageUp);
    EXPECT_EQ(gain->value(), 400);
    EXPECT_EQ(state_.Settings.InputGain, 400.0f / 1700.0f);
    EXPECT_EQ(LabelText(GainLabelId), "Gain 0.2");
    // ... and leave the clock offset alone.
    EXPECT_EQ(state_.Settings.ClockOffset, 0.00005L);
}

TEST_F(WindowTest, InitialisationPlacesSlidersFromTheSettings) {
    Start("0\r\n3\r\n1\r\n1\r\n1\r\n1\r\n");
    EXPECT_EQ(Slider(ClockSliderId)->value(), 10000);
    EXPECT_EQ(LabelText(ClockLabelId), "Clock offset 3.00 ppm");
    state_.Settings.ClockOffset = -0.00005L;
    state_.Settings.ClockPpm = 0;
    state_.Settings.InputGain = 20.0f;
    window_->OnInitDialog();
    EXPECT_EQ(Slider(ClockSliderId)->value(), 0);
    EXPECT_EQ(LabelText(ClockLabelId), "Clock offset -50.00 ppm");
    EXPECT_EQ(Slider(GainSliderId)->value(), 2000);
    EXPECT_EQ(LabelText(GainLabelId), "Gain 20.0");
    // Beyond the slider's range the offset keeps its value until the slider moves.
    state_.Settings.ClockOffset = 0.001L;
    window_->OnInitDialog();
    EXPECT_EQ(Slider(ClockSliderId)->value(), 20000);
    EXPECT_EQ(state_.Settings.ClockOffset, 0.001L);
}

TEST_F(WindowTest, ShiftButtonsStepTheDopplerShiftWithinLimits) {
    Start();
    auto* plus = qobject_cast<QPushButton*>(window_->Control(ShiftUpCommand));
    auto* minus = qobject_cast<QPushButton*>(window_->Control(ShiftDownCommand));
    for (int i = 0; i < 13; ++i)
        plus->click();
    EXPECT_EQ(state_.Controls.DopplerShift, -128);
    plus->click();
    EXPECT_EQ(state_.Controls.DopplerShift, -128);
    state_.Controls.DopplerShift = 120;
    minus->click();
    EXPECT_EQ(state_.Controls.DopplerShift, 128);
}

TEST_F(WindowTest, ReturnAndEnterPressNoButton) {
    Start();
    window_->show();
    auto* plus = qobject_cast<QPushButton*>(window_->Control(ShiftUpCommand));
    for (int id : {ShiftUpCommand, ShiftDownCommand}) {
        auto* button = qobject_cast<QPushButton*>(window_->Control(id));
        EXPECT_FALSE(button->isDefault()) << id;
        EXPECT_FALSE(button->autoDefault()) << id;
    }
    QTest::mouseClick(plus, Qt::LeftButton); // a click still shifts, and leaves the focus there
    ASSERT_EQ(state_.Controls.DopplerShift, -10);
    for (QWidget* target : {static_cast<QWidget*>(window_.get()), window_->focusWidget(),
                            static_cast<QWidget*>(Slider(ClockSliderId))})
        for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter})
            QTest::keyClick(target, key);
    EXPECT_EQ(state_.Controls.DopplerShift, -10);
    EXPECT_FALSE(window_->Ending());
}

// Where `text` in `font` would be cut off in `box` (drawn from its left edge,
// at the top or vertically centred); empty when it is shown whole.
std::string Cut(const QFont& font, const QString& text, const QRect& box, bool centred) {
    const QFontMetrics metrics(font);
    const QRect ink = metrics.tightBoundingRect(text);
    const int baseline =
        box.top() + (centred ? (box.height() - metrics.height()) / 2 : 0) + metrics.ascent();
    std::string cut;
    if (metrics.horizontalAdvance(text) > box.width() || box.left() + ink.right() > box.right())
        cut += " wider than " + std::to_string(box.width());
    if (!ink.isEmpty() &&
        (baseline + ink.top() < box.top() || baseline + ink.bottom() > box.bottom()))
        cut += " ink outside the rows " + std::to_string(box.top()) + ".." +
               std::to_string(box.bottom());
    return cut.empty() ? cut : "'" + text.toStdString() + "'" + cut;
}

std::string LabelCut(const QLabel& label) {
    return Cut(label.font(), label.text(), label.contentsRect(),
               label.alignment() & Qt::AlignVCenter);
}

std::string ButtonCut(const QPushButton& button) {
    QStyleOptionButton option;
    option.initFrom(&button);
    const QRect contents =
        button.style()->subElementRect(QStyle::SE_PushButtonContents, &option, &button);
    return Cut(button.font(), button.text(), contents, true);
}

// Whether a line edit shows `text` whole: with the cursor at its end the field
// has not scrolled, so the text starts where the cursor at position 0 stands.
bool ShowsWhole(QLineEdit& edit, const QString& text) {
    edit.setText(text);
    edit.setCursorPosition(static_cast<int>(text.size()));
    const auto cursorX = [&edit] {
        return edit.inputMethodQuery(Qt::ImCursorRectangle).toRect().center().x();
    };
    const int end = cursorX();
    edit.setCursorPosition(0);
    const int start = cursorX();
    return end - start == QFontMetrics(edit.font()).horizontalAdvance(text) &&
           end < edit.contentsRect().right();
}

TEST_F(WindowTest, EveryFixedTextFitsItsBox) {
    wave_.AddDevice(std::make_unique<io::TestSignalDevice>());
    Start();
    window_->show();
    const auto checkWindow = [&](const char* when) {
        SCOPED_TRACE(when);
        for (QWidget* control : window_->Controls()) {
            if (auto* label = qobject_cast<QLabel*>(control)) {
                EXPECT_EQ(LabelCut(*label), "");
            }
            if (auto* button = qobject_cast<QPushButton*>(control)) {
                EXPECT_EQ(ButtonCut(*button), "");
            }
        }
    };
    checkWindow("NATO");
    window_->OnHScroll(ScrollThumbTrack, 0, ClockSliderId); // "Clock offset -50.00 ppm"
    window_->OnHScroll(ScrollThumbTrack, 2000, GainSliderId);
    for (QPoint at : {QPoint(543, 288), QPoint(483, 543), QPoint(100, 543)}) { // widest readings
        window_->OnMouseMove(at.x(), at.y());
        checkWindow("readouts");
    }
    window_->OnCommand(AmateurCommand);
    Pump();
    checkWindow("AMATEUR");

    // The picker's field shows the longest name, the built-in test signal's, whole.
    OnNextModal([&](QWidget* w) {
        auto* picker = qobject_cast<SoundcardPicker*>(w);
        ASSERT_NE(picker, nullptr);
        for (int i = 0; i < picker->Combo()->count(); ++i)
            EXPECT_TRUE(ShowsWhole(*picker->Combo()->lineEdit(), picker->Combo()->itemText(i)))
                << picker->Combo()->itemText(i).toStdString();
        EXPECT_EQ(ButtonCut(*picker->OkButton()), "");
        picker->close();
    });
    window_->OnCommand(SelectInputCommand);
    Pump();

    OnNextModal([&](QWidget* w) {
        auto* dialog = qobject_cast<BrightnessDialog*>(w);
        ASSERT_NE(dialog, nullptr);
        const QList<QLabel*> labels = dialog->findChildren<QLabel*>();
        ASSERT_EQ(labels.size(), 3);
        for (const QLabel* label : labels) {
            EXPECT_EQ(LabelCut(*label), "");
            EXPECT_EQ(label->font(), labels.front()->font()); // one font for the three
        }
        for (int id : {CorrGainEditId, DopplerGainEditId, ScatterGainEditId})
            EXPECT_TRUE(ShowsWhole(*dialog->Field(id), dialog->Field(id)->text())) << id;
        EXPECT_EQ(ButtonCut(*dialog->OkButton()), "");
        dialog->close();
    });
    window_->OnCommand(BrightnessCommand);
}

TEST_F(WindowTest, TogglesNegateTheirFlagAndKeepTheCheckMark) {
    Start();
    const std::pair<int, int32_t*> toggles[] = {
        {1360, &state_.Display.AutoSaveCorrelogram},
        {1361, &state_.Display.AutoSaveDopplergram},
        {1362, &state_.Display.AutoSaveScattergram},
        {1355, &state_.Display.ScatterBlack},
    };
    for (auto [id, flag] : toggles) {
        QAction* item = window_->MenuItem(id);
        item->trigger();
        EXPECT_EQ(*flag, 1) << id;
        EXPECT_TRUE(item->isChecked()) << id;
        item->trigger();
        EXPECT_EQ(*flag, -1) << id;
        EXPECT_FALSE(item->isChecked()) << id;
    }
}

// Answers the next InputBox with `answer` (typed over the default), or
// cancels it when `answer` is null; records the default text shown.
void AnswerPrompt(const char* answer, QString* shownDefault = nullptr,
                  QString* shownPrompt = nullptr) {
    OnNextModal([=](QWidget* w) {
        auto* box = qobject_cast<InputBoxDialog*>(w);
        ASSERT_NE(box, nullptr);
        if (shownDefault) *shownDefault = box->Edit()->text();
        if (shownPrompt) *shownPrompt = box->Prompt()->text();
        if (!answer) {
            box->CancelButton()->click();
            return;
        }
        box->Edit()->setText(QString::fromLatin1(answer));
        box->OkButton()->click();
    });
}

TEST_F(WindowTest, AveragingPromptTakesTheFlooredLeadingNumberAtLeastOne) {
    Start();
    QString shown;
    AnswerPrompt("12abc", &shown);
    window_->OnCommand(AveragingCommand);
    EXPECT_EQ(shown, " 1");
    EXPECT_EQ(state_.Controls.AverageCount, 12);

    AnswerPrompt(nullptr, &shown); // Cancel keeps the value
    window_->OnCommand(AveragingCommand);
    EXPECT_EQ(shown, " 12");
    EXPECT_EQ(state_.Controls.AverageCount, 12);

    const std::pair<const char*, int> cases[] = {{"0", 1}, {"-5", 1}, {"12.7", 12},
                                                 {"", 12}, {"x", 1},  {"1e30", 2147483647}};
    for (auto [answer, expected] : cases) {
        state_.Controls.AverageCount = 12;
        AnswerPrompt(answer);
        window_->OnCommand(AveragingCommand);
        EXPECT_EQ(state_.Controls.AverageCount, expected) << "answer '" << answer << "'";
    }
}

TEST_F(WindowTest, ClockPromptSetsWholePpmAndRewritesTheLabel) {
    Start();
    QString shown, prompt;
    AnswerPrompt("12.7", &shown, &prompt);
    window_->OnCommand(ClockOffsetCommand);
    EXPECT_EQ(shown, " 0");
    EXPECT_EQ(prompt, "Enter clock offset in ppm\n(to allow for very large soundcard errors)");
    EXPECT_EQ(state_.Settings.ClockPpm, 12.0L);
    EXPECT_EQ(LabelText(ClockLabelId), "Clock offset 12.00 ppm");

    AnswerPrompt("-12.7");
    window_->OnCommand(ClockOffsetCommand);
    EXPECT_EQ(state_.Settings.ClockPpm, -13.0L);
    EXPECT_EQ(LabelText(ClockLabelId), "Clock offset -13.00 ppm");

    AnswerPrompt(nullptr, &shown);
    window_->OnCommand(ClockOffsetCommand);
    EXPECT_EQ(shown, "-13");
    EXPECT_EQ(state_.Settings.ClockPpm, -13.0L);
}

TEST_F(WindowTest, ModeSwitchRebuildsLabelsTitleChecksAndRestartsCapture) {
    Start();
    io::testing::ScriptedScript& script = *scripts_[0];
    EXPECT_EQ(script.Opens, 1);
    EXPECT_EQ(script.LastOpenRate, 9600);

    window_->OnCommand(AmateurCommand);
    Pump();
    EXPECT_EQ(window_->windowTitle(), "Stanag 4285 receiver (AMATEUR)");
    EXPECT_FALSE(window_->MenuItem(NatoCommand)->isChecked());
    EXPECT_TRUE(window_->MenuItem(AmateurCommand)->isChecked());
    EXPECT_EQ(state_.Chain->ReceiverMode, dsp::ModeAmateur);
    EXPECT_EQ(state_.Chain->SampleRate, 8000);
    EXPECT_EQ(state_.Chain->CarrierHz, 1500);
    EXPECT_EQ(script.Opens, 2);
    EXPECT_EQ(script.LastOpenRate, 8000);
    const std::pair<int, const char*> amateur[] = {
        {9000, "25ms"},  {9001, "(7500 km)"}, {9002, "20ms"}, {9003, "(6000 km)"},
        {9004, "15ms"},  {9005, "(4500 km)"}, {9006, "10ms"}, {9007, "(3000 km)"},
        {9008, "5ms"},   {9009, "(1500 km)"}, {9010, "0ms"},  {9011, "+4 Hz"},
        {9012, " 0 Hz"}, {9013, "-4 Hz"},     {9014, "+25"},  {9015, " 0"},
        {9016, "-25"}};
    for (auto [id, text] : amateur)
        EXPECT_EQ(LabelText(id), text) << id;
    // "5ms" is one pixel less high than "4ms"; its neighbours keep their size.
    EXPECT_EQ(window_->Control(9008)->geometry(), Rect(ScalePlace(9008).Box).adjusted(0, 0, 0, -1));
    EXPECT_EQ(window_->Control(9007)->geometry(), Rect(ScalePlace(9007).Box));
    EXPECT_EQ(window_->Control(9008)->font(), state_.Fonts.ScaleFont);
    EXPECT_EQ(window_->Controls().size(), LayoutControls);

    // NATO twice: the second time the mode does not change, capture restarts anyway.
    for (int round = 1; round <= 2; ++round) {
        window_->OnCommand(NatoCommand);
        Pump();
        EXPECT_EQ(script.Opens, 2 + round);
        EXPECT_EQ(script.LastOpenRate, 9600);
    }
    EXPECT_EQ(window_->windowTitle(), "Stanag 4285 receiver (NATO)");
    EXPECT_TRUE(window_->MenuItem(NatoCommand)->isChecked());
    EXPECT_FALSE(window_->MenuItem(AmateurCommand)->isChecked());
    EXPECT_EQ(LabelText(9000), "20ms");
    EXPECT_EQ(window_->Control(9008)->geometry(), Rect(ScalePlace(9008).Box));
    EXPECT_EQ(LabelText(9016), "-30");
}

TEST_F(WindowTest, PointerMovesFillTheReadoutsAndClicksPickTheLag) {
    Start();
    QTest::mouseMove(window_->Client(), QPoint(500, 389)); // over the scattergram
    window_->OnMouseMove(500, 389);
    EXPECT_EQ(LabelText(DopplerReadoutId), "1.00 Hz");
    EXPECT_EQ(LabelText(DelayReadoutId), "3.54 msec");
    window_->OnMouseMove(200, 416); // over the dopplergram
    EXPECT_EQ(LabelText(DopplerReadoutId), "0.00 Hz");
    EXPECT_EQ(LabelText(DelayReadoutId), "0.00 msec");
    window_->OnMouseMove(30, 312); // over the correlation panel
    EXPECT_EQ(state_.Display.MarkerLag, 250);

    // A real click reaches the handler through the client area.
    QTest::mouseClick(window_->Client(), Qt::LeftButton, {}, QPoint(30, 50));
    EXPECT_EQ(state_.Controls.LagOffset, 512);
    window_->OnLButtonUp(300, 150);
    window_->OnLButtonUp(300, 150);
    EXPECT_EQ(state_.Display.CorrelogramScroll, 200);
}

TEST_F(WindowTest, RecordedBuffersReachTheChain) {
    Start();
    io::testing::ScriptedScript& script = *scripts_[0];
    ASSERT_TRUE(script.Started);
    std::vector<int16_t> samples(1024);
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<int16_t>(i * 7 - 3000);
    script.Record(samples);
    Pump();
    EXPECT_EQ(state_.Chain->Intake.CaptureBlock[0], samples[0]);
    EXPECT_EQ(state_.Chain->Intake.CaptureBlock[1023], samples[1023]);
}

TEST_F(WindowTest, BlockObserversSeeEveryBlockAndTheStatusLineSitsBelowThePanels) {
    std::vector<int32_t> peaks;
    state_.BlockObservers.push_back(
        [&](const dsp::ChainState& chain) { peaks.push_back(chain.Peak.PeakLag); });
    Start();
    scripts_[0]->Record(std::vector<int16_t>(3 * 1024, 100)); // three buffers, three blocks
    Pump();
    EXPECT_EQ(peaks.size(), 3u);

    // The input is named when it opens; level, lock and SNR follow the blocks.
    window_->SetStatus(StatusField::Problem, QStringLiteral("cannot write logs/"));
    window_->show();
    Pump();
    EXPECT_EQ(window_->Status()->Joined().toStdString(),
              "Scripted 0  Level -50 dBFS  Searching  SNR 20 dB  cannot write logs/");
    EXPECT_GE(window_->Status()->y(), window_->Client()->geometry().bottom());
    EXPECT_EQ(window_->Client()->size(), QSize(705, 620));
    window_->SetStatus(StatusField::Problem, QString());
    EXPECT_EQ(window_->Status()->Joined().toStdString(),
              "Scripted 0  Level -50 dBFS  Searching  SNR 20 dB");
}

TEST_F(WindowTest, AboutShowsOurTextAndHelpOpensTheHelpFile) {
    Start();
    QString caption, text;
    OnNextModal([&](QWidget* w) {
        auto* box = qobject_cast<QMessageBox*>(w);
        ASSERT_NE(box, nullptr);
        caption = box->windowTitle();
        text = box->text();
        EXPECT_EQ(box->standardButtons(), QMessageBox::Ok);
        EXPECT_EQ(box->windowModality(), Qt::ApplicationModal);
        box->button(QMessageBox::Ok)->click();
    });
    window_->OnCommand(AboutCommand);
    EXPECT_EQ(caption, DefaultCaption);
    EXPECT_TRUE(text.startsWith("propmon ")) << text.toStdString();
    EXPECT_NE(text.indexOf("STANAG 4285"), -1);

    window_->OnCommand(HelpCommand);
    ASSERT_EQ(openedDocuments_.size(), 1u);
    EXPECT_TRUE(openedDocuments_[0].isLocalFile());
    EXPECT_TRUE(openedDocuments_[0].toLocalFile().endsWith("/Stanag Help.htm"));
}

TEST_F(WindowTest, HugeNumbersAreClampedAndLabelsKeepTheirFixedPointForm) {
    Start("0\r\n1e30\r\n1e50\r\n1\r\n1\r\n1\r\n");
    EXPECT_EQ(state_.Settings.InputGain, std::numeric_limits<float>::max());
    EXPECT_EQ(Slider(GainSliderId)->value(), 2000); // the right end, not the left
    EXPECT_EQ(LabelText(GainLabelId), "Gain 340282346638528859811704183484516925440.0");
    EXPECT_EQ(LabelText(ClockLabelId), "Clock offset 1000000015047466219876688855040.00 ppm");

    // Typed: the prompt and the brightness fields.
    AnswerPrompt("-1e99999");
    window_->OnCommand(ClockOffsetCommand);
    EXPECT_EQ(state_.Settings.ClockPpm, -std::numeric_limits<long double>::max());
    EXPECT_TRUE(LabelText(ClockLabelId)
                    .startsWith("Clock offset -340282346638528859811704183484516925440.00"));
    OnNextModal([&](QWidget* w) {
        auto* dialog = qobject_cast<BrightnessDialog*>(w);
        ASSERT_NE(dialog, nullptr);
        dialog->Field(CorrGainEditId)->setText("1e50");
        dialog->Field(DopplerGainEditId)->setText("-1e99999");
        dialog->OkButton()->click();
    });
    window_->OnCommand(BrightnessCommand);
    EXPECT_EQ(state_.Settings.CorrGain, std::numeric_limits<float>::max());
    EXPECT_EQ(state_.Settings.DopplerGain, -std::numeric_limits<float>::max());

    window_->EndWindow();
    const std::vector<std::string> lines = FileLines(state_.SettingsPath);
    EXPECT_EQ(lines.at(2), "3.402823E+38");
    EXPECT_EQ(lines.at(3), "3.402823E+38");
}

TEST_F(WindowTest, HelpOpensTheCurrentFoldersPageElseTheInstalledOne) {
    // Without a page of its own, a build-tree run finds the source tree's.
    session::PrepareReceiver(state_);
    EXPECT_TRUE(state_.HelpFolders.contains(QStringLiteral(PROPMON_SOURCE_DOCDIR)));
    QTemporaryDir elsewhere, installed;
    std::ofstream(installed.filePath("Stanag Help.htm").toStdString()) << "<html></html>";
    state_.HelpFolders = {elsewhere.path(), installed.path()};
    Start();
    const QString previous = QDir::currentPath();
    QDir::setCurrent(dir_.path());
    window_->OnCommand(HelpCommand);
    std::ofstream(dir_.filePath("Stanag Help.htm").toStdString()) << "<html>ours</html>";
    window_->OnCommand(HelpCommand);
    QDir::setCurrent(previous);
    ASSERT_EQ(openedDocuments_.size(), 2u);
    EXPECT_EQ(openedDocuments_[0], QUrl::fromLocalFile(installed.filePath("Stanag Help.htm")));
    EXPECT_EQ(openedDocuments_[1], QUrl::fromLocalFile(dir_.filePath("Stanag Help.htm")));
}

TEST_F(WindowTest, BrightnessDialogTakesGainsOnOkOnly) {
    Start();
    state_.Settings.CorrGain = 0.8f;
    OnNextModal([&](QWidget* w) {
        auto* dialog = qobject_cast<BrightnessDialog*>(w);
        ASSERT_NE(dialog, nullptr);
        EXPECT_EQ(dialog->windowTitle(), "Adjust display brightness - typically 0.5 to 1.5");
        EXPECT_EQ(dialog->size(), QSize(360, 60));
        EXPECT_EQ(dialog->pos(), window_->Client()->mapToGlobal(QPoint(100, 100)));
        EXPECT_EQ(dialog->palette().color(QPalette::Window), QColor(224, 255, 255));
        EXPECT_TRUE(dialog->windowFlags().testFlag(Qt::Tool));
        EXPECT_EQ(dialog->Field(CorrGainEditId)->text(), " .8");
        EXPECT_EQ(dialog->Field(DopplerGainEditId)->text(), " 1");
        EXPECT_EQ(dialog->Field(DopplerGainEditId)->geometry(), QRect(110, 2, 40, 23));
        dialog->Field(DopplerGainEditId)->setText("1.5");
        dialog->Field(ScatterGainEditId)->setText("-2");
        dialog->OkButton()->click();
    });
    window_->OnCommand(BrightnessCommand);
    EXPECT_EQ(state_.Settings.CorrGain, 0.8f);
    EXPECT_EQ(state_.Settings.DopplerGain, 1.5f);
    EXPECT_EQ(state_.Settings.ScatterGain, -2.0f); // taken as entered

    OnNextModal([&](QWidget* w) {
        auto* dialog = qobject_cast<BrightnessDialog*>(w);
        ASSERT_NE(dialog, nullptr);
        dialog->Field(CorrGainEditId)->setText("3");
        dialog->close();
    });
    window_->OnCommand(BrightnessCommand);
    EXPECT_EQ(state_.Settings.CorrGain, 0.8f);

    window_->EndWindow();
    EXPECT_EQ(FileLines(state_.SettingsPath).at(4), "1.5");
}

class PickerTest : public WindowTest {
  protected:
    PickerTest() : WindowTest(3) {}
};

TEST_F(PickerTest, PickerListsDevicesSelectsTheCurrentOneAndSwitches) {
    state_.Capture.DeviceId = 2;
    Start();
    session::PrepareReceiver(state_); // start-up resets the device to the first one
    state_.Capture.DeviceId = 2;
    window_->OnCommand(NatoCommand);
    Pump();
    ASSERT_EQ(scripts_[2]->Opens, 1);
    bool stoppedWhileOpen = true;
    OnNextModal([&](QWidget* w) {
        auto* picker = qobject_cast<SoundcardPicker*>(w);
        ASSERT_NE(picker, nullptr);
        stoppedWhileOpen = !scripts_[2]->Started;
        EXPECT_EQ(picker->windowTitle(), "Select soundcard");
        EXPECT_EQ(picker->size(), QSize(237, 60));
        EXPECT_EQ(picker->pos(), window_->Client()->mapToGlobal(QPoint(100, 100)));
        EXPECT_EQ(picker->Combo()->count(), 3);
        EXPECT_EQ(picker->Combo()->itemText(0), "Scripted 0");
        EXPECT_EQ(picker->Combo()->currentIndex(), 2);
        EXPECT_EQ(picker->OkButton()->geometry(), QRect(10, 26, 70, 23));
        picker->Combo()->setCurrentIndex(0);
        picker->OkButton()->click();
    });
    window_->OnCommand(SelectInputCommand);
    Pump();
    EXPECT_TRUE(stoppedWhileOpen);
    EXPECT_EQ(state_.Capture.DeviceId, 0);
    EXPECT_EQ(scripts_[0]->Opens, 2);
    EXPECT_EQ(scripts_[0]->LastOpenRate, 9600);
    EXPECT_TRUE(scripts_[0]->Started);

    // The close box keeps the device, which is opened again.
    OnNextModal([](QWidget* w) { w->close(); });
    window_->OnCommand(SelectInputCommand);
    Pump();
    EXPECT_EQ(state_.Capture.DeviceId, 0);
    EXPECT_EQ(scripts_[0]->Opens, 3);

    // Text typed into the combo box's field selects nothing: the default input.
    OnNextModal([](QWidget* w) {
        auto* picker = qobject_cast<SoundcardPicker*>(w);
        QTest::keyClicks(picker->Combo()->lineEdit(), "x");
        picker->OkButton()->click();
    });
    // Without sound cards the default input cannot be opened: the message, and
    // the window ends with the settings written.
    QString message;
    OnNextModal([&](QWidget* w) {
        message = qobject_cast<QMessageBox*>(w)->text();
        qobject_cast<QMessageBox*>(w)->accept();
    });
    window_->OnCommand(SelectInputCommand);
    EXPECT_EQ(state_.Capture.DeviceId, -1);
    EXPECT_EQ(message, "No suitable device found");
    EXPECT_TRUE(window_->Ending());
    EXPECT_EQ(FileLines(state_.SettingsPath).size(), 14u);
}

class NoDeviceTest : public WindowTest {
  protected:
    NoDeviceTest() : WindowTest(0) {}
};

TEST_F(NoDeviceTest, WithoutDevicesThePickerWarnsAndTheWindowEndsWithSettingsWritten) {
    // Start-up without devices: "No suitable device found", and the window stays.
    QString startMessage;
    OnNextModal([&](QWidget* w) {
        startMessage = qobject_cast<QMessageBox*>(w)->text();
        qobject_cast<QMessageBox*>(w)->accept();
    });
    Start();
    EXPECT_EQ(startMessage, "No suitable device found");
    EXPECT_FALSE(window_->Ending());

    QString warning, warningCaption, endMessage;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    OnNextModal([&](QWidget* w) {
        auto* picker = qobject_cast<SoundcardPicker*>(w);
        ASSERT_NE(picker, nullptr);
        OnNextModal(
            [&, picker](QWidget* m) {
                auto* box = qobject_cast<QMessageBox*>(m);
                ASSERT_NE(box, nullptr);
                warning = box->text();
                warningCaption = box->windowTitle();
                icon = box->icon();
                box->accept();
                // The picker is still open; "OK" there.  Then the default
                // input cannot be opened either.
                QTimer::singleShot(0, picker, [picker] { picker->OkButton()->click(); });
                OnNextModal(
                    [&](QWidget* last) {
                        auto* end = qobject_cast<QMessageBox*>(last);
                        ASSERT_NE(end, nullptr);
                        endMessage = end->text();
                        end->accept();
                    },
                    picker);
            },
            picker);
    });
    window_->OnCommand(SelectInputCommand);
    EXPECT_EQ(warning, "You have no audio input devices!");
    EXPECT_EQ(warningCaption, "Warning");
    EXPECT_EQ(icon, QMessageBox::Warning);
    EXPECT_EQ(state_.Capture.DeviceId, -1);
    EXPECT_EQ(endMessage, "No suitable device found");
    EXPECT_TRUE(window_->Ending());
    EXPECT_EQ(FileLines(state_.SettingsPath).size(), 14u);
}

TEST_F(WindowTest, CaptureFailureEndsTheRunningWindowWithSettingsWritten) {
    Start();
    state_.Settings.CorrGain = 2.0f;
    io::testing::ScriptedScript& script = *scripts_[0];
    QString shown;
    QTimer::singleShot(0, [&] {
        script.Failures[io::WaveOp::Queue] = io::WaveError;
        OnNextModal(
            [&](QWidget* w) {
                auto* box = qobject_cast<QMessageBox*>(w);
                ASSERT_NE(box, nullptr);
                shown = box->text();
                box->accept();
            },
            window_.get());
        script.Record(std::vector<int16_t>(1024, 100));
    });
    window_->exec();
    EXPECT_FALSE(shown.isEmpty());
    EXPECT_TRUE(window_->Ending());
    EXPECT_EQ(FileLines(state_.SettingsPath).at(3), "2");
}

// With the menu's reconnect check on, a failing input is released and opened again
// until it answers: no message box, the window goes on, each event is one line.
TEST_F(WindowTest, ReconnectRetriesALostInputInsteadOfEndingTheWindow) {
    Start();
    std::vector<std::string> events;
    window_->EventReport = [&](const std::string& line) { events.push_back(line); };
    state_.Capture.RetryIntervalMs = 50;
    window_->MenuItem(ReconnectCommand)->trigger();
    EXPECT_TRUE(state_.Capture.Reconnect);
    EXPECT_TRUE(window_->MenuItem(ReconnectCommand)->isChecked());

    int blocks = 0;
    state_.BlockObservers.push_back([&](const dsp::ChainState&) { ++blocks; });
    io::testing::ScriptedScript& script = *scripts_[0];
    const auto runUntil = [](const std::function<bool()>& done) {
        for (int i = 0; i < 400 && !done(); ++i) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            QTest::qWait(5);
        }
        return done();
    };
    // The device dies under the running capture and stays away for a while.
    script.Failures[io::WaveOp::Queue] = io::WaveError;
    script.Failures[io::WaveOp::Open] = io::WaveNotEnabled;
    script.Record(std::vector<int16_t>(1024, 100));
    ASSERT_TRUE(runUntil([&] { return !events.empty(); }));
    EXPECT_EQ(events[0].rfind("input lost: Scripted 0: ", 0), 0u) << events[0];
    EXPECT_FALSE(window_->Ending());
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    const int attempts = script.Calls[io::WaveOp::Open];
    ASSERT_TRUE(runUntil([&] { return script.Calls[io::WaveOp::Open] >= attempts + 3; }));
    EXPECT_EQ(events.size(), 1u); // retries are not told one by one

    // It comes back: capture goes on with the same buffers and chain.
    script.Failures.clear();
    ASSERT_TRUE(runUntil([&] { return events.size() == 2; }));
    EXPECT_EQ(events[1].rfind("input back after ", 0), 0u) << events[1];
    EXPECT_EQ(window_->Status()->Text(StatusField::Input), "Scripted 0");
    const int before = blocks;
    script.Record(std::vector<int16_t>(4096, 100));
    ASSERT_TRUE(runUntil([&] { return blocks > before; }));

    // Switched off, the next failure is the end again.
    window_->OnCommand(ReconnectCommand);
    EXPECT_FALSE(state_.Capture.Reconnect);
}

TEST_F(WindowTest, SigtermEndsTheWindowLikeACloseAndWritesTheSettings) {
    session::PrepareReceiver(state_);
    state_.Settings.ClockPpm = 5;
    window_ = std::make_unique<MainWindow>(state_, wave_);
    session::TerminationWatcher watcher([this] { window_->EndWindow(); });
    // Also with a prompt open over the window.
    QTimer::singleShot(0, [this] { window_->OnCommand(AveragingCommand); });
    OnNextModal([](QWidget*) { std::raise(SIGTERM); }, window_.get());
    window_->Run();
    EXPECT_TRUE(window_->Ending());
    EXPECT_FALSE(window_->isVisible());
    const std::vector<std::string> lines = FileLines(state_.SettingsPath);
    ASSERT_EQ(lines.size(), 14u);
    EXPECT_EQ(lines[1], "5");
}

TEST_F(WindowTest, EscapeDoesNotEndTheWindowButTheCloseBoxDoes) {
    Start();
    window_->show();
    QTest::keyClick(window_.get(), Qt::Key_Escape);
    EXPECT_FALSE(window_->Ending());
    EXPECT_FALSE(QFile::exists(QString::fromStdString(state_.SettingsPath)));
    window_->close();
    EXPECT_TRUE(window_->Ending());
    EXPECT_EQ(FileLines(state_.SettingsPath).size(), 14u);
}

// The window starts in the mode it was left in, remembered in the user's
// configuration with K and the auto-saves, unless the command line names one;
// started in AMATEUR it looks exactly as after the mode command.
struct StartCase {
    const char* Remembered; // the mode in propmon.conf (nullptr: none)
    std::optional<int32_t> Option;
    int32_t Expected;
};

class WindowStartTest : public WindowTest, public ::testing::WithParamInterface<StartCase> {};

TEST_P(WindowStartTest, ModeFromPreferencesOrCommandLineWithTitleChecksLabelsAndRate) {
    const StartCase& c = GetParam();
    {
        QSettings store(QSettings::NativeFormat, QSettings::UserScope, "propmon", "propmon");
        store.clear();
        if (c.Remembered) store.setValue("mode", c.Remembered);
        store.setValue("correlogram/average", 4);
        store.setValue("autosave/dopplergram", true);
    }
    session::PrepareReceiver(state_);
    EXPECT_EQ(session::RestorePreferences(state_), "");
    session::ReceiverOptions options;
    options.Mode = c.Option;
    session::ApplyReceiverOptions(state_, options);
    window_ = std::make_unique<MainWindow>(state_, wave_);
    window_->OnInitDialog();
    Pump();

    const bool amateur = c.Expected == dsp::ModeAmateur;
    EXPECT_EQ(window_->windowTitle(),
              amateur ? QString("Stanag 4285 receiver (AMATEUR)") : StartTitle);
    EXPECT_EQ(window_->MenuItem(NatoCommand)->isChecked(), !amateur);
    EXPECT_EQ(window_->MenuItem(AmateurCommand)->isChecked(), amateur);
    EXPECT_EQ(LabelText(9000), amateur ? "25ms" : "20ms");
    EXPECT_EQ(LabelText(9016), amateur ? "-25" : "-30");
    EXPECT_EQ(scripts_[0]->LastOpenRate, amateur ? 8000 : 9600);
    EXPECT_EQ(state_.Controls.AverageCount, 4);
    EXPECT_TRUE(window_->MenuItem(AutoSaveDopplergramCommand)->isChecked());
    EXPECT_FALSE(window_->MenuItem(AutoSaveCorrelogramCommand)->isChecked());

    window_->EndWindow();
    session::SavePreferences(state_, "Scripted 0");
    const QSettings saved(session::PreferencesFile(), QSettings::NativeFormat);
    EXPECT_EQ(saved.value("mode").toString(), amateur ? "amateur" : "nato");
    EXPECT_EQ(saved.value("input/device").toString(), "Scripted 0");
    EXPECT_EQ(saved.value("correlogram/average").toInt(), 4);
}

INSTANTIATE_TEST_SUITE_P(Modes, WindowStartTest,
                         ::testing::Values(StartCase{nullptr, std::nullopt, dsp::ModeNato},
                                           StartCase{"amateur", std::nullopt, dsp::ModeAmateur},
                                           StartCase{"amateur", dsp::ModeNato, dsp::ModeNato},
                                           StartCase{"nato", dsp::ModeAmateur, dsp::ModeAmateur}));

// "Log blocks to CSV" writes logs/ below the folder; a log that cannot be
// written shows in the status line (no dialog, the receiver runs on), and so
// does its recovery.
TEST_F(WindowTest, LogMenuWritesBlocksAndItsFailureAndRecoveryShowInTheStatusLine) {
    Start();
    const QString logs = dir_.path() + "/logs";
    std::ofstream(logs.toStdString()) << "a file where the folder goes";
    window_->OnCommand(LogBlocksCommand);
    EXPECT_TRUE(window_->MenuItem(LogBlocksCommand)->isChecked());
    scripts_[0]->Record(std::vector<int16_t>(3 * 1024, 0));
    Pump();
    const QString problem = window_->Status()->Text(StatusField::Problem);
    EXPECT_TRUE(problem.startsWith("cannot write the folder " + logs + ": "))
        << problem.toStdString();
    EXPECT_EQ(state_.BlockCount, 3);

    QFile::remove(logs);
    scripts_[0]->Record(std::vector<int16_t>(2 * 1024, 0));
    Pump();
    EXPECT_EQ(window_->Status()->Text(StatusField::Problem), "the block log written again");
    const QString day = QDateTime::currentDateTimeUtc().date().toString(Qt::ISODate);
    const std::vector<std::string> lines =
        FileLines((logs + "/propmon-" + day + ".csv").toStdString());
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "utc," + analysis::BlockTableHeader());
    EXPECT_EQ(lines[1].substr(0, 11), day.toStdString() + "T");
    EXPECT_NE(lines[1].find("Z,3,0.426563,"), std::string::npos) << lines[1];
    EXPECT_NE(lines[2].find("Z,4,0.533229,"), std::string::npos) << lines[2];

    window_->OnCommand(LogBlocksCommand);
    EXPECT_FALSE(window_->MenuItem(LogBlocksCommand)->isChecked());
    EXPECT_EQ(state_.Log, nullptr);
}

// ---- Acquisition -------------------------------------------------------------

// A STANAG 4285 signal over two paths, the sound card's clock `clockPpm` off.
s4285gen::Generator TwoPathSignal(double clockPpm) {
    s4285gen::Config config = s4285gen::NatoConfig();
    config.Paths = {{.DelayMs = 2, .SpreadHz = 0.2}, {.DelayMs = 5, .GainDb = -6}};
    config.SnrDb = 10;
    config.ClockPpm = clockPpm;
    return s4285gen::Generator(config);
}

// `seconds` of the generator's signal recorded by the scripted card.
void Listen(io::testing::ScriptedScript& script, s4285gen::Generator& generator, double seconds) {
    std::vector<int16_t> samples(16 * 1024);
    for (int64_t n = 0; n < int64_t(seconds * 9600); n += int64_t(samples.size())) {
        generator.Generate(samples.data(), samples.size());
        ASSERT_EQ(script.Record(samples), samples.size());
        Pump();
    }
}

TEST_F(WindowTest, PathsArePlacedOnTheirOwnOnceTheSignalHoldsAndTheOperatorsClickWins) {
    Start();
    s4285gen::Generator signal = TwoPathSignal(0);
    state_.Display.CorrelogramScroll = 30;
    Listen(*scripts_[0], signal, 15);
    EXPECT_EQ(window_->Status()->Text(StatusField::Lock), "Locked");
    EXPECT_TRUE(window_->Status()->Text(StatusField::Snr).startsWith("SNR "));
    // The strongest path 10 lags above the bottom of the correlogram, which
    // scrolls back to its bottom as after a click.
    const double strongest = state_.Acquisition.Quality().Last().SteadyStrongestLag;
    EXPECT_EQ(state_.Controls.LagOffset, analysis::LagOffsetFor(strongest));
    EXPECT_EQ(state_.Display.CorrelogramScroll, 0);

    // A click picks the lag; the window no longer moves it, F5 does.
    window_->OnLButtonUp(30, 300);
    EXPECT_EQ(state_.Controls.LagOffset, 262);
    state_.Settings.ClockPpm = 3; // the paths would be placed again, were it not for the click
    Listen(*scripts_[0], signal, 10);
    EXPECT_EQ(state_.Controls.LagOffset, 262);
    window_->show();
    window_->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window_.get()));
    QTest::keyClick(window_.get(), Qt::Key_F5);
    EXPECT_EQ(state_.Controls.LagOffset,
              analysis::LagOffsetFor(state_.Acquisition.Quality().Last().SteadyStrongestLag));
}

TEST_F(WindowTest, MeasuredClockErrorIsAppliedOnceAndWhatRemainsIsMeasuredAfresh) {
    Start();
    s4285gen::Generator signal = TwoPathSignal(37.4);
    window_->OnCommand(MeasureClockCommand);
    ClockErrorDialog* dialog = window_->ClockDialog();
    ASSERT_NE(dialog, nullptr);
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_FALSE(dialog->ApplyButton()->isEnabled());
    EXPECT_EQ(window_->Status()->Text(StatusField::Clock), "Clock measuring");

    // The estimate narrows while the signal comes in; the receiver runs on.
    Listen(*scripts_[0], signal, 60);
    ASSERT_TRUE(dialog->ApplyButton()->isEnabled());
    const analysis::ClockEstimate first = state_.Acquisition.ClockNow();
    EXPECT_NEAR(first.TotalPpm, 37.4, 0.5);
    EXPECT_TRUE(dialog->EstimateLabel()->text().startsWith("+37."))
        << dialog->EstimateLabel()->text().toStdString();
    EXPECT_TRUE(window_->Status()->Text(StatusField::Clock).startsWith("Clock +37."));

    // Apply: whole ppm into ClockPpm, the rest onto the slider and its label.
    dialog->ApplyButton()->click();
    const analysis::ClockSetting split = analysis::SplitClockCorrection(first.TotalPpm);
    EXPECT_EQ(state_.Settings.ClockPpm, 37.0L);
    EXPECT_EQ(Slider(ClockSliderId)->value(), split.SliderPosition);
    EXPECT_EQ(state_.Settings.ClockOffset, split.ClockOffset);
    const QString label = LabelText(ClockLabelId); // the sum as a float, to 0.01
    ASSERT_TRUE(label.startsWith("Clock offset ") && label.endsWith(" ppm"));
    EXPECT_NEAR(label.mid(13).chopped(4).toDouble(),
                double(split.ClockPpm) + (split.SliderPosition - 10000) / 200.0, 0.006);
    EXPECT_FALSE(dialog->ApplyButton()->isEnabled()); // measuring the rest afresh

    // The drift is gone; applying again leaves the correction where it is.
    Listen(*scripts_[0], signal, 60);
    const analysis::ClockEstimate second = state_.Acquisition.ClockNow();
    ASSERT_TRUE(second.Valid);
    EXPECT_NEAR(second.ResidualPpm, 0.0, 0.3);
    EXPECT_NEAR(second.CorrectionPpm, first.TotalPpm, 0.01);
    dialog->ApplyButton()->click();
    EXPECT_NEAR(double(dsp::ClockCorrection(state_.Settings) * 1e6L), 37.4, 0.5);

    // Closing ends the measurement and its status.
    dialog->close();
    Pump();
    EXPECT_FALSE(state_.Acquisition.MeasuringClock());
    EXPECT_EQ(window_->Status()->Text(StatusField::Clock), "");
    EXPECT_EQ(window_->ClockDialog(), nullptr);
}

TEST_F(WindowTest, AReplayFoundAmateurStartsInThatMode) {
    session::PrepareReceiver(state_);
    window_ = std::make_unique<MainWindow>(state_, wave_);
    window_->StartInMode(dsp::ModeAmateur);
    window_->OnInitDialog();
    Pump();
    EXPECT_EQ(scripts_[0]->LastOpenRate, 8000);
    EXPECT_EQ(window_->windowTitle(), "Stanag 4285 receiver (AMATEUR)");
    EXPECT_TRUE(window_->MenuItem(AmateurCommand)->isChecked());
    EXPECT_FALSE(window_->MenuItem(NatoCommand)->isChecked());
    EXPECT_EQ(LabelText(9000), "25ms");
}

TEST_F(WindowTest, TheLevelWarnsOfClipping) {
    Start();
    std::vector<int16_t> loud(4 * 1024);
    for (size_t i = 0; i < loud.size(); ++i)
        loud[i] = i % 2 ? 32767 : -32768;
    scripts_[0]->Record(loud);
    Pump();
    EXPECT_EQ(window_->Status()->Text(StatusField::Level),
              "Level 0 dBFS: clipping, turn the input down");
}

} // namespace
} // namespace ui
