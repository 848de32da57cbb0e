// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/ui/status_line.h"

#include <QHBoxLayout>
#include <QLabel>

namespace ui {

StatusLine::StatusLine(QWidget* parent) : QWidget(parent) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(4, 1, 4, 1);
    layout->setSpacing(12);
    for (QLabel*& label : labels_) {
        label = new QLabel(this);
        label->setTextFormat(Qt::PlainText);
        label->hide();
        layout->addWidget(label);
    }
    // Problems are what the operator must see: in red, last, taking the rest.
    QLabel* problem = labels_[static_cast<size_t>(StatusField::Problem)];
    problem->setStyleSheet(QStringLiteral("QLabel { color: rgb(192,0,0); }"));
    layout->setStretchFactor(problem, 1);
    layout->addStretch(0);
    setFixedHeight(fontMetrics().height() + 4);
}

void StatusLine::Set(StatusField field, const QString& text) {
    QLabel* label = labels_[static_cast<size_t>(field)];
    if (label->text() == text) return;
    label->setText(text);
    label->setVisible(!text.isEmpty());
}

QString StatusLine::Text(StatusField field) const {
    return labels_[static_cast<size_t>(field)]->text();
}

QString StatusLine::Joined() const {
    QStringList parts;
    for (const QLabel* label : labels_)
        if (!label->text().isEmpty()) parts.push_back(label->text());
    return parts.join(QStringLiteral("  "));
}

} // namespace ui
