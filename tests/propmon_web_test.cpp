// SPDX-License-Identifier: GPL-3.0-or-later
// propmon's web view seen from outside: the program runs with the built-in
// test signal (headless, or its window off-screen) and --http, a real browser (headless
// Chromium, driven through its DevTools protocol) looks at the page twice in
// one page life, and plain clients misbehave.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDateTime>
#include <QEventLoop>
#include <QGuiApplication>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>
#include <QUrl>
#include <QWebSocket>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>

#include "receiver/web/tests/raw_client.h"
#include "tests/text_files.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using web::testing::Client;

const char* const Chromium = "/usr/bin/chromium";

// The five panels: where the page puts their pictures (inside the body's
// 8-pixel margin) and their sizes.
struct PanelBox {
    const char* Name;
    int X, Y, W, H;
};
constexpr PanelBox Panels[] = {
    {"correlation", 6, 51, 68, 510},    {"correlogram", 80, 51, 561, 216},
    {"dopplergram", 80, 288, 401, 271}, {"scattergram", 483, 288, 68, 255},
    {"tune", 601, 289, 70, 254},
};

// Headless Chromium driven through its DevTools protocol: the page stays
// open, so two looks see one page life (what its script did in between).
class Browser {
  public:
    Browser(const fs::path& profile, const std::string& url) {
        pid_ = ::fork();
        if (pid_ == 0) {
            const std::string dataDir = "--user-data-dir=" + profile.string();
            const int log =
                ::open((profile.string() + ".log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ::dup2(log, 1);
            ::dup2(log, 2);
            ::execl(Chromium, Chromium, "--headless", "--no-sandbox", "--disable-gpu",
                    "--disable-quic", "--no-first-run", "--disable-background-networking",
                    "--disable-component-update", "--disable-sync", "--hide-scrollbars",
                    "--window-size=740,1480", "--remote-debugging-port=0", dataDir.c_str(),
                    url.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        // Chromium names its port in the profile once it listens.
        for (int i = 0; i < 300 && port_ == 0; ++i) {
            std::this_thread::sleep_for(100ms);
            std::ifstream active(profile / "DevToolsActivePort");
            int port = 0;
            if (active >> port) port_ = static_cast<uint16_t>(port);
        }
        if (port_ == 0) return;
        // The page is listed once it has started loading.
        for (int i = 0; i < 100 && !page_.isValid(); ++i) {
            Client list(port_);
            // Chromium answers only requests addressed to localhost or an IP
            // address, and names the page's socket after the address asked.
            list.Send("GET /json/list HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port_) +
                      "\r\n\r\n");
            const QJsonArray targets =
                QJsonDocument::fromJson(QByteArray::fromStdString(list.Read().Body)).array();
            for (const QJsonValue& target : targets)
                if (target["type"] == "page" && target["url"].toString().startsWith("http"))
                    page_ = QUrl(target["webSocketDebuggerUrl"].toString());
            if (!page_.isValid()) std::this_thread::sleep_for(100ms);
        }
        if (!page_.isValid()) return;
        QEventLoop loop;
        QObject::connect(&socket_, &QWebSocket::connected, &loop, &QEventLoop::quit);
        QTimer::singleShot(10000, &loop, &QEventLoop::quit);
        socket_.open(page_);
        loop.exec();
    }
    ~Browser() {
        socket_.close();
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    bool Ready() const { return socket_.state() == QAbstractSocket::ConnectedState; }

    // The result of one protocol command (waits for its answer).
    QJsonObject Call(const QString& method, const QJsonObject& params = {}) {
        const int id = nextId_++;
        QJsonObject answer;
        QEventLoop loop;
        const auto connection = QObject::connect(
            &socket_, &QWebSocket::textMessageReceived, &loop, [&](const QString& text) {
                const QJsonObject message = QJsonDocument::fromJson(text.toUtf8()).object();
                if (message["id"].toInt() != id) return;
                answer = message["result"].toObject();
                loop.quit();
            });
        QTimer::singleShot(30000, &loop, &QEventLoop::quit);
        socket_.sendTextMessage(
            QJsonDocument(QJsonObject{{"id", id}, {"method", method}, {"params", params}})
                .toJson(QJsonDocument::Compact));
        loop.exec();
        QObject::disconnect(connection);
        return answer;
    }
    // A script's value in the page.
    QJsonValue Evaluate(const QString& expression) {
        return Call("Runtime.evaluate",
                    {{"expression", expression}, {"returnByValue", true}})["result"]
            .toObject()["value"];
    }
    QImage Screenshot() {
        const QString data = Call("Page.captureScreenshot", {{"format", "png"}})["data"].toString();
        return QImage::fromData(QByteArray::fromBase64(data.toLatin1()), "PNG");
    }

  private:
    pid_t pid_ = -1;
    uint16_t port_ = 0;
    QUrl page_;
    QWebSocket socket_;
    int nextId_ = 1;
};

class PropmonWeb : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = ScratchFolder("propmon-web");
        fs::remove_all(dir_);
        fs::create_directories(dir_ / "logs");
    }
    void TearDown() override {
        Stop();
        fs::remove_all(dir_);
    }

    // propmon in `dir` (without a window, or with one off-screen), listening
    // to the test signal with its web view on a free port of the loopback
    // address; false when it does not say where.
    enum class Run { Headless, Window };
    bool Start(Run run, const std::string& http = "0") {
        pid_ = ::fork();
        if (pid_ == 0) {
            const std::string command = "cd '" + dir_.string() +
                                        "' && exec env QT_QPA_PLATFORM=offscreen '" + PROPMON_BIN +
                                        "'" + (run == Run::Headless ? " --headless" : "") +
                                        " --simulate --http " + http + " >out.txt 2>err.txt";
            ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        const std::regex url("web view at http://127\\.0\\.0\\.1:([0-9]+)/");
        for (int i = 0; i < 150; ++i) {
            if (::waitpid(pid_, &exitStatus_, WNOHANG) == pid_) {
                pid_ = -1;
                return false;
            }
            std::smatch match;
            const std::string err = Slurp(dir_ / "err.txt");
            if (std::regex_search(err, match, url)) {
                port_ = static_cast<uint16_t>(std::stoi(match[1]));
                return true;
            }
            std::this_thread::sleep_for(100ms);
        }
        return false;
    }
    void Stop() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
    }
    std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }

    // A day of rows in the live log, one every 10 s: a path drifting slowly
    // and a second one some hours long.
    void WriteLiveLog() {
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        std::string day;
        std::ofstream out;
        for (qint64 t = now - 24LL * 3600 * 1000; t < now; t += 10000) {
            const QDateTime when = QDateTime::fromMSecsSinceEpoch(t, Qt::UTC);
            const std::string today = when.toString("yyyy-MM-dd").toStdString();
            if (today != day) {
                day = today;
                out = std::ofstream(dir_ / "logs" / ("propmon-" + day + ".csv"));
                out << "utc,block,time_s,peak_lag,doppler_hz,tune_hz,path2_delay_ms\n";
            }
            const double hours = (now - t) / 3.6e6;
            out << when.toString("yyyy-MM-ddTHH:mm:ss.zzzZ").toStdString() << ",0,0,"
                << static_cast<int>(120 + 8 * std::sin(hours / 4)) << ","
                << 0.4 * std::sin(hours / 3) << ",0," << (hours > 5 && hours < 15 ? "2.7" : "")
                << "\n";
        }
    }

    fs::path dir_;
    pid_t pid_ = -1;
    int exitStatus_ = 0; // of a propmon that ended by itself
    uint16_t port_ = 0;
};

TEST_F(PropmonWeb, ABrowserSeesTheFivePanelsChangeBetweenTwoLooks) {
    if (!fs::exists(Chromium)) GTEST_SKIP() << "chromium is not installed (scripts/setup)";
    WriteLiveLog();
    ASSERT_TRUE(Start(Run::Headless)) << Slurp(dir_ / "err.txt");
    Browser browser(dir_ / "profile", Url());
    ASSERT_TRUE(browser.Ready()) << Slurp(dir_ / "profile.log");

    // Each look: every panel's version, the size of the picture it shows and
    // where that picture came from, and the page as it is on the screen.
    const QString look = QStringLiteral(
        "JSON.stringify(['correlation', 'correlogram', 'dopplergram', 'scattergram', 'tune']"
        ".map((id) => { const img = document.getElementById(id);"
        " return [img.dataset.version, img.complete ? img.naturalWidth + 'x' + img.naturalHeight"
        " : 'loading', img.src.slice(0, 22)]; }))");
    QJsonArray seen[2];
    QImage shot[2];
    for (int i = 0; i < 2; ++i) {
        std::this_thread::sleep_for(i == 0 ? 3s : 9s); // a dopplergram column is ~7 s
        seen[i] = QJsonDocument::fromJson(browser.Evaluate(look).toString().toUtf8()).array();
        shot[i] = browser.Screenshot();
        ASSERT_EQ(seen[i].size(), 5) << i;
        ASSERT_FALSE(shot[i].isNull()) << i;
    }
    if (const char* keep = std::getenv("PROPMON_WEB_SCREENSHOT"))
        shot[1].save(QString::fromLocal8Bit(keep));

    for (int p = 0; p < 5; ++p) {
        const PanelBox& panel = Panels[p];
        const QJsonArray first = seen[0][p].toArray(), second = seen[1][p].toArray();
        // Present: the browser shows a picture of the panel's size...
        const QString size = QStringLiteral("%1x%2").arg(panel.W).arg(panel.H);
        EXPECT_EQ(first[1].toString(), size)
            << panel.Name << " " << first[1].toString().toStdString();
        EXPECT_EQ(second[1].toString(), size)
            << panel.Name << " " << second[1].toString().toStdString();
        // ... which the page's script replaced with a newer one that came
        // with the polled state ...
        EXPECT_GT(second[0].toString().toLongLong(), first[0].toString().toLongLong())
            << panel.Name;
        EXPECT_EQ(second[2].toString().toStdString(), "data:image/png;base64,") << panel.Name;
        // ... and which shows on the screen.
        int changed = 0;
        for (int y = panel.Y; y < panel.Y + panel.H; ++y)
            for (int x = panel.X; x < panel.X + panel.W; ++x)
                changed += shot[0].pixel(x + 8, y + 8) != shot[1].pixel(x + 8, y + 8);
        EXPECT_GT(changed, 0) << panel.Name;
    }
    // The numbers, the input and the time of the last block, as the script
    // keeps them.
    const QString text = browser.Evaluate("document.body.innerText").toString();
    for (const char* words : {"Peak lag", "Doppler", "Clock correction", "SNR", "Locked",
                              "Built-in STANAG 4285 test signal", "NATO (2400 baud, 1800 Hz)"})
        EXPECT_TRUE(text.contains(words)) << words;
    const QString utc = browser.Evaluate("document.getElementById('utc').textContent").toString();
    const QDateTime shown = QDateTime::fromString(utc.chopped(4), "yyyy-MM-dd HH:mm:ss");
    EXPECT_LT(
        std::abs(
            QDateTime(shown.date(), shown.time(), Qt::UTC).secsTo(QDateTime::currentDateTimeUtc())),
        5)
        << utc.toStdString();
    EXPECT_EQ(browser.Evaluate("document.getElementById('delayplot').naturalWidth").toInt(), 705);
}

TEST_F(PropmonWeb, AClientThatStopsReadingMidResponseDoesNotSlowTheReceiver) {
    // A log file far larger than any socket buffer.
    {
        std::ofstream big(dir_ / "logs" / "propmon-2026-12-01.csv", std::ios::binary);
        const std::string row(1 << 20, 'x');
        for (int i = 0; i < 64; ++i)
            big << row;
    }
    ASSERT_TRUE(Start(Run::Window)) << Slurp(dir_ / "err.txt");
    Client stalled(port_);
    const int small = 4096;
    ASSERT_EQ(::setsockopt(stalled.Fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small), 0);
    stalled.Send("GET /files/logs/propmon-2026-12-01.csv HTTP/1.1\r\nHost: station\r\n\r\n");
    ASSERT_EQ(stalled.Receive(100).substr(0, 12), "HTTP/1.1 200");

    const auto blocks = [&] {
        Client client(port_);
        const std::string body = client.Get("/state.json").Body;
        const size_t at = body.find("\"blocks\":");
        return at == std::string::npos ? -1L : std::stol(body.substr(at + 9));
    };
    const long first = blocks();
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(5s);
    const long last = blocks();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // The test signal comes at 9.375 blocks a second; the page is published
    // once a second, so allow for a second of lag at either end.
    EXPECT_GE(last - first, static_cast<long>(9.375 * (seconds - 2.0)))
        << first << " -> " << last << " in " << seconds << " s";
}

TEST_F(PropmonWeb, AnAddressThatCannotBeBoundEndsTheStartInOneLine) {
    // A port taken by another listener.
    const int taken = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(taken, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(taken, 1), 0);
    socklen_t length = sizeof address;
    ::getsockname(taken, reinterpret_cast<sockaddr*>(&address), &length);
    const std::string busy = std::to_string(ntohs(address.sin_port));

    EXPECT_FALSE(Start(Run::Headless, "127.0.0.1:" + busy));
    ::close(taken);
    EXPECT_TRUE(WIFEXITED(exitStatus_) && WEXITSTATUS(exitStatus_) == 1) << exitStatus_;
    const std::string err = Slurp(dir_ / "err.txt");
    EXPECT_NE(err.find("propmon: cannot serve the web view on 127.0.0.1:" + busy),
              std::string::npos)
        << err;
    EXPECT_FALSE(fs::exists(dir_ / "Stanag4285.set"));
}

} // namespace

int main(int argc, char** argv) {
    // The browser is driven through Qt's event loop (QWebSocket).
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
