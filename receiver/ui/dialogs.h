// SPDX-License-Identifier: GPL-3.0-or-later
// The two small dialogs of the main window: the soundcard picker and the
// display brightness.  Both are tool windows on a light cyan background whose
// outer top-left corner sits 100 pixels right of and below the origin of the
// main window's client area.
#pragma once

#include <QDialog>
#include <QStringList>

#include <array>
#include <cstdint>

#include "receiver/dsp/chain.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace ui {

// Background of both dialogs and of the brightness labels.
inline constexpr int DialogCyanRed = 224, DialogCyanGreen = 255, DialogCyanBlue = 255;

// Puts a dialog's frame 100, 100 from the origin of `client` (in screen terms).
void PlaceBelowClientOrigin(QWidget& dialog, const QWidget& client);

// "Select soundcard": the device names in order, item i is device i.
class SoundcardPicker : public QDialog {
    Q_OBJECT
  public:
    SoundcardPicker(const QStringList& deviceNames, int32_t deviceId, QWidget* parent = nullptr);

    // The device chosen with "OK": the selected item, or -1 when none is
    // selected (nothing listed, or text typed into the combo box's field).
    int32_t ChosenDevice() const { return chosen_; }
    bool Chosen() const { return result() == QDialog::Accepted; }

    QComboBox* Combo() const { return combo_; }
    QPushButton* OkButton() const { return ok_; }

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    QComboBox* combo_;
    QPushButton* ok_;
    bool typed_ = false;
    bool warned_ = false;
    int32_t chosen_ = -1;
};

// "Adjust display brightness - typically 0.5 to 1.5": the three gram gains.
class BrightnessDialog : public QDialog {
    Q_OBJECT
  public:
    explicit BrightnessDialog(const dsp::Settings& settings, QWidget* parent = nullptr);

    // After "OK": writes the leading number of each field into the gains (no
    // range check beyond what a float holds: 1e50 is the largest float).  The
    // close box leaves them alone.
    void ApplyTo(dsp::Settings& settings) const;

    QLineEdit* Field(int id) const;
    QPushButton* OkButton() const { return ok_; }

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    std::array<QLabel*, 3> captions_{};
    QLineEdit* corr_;
    QLineEdit* doppler_;
    QLineEdit* scatter_;
    QPushButton* ok_;
};

} // namespace ui
