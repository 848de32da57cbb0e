// Drives the modal dialogs and message boxes the window opens: each action
// waits for the next modal widget to appear and then acts on it from inside
// the dialog's own event loop.
#pragma once

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <memory>

namespace propmon::testing {

// Runs `action` on the next modal widget other than `except` once it shows.
// Gives up (and fails the test through `onTimeout`) after `timeoutMs`.
inline void OnNextModal(std::function<void(QWidget*)> action, QWidget* except = nullptr,
                        int timeoutMs = 5000) {
    auto clock = std::make_shared<QElapsedTimer>();
    clock->start();
    auto poll = std::make_shared<std::function<void()>>();
    *poll = [=] {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal && modal != except && modal->isVisible()) {
            action(modal);
            return;
        }
        if (clock->elapsed() > timeoutMs) {
            ADD_FAILURE() << "no modal widget appeared";
            return;
        }
        QTimer::singleShot(5, *poll);
    };
    QTimer::singleShot(0, *poll);
}

} // namespace propmon::testing
