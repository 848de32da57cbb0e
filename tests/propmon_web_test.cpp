// SPDX-License-Identifier: GPL-3.0-or-later
// propmon's web view seen from outside: the program runs with the built-in
// test signal (window off-screen) and --http, a real browser (headless
// Chromium) looks at the page twice, and plain clients misbehave.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDateTime>
#include <QImage>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>

#include "receiver/web/tests/raw_client.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using webtest::Client;

std::string Slurp(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

const char* const Chromium = "/usr/bin/chromium";

// The five panels: where the page puts their pictures (inside the body's
// 8-pixel margin) and their sizes.
struct PanelBox {
    const char* name;
    int x, y, w, h;
};
constexpr PanelBox Panels[] = {
    {"correlation", 6, 51, 68, 510},    {"correlogram", 80, 51, 561, 216},
    {"dopplergram", 80, 288, 401, 271}, {"scattergram", 483, 288, 68, 255},
    {"tune", 601, 289, 70, 254},
};

class PropmonWeb : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("propmon-web-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir / "logs");
    }
    void TearDown() override {
        Stop();
        fs::remove_all(dir);
    }

    // propmon in `dir`, listening to the test signal with its web view on a
    // free port of the loopback address; false when it does not say where.
    bool Start(const std::string& http = "0") {
        pid = ::fork();
        if (pid == 0) {
            const std::string command = "cd '" + dir.string() +
                                        "' && exec env QT_QPA_PLATFORM=offscreen '" + PROPMON_BIN +
                                        "' --simulate --http " + http + " >out.txt 2>err.txt";
            ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        const std::regex url("web view at http://127\\.0\\.0\\.1:([0-9]+)/");
        for (int i = 0; i < 150; ++i) {
            if (::waitpid(pid, &exitStatus, WNOHANG) == pid) {
                pid = -1;
                return false;
            }
            std::smatch match;
            const std::string err = Slurp(dir / "err.txt");
            if (std::regex_search(err, match, url)) {
                port = static_cast<uint16_t>(std::stoi(match[1]));
                return true;
            }
            std::this_thread::sleep_for(100ms);
        }
        return false;
    }
    void Stop() {
        if (pid <= 0) return;
        ::kill(pid, SIGTERM);
        int status = 0;
        ::waitpid(pid, &status, 0);
        pid = -1;
    }
    std::string Url() const { return "http://127.0.0.1:" + std::to_string(port) + "/"; }

    // Headless Chromium with a fresh profile, its output in `out`.
    int Browser(const std::string& what, const fs::path& out) {
        const fs::path profile = dir / ("profile-" + out.filename().string());
        const std::string command =
            std::string("timeout 90 ") + Chromium +
            " --headless --no-sandbox --disable-gpu --disable-quic --no-first-run"
            " --disable-background-networking --disable-component-update --disable-sync"
            " --hide-scrollbars --window-size=740,1380 --virtual-time-budget=5000"
            " --user-data-dir='" +
            profile.string() + "' " + what + " '" + Url() + "' >'" +
            (what == "--dump-dom" ? out.string() : (dir / "shot.log").string()) + "' 2>'" +
            (dir / "chromium.log").string() + "'";
        return std::system(command.c_str());
    }

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
                out = std::ofstream(dir / "logs" / ("propmon-" + day + ".csv"));
                out << "utc,block,time_s,peak_lag,doppler_hz,tune_hz,path2_delay_ms\n";
            }
            const double hours = (now - t) / 3.6e6;
            out << when.toString("yyyy-MM-ddTHH:mm:ss.zzzZ").toStdString() << ",0,0,"
                << static_cast<int>(120 + 8 * std::sin(hours / 4)) << ","
                << 0.4 * std::sin(hours / 3) << ",0," << (hours > 5 && hours < 15 ? "2.7" : "")
                << "\n";
        }
    }

    fs::path dir;
    pid_t pid = -1;
    int exitStatus = 0; // of a propmon that ended by itself
    uint16_t port = 0;
};

// The attributes of the <img> with the given id in a DOM dump.
std::string Attribute(const std::string& dom, const std::string& id, const std::string& name) {
    const size_t tag = dom.find("<img id=\"" + id + "\"");
    if (tag == std::string::npos) return {};
    const std::string img = dom.substr(tag, dom.find('>', tag) - tag);
    const size_t at = img.find(" " + name + "=\"");
    if (at == std::string::npos) return {};
    const size_t start = at + name.size() + 3;
    return img.substr(start, img.find('"', start) - start);
}

TEST_F(PropmonWeb, ABrowserSeesTheFivePanelsChangeBetweenTwoLooks) {
    if (!fs::exists(Chromium)) GTEST_SKIP() << "chromium is not installed (scripts/setup)";
    WriteLiveLog();
    ASSERT_TRUE(Start()) << Slurp(dir / "err.txt");
    std::this_thread::sleep_for(2s);

    std::string dom[2];
    QImage shot[2];
    for (int look = 0; look < 2; ++look) {
        if (look == 1) std::this_thread::sleep_for(8s); // a dopplergram column is ~7 s
        const fs::path domFile = dir / ("look" + std::to_string(look) + ".html");
        const fs::path shotFile = dir / ("look" + std::to_string(look) + ".png");
        ASSERT_EQ(Browser("--dump-dom", domFile), 0) << Slurp(dir / "chromium.log");
        ASSERT_EQ(Browser("--screenshot='" + shotFile.string() + "'", shotFile), 0)
            << Slurp(dir / "chromium.log");
        dom[look] = Slurp(domFile);
        ASSERT_TRUE(shot[look].load(QString::fromStdString(shotFile.string())));
    }
    if (const char* keep = std::getenv("PROPMON_WEB_SCREENSHOT"))
        shot[1].save(QString::fromLocal8Bit(keep));

    for (const PanelBox& panel : Panels) {
        // Present: the browser loaded a picture of the panel's size...
        for (const std::string& look : dom)
            EXPECT_EQ(Attribute(look, panel.name, "data-loaded"),
                      std::to_string(panel.w) + "x" + std::to_string(panel.h))
                << panel.name;
        // ... and a newer one for the second look, which shows on the screen.
        EXPECT_NE(Attribute(dom[0], panel.name, "data-version"),
                  Attribute(dom[1], panel.name, "data-version"))
            << panel.name;
        // Within one page life the script swapped the pictures that change
        // with every block for newer ones (they come with the polled state).
        if (std::string(panel.name) != "dopplergram") {
            EXPECT_EQ(Attribute(dom[1], panel.name, "src").rfind("data:image/png;base64,", 0), 0u)
                << panel.name;
        }
        int changed = 0;
        for (int y = panel.y; y < panel.y + panel.h; ++y)
            for (int x = panel.x; x < panel.x + panel.w; ++x)
                changed += shot[0].pixel(x + 8, y + 8) != shot[1].pixel(x + 8, y + 8);
        EXPECT_GT(changed, 0) << panel.name;
    }
    // The numbers, the input and the time of the last block.
    for (const char* text :
         {"Peak lag", "Doppler", "Clock correction", "Built-in STANAG 4285 test signal",
          "NATO (2400 baud, 1800 Hz)", " UTC</td>", "src=\"/plot/delay.png"})
        EXPECT_NE(dom[1].find(text), std::string::npos) << text;
}

TEST_F(PropmonWeb, AClientThatStopsReadingMidResponseDoesNotSlowTheReceiver) {
    // A log file far larger than any socket buffer.
    {
        std::ofstream big(dir / "logs" / "propmon-2026-12-01.csv", std::ios::binary);
        const std::string row(1 << 20, 'x');
        for (int i = 0; i < 64; ++i)
            big << row;
    }
    ASSERT_TRUE(Start()) << Slurp(dir / "err.txt");
    Client stalled(port);
    const int small = 4096;
    ASSERT_EQ(::setsockopt(stalled.Fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small), 0);
    stalled.Send("GET /files/logs/propmon-2026-12-01.csv HTTP/1.1\r\nHost: station\r\n\r\n");
    ASSERT_EQ(stalled.Receive(100).substr(0, 12), "HTTP/1.1 200");

    const auto blocks = [&] {
        Client client(port);
        const std::string body = client.Get("/state.json").body;
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

    EXPECT_FALSE(Start("127.0.0.1:" + busy));
    ::close(taken);
    EXPECT_TRUE(WIFEXITED(exitStatus) && WEXITSTATUS(exitStatus) == 1) << exitStatus;
    const std::string err = Slurp(dir / "err.txt");
    EXPECT_NE(err.find("propmon: cannot serve the web view on 127.0.0.1:" + busy),
              std::string::npos)
        << err;
    EXPECT_FALSE(fs::exists(dir / "Stanag4285.set"));
}

} // namespace
