// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/ui/input_box.h"

#include <QFontMetrics>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>

#include "receiver/ui/messages.h"

namespace ui {

DialogUnits::DialogUnits(const QFont& font) {
    const QFontMetrics metrics(font);
    const int alphabet = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    BaseX = (alphabet / 26 + 1) / 2;
    BaseY = metrics.height();
}

int DialogUnits::X(int units) const {
    return (units * BaseX + 2) / 4;
}
int DialogUnits::Y(int units) const {
    return (units * BaseY + 4) / 8;
}
QRect DialogUnits::Rect(int x, int y, int w, int h) const {
    return QRect(X(x), Y(y), X(w), Y(h));
}

InputBoxDialog::InputBoxDialog(const QString& prompt, const QString& title,
                               const QString& defaultText, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint) {
    setModal(true);
    setWindowTitle(title.isEmpty() ? DefaultCaption : title.left(MaxTitleChars));
    const DialogUnits du(font());
    setFixedSize(du.X(150), du.Y(100));

    // A CR LF in the prompt starts a new line.
    QString shown = prompt.left(MaxPromptChars);
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    prompt_ = new QLabel(shown, this);
    prompt_->setTextFormat(Qt::PlainText);
    prompt_->setProperty("controlId", 102);
    prompt_->setGeometry(du.Rect(5, 5, 95, 72));
    prompt_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    prompt_->setWordWrap(true);

    edit_ = new QLineEdit(defaultText, this);
    edit_->setProperty("controlId", 101);
    edit_->setGeometry(du.Rect(4, 82, 140, 12));

    ok_ = new QPushButton(QStringLiteral("OK"), this);
    ok_->setProperty("controlId", 1);
    ok_->setGeometry(du.Rect(104, 5, 40, 10));
    ok_->setDefault(true);

    cancel_ = new QPushButton(QStringLiteral("Cancel"), this);
    cancel_->setProperty("controlId", 2);
    cancel_->setGeometry(du.Rect(104, 19, 40, 10));
    cancel_->setAutoDefault(false);

    connect(ok_, &QPushButton::clicked, this, [this] {
        answer_ = edit_->text().left(MaxAnswerChars);
        accept();
    });
    connect(cancel_, &QPushButton::clicked, this, [this] {
        answer_.clear();
        reject();
    });
    // Escape and the close box end in reject() with the answer still empty.

    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame(QPoint(0, 0), size());
        frame.moveCenter(screen->geometry().center());
        move(frame.topLeft());
    }
}

void InputBoxDialog::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    edit_->setFocus(Qt::OtherFocusReason);
    edit_->selectAll();
}

QString InputBox(const QString& prompt, const QString& title, const QString& defaultText,
                 QWidget* parent) {
    InputBoxDialog box(prompt, title, defaultText, parent);
    box.exec();
    return box.Answer();
}

} // namespace ui
