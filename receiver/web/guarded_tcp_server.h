// SPDX-License-Identifier: GPL-3.0-or-later
// The web view's listening socket.  Qt HttpServer parses the requests; this
// server only keeps the load a client can put on it bounded: so many
// connections at once, request heads of bounded size and no request bodies
// (the view is read-only), and connections that stall are dropped: a request
// head that does not complete, a response the client stops reading, a
// kept-alive connection left idle.  Clients sending heads slowly on many
// connections (from one address or many) cannot lock the others out: see
// ConnectionLimits.  A client turned away always gets a readable answer
// (503 with Retry-After, 408 for a head that took too long), and the
// connection is closed only after the client has had time to read it: a close
// with its request still unread would reach it as a reset instead.
#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QTcpServer>

#include <cstdint>
#include <limits>
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

    // Connections holding a slot (those being turned away hold none).
    int ConnectionCount() const;

  protected:
    void incomingConnection(qintptr descriptor) override;

  private:
    struct Watch {
        QByteArray Head;         // the unfinished request head seen so far
        qint64 HeadStartMs = -1; // when its first byte came
        // The shortest time the head (or, before any, the silence since
        // connecting) was given at any sweep: slots freed by other refusals
        // never lengthen it again.
        qint64 HeadAllowedMs = std::numeric_limits<qint64>::max();
        qint64 ConnectedMs = 0;
        uint64_t Serial = 0; // in the order of connection
        qint64 LastActivityMs = 0;
        QString Address;        // the client's
        bool WholeSeen = false; // a whole request head came on it
        bool Rejected = false;  // answered with a refusal, lingering until closed
        qint64 RejectedMs = 0;
    };
    void Inspect(QTcpSocket* socket);
    void Reject(QTcpSocket* socket, Watch& watch, const char* status);
    // Half-closes a refused connection once its answer is out.
    void EndRefusal(QTcpSocket* socket, const Watch& watch);
    // The connection without a whole request whose slot a newcomer takes
    // (from `address` only, when not empty), or none.
    QTcpSocket* Evictable(const QString& address) const;
    // Makes room for a connection from `address`; false when none can be made.
    bool MakeRoom(const QString& address);
    qint64 HeadTimeoutMs() const;
    void Sweep();

    ConnectionLimits limits_;
    QElapsedTimer clock_;
    QTimer* sweep_ = nullptr;
    std::unordered_map<QTcpSocket*, Watch> watches_;
    uint64_t serials_ = 0;
    // Memory the connections held is given back to the system once they are
    // gone (a slow reader's buffers would otherwise stay with the process).
    bool closedSinceTrim_ = false;
    qint64 lastTrimMs_ = 0;
};

} // namespace web
