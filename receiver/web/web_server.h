// SPDX-License-Identifier: GPL-3.0-or-later
// The web view's server object.  It lives on the server thread: Qt HttpServer
// routes the requests to it, it answers from the latest published state, the
// served folders and the live log, and it keeps the PNG of every panel and
// plot it has encoded until a newer one is due.
#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QHttpServerResponder>
#include <QObject>

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "receiver/web/guarded_tcp_server.h"
#include "receiver/web/log_plots.h"
#include "receiver/web/web_view.h"

class QHttpServer;
class QHttpServerRequest;

namespace web {

struct LatestState;

// One answer, before HEAD and the connection's end are taken into account.
struct Response {
    QHttpServerResponder::StatusCode Status = QHttpServerResponder::StatusCode::Ok;
    QByteArray ContentType;
    QByteArray Body;
    std::vector<std::pair<QByteArray, QByteArray>> Headers;
};

class WebServer : public QObject {
    Q_OBJECT
  public:
    WebServer(WebViewConfig config, std::shared_ptr<LatestState> latest);
    ~WebServer() override;

    // Binds the address (on the server thread).  The port bound, or 0 with
    // the reason in `error`.
    quint16 Listen(QString& error);

  private:
    void Route();
    void Send(const QHttpServerRequest& request, QHttpServerResponder&& responder,
              const Response& response);
    void ServeFile(const QHttpServerRequest& request, QHttpServerResponder&& responder);
    Response PanelPng(const QString& fileName);
    Response StateJson(const QHttpServerRequest& request);
    // The PNG of a panel picture, encoded once per version.
    const QByteArray& EncodedPng(int panel, const QImage& image, uint64_t version);
    Response PlotPng(const QString& fileName);

    WebViewConfig config_;
    std::shared_ptr<LatestState> latest_;
    std::unique_ptr<QHttpServer> http_;
    GuardedTcpServer* tcp_ = nullptr; // owned by http_ once bound

    struct EncodedPanel {
        uint64_t Version = UINT64_MAX;
        QByteArray Png;
    };
    std::array<EncodedPanel, PanelCount> panels_;
    // /state.json as of a version of the latest state, by the panel versions
    // the client already shows: every client polls it every second, and
    // between two publications nearly all of them get the same answer.
    uint64_t stateVersion_ = UINT64_MAX;
    std::map<QString, QByteArray> stateJson_;

    QElapsedTimer clock_;
    LogHistory history_;
    ChannelHistory channels_;
    struct EncodedPlot {
        qint64 MadeMs = 0; // monotonic
        int BaudRate = 0;
        QByteArray Png;
    };
    // delay, doppler, snr, locked, paths: as PlotNames in web_server.cpp.
    std::array<EncodedPlot, 5> plots_;
};

} // namespace web
