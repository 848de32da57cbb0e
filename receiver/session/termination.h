// SPDX-License-Identifier: GPL-3.0-or-later
// Ends the window like a user close when the session or a terminal asks the
// program to stop (SIGTERM, SIGINT, SIGHUP), so the settings are written.
#pragma once

#include <QObject>
#include <QString>

#include <functional>

class QSocketNotifier;

namespace session {

class TerminationWatcher : public QObject {
    Q_OBJECT
  public:
    // Installs the handlers; `onSignal` runs on the main thread, from the
    // event loop, once per signal received.
    explicit TerminationWatcher(std::function<void()> onSignal, QObject* parent = nullptr);
    // Restores the default handlers.
    ~TerminationWatcher() override;

    // The last signal received (0: none yet), and its name ("SIGTERM").
    int LastSignal() const { return lastSignal_; }
    static QString SignalName(int signalNumber);

  private:
    int lastSignal_ = 0;
    int fds_[2] = {-1, -1};
    QSocketNotifier* notifier_ = nullptr;
    std::function<void()> onSignal_;
};

} // namespace session
