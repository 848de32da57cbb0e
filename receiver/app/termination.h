// SPDX-License-Identifier: GPL-3.0-or-later
// Ends the window like a user close when the session or a terminal asks the
// program to stop (SIGTERM, SIGINT, SIGHUP), so the settings are written.
#pragma once

#include <QObject>

#include <functional>

class QSocketNotifier;

namespace propmon {

class TerminationWatcher : public QObject {
    Q_OBJECT
  public:
    // Installs the handlers; `onSignal` runs on the main thread, from the
    // event loop, once per signal received.
    explicit TerminationWatcher(std::function<void()> onSignal, QObject* parent = nullptr);
    // Restores the default handlers.
    ~TerminationWatcher() override;

  private:
    int fds_[2] = {-1, -1};
    QSocketNotifier* notifier_ = nullptr;
    std::function<void()> onSignal_;
};

} // namespace propmon
