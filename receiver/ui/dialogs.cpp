// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/ui/dialogs.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include "receiver/session/number_text.h"
#include "receiver/ui/fitted_font.h"
#include "receiver/ui/messages.h"
#include "receiver/ui/window_ids.h"

namespace ui {

namespace {

constexpr Qt::WindowFlags ToolDialogFlags =
    Qt::Tool | Qt::WindowTitleHint | Qt::WindowCloseButtonHint | Qt::CustomizeWindowHint;

void MakeCyan(QWidget& widget) {
    QPalette palette = widget.palette();
    palette.setColor(QPalette::Window, QColor(DialogCyanRed, DialogCyanGreen, DialogCyanBlue));
    widget.setPalette(palette);
    widget.setAutoFillBackground(true);
}

} // namespace

void PlaceBelowClientOrigin(QWidget& dialog, const QWidget& client) {
    // move() places a top-level window by its frame.
    dialog.move(client.mapToGlobal(QPoint(0, 0)) + QPoint(100, 100));
}

SoundcardPicker::SoundcardPicker(const QStringList& deviceNames, int32_t deviceId, QWidget* parent)
    : QDialog(parent, ToolDialogFlags) {
    setModal(true);
    setWindowTitle(QStringLiteral("Select soundcard"));
    setFixedSize(237, 60);
    MakeCyan(*this);

    combo_ = new QComboBox(this);
    combo_->setProperty("controlId", DeviceComboId);
    combo_->setEditable(true);
    combo_->setInsertPolicy(QComboBox::NoInsert);
    combo_->addItems(deviceNames);
    combo_->setGeometry(1, 2, 180, combo_->sizeHint().height());
    combo_->setCurrentIndex(deviceId >= 0 && deviceId < combo_->count() ? deviceId : -1);
    connect(combo_->lineEdit(), &QLineEdit::textEdited, this, [this] { typed_ = true; });
    connect(combo_, &QComboBox::activated, this, [this] { typed_ = false; });

    ok_ = new QPushButton(QStringLiteral("OK"), this);
    ok_->setProperty("controlId", PickerOkId);
    ok_->setGeometry(10, 26, 70, 23);
    connect(ok_, &QPushButton::clicked, this, [this] {
        chosen_ = typed_ ? -1 : combo_->currentIndex();
        accept();
    });
}

void SoundcardPicker::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    // Every device name shown whole in the fixed field: the dialog's font, or
    // the one the longest name fits in (the field's text keeps 2 pixels clear
    // at either side).
    QStringList names;
    for (int i = 0; i < combo_->count(); ++i)
        names << combo_->itemText(i);
    const QSize field = combo_->lineEdit()->contentsRect().size() - QSize(4, 0);
    combo_->setFont(FittedFont(font(), names, field, Qt::AlignVCenter));
    if (combo_->count() == 0 && !warned_) {
        warned_ = true;
        // Shown over the open picker, which stays open.
        QTimer::singleShot(0, this, [] {
            ShowMessage(QStringLiteral("You have no audio input devices!"),
                        QStringLiteral("Warning"), QMessageBox::Warning);
        });
    }
}

BrightnessDialog::BrightnessDialog(const dsp::Settings& settings, QWidget* parent)
    : QDialog(parent, ToolDialogFlags) {
    setModal(true);
    setWindowTitle(QStringLiteral("Adjust display brightness - typically 0.5 to 1.5"));
    setFixedSize(360, 60);
    MakeCyan(*this);

    const auto field = [this](int id, int x, float gain) {
        auto* edit = new QLineEdit(QString::fromStdString(session::PromptNumber(gain, 7)), this);
        edit->setProperty("controlId", id);
        edit->setGeometry(x, 2, 40, 23);
        return edit;
    };
    corr_ = field(CorrGainEditId, 10, settings.CorrGain);
    doppler_ = field(DopplerGainEditId, 110, settings.DopplerGain);
    scatter_ = field(ScatterGainEditId, 210, settings.ScatterGain);

    const auto label = [this](int id, int x, const char* text) {
        auto* caption = new QLabel(QString::fromLatin1(text), this);
        caption->setProperty("controlId", id);
        caption->setGeometry(x, 26, 60, 23);
        caption->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        return caption;
    };
    captions_ = {label(7770, 1, "Correlogram"), label(7771, 100, "Dopplergram"),
                 label(7772, 200, "Scattergram")};

    ok_ = new QPushButton(QStringLiteral("OK"), this);
    ok_->setProperty("controlId", BrightnessOkId);
    ok_->setGeometry(280, 2, 70, 23);
    connect(ok_, &QPushButton::clicked, this, &QDialog::accept);
}

void BrightnessDialog::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    // The three captions in one font, the dialog's or the one all three fit in.
    QStringList texts;
    for (const QLabel* caption : captions_)
        texts << caption->text();
    for (QLabel* caption : captions_)
        FitLabel(*caption, font(), texts);
}

QLineEdit* BrightnessDialog::Field(int id) const {
    switch (id) {
    case CorrGainEditId:
        return corr_;
    case DopplerGainEditId:
        return doppler_;
    case ScatterGainEditId:
        return scatter_;
    default:
        return nullptr;
    }
}

void BrightnessDialog::ApplyTo(dsp::Settings& settings) const {
    const auto gain = [](const QLineEdit* edit) {
        return session::ClampToFloat(session::LeadingNumber(edit->text().toStdString()));
    };
    settings.CorrGain = gain(corr_);
    settings.DopplerGain = gain(doppler_);
    settings.ScatterGain = gain(scatter_);
}

} // namespace ui
