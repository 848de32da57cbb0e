// SPDX-License-Identifier: GPL-3.0-or-later
// The modal one-line prompt the number commands ask through: a prompt text, a
// prefilled answer and OK / Cancel, laid out in dialog units of its font.
#pragma once

#include <QDialog>
#include <QString>

class QLabel;
class QLineEdit;
class QPushButton;

namespace ui {

// Pixels of a dialog-unit rectangle for a font: a horizontal unit is a quarter
// of the font's average character width, a vertical unit an eighth of its
// height.
struct DialogUnits {
    explicit DialogUnits(const QFont& font);
    int X(int units) const;
    int Y(int units) const;
    QRect Rect(int x, int y, int w, int h) const;
    int BaseX;
    int BaseY;
};

class InputBoxDialog : public QDialog {
    Q_OBJECT
  public:
    static constexpr int MaxAnswerChars = 255;
    static constexpr int MaxPromptChars = 255;
    static constexpr int MaxTitleChars = 60;

    InputBoxDialog(const QString& prompt, const QString& title, const QString& defaultText,
                   QWidget* parent = nullptr);

    // The answer: the edit text (at most 255 characters) after OK, empty after
    // Cancel, Escape or the close box.
    QString Answer() const { return answer_; }

    QLineEdit* Edit() const { return edit_; }
    QLabel* Prompt() const { return prompt_; }
    QPushButton* OkButton() const { return ok_; }
    QPushButton* CancelButton() const { return cancel_; }

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    QLabel* prompt_;
    QLineEdit* edit_;
    QPushButton* ok_;
    QPushButton* cancel_;
    QString answer_;
};

// Runs the box modally and returns its answer.  An empty title shows the
// program's default caption.
QString InputBox(const QString& prompt, const QString& title, const QString& defaultText,
                 QWidget* parent = nullptr);

} // namespace ui
