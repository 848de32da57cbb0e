// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/ui/clock_dialog.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include <cmath>

namespace ui {

namespace {

// With its sign; a value that rounds to zero reads +0.0, not -0.0.
QString Ppm(double value, int decimals) {
    const double scale = std::pow(10.0, decimals);
    return QString::asprintf("%+.*f", decimals, std::nearbyint(value * scale) / scale + 0.0);
}

QString Duration(double seconds) {
    const auto whole = static_cast<long>(std::floor(seconds));
    if (whole < 60) return QStringLiteral("%1 s").arg(whole);
    return QStringLiteral("%1 min %2 s").arg(whole / 60).arg(whole % 60);
}

} // namespace

QString ClockStatusText(const analysis::ClockEstimate& estimate) {
    if (!estimate.Valid) return QStringLiteral("Clock measuring");
    return QStringLiteral("Clock %1 ppm \u00b1%2")
        .arg(Ppm(estimate.TotalPpm, 1))
        .arg(estimate.UncertaintyPpm, 0, 'f', 1);
}

ClockErrorDialog::ClockErrorDialog(QWidget* parent) : QDialog(parent, Qt::Tool) {
    setWindowTitle(QStringLiteral("Measure clock error"));
    auto* layout = new QVBoxLayout(this);
    auto* intro = new QLabel(
        QStringLiteral("The sound card's clock error against the transmitter,\n"
                       "measured from the drift of the paths while the signal is received."),
        this);
    layout->addWidget(intro);
    estimate_ = new QLabel(this);
    QFont large = estimate_->font();
    large.setPointSizeF(large.pointSizeF() * 1.5);
    large.setBold(true);
    estimate_->setFont(large);
    layout->addWidget(estimate_);
    detail_ = new QLabel(this);
    layout->addWidget(detail_);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    apply_ = new QPushButton(QStringLiteral("Apply"), this);
    apply_->setAutoDefault(false);
    apply_->setEnabled(false);
    buttons->addWidget(apply_);
    auto* close = new QPushButton(QStringLiteral("Close"), this);
    close->setAutoDefault(false);
    buttons->addWidget(close);
    layout->addLayout(buttons);
    connect(apply_, &QPushButton::clicked, this, [this] {
        if (Apply && shown_.Valid) Apply(shown_);
    });
    connect(close, &QPushButton::clicked, this, &QDialog::reject);
    Show(analysis::ClockEstimate(), 0.0);
}

void ClockErrorDialog::Show(const analysis::ClockEstimate& estimate, double seconds) {
    shown_ = estimate;
    apply_->setEnabled(estimate.Valid);
    if (!estimate.Valid) {
        estimate_->setText(QStringLiteral("Measuring..."));
        detail_->setText(QStringLiteral("Waiting for a steady signal (%1 so far).\n"
                                        "An estimate needs about 15 s of it.")
                             .arg(Duration(seconds)));
        return;
    }
    estimate_->setText(QStringLiteral("%1 ppm \u00b1 %2 ppm")
                           .arg(Ppm(estimate.TotalPpm, 2))
                           .arg(estimate.UncertaintyPpm, 0, 'f', 2));
    detail_->setText(QStringLiteral("Drift left with the present correction of %1 ppm: %2 ppm.\n"
                                    "Measured over %3.  \"Apply\" sets the correction to stop it.")
                         .arg(Ppm(estimate.CorrectionPpm, 2))
                         .arg(Ppm(estimate.ResidualPpm, 2))
                         .arg(Duration(seconds)));
}

} // namespace ui
