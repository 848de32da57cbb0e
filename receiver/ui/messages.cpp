// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/ui/messages.h"

namespace ui {

void ShowMessage(const QString& text, const QString& caption, QMessageBox::Icon icon) {
    QMessageBox box(icon, caption.isEmpty() ? DefaultCaption : caption, text, QMessageBox::Ok);
    box.setWindowModality(Qt::ApplicationModal);
    box.setWindowFlag(Qt::WindowStaysOnTopHint);
    box.show();
    box.raise();
    box.activateWindow();
    box.exec();
}

} // namespace ui
