// SPDX-License-Identifier: GPL-3.0-or-later
// Message boxes of the receiver: OK only, application-modal, raised to the
// front, with one default caption for the whole program.
#pragma once

#include <QMessageBox>
#include <QString>

namespace ui {

inline const QString DefaultCaption = QStringLiteral("Stanag 4285 Receiver");

void ShowMessage(const QString& text, const QString& caption = DefaultCaption,
                 QMessageBox::Icon icon = QMessageBox::NoIcon);

} // namespace ui
