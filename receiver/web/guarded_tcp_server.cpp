// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/web/guarded_tcp_server.h"

#include <QTcpSocket>
#include <QTimer>

namespace web {

namespace {

constexpr const char* ClosingProperty = "webClosing";
constexpr const char* CloseAskedProperty = "webCloseAsked";

// Where the head that starts `head` ends (just past its blank line), or -1.
// Qt's parser accepts bare line feeds as well as CR LF.
qsizetype HeadEnd(const QByteArray& head, qsizetype from) {
    for (qsizetype i = std::max<qsizetype>(from, 0); i < head.size(); ++i) {
        if (head[i] != '\n') continue;
        if (i + 1 < head.size() && head[i + 1] == '\n') return i + 2;
        if (i + 2 < head.size() && head[i + 1] == '\r' && head[i + 2] == '\n') return i + 3;
    }
    return -1;
}

// What the guard needs to know of a complete request head.
struct HeadFacts {
    bool Body = false;  // a header announces a request body
    bool Close = false; // the connection is to end with the response
};

HeadFacts ReadHead(const QByteArray& head) {
    const QList<QByteArray> lines = head.split('\n');
    HeadFacts facts;
    bool keepAlive = false;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype colon = lines[i].indexOf(':');
        if (colon < 0) continue;
        const QByteArray name = lines[i].left(colon).trimmed().toLower();
        const QByteArray value = lines[i].mid(colon + 1).trimmed().toLower();
        if (name == "transfer-encoding") facts.Body = true;
        if (name == "content-length" && value != "0") facts.Body = true;
        if (name == "connection" && value.contains("close")) facts.Close = true;
        if (name == "connection" && value.contains("keep-alive")) keepAlive = true;
    }
    if (lines.front().trimmed().endsWith("HTTP/1.0") && !keepAlive) facts.Close = true;
    return facts;
}

} // namespace

void MarkClosing(QTcpSocket* socket) {
    socket->setProperty(ClosingProperty, true);
}

bool ClientAsksToClose(const QTcpSocket* socket) {
    return socket->property(CloseAskedProperty).toBool();
}

GuardedTcpServer::GuardedTcpServer(ConnectionLimits limits, QObject* parent)
    : QTcpServer(parent), limits_(limits) {
    clock_.start();
    sweep_ = new QTimer(this);
    connect(sweep_, &QTimer::timeout, this, &GuardedTcpServer::Sweep);
    sweep_->start(static_cast<int>(limits_.SweepIntervalMs));
}

GuardedTcpServer::~GuardedTcpServer() {
    // Sockets still open die with their parents; forget them first.
    for (auto& [socket, watch] : watches_)
        socket->disconnect(this);
}

void GuardedTcpServer::incomingConnection(qintptr descriptor) {
    auto* socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return;
    }
    if (ConnectionCount() >= limits_.MaxConnections) {
        socket->write("HTTP/1.1 503 Service Unavailable\r\nConnection: close\r\n"
                      "Content-Length: 0\r\n\r\n");
        socket->disconnectFromHost();
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        if (socket->state() == QAbstractSocket::UnconnectedState) socket->deleteLater();
        return;
    }
    Watch& watch = watches_[socket];
    watch.LastActivityMs = clock_.elapsed();
    // Connected before the HTTP server connects its own: the head is looked
    // at before the server reads it.
    connect(socket, &QTcpSocket::readyRead, this, [this, socket] { Inspect(socket); });
    connect(socket, &QTcpSocket::bytesWritten, this, [this, socket] {
        const auto it = watches_.find(socket);
        if (it != watches_.end()) it->second.LastActivityMs = clock_.elapsed();
    });
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QObject::destroyed, this, [this, socket] { watches_.erase(socket); });
    addPendingConnection(socket);
}

void GuardedTcpServer::Inspect(QTcpSocket* socket) {
    const auto it = watches_.find(socket);
    if (it == watches_.end()) return;
    Watch& watch = it->second;
    if (watch.Rejected || socket->property(ClosingProperty).toBool()) {
        socket->readAll(); // never reaches the HTTP server
        return;
    }
    const qint64 now = clock_.elapsed();
    watch.LastActivityMs = now;
    const QByteArray chunk = socket->peek(socket->bytesAvailable());
    qsizetype at = 0;
    while (at < chunk.size()) {
        if (watch.Head.isEmpty()) watch.HeadStartMs = now;
        const qsizetype before = watch.Head.size();
        watch.Head.append(chunk.constData() + at, chunk.size() - at);
        const qsizetype end = HeadEnd(watch.Head, before - 2);
        const qsizetype headBytes = end < 0 ? watch.Head.size() : end;
        const qsizetype lineEnd = watch.Head.indexOf('\n');
        if ((lineEnd < 0 ? headBytes : lineEnd) > limits_.MaxLineBytes) {
            Reject(socket, watch, "414 URI Too Long");
            return;
        }
        if (headBytes > limits_.MaxHeadBytes) {
            Reject(socket, watch, "431 Request Header Fields Too Large");
            return;
        }
        if (end < 0) return; // the rest of the head comes later
        const HeadFacts facts = ReadHead(watch.Head.left(end));
        if (facts.Body) {
            Reject(socket, watch, "413 Payload Too Large");
            return;
        }
        socket->setProperty(CloseAskedProperty, facts.Close);
        // Whatever follows the blank line starts the next request.
        at += end - before;
        watch.Head.clear();
        watch.HeadStartMs = -1;
    }
}

void GuardedTcpServer::Reject(QTcpSocket* socket, Watch& watch, const char* status) {
    watch.Rejected = true;
    watch.Head.clear();
    watch.HeadStartMs = -1;
    socket->readAll();
    socket->write(QByteArray("HTTP/1.1 ") + status +
                  "\r\nConnection: close\r\nContent-Length: 0\r\n\r\n");
    socket->disconnectFromHost();
}

void GuardedTcpServer::Sweep() {
    const qint64 now = clock_.elapsed();
    std::vector<QTcpSocket*> drop;
    std::vector<QTcpSocket*> close;
    for (const auto& [socket, watch] : watches_) {
        const qint64 quietMs = now - watch.LastActivityMs;
        if (watch.HeadStartMs >= 0 && now - watch.HeadStartMs > limits_.HeadTimeoutMs)
            drop.push_back(socket);
        else if (socket->bytesToWrite() > 0 && quietMs > limits_.StallTimeoutMs)
            drop.push_back(socket);
        else if (socket->bytesToWrite() == 0 && quietMs > limits_.IdleTimeoutMs)
            close.push_back(socket);
    }
    // abort() and disconnectFromHost() may emit disconnected() at once, which
    // deletes the socket later and erases it from watches_ when it is gone.
    for (QTcpSocket* socket : drop)
        socket->abort();
    for (QTcpSocket* socket : close)
        socket->disconnectFromHost();
}

} // namespace web
