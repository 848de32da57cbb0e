// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/web/web_server.h"

#include <QBuffer>
#include <QDateTime>
#include <QFileInfo>
#include <QHttpServer>
#include <QHttpServerRequest>
#include <QJsonDocument>
#include <QLocale>
#include <QTcpSocket>
#include <QUrl>
#include <QUrlQuery>

#include "receiver/web/latest_state.h"
#include "receiver/web/page.h"
#include "receiver/web/served_files.h"

namespace web {

namespace {

using Method = QHttpServerRequest::Method;
using Status = QHttpServerResponder::StatusCode;

// PNG at a low compression level: the panels change every second and are
// small; encoding time matters more than a few kilobytes.
constexpr int PngQuality = 70;
// A plot is drawn again at most this often.
constexpr qint64 PlotAgeMs = 30000;

// The panels hold few colours (grey levels, a trace colour or two).  As a
// palette picture their PNG is smaller and several times quicker to make
// (libpng searches no row filters for palettes).  A picture with more than
// 256 colours is kept as it is.
QImage WithPalette(const QImage& image) {
    if (image.format() != QImage::Format_RGB32) return image;
    constexpr int slotCount = 1024; // open addressing, at most a quarter full
    std::array<QRgb, slotCount> colours;
    std::array<int, slotCount> indexes;
    indexes.fill(-1);
    QList<QRgb> table;
    QImage indexed(image.size(), QImage::Format_Indexed8);
    const int width = image.width(), height = image.height();
    for (int y = 0; y < height; ++y) {
        const auto* in = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        uchar* out = indexed.scanLine(y);
        QRgb last = 0;
        int lastIndex = -1;
        for (int x = 0; x < width; ++x) {
            const QRgb colour = in[x] | 0xFF000000u;
            if (colour != last || lastIndex < 0) {
                unsigned slot = (colour * 2654435761u) >> 22; // 10 bits
                while (indexes[slot] >= 0 && colours[slot] != colour)
                    slot = (slot + 1) % slotCount;
                if (indexes[slot] < 0) {
                    if (table.size() == 256) return image;
                    colours[slot] = colour;
                    indexes[slot] = static_cast<int>(table.size());
                    table.push_back(colour);
                }
                last = colour;
                lastIndex = indexes[slot];
            }
            out[x] = static_cast<uchar>(lastIndex);
        }
    }
    indexed.setColorTable(table);
    return indexed;
}

QByteArray Png(const QImage& image) {
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    WithPalette(image).save(&buffer, "PNG", PngQuality);
    return png;
}

Response Text(Status status, const char* text) {
    return {status, "text/plain; charset=utf-8", QByteArray(text) + '\n', {}};
}

Response Html(QByteArray page) {
    return {Status::Ok,
            "text/html; charset=utf-8",
            std::move(page),
            {{"Cache-Control", "no-store"},
             {"Content-Security-Policy",
              "default-src 'self'; img-src 'self' data:; style-src 'self' 'unsafe-inline'; "
              "frame-ancestors 'none'"}}};
}

// Content-Disposition for a download: the plain name for old clients, the
// exact one (RFC 6266) for the others.
QByteArray Attachment(const QString& name) {
    QByteArray plain;
    for (const QChar c : name)
        plain += c.unicode() >= 0x20 && c.unicode() < 0x7F && c != u'"' && c != u'\\'
                     ? static_cast<char>(c.unicode())
                     : '_';
    return "attachment; filename=\"" + plain + "\"; filename*=UTF-8''" +
           QUrl::toPercentEncoding(name);
}

} // namespace

WebServer::WebServer(WebViewConfig config, std::shared_ptr<LatestState> latest)
    : config_(std::move(config)), latest_(std::move(latest)), history_(config_.LogFolder),
      channels_(config_.LogFolder) {
    clock_.start();
}

WebServer::~WebServer() = default;

quint16 WebServer::Listen(QString& error) {
    http_ = std::make_unique<QHttpServer>();
    Route();
    tcp_ = new GuardedTcpServer(config_.Limits, http_.get());
    if (!tcp_->listen(config_.Address, config_.Port)) {
        error = QStringLiteral("cannot serve the web view on %1:%2: %3")
                    .arg(config_.Address.toString())
                    .arg(config_.Port)
                    .arg(tcp_->errorString());
        return 0;
    }
    http_->bind(tcp_);
    return tcp_->serverPort();
}

void WebServer::Route() {
    const auto getOrHead = Method::Get | Method::Head;
    http_->route("/", getOrHead,
                 [this](const QHttpServerRequest& request, QHttpServerResponder&& responder) {
                     const Snapshot snapshot = TakeSnapshot(*latest_);
                     Send(request, std::move(responder),
                          Html(snapshot.Channels.Channels.empty()
                                   ? PageHtml(snapshot, config_.Folders)
                                   : OverviewHtml(snapshot.Channels)));
                 });
    http_->route("/page.js", getOrHead,
                 [this](const QHttpServerRequest& request, QHttpServerResponder&& responder) {
                     Send(request, std::move(responder),
                          {Status::Ok,
                           "text/javascript; charset=utf-8",
                           PageScript(),
                           {{"Cache-Control", "no-cache"}}});
                 });
    http_->route("/page.css", getOrHead,
                 [this](const QHttpServerRequest& request, QHttpServerResponder&& responder) {
                     Send(request, std::move(responder),
                          {Status::Ok,
                           "text/css; charset=utf-8",
                           PageStyle(),
                           {{"Cache-Control", "no-cache"}}});
                 });
    http_->route("/state.json", getOrHead,
                 [this](const QHttpServerRequest& request, QHttpServerResponder&& responder) {
                     Send(request, std::move(responder), StateJson(request));
                 });
    http_->route("/panel/<arg>", getOrHead,
                 [this](const QString& name, const QHttpServerRequest& request,
                        QHttpServerResponder&& responder) {
                     Send(request, std::move(responder), PanelPng(name));
                 });
    http_->route("/plot/<arg>", getOrHead,
                 [this](const QString& name, const QHttpServerRequest& request,
                        QHttpServerResponder&& responder) {
                     Send(request, std::move(responder), PlotPng(name));
                 });
    // Everything else: the served folders, or nothing.
    http_->setMissingHandler(
        [this](const QHttpServerRequest& request, QHttpServerResponder&& responder) {
            const Method method = request.method();
            if (method != Method::Get && method != Method::Head) {
                Response refused = Text(Status::MethodNotAllowed, "only GET and HEAD");
                refused.Headers.push_back({"Allow", "GET, HEAD"});
                Send(request, std::move(responder), refused);
                return;
            }
            const QString path = request.url().path(QUrl::FullyEncoded);
            if (path.startsWith(QStringLiteral("/files/"))) {
                ServeFile(request, std::move(responder));
            } else if (path == u"/files") {
                Response moved = Text(Status::MovedPermanently, "moved");
                moved.Headers.push_back({"Location", "/files/"});
                Send(request, std::move(responder), moved);
            } else {
                Send(request, std::move(responder), Text(Status::NotFound, "not found"));
            }
        });
}

void WebServer::Send(const QHttpServerRequest& request, QHttpServerResponder&& responder,
                     const Response& response) {
    QTcpSocket* socket = responder.socket();
    const bool close = ClientAsksToClose(socket);
    responder.writeStatusLine(response.Status);
    if (!response.ContentType.isEmpty())
        responder.writeHeader("Content-Type", response.ContentType);
    responder.writeHeader("Content-Length", QByteArray::number(response.Body.size()));
    responder.writeHeader("X-Content-Type-Options", "nosniff");
    for (const auto& [name, value] : response.Headers)
        responder.writeHeader(name, value);
    if (close) responder.writeHeader("Connection", "close");
    // A HEAD answer has the head of the GET answer and no body.
    // Copied behind the head in the socket's buffer (the QByteArray overload
    // would queue it as a block of its own, sent by a second system call).
    const bool head = request.method() == Method::Head;
    responder.writeBody(response.Body.constData(), head ? 0 : response.Body.size());
    if (close) {
        MarkClosing(socket);
        socket->disconnectFromHost();
    } else {
        // Written now rather than on the next turn of the event loop: one
        // wake-up of the server thread less for every answer.
        socket->flush();
    }
}

void WebServer::ServeFile(const QHttpServerRequest& request, QHttpServerResponder&& responder) {
    const QByteArray rest = request.url().path(QUrl::FullyEncoded).toLatin1().mid(7);
    if (rest.isEmpty()) {
        Send(request, std::move(responder), Html(FolderIndex(config_.Folders)));
        return;
    }
    const std::optional<ServedPath> served = ResolveServedPath(config_.Folders, rest);
    if (!served || (!served->IsFolder && rest.endsWith('/'))) {
        Send(request, std::move(responder), Text(Status::NotFound, "not found"));
        return;
    }
    if (served->IsFolder) {
        if (!rest.endsWith('/')) {
            Response moved = Text(Status::MovedPermanently, "moved");
            moved.Headers.push_back({"Location", served->UrlPath.toLatin1()});
            Send(request, std::move(responder), moved);
        } else {
            Send(request, std::move(responder), Html(FolderListing(*served)));
        }
        return;
    }
    auto file = std::make_unique<QFile>(served->Canonical);
    if (!file->open(QIODevice::ReadOnly)) {
        Send(request, std::move(responder), Text(Status::NotFound, "cannot be read"));
        return;
    }
    const qint64 length = file->size();
    const FileKind kind = KindOfFile(served->Canonical);
    const bool head = request.method() == Method::Head;
    responder.writeStatusLine(Status::Ok);
    responder.writeHeader("Content-Type", kind.ContentType);
    responder.writeHeader("Content-Length", QByteArray::number(length));
    responder.writeHeader("X-Content-Type-Options", "nosniff");
    responder.writeHeader("Cache-Control", "no-cache");
    responder.writeHeader("Last-Modified",
                          QLocale::c()
                                  .toString(QFileInfo(*file).lastModified().toUTC(),
                                            QStringLiteral("ddd, dd MMM yyyy HH:mm:ss"))
                                  .toLatin1() +
                              " GMT");
    if (kind.Download)
        responder.writeHeader("Content-Disposition", Attachment(QFileInfo(*file).fileName()));
    // A streamed body ends its connection, so nothing can come between its
    // parts.
    if (!head || ClientAsksToClose(responder.socket()))
        responder.writeHeader("Connection", "close");
    responder.writeBody(QByteArray());
    QTcpSocket* socket = responder.socket();
    if (head) {
        if (ClientAsksToClose(socket)) {
            MarkClosing(socket);
            socket->disconnectFromHost();
        }
        return;
    }
    FileStream::Start(socket, std::move(file), length);
}

Response WebServer::StateJson(const QHttpServerRequest& request) {
    // ?have=V,V,V,V,V: the panel versions the page shows.  The answer carries
    // the pictures of the panels that changed since, so a page needs one
    // request a second however many of its pictures changed.
    const QStringList have = request.query().queryItemValue(QStringLiteral("have")).split(u',');
    std::array<uint64_t, PanelCount> shown;
    bool withPictures = have.size() == PanelCount;
    for (int i = 0; i < PanelCount && withPictures; ++i)
        shown[i] = have[i].toULongLong(&withPictures);
    QString key;
    if (withPictures)
        for (uint64_t version : shown)
            key += QString::number(version) + u',';

    uint64_t version;
    {
        QMutexLocker lock(&latest_->Mutex);
        version = latest_->Version;
    }
    if (version != stateVersion_ || stateJson_.size() > 16) stateJson_.clear();
    auto cached = stateJson_.find(key);
    if (cached == stateJson_.end()) {
        const Snapshot snapshot = TakeSnapshot(*latest_);
        QJsonObject state = web::StateJson(snapshot);
        if (withPictures) {
            QJsonObject pictures;
            for (int i = 0; i < PanelCount; ++i) {
                const QImage& image = snapshot.Panels.Images[i];
                if (shown[i] == snapshot.PanelVersions[i] || image.isNull()) continue;
                pictures.insert(QString::fromLatin1(PanelName(static_cast<Panel>(i))),
                                QString::fromLatin1(
                                    "data:image/png;base64," +
                                    EncodedPng(i, image, snapshot.PanelVersions[i]).toBase64()));
            }
            state.insert(QStringLiteral("pictures"), pictures);
        }
        if (snapshot.Version != stateVersion_) stateJson_.clear();
        stateVersion_ = snapshot.Version;
        cached = stateJson_.emplace(key, QJsonDocument(state).toJson(QJsonDocument::Compact)).first;
    }
    return {Status::Ok, "application/json", cached->second, {{"Cache-Control", "no-store"}}};
}

const QByteArray& WebServer::EncodedPng(int panel, const QImage& image, uint64_t version) {
    EncodedPanel& encoded = panels_[panel];
    if (encoded.Version != version) {
        encoded.Png = Png(image);
        encoded.Version = version;
    }
    return encoded.Png;
}

Response WebServer::PanelPng(const QString& fileName) {
    for (int i = 0; i < PanelCount; ++i) {
        if (fileName !=
            QString::fromLatin1(PanelName(static_cast<Panel>(i))) + QStringLiteral(".png"))
            continue;
        QImage image;
        uint64_t version;
        {
            QMutexLocker lock(&latest_->Mutex);
            image = latest_->Panels.Images[i];
            version = latest_->PanelVersions[i];
        }
        if (image.isNull()) return Text(Status::NotFound, "no picture yet");
        return {Status::Ok,
                "image/png",
                EncodedPng(i, image, version),
                {{"Cache-Control", "no-store"}}};
    }
    return Text(Status::NotFound, "not found");
}

Response WebServer::PlotPng(const QString& fileName) {
    static const QString PlotNames[] = {QStringLiteral("delay.png"), QStringLiteral("doppler.png"),
                                        QStringLiteral("snr.png"), QStringLiteral("locked.png"),
                                        QStringLiteral("paths.png")};
    const auto found = std::find(std::begin(PlotNames), std::end(PlotNames), fileName);
    if (found == std::end(PlotNames)) return Text(Status::NotFound, "not found");
    const auto which = size_t(found - std::begin(PlotNames));
    int baudRate;
    {
        QMutexLocker lock(&latest_->Mutex);
        baudRate = latest_->Facts.BaudRate;
    }
    EncodedPlot& plot = plots_[which];
    const qint64 now = clock_.elapsed();
    if (plot.Png.isEmpty() || now - plot.MadeMs > PlotAgeMs || plot.BaudRate != baudRate) {
        const int64_t nowUtcMs = QDateTime::currentMSecsSinceEpoch();
        QImage image;
        if (which < 3) {
            history_.Update(nowUtcMs);
            image = which == 0   ? RenderDelayPlot(history_, nowUtcMs, baudRate)
                    : which == 1 ? RenderDopplerPlot(history_, nowUtcMs)
                                 : RenderSnrPlot(history_, nowUtcMs);
        } else {
            channels_.Update(nowUtcMs);
            image = which == 3 ? RenderLockedPlot(channels_, nowUtcMs)
                               : RenderPathDopplerPlot(channels_, nowUtcMs);
        }
        plot.Png = Png(image);
        plot.MadeMs = now;
        plot.BaudRate = baudRate;
    }
    return {Status::Ok, "image/png", plot.Png, {{"Cache-Control", "no-cache"}}};
}

} // namespace web
