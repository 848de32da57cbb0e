// SPDX-License-Identifier: GPL-3.0-or-later
// Tools > "Measure clock error": a small window beside the receiver that
// shows the sound card's clock error as it is measured from the signal, its
// uncertainty narrowing as blocks come in, and applies it on request.  It
// does not block the receiver; closing it ends the measurement.
#pragma once

#include <QDialog>

#include <functional>

#include "receiver/analysis/clock_estimator.h"

class QLabel;
class QPushButton;

namespace ui {

class ClockErrorDialog : public QDialog {
    Q_OBJECT
  public:
    explicit ClockErrorDialog(QWidget* parent = nullptr);

    // The latest estimate and how long the measurement has run.
    void Show(const analysis::ClockEstimate& estimate, double seconds);
    // "Apply" with the estimate shown.
    std::function<void(const analysis::ClockEstimate&)> Apply;

    QLabel* EstimateLabel() const { return estimate_; }
    QLabel* DetailLabel() const { return detail_; }
    QPushButton* ApplyButton() const { return apply_; }

  private:
    QLabel* estimate_;
    QLabel* detail_;
    QPushButton* apply_;
    analysis::ClockEstimate shown_;
};

// The status line's text for a running measurement: "Clock +49.8 ppm ±0.2",
// or "Clock measuring" before there is an estimate.
QString ClockStatusText(const analysis::ClockEstimate& estimate);

} // namespace ui
