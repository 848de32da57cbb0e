// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/web/guarded_tcp_server.h"

#include <QTcpSocket>
#include <QTimer>

#include <malloc.h>
#include <sys/socket.h>
#include <tuple>

namespace web {

namespace {

constexpr const char* ClosingProperty = "webClosing";
constexpr const char* CloseAskedProperty = "webCloseAsked";
// Connections a busy server keeps lingering for refused clients: past this
// a refusal is a plain close (the file descriptors are the limit then).
constexpr int MaxLingering = 512;
// Connections queued in the kernel before they are accepted: a burst of
// clients is accepted and answered (or refused) rather than left to retry.
constexpr int ListenBacklog = 1024;
// Between two returns of freed memory to the system.
constexpr qint64 TrimIntervalMs = 5000;

// True when the kernel holds bytes from the client that the socket has not
// read yet: a request on its way.
bool BytesWaiting(const QTcpSocket* socket) {
    char byte;
    return ::recv(static_cast<int>(socket->socketDescriptor()), &byte, 1, MSG_PEEK | MSG_DONTWAIT) >
           0;
}

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
    setListenBacklogSize(ListenBacklog);
    sweep_ = new QTimer(this);
    connect(sweep_, &QTimer::timeout, this, &GuardedTcpServer::Sweep);
    sweep_->start(static_cast<int>(limits_.SweepIntervalMs));
}

GuardedTcpServer::~GuardedTcpServer() {
    // Sockets still open die with their parents; forget them first.
    for (auto& [socket, watch] : watches_)
        socket->disconnect(this);
}

int GuardedTcpServer::ConnectionCount() const {
    int count = 0;
    for (const auto& [socket, watch] : watches_)
        count += watch.Rejected ? 0 : 1;
    return count;
}

QTcpSocket* GuardedTcpServer::Evictable(const QString& address) const {
    // Oldest first; those with bytes not read yet (perhaps the rest of their
    // request) only when there is no other.
    QTcpSocket* oldest = nullptr;
    std::tuple<bool, qint64, uint64_t> oldestKey;
    for (const auto& [socket, watch] : watches_) {
        if (watch.Rejected || (!address.isEmpty() && watch.Address != address)) continue;
        // Only connections without a whole request: a head trickling in, or
        // nothing sent since connecting.  Idle kept-alive ones stay.
        const bool pending = watch.HeadStartMs >= 0;
        if ((!pending && watch.WholeSeen) || socket->bytesToWrite() > 0) continue;
        const std::tuple<bool, qint64, uint64_t> key{
            BytesWaiting(socket), pending ? watch.HeadStartMs : watch.ConnectedMs, watch.Serial};
        if (!oldest || key < oldestKey) {
            oldest = socket;
            oldestKey = key;
        }
    }
    return oldest;
}

bool GuardedTcpServer::MakeRoom(const QString& address) {
    int fromAddress = 0;
    for (const auto& [socket, watch] : watches_)
        fromAddress += !watch.Rejected && watch.Address == address ? 1 : 0;
    if (fromAddress >= std::min(limits_.MaxPerAddress, limits_.MaxConnections)) {
        QTcpSocket* evicted = Evictable(address);
        if (!evicted) return false;
        Reject(evicted, watches_.at(evicted), "503 Service Unavailable");
    }
    if (ConnectionCount() >= limits_.MaxConnections) {
        QTcpSocket* evicted = Evictable(QString());
        if (!evicted) return false;
        Reject(evicted, watches_.at(evicted), "503 Service Unavailable");
    }
    return true;
}

void GuardedTcpServer::incomingConnection(qintptr descriptor) {
    auto* socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return;
    }
    const qint64 now = clock_.elapsed();
    const QString address = socket->peerAddress().toString();
    const bool room = MakeRoom(address);
    if (!room && static_cast<int>(watches_.size()) - ConnectionCount() >= MaxLingering) {
        socket->abort();
        delete socket;
        return;
    }
    Watch& watch = watches_[socket];
    watch.Serial = ++serials_;
    watch.ConnectedMs = now;
    watch.LastActivityMs = now;
    watch.Address = address;
    // Connected before the HTTP server connects its own: the head is looked
    // at before the server reads it.
    connect(socket, &QTcpSocket::readyRead, this, [this, socket] { Inspect(socket); });
    connect(socket, &QTcpSocket::bytesWritten, this, [this, socket] {
        const auto it = watches_.find(socket);
        if (it == watches_.end()) return;
        it->second.LastActivityMs = clock_.elapsed();
        if (it->second.Rejected) EndRefusal(socket, it->second);
    });
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QObject::destroyed, this, [this, socket] {
        watches_.erase(socket);
        closedSinceTrim_ = true;
    });
    if (!room) {
        // Refused before the HTTP server ever sees it.
        Reject(socket, watch, "503 Service Unavailable");
        return;
    }
    addPendingConnection(socket);
}

qint64 GuardedTcpServer::HeadTimeoutMs() const {
    const int free = std::max(limits_.MaxConnections - ConnectionCount(), 0);
    const qint64 scaled = limits_.HeadTimeoutMs * free / std::max(limits_.MaxConnections, 1);
    return std::clamp(scaled, std::min(limits_.MinHeadTimeoutMs, limits_.HeadTimeoutMs),
                      limits_.HeadTimeoutMs);
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
        if (watch.Head.isEmpty()) {
            watch.HeadStartMs = now;
            watch.HeadAllowedMs = std::numeric_limits<qint64>::max();
        }
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
        watch.WholeSeen = true;
        // Whatever follows the blank line starts the next request.
        at += end - before;
        watch.Head.clear();
        watch.HeadStartMs = -1;
    }
}

void GuardedTcpServer::Reject(QTcpSocket* socket, Watch& watch, const char* status) {
    watch.Rejected = true;
    watch.RejectedMs = clock_.elapsed();
    watch.Head.clear();
    watch.HeadStartMs = -1;
    socket->readAll();
    const bool busy = QByteArray(status).startsWith("503");
    const QByteArray body =
        busy ? QByteArrayLiteral("The receiver's web view is busy; please try again shortly.\n")
             : QByteArray(status) + '\n';
    QByteArray answer = QByteArray("HTTP/1.1 ") + status +
                        "\r\nContent-Type: text/plain; charset=utf-8\r\nConnection: close\r\n"
                        "Content-Length: " +
                        QByteArray::number(body.size()) + "\r\n";
    if (busy) answer += "Retry-After: " + QByteArray::number(limits_.RetryAfterS) + "\r\n";
    socket->write(answer + "\r\n" + body);
    socket->flush();
    EndRefusal(socket, watch);
}

void GuardedTcpServer::EndRefusal(QTcpSocket* socket, const Watch& watch) {
    if (!watch.Rejected || socket->bytesToWrite() > 0) return;
    // Only the sending half: whatever the client still sends is read and
    // dropped, so its request is never left unread (which would turn the
    // close into a reset that can destroy the answer before it is read).
    ::shutdown(static_cast<int>(socket->socketDescriptor()), SHUT_WR);
}

void GuardedTcpServer::Sweep() {
    const qint64 now = clock_.elapsed();
    const qint64 headTimeoutMs = HeadTimeoutMs();
    const int free = std::max(limits_.MaxConnections - ConnectionCount(), 0);
    // Idle kept-alive connections hold slots too: the fuller, the shorter.
    const qint64 idleTimeoutMs =
        std::max(limits_.IdleTimeoutMs * free / std::max(limits_.MaxConnections, 1),
                 std::min(2 * limits_.MinHeadTimeoutMs, limits_.IdleTimeoutMs));
    std::vector<QTcpSocket*> drop;
    std::vector<QTcpSocket*> late;
    std::vector<QTcpSocket*> close;
    for (auto& [socket, watch] : watches_) {
        const qint64 quietMs = now - watch.LastActivityMs;
        // A head in progress, or a connection that has said nothing yet.
        const bool waiting = watch.HeadStartMs >= 0 || !watch.WholeSeen;
        if (waiting) watch.HeadAllowedMs = std::min(watch.HeadAllowedMs, headTimeoutMs);
        const qint64 waitedMs =
            now - (watch.HeadStartMs >= 0 ? watch.HeadStartMs : watch.ConnectedMs);
        if (watch.Rejected) {
            if (now - watch.RejectedMs > limits_.LingerMs) drop.push_back(socket);
        } else if (waiting && waitedMs > watch.HeadAllowedMs) {
            late.push_back(socket);
        } else if (socket->bytesToWrite() > 0 && quietMs > limits_.StallTimeoutMs) {
            drop.push_back(socket);
        } else if (socket->bytesToWrite() == 0 && quietMs > idleTimeoutMs) {
            close.push_back(socket);
        }
    }
    for (QTcpSocket* socket : late)
        Reject(socket, watches_.at(socket), "408 Request Timeout");
    // abort() and disconnectFromHost() may emit disconnected() at once, which
    // deletes the socket later and erases it from watches_ when it is gone.
    for (QTcpSocket* socket : drop)
        socket->abort();
    for (QTcpSocket* socket : close)
        socket->disconnectFromHost();
    if (closedSinceTrim_ && now - lastTrimMs_ > TrimIntervalMs) {
        closedSinceTrim_ = false;
        lastTrimMs_ = now;
        malloc_trim(0);
    }
}

} // namespace web
