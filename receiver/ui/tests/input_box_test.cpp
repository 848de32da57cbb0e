// SPDX-License-Identifier: GPL-3.0-or-later
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>

#include "receiver/ui/input_box.h"
#include "receiver/ui/messages.h"
#include "receiver/ui/tests/modal_helpers.h"

namespace ui {
namespace {

using testing::OnNextModal;

InputBoxDialog* AsBox(QWidget* w) {
    auto* box = qobject_cast<InputBoxDialog*>(w);
    EXPECT_NE(box, nullptr);
    return box;
}

TEST(InputBox, UntouchedOkReturnsTheDefaultText) {
    OnNextModal([](QWidget* w) {
        InputBoxDialog* box = AsBox(w);
        EXPECT_EQ(box->Edit()->selectedText(), QStringLiteral(" 1"));
        EXPECT_EQ(box->focusWidget(), box->Edit());
        box->OkButton()->click();
    });
    EXPECT_EQ(InputBox("Enter number of correlogram averages", "Correlogram averages", " 1"),
              QStringLiteral(" 1"));
}

TEST(InputBox, EnterActsAsOkAndTypingReplacesTheSelectedDefault) {
    OnNextModal([](QWidget* w) {
        QTest::keyClicks(AsBox(w)->Edit(), "42");
        QTest::keyClick(AsBox(w)->Edit(), Qt::Key_Return);
    });
    EXPECT_EQ(InputBox("p", "t", " 7"), QStringLiteral("42"));
}

TEST(InputBox, ClearedOkCancelEscapeAndCloseReturnEmpty) {
    OnNextModal([](QWidget* w) {
        AsBox(w)->Edit()->clear();
        AsBox(w)->OkButton()->click();
    });
    EXPECT_EQ(InputBox("p", "t", " 1"), QString());

    OnNextModal([](QWidget* w) { AsBox(w)->CancelButton()->click(); });
    EXPECT_EQ(InputBox("p", "t", " 1"), QString());

    OnNextModal([](QWidget* w) { QTest::keyClick(AsBox(w)->Edit(), Qt::Key_Escape); });
    EXPECT_EQ(InputBox("p", "t", " 1"), QString());

    OnNextModal([](QWidget* w) { w->close(); });
    EXPECT_EQ(InputBox("p", "t", " 1"), QString());
}

TEST(InputBox, ThreeHundredTypedCharactersReturnTheFirst255) {
    const QString typed = QString(300, QLatin1Char('7'));
    OnNextModal([&](QWidget* w) {
        QTest::keyClicks(AsBox(w)->Edit(), typed);
        AsBox(w)->OkButton()->click();
    });
    const QString answer = InputBox("p", "t", "");
    EXPECT_EQ(answer.size(), 255);
    EXPECT_EQ(answer, typed.left(255));
}

TEST(InputBox, LayoutInDialogUnitsOfItsFont) {
    InputBoxDialog box("Enter clock offset in ppm\r\n(to allow for very large soundcard errors)",
                       "Clock offset", " 0");
    const DialogUnits du(box.font());
    EXPECT_GT(du.BaseX, 0);
    EXPECT_GT(du.BaseY, 0);
    EXPECT_EQ(box.size(), QSize(du.X(150), du.Y(100)));
    EXPECT_EQ(box.Edit()->geometry(), du.Rect(4, 82, 140, 12));
    EXPECT_EQ(box.OkButton()->geometry(), du.Rect(104, 5, 40, 10));
    EXPECT_EQ(box.CancelButton()->geometry(), du.Rect(104, 19, 40, 10));
    EXPECT_EQ(box.Prompt()->geometry(), du.Rect(5, 5, 95, 72));
    EXPECT_EQ(box.Edit()->property("controlId").toInt(), 101);
    EXPECT_EQ(box.Prompt()->property("controlId").toInt(), 102);
    EXPECT_EQ(box.OkButton()->property("controlId").toInt(), 1);
    EXPECT_EQ(box.CancelButton()->property("controlId").toInt(), 2);
    EXPECT_TRUE(box.OkButton()->isDefault());
    EXPECT_EQ(box.Prompt()->text(), QStringLiteral("Enter clock offset in ppm\n(to allow for very "
                                                   "large soundcard errors)"));
    EXPECT_EQ(box.windowTitle(), QStringLiteral("Clock offset"));
}

TEST(InputBox, EmptyTitleShowsTheDefaultCaptionAndLongTextsAreCut) {
    InputBoxDialog untitled("p", "", "");
    EXPECT_EQ(untitled.windowTitle(), DefaultCaption);
    InputBoxDialog longOne(QString(300, 'p'), QString(80, 't'), "");
    EXPECT_EQ(longOne.windowTitle().size(), 60);
    EXPECT_EQ(longOne.Prompt()->text().size(), 255);
}

} // namespace
} // namespace ui
