// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/session/termination.h"

#include <QSocketNotifier>

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace session {

namespace {

// A signal handler can reach nothing but globals: the write end of the
// watcher's socket pair is the one value it needs.  Set before the handlers
// are installed and cleared after they are removed.
std::atomic<int> SignalWriteFd{-1};

constexpr int WatchedSignals[] = {SIGTERM, SIGINT, SIGHUP};

void OnSignal(int signalNumber) {
    const int saved = errno;
    const int fd = SignalWriteFd.load();
    if (fd >= 0) {
        const char byte = static_cast<char>(signalNumber);
        [[maybe_unused]] const ssize_t n = ::write(fd, &byte, 1);
    }
    errno = saved;
}

} // namespace

TerminationWatcher::TerminationWatcher(std::function<void()> onSignal, QObject* parent)
    : QObject(parent), onSignal_(std::move(onSignal)) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds_) != 0) return;
    ::fcntl(fds_[1], F_SETFL, O_NONBLOCK);
    SignalWriteFd.store(fds_[1]);
    notifier_ = new QSocketNotifier(fds_[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] {
        char byte = 0;
        if (::read(fds_[0], &byte, 1) != 1) return;
        lastSignal_ = static_cast<unsigned char>(byte);
        if (onSignal_) onSignal_();
    });
    struct sigaction action = {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signalNumber : WatchedSignals)
        ::sigaction(signalNumber, &action, nullptr);
}

QString TerminationWatcher::SignalName(int signalNumber) {
    switch (signalNumber) {
    case SIGTERM:
        return QStringLiteral("SIGTERM");
    case SIGINT:
        return QStringLiteral("SIGINT");
    case SIGHUP:
        return QStringLiteral("SIGHUP");
    default:
        return QStringLiteral("signal %1").arg(signalNumber);
    }
}

TerminationWatcher::~TerminationWatcher() {
    for (int signalNumber : WatchedSignals)
        std::signal(signalNumber, SIG_DFL);
    SignalWriteFd.store(-1);
    delete notifier_;
    for (int fd : fds_)
        if (fd >= 0) ::close(fd);
}

} // namespace session
