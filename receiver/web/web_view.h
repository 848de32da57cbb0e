// SPDX-License-Identifier: GPL-3.0-or-later
// The read-only web view of a running receiver: a page with the five panels,
// the last block's numbers and plots of the live log, and the snapshot and log
// folders as browsable lists.
//
// The receiver drives it from its main thread and never waits for a client:
// PublishPanels and PublishBlock put the latest state into one slot guarded by
// a mutex (held for a few pointer copies, never across I/O).  The HTTP server
// runs on its own thread; it encodes the panels as PNG there, once per
// published picture, and serves every client from that cache.
#pragma once

#include <QDateTime>
#include <QHostAddress>
#include <QImage>
#include <QString>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "receiver/web/overview_page.h"

class QThread;

namespace web {

enum class Panel { Correlation, Correlogram, Dopplergram, Scattergram, Tune };
inline constexpr int PanelCount = 5;
// "correlation", "correlogram", "dopplergram", "scattergram", "tune": the
// names in the page's URLs.
const char* PanelName(Panel panel);

// The five panel pictures as the window shows them, in Panel order.  Copies
// of the panels' QImages: they share the pixels until the painter next draws.
struct PanelSet {
    std::array<QImage, PanelCount> Images;
};

// How the station is doing, told at the top of the page in plain words and
// in /state.json as figures.
struct StationHealth {
    std::optional<double> InputDbfs; // peak of the last second against full scale
    bool Clipping = false;           // a sample at full scale in the last second
    bool Locked = false;
    bool Logging = false;    // a block log is asked for
    QString LogError;        // why it cannot be written now (empty: written)
    bool Snapshots = false;  // gram snapshots are saved automatically
    QString SnapshotError;   // why the last could not be written (empty: written)
    int64_t InputLosses = 0; // times the input was lost
    int64_t UptimeS = 0;
    int64_t FreeBytes = -1;         // on the file system written to; -1: unknown
    std::optional<double> DaysLeft; // of free space at the rate it has been going
    bool ClockSynchronised = true;
    int64_t ClockSteps = 0;
    // A network input's losses: how many, and the silence the blocks got in
    // their place (none for other inputs).
    struct NetworkLosses {
        int64_t Losses = 0;       // gaps filled with silence
        double FilledMs = 0.0;    // silence filled in
        int64_t FilledBlocks = 0; // blocks flagged fill for it (not locked)
        int64_t Late = 0;         // datagrams dropped, their time already filled
    };
    std::optional<NetworkLosses> Network;
};

// What the page shows beside the panels, as of the last published block.
struct BlockFacts {
    // Name and value with its unit, in the order shown ("Doppler", "+0.41 Hz").
    std::vector<std::pair<QString, QString>> Fields;
    QString Input; // the input device's name
    QString Mode;  // "NATO (2400 baud, 1800 Hz)"
    // Symbols per second of the mode: turns the log's peak lags into milliseconds.
    int BaudRate = 2400;
    QDateTime BlockTime; // wall clock at the block, UTC; invalid before the first block
    int64_t Blocks = 0;  // blocks processed so far
    QString Station;     // the station's name (the host's unless given)
    StationHealth Health;
};

// A folder served below /files/<Name>/ with everything inside it.
struct ServedFolder {
    QString Name;
    QString Path;
};

// What one client may take of the server.  Connections that have not sent a
// whole request yet (a head trickling in, or nothing at all) hold their slot
// only until someone else needs it: a newcomer takes the slot of the oldest of
// them, which is told 503 with Retry-After.  Connections with a whole request
// (being answered, or kept alive after their answer) keep theirs.
struct ConnectionLimits {
    int MaxConnections = 128;
    int MaxPerAddress = 24;         // of MaxConnections, from one client address
    qint64 MaxLineBytes = 4096;     // the request line (method, URL, version)
    qint64 MaxHeadBytes = 16384;    // request line and headers
    qint64 HeadTimeoutMs = 10000;   // from the first byte of a head to its end, with free slots
    qint64 MinHeadTimeoutMs = 1000; // ... shrinking towards this as the slots fill (never
                                    // growing again for a head in progress)
    qint64 StallTimeoutMs = 30000;  // a response nobody reads any more
    qint64 IdleTimeoutMs = 60000;   // a kept-alive connection without requests
    qint64 LingerMs = 2000;         // a refused client's time to read its answer
    int RetryAfterS = 5;            // told to clients turned away
    qint64 SweepIntervalMs = 1000;  // how often the timeouts are checked
};

struct WebViewConfig {
    QHostAddress Address = QHostAddress(QHostAddress::LocalHost);
    quint16 Port = 8080; // 0: any free port (Port() tells which)
    std::vector<ServedFolder> Folders;
    QString LogFolder; // where the live log's day files are (the plots)
    ConnectionLimits Limits;
    // After each wake-up the server thread answers all that has come, then
    // pauses this long, so that requests arriving meanwhile are answered
    // together (0: no pause, for tests that ask one thing after another).
    int WakePauseMs = 50;
};

class WebServer;
struct LatestState;

class WebView {
  public:
    explicit WebView(WebViewConfig config);
    ~WebView(); // stops serving and ends the server thread
    WebView(const WebView&) = delete;
    WebView& operator=(const WebView&) = delete;

    // Binds the address and starts serving on the server thread.  False with
    // a one-line reason when the address cannot be bound.
    bool Start(QString& error);
    quint16 Port() const { return port_; }
    // "http://127.0.0.1:8080/" (the bound address and port).
    QString Url() const;

    // The latest panels and numbers; cheap, never blocks on a client.
    void PublishPanels(const PanelSet& panels);
    void PublishBlock(const BlockFacts& facts);
    // Every channel of a run with several receivers: "/" becomes the
    // overview page (each channel's own page is served by its own view).
    void PublishOverview(const Overview& overview);

  private:
    WebViewConfig config_;
    std::shared_ptr<LatestState> latest_;
    std::unique_ptr<QThread> thread_;
    WebServer* server_ = nullptr; // lives on thread_
    quint16 port_ = 0;
};

} // namespace web
