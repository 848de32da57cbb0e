// SPDX-License-Identifier: GPL-3.0-or-later
// Drives the modal dialogs and message boxes the window opens: each action
// waits for the next modal widget to appear and then acts on it from inside
// the dialog's own event loop.
#pragma once

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>
#include <gtest/gtest.h>

#include <functional>
#include <memory>

namespace ui::testing {

namespace detail {

// Polls for the modal widget; only the pending timer holds it.
struct ModalWaiter : std::enable_shared_from_this<ModalWaiter> {
    std::function<void(QWidget*)> Action;
    QWidget* Except = nullptr;
    int TimeoutMs = 0;
    QElapsedTimer Clock;

    void Poll() {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal && modal != Except && modal->isVisible()) {
            Action(modal);
            return;
        }
        if (Clock.elapsed() > TimeoutMs) {
            ADD_FAILURE() << "no modal widget appeared";
            return;
        }
        QTimer::singleShot(5, [self = shared_from_this()] { self->Poll(); });
    }
};

} // namespace detail

// Runs `action` on the next visible modal widget other than `except`.
// Gives up with a test failure after `timeoutMs`.
inline void OnNextModal(std::function<void(QWidget*)> action, QWidget* except = nullptr,
                        int timeoutMs = 5000) {
    auto waiter = std::make_shared<detail::ModalWaiter>();
    waiter->Action = std::move(action);
    waiter->Except = except;
    waiter->TimeoutMs = timeoutMs;
    waiter->Clock.start();
    QTimer::singleShot(0, [waiter] { waiter->Poll(); });
}

} // namespace ui::testing
