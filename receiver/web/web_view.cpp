// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/web/web_view.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

#include <algorithm>
#include <utility>

#include "receiver/web/latest_state.h"
#include "receiver/web/web_server.h"

namespace web {

const char* PanelName(Panel panel) {
    switch (panel) {
    case Panel::Correlation:
        return "correlation";
    case Panel::Correlogram:
        return "correlogram";
    case Panel::Dopplergram:
        return "dopplergram";
    case Panel::Scattergram:
        return "scattergram";
    case Panel::Tune:
        return "tune";
    }
    return "";
}

namespace {

// The server thread's loop.  Waking a thread costs more than answering a
// small request (most of all on a virtual machine), and fifty pages polling
// once a second would wake it fifty times a second.  So after each wake-up
// it answers everything that has come and then pauses for a moment, and the
// requests that arrive meanwhile are answered together.  Idle, it sleeps
// until a client or the receiver needs it.
class ServerThread : public QThread {
  public:
    explicit ServerThread(int pauseMs)
        : pauseMs_(static_cast<unsigned long>(std::max(pauseMs, 0))) {}

  protected:
    void run() override {
        QAbstractEventDispatcher* dispatcher = eventDispatcher();
        while (!isInterruptionRequested()) {
            dispatcher->processEvents(QEventLoop::WaitForMoreEvents);
            for (int pass = 0; pass < 8 && dispatcher->processEvents(QEventLoop::AllEvents);
                 ++pass) {
            }
            // Sockets that have closed are deleted later: now.
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            if (pauseMs_ > 0 && !isInterruptionRequested()) msleep(pauseMs_);
        }
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

  private:
    unsigned long pauseMs_;
};

} // namespace

WebView::WebView(WebViewConfig config)
    : config_(std::move(config)), latest_(std::make_shared<LatestState>()) {}

WebView::~WebView() {
    if (!thread_) return;
    // The server's sockets and timers belong to its thread: they end there.
    QMetaObject::invokeMethod(
        server_, [server = server_] { delete server; }, Qt::BlockingQueuedConnection);
    thread_->requestInterruption();
    thread_->eventDispatcher()->wakeUp();
    thread_->wait();
}

bool WebView::Start(QString& error) {
    thread_ = std::make_unique<ServerThread>(config_.WakePauseMs);
    thread_->setObjectName(QStringLiteral("propmon web"));
    thread_->start();
    server_ = new WebServer(config_, latest_);
    server_->moveToThread(thread_.get());
    quint16 port = 0;
    QMetaObject::invokeMethod(
        server_, [&] { port = server_->Listen(error); }, Qt::BlockingQueuedConnection);
    if (port == 0) {
        QMetaObject::invokeMethod(
            server_, [server = server_] { delete server; }, Qt::BlockingQueuedConnection);
        server_ = nullptr;
        thread_->requestInterruption();
        thread_->eventDispatcher()->wakeUp();
        thread_->wait();
        thread_.reset();
        return false;
    }
    port_ = port;
    return true;
}

QString WebView::Url() const {
    QString host = config_.Address.toString();
    if (config_.Address.protocol() == QAbstractSocket::IPv6Protocol) host = u'[' + host + u']';
    return QStringLiteral("http://%1:%2/").arg(host).arg(port_);
}

void WebView::PublishPanels(const PanelSet& panels) {
    PanelSet replaced;
    {
        QMutexLocker lock(&latest_->Mutex);
        for (int i = 0; i < PanelCount; ++i)
            if (panels.Images[i].cacheKey() != latest_->Panels.Images[i].cacheKey())
                ++latest_->PanelVersions[i];
        replaced = std::exchange(latest_->Panels, panels);
        ++latest_->Version;
    }
    // `replaced` may hold the last reference to old pixels: freed here,
    // outside the lock.
}

void WebView::PublishBlock(const BlockFacts& facts) {
    // Copied before the lock is taken; under it only swapped.
    BlockFacts swapped = facts;
    QMutexLocker lock(&latest_->Mutex);
    std::swap(latest_->Facts, swapped);
    ++latest_->Version;
}

void WebView::PublishOverview(const Overview& overview) {
    Overview swapped = overview;
    QMutexLocker lock(&latest_->Mutex);
    std::swap(latest_->Channels, swapped);
    ++latest_->Version;
}

} // namespace web
