// SPDX-License-Identifier: GPL-3.0-or-later
// The web view's listening socket.  Qt HttpServer parses the requests; this
// server only keeps the load a client can put on it bounded: so many
// connections at once, request heads of bounded size and no request bodies
// (the view is read-only), and connections that stall are dropped: a request
// head that does not complete, a response the client stops reading, a
// kept-alive connection left idle.
#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QTcpServer>

#include <cstdint>
#include <unordered_map>

#include "receiver/web/web_view.h"

class QTcpSocket;
class QTimer;

namespace web {

// A socket whose response ends the connection (a streamed file): whatever the
// client still sends on it is dropped unread, so no second response can be
// written into the middle of the first.
void MarkClosing(QTcpSocket* socket);
// True when the request being answered on `socket` asked for the connection
// to end with its response ("Connection: close", or HTTP/1.0 without
// keep-alive); Qt HttpServer keeps every connection open otherwise.
bool ClientAsksToClose(const QTcpSocket* socket);

class GuardedTcpServer : public QTcpServer {
    Q_OBJECT
  public:
    explicit GuardedTcpServer(ConnectionLimits limits, QObject* parent = nullptr);
    ~GuardedTcpServer() override;

    int ConnectionCount() const { return static_cast<int>(watches_.size()); }

  protected:
    void incomingConnection(qintptr descriptor) override;

  private:
    struct Watch {
        QByteArray Head;         // the unfinished request head seen so far
        qint64 HeadStartMs = -1; // when its first byte came
        qint64 LastActivityMs = 0;
        bool Rejected = false;
    };
    void Inspect(QTcpSocket* socket);
    void Reject(QTcpSocket* socket, Watch& watch, const char* status);
    void Sweep();

    ConnectionLimits limits_;
    QElapsedTimer clock_;
    QTimer* sweep_ = nullptr;
    std::unordered_map<QTcpSocket*, Watch> watches_;
};

} // namespace web
