// SPDX-License-Identifier: GPL-3.0-or-later
// propmon --headless fed by other programs: a sender paced to real time streams
// a two-path STANAG 4285 signal in UDP datagrams with random losses and jitter,
// and the rows after lock keep the true lag; a long recording piped in as fast
// as it can be read is dated from --start-time by its samples.
#include <gtest/gtest.h>
#include <soxr.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "receiver/web/tests/raw_client.h"
#include "s4285gen/s4285gen.h"
#include "tests/text_files.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr int StreamRate = 48000;

// propmon with its arguments, stdin from `stdinFd` (-1: none), stderr to a file.
struct Propmon {
    pid_t Pid = -1;
    fs::path Err;
    Propmon(const std::vector<std::string>& args, const fs::path& folder, int stdinFd = -1) {
        Err = folder / "stderr.txt";
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (stdinFd >= 0) posix_spawn_file_actions_adddup2(&actions, stdinFd, STDIN_FILENO);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, Err.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        // In the test's own folder: one receiver per folder, and tests run side by side.
        posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
        std::vector<std::string> all = {PROPMON_BIN};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& arg : all)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        posix_spawn(&Pid, PROPMON_BIN, &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
    }
    // The exit status, after SIGTERM when `stop`; -1 when it would not end.
    int End(bool stop, std::chrono::seconds timeout = 60s) {
        if (stop) ::kill(Pid, SIGTERM);
        const auto until = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < until) {
            int raw = 0;
            if (::waitpid(Pid, &raw, WNOHANG) == Pid) {
                Pid = -1;
                return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
            }
            std::this_thread::sleep_for(20ms);
        }
        return -1;
    }
    ~Propmon() {
        if (Pid > 0) {
            ::kill(Pid, SIGKILL);
            ::waitpid(Pid, nullptr, 0);
        }
    }
};

// The rows of every block log in `folder`, by column name.
struct Log {
    std::vector<std::string> Header;
    std::vector<std::vector<std::string>> Rows;
    size_t Column(const std::string& name) const {
        return size_t(std::find(Header.begin(), Header.end(), name) - Header.begin());
    }
};
Log ReadLogs(const fs::path& folder) {
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(folder))
        if (entry.path().filename().string().rfind("propmon-", 0) == 0) files.push_back(entry);
    std::sort(files.begin(), files.end());
    Log log;
    for (const fs::path& file : files) {
        auto rows = CsvRows(file);
        if (rows.empty()) continue;
        log.Header = rows.front();
        log.Rows.insert(log.Rows.end(), rows.begin() + 1, rows.end());
    }
    return log;
}

// Milliseconds since the epoch of "2026-12-07T23:59:59.893Z".
int64_t StampMs(const std::string& stamp) {
    std::tm fields{};
    strptime(stamp.c_str(), "%Y-%m-%dT%H:%M:%S", &fields);
    return int64_t(timegm(&fields)) * 1000 + std::stoi(stamp.substr(20, 3));
}

// A two-path STANAG 4285 signal at 48000 samples/s.
std::vector<int16_t> TwoPathSignal(double seconds) {
    s4285gen::Config config = s4285gen::NatoConfig();
    config.Paths = {s4285gen::Path{.DelayMs = 0, .GainDb = 0, .DopplerHz = 0.3},
                    s4285gen::Path{.DelayMs = 2.5, .GainDb = -4, .DopplerHz = -0.5}};
    config.SnrDb = 18;
    s4285gen::Generator generator(config);
    std::vector<float> slow(size_t(seconds * config.SampleRate));
    generator.GenerateFloat(slow.data(), slow.size());
    std::vector<float> fast(slow.size() * StreamRate / config.SampleRate);
    size_t made = 0;
    soxr_oneshot(config.SampleRate, StreamRate, 1, slow.data(), slow.size(), nullptr, fast.data(),
                 fast.size(), &made, nullptr, nullptr, nullptr);
    std::vector<int16_t> out(made);
    for (size_t i = 0; i < made; ++i)
        out[i] = int16_t(std::clamp(fast[i] * 32768.0f, -32768.0f, 32767.0f));
    return out;
}

uint16_t FreeUdpPort() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at);
    socklen_t size = sizeof at;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&at), &size);
    ::close(fd);
    return ntohs(at.sin_port);
}

// Sends `signal` to 127.0.0.1:port in datagrams of `samples`, each when its last
// sample is due give or take `jitterS`, never before the one ahead of it; a
// share `loss` of them is lost on the way.
void PacedSend(uint16_t port, const std::vector<int16_t>& signal, size_t samples, double loss,
               double jitterS, const std::atomic<bool>& stop, int* lost = nullptr) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::mt19937_64 random(7);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const auto start = std::chrono::steady_clock::now();
    for (size_t first = 0; first + samples <= signal.size() && !stop; first += samples) {
        const double dueS = double(first + samples) / StreamRate + (2 * unit(random) - 1) * jitterS;
        std::this_thread::sleep_until(start + std::chrono::microseconds(int64_t(dueS * 1e6)));
        if (first > 0 && unit(random) < loss) {
            if (lost) ++*lost;
            continue;
        }
        ::sendto(fd, signal.data() + first, samples * 2, 0, reinterpret_cast<sockaddr*>(&to),
                 sizeof to);
    }
    ::close(fd);
}

class StreamTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = ScratchFolder("propmon-stream");
        fs::remove_all(dir_);
        fs::create_directories(dir_ / "logs");
    }
    void TearDown() override {
        if (!getenv("KEEP")) fs::remove_all(dir_);
    }
    fs::path dir_;
};

// The web view's port, once propmon has said where it listens (0: it did not).
uint16_t WebPort(const fs::path& err) {
    const std::regex url("web view at http://127\\.0\\.0\\.1:([0-9]+)/");
    for (int i = 0; i < 100; ++i) {
        std::smatch match;
        const std::string text = Slurp(err);
        if (std::regex_search(text, match, url)) return uint16_t(std::stoi(match[1]));
        std::this_thread::sleep_for(100ms);
    }
    return 0;
}

// 3 % of the datagrams lost, +-20 ms of jitter, 1024 samples each (21 ms): every
// loss is filled where it happened, so the sync peak stays on its lag but in
// the blocks whose preamble lay in a loss. The health block of the web view
// counts the losses and the blocks that got silence.
TEST_F(StreamTest, UdpWithThreePercentLossKeepsTheTrueLagAfterLock) {
    constexpr double seconds = 45;
    const std::vector<int16_t> signal = TwoPathSignal(seconds);
    const uint16_t port = FreeUdpPort();
    Propmon propmon({"--headless", "--input", "udp:" + std::to_string(port), "--log",
                     (dir_ / "logs").string(), "--http", "0"},
                    dir_);
    const uint16_t web = WebPort(propmon.Err);
    ASSERT_NE(web, 0) << Slurp(propmon.Err);
    std::this_thread::sleep_for(500ms); // listening
    std::atomic<bool> stop{false};
    int sentLost = 0;
    std::thread sender(PacedSend, port, std::cref(signal), 1024, 0.03, 0.02, std::cref(stop),
                       &sentLost);
    sender.join();
    std::this_thread::sleep_for(3s); // the last two seconds held
    const QJsonObject network =
        QJsonDocument::fromJson(
            QByteArray::fromStdString(web::testing::Client(web).Get("/state.json").Body))
            .object()[QStringLiteral("health")]
            .toObject()[QStringLiteral("network")]
            .toObject();
    ASSERT_EQ(propmon.End(true), 0) << Slurp(propmon.Err);

    const Log log = ReadLogs(dir_ / "logs");
    ASSERT_GT(log.Rows.size(), 300u) << Slurp(propmon.Err);
    const size_t lagColumn = log.Column("peak_lag"), lockedColumn = log.Column("locked");
    ASSERT_LT(lockedColumn, log.Header.size());
    size_t first = 0;
    while (first < log.Rows.size() && log.Rows[first][lockedColumn] != "1")
        ++first;
    ASSERT_LT(first, 60u) << "no lock in the first rows";
    std::map<int, size_t> lags;
    for (size_t i = first; i < log.Rows.size(); ++i)
        ++lags[std::stoi(log.Rows[i][lagColumn])];
    const int lag = std::max_element(lags.begin(), lags.end(), [](auto& a, auto& b) {
                        return a.second < b.second;
                    })->first;
    // A block whose preamble a loss blanked has no peak of its own (it is
    // flagged as filled): such rows stand alone. A loss filled in the wrong
    // place would move every row after it.
    size_t kept = 0, runs = 0;
    for (size_t i = first; i < log.Rows.size(); ++i) {
        const auto away = [&](size_t row) {
            return std::abs(std::stoi(log.Rows[row][lagColumn]) - lag) > 1;
        };
        kept += !away(i);
        runs += i > first && away(i) && away(i - 1);
    }
    const size_t after = log.Rows.size() - first;
    EXPECT_GE(double(kept) / double(after), 0.9)
        << kept << " of " << after << " rows at lag " << lag;
    EXPECT_LE(runs, after / 100) << "rows off the lag one after another";
    // The first loss told, the others counted for the summary at the end.
    const std::string err = Slurp(propmon.Err);
    EXPECT_NE(err.find("lost, filled with silence"), std::string::npos) << err;
    EXPECT_NE(err.find(" losses, "), std::string::npos) << err;

    // Every loss counted (the page is published once a second, so the last
    // second's may be missing), and as many blocks not trusted as the log flags.
    size_t filledRows = 0;
    const size_t flagsColumn = log.Column("flags");
    ASSERT_LT(flagsColumn, log.Header.size());
    for (const auto& row : log.Rows)
        filledRows += row[flagsColumn].find("fill") != std::string::npos;
    ASSERT_FALSE(network.isEmpty());
    EXPECT_NEAR(network["losses"].toDouble(), sentLost, 3) << sentLost << " lost on the way";
    EXPECT_NEAR(network["filled_ms"].toDouble(), sentLost * 1024 / 48.0, 3 * 1024 / 48.0);
    EXPECT_NEAR(network["filled_blocks"].toDouble(), double(filledRows), 10);
    EXPECT_GE(network["filled_blocks"].toDouble(), sentLost * 0.8);
}

// Forwards RTP from `from` to `to` on 127.0.0.1, losing a share `loss` of the
// packets, sending some twice and holding some back behind the next one; the
// samples of the packets lost are counted.
void LossyForward(int from, uint16_t to, double loss, const std::atomic<bool>& stop,
                  int64_t& lostSamples) {
    sockaddr_in dest{};
    dest.sin_family = AF_INET;
    dest.sin_port = htons(to);
    dest.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const auto send = [&](const std::vector<char>& packet) {
        ::sendto(from, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&dest),
                 sizeof dest);
    };
    std::mt19937_64 random(11);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<char> packet(65536), heldBack;
    int64_t count = 0;
    while (!stop) {
        const ssize_t n = ::recv(from, packet.data(), packet.size(), 0);
        if (n <= 12) continue;
        const std::vector<char> got(packet.begin(), packet.begin() + n);
        const double dice = unit(random);
        if (++count > 10 && dice < loss) {
            lostSamples += (n - 12) / 2;
            continue;
        }
        if (dice > 0.95 && heldBack.empty()) {
            heldBack = got; // overtaken by the next one
            continue;
        }
        send(got);
        if (dice > 0.93 && dice <= 0.95) send(got); // twice
        if (!heldBack.empty()) send(heldBack);
        heldBack.clear();
    }
}

// ffmpeg sends the signal as RTP L16 at real-time pace; on the way 3 % of the
// packets are lost, some overtaken, some doubled: every loss is filled exactly,
// the order put right, and the rows after lock keep the lag.
TEST_F(StreamTest, RtpFromFfmpegWithLossesAndReorderingKeepsTheLag) {
    if (std::system("ffmpeg -version > /dev/null 2>&1") != 0) GTEST_SKIP() << "no ffmpeg";
    const std::vector<int16_t> signal = TwoPathSignal(40);
    const fs::path raw = dir_ / "signal.raw";
    {
        std::ofstream out(raw, std::ios::binary);
        out.write(reinterpret_cast<const char*>(signal.data()), std::streamsize(signal.size() * 2));
    }
    const uint16_t port = FreeUdpPort();
    const int proxy = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(proxy, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    socklen_t size = sizeof at;
    ::getsockname(proxy, reinterpret_cast<sockaddr*>(&at), &size);
    const timeval wake{0, 100000};
    ::setsockopt(proxy, SOL_SOCKET, SO_RCVTIMEO, &wake, sizeof wake);

    Propmon propmon({"--headless", "--input", "rtp:" + std::to_string(port) + "@48000", "--log",
                     (dir_ / "logs").string()},
                    dir_);
    std::this_thread::sleep_for(1500ms);
    std::atomic<bool> stop{false};
    int64_t lost = 0;
    std::thread forward(LossyForward, proxy, port, 0.03, std::cref(stop), std::ref(lost));
    const std::string command =
        "ffmpeg -nostdin -hide_banner -loglevel error -re -f s16le -ar 48000 "
        "-ac 1 -i " +
        raw.string() +
        " -acodec pcm_s16be -f rtp rtp://127.0.0.1:" + std::to_string(ntohs(at.sin_port)) +
        " > /dev/null 2>&1";
    const int sent = std::system(command.c_str());
    std::this_thread::sleep_for(1s);
    stop = true;
    forward.join();
    ::close(proxy);
    ASSERT_EQ(sent, 0);
    ASSERT_EQ(propmon.End(true), 0) << Slurp(propmon.Err);

    const Log log = ReadLogs(dir_ / "logs");
    ASSERT_GT(log.Rows.size(), 300u) << Slurp(propmon.Err);
    const size_t lagColumn = log.Column("peak_lag");
    std::map<int, size_t> lags;
    for (const auto& row : log.Rows)
        ++lags[std::stoi(row[lagColumn])];
    const int lag = std::max_element(lags.begin(), lags.end(), [](auto& a, auto& b) {
                        return a.second < b.second;
                    })->first;
    size_t kept = 0, runs = 0;
    for (size_t i = 20; i < log.Rows.size(); ++i) {
        const auto away = [&](size_t row) {
            return std::abs(std::stoi(log.Rows[row][lagColumn]) - lag) > 1;
        };
        kept += !away(i);
        runs += away(i) && away(i - 1);
    }
    EXPECT_GE(double(kept) / double(log.Rows.size() - 20), 0.9);
    EXPECT_EQ(runs, 0u);
    // Every lost sample filled: the first loss told, the rest in the sum.
    const std::string err = Slurp(propmon.Err);
    std::smatch first, sum;
    ASSERT_TRUE(std::regex_search(err, first, std::regex(R"(: (\d+) samples \(\d+ ms\) lost)")))
        << err;
    ASSERT_TRUE(std::regex_search(err, sum, std::regex(R"(: (\d+) losses, (\d+) ms filled)")))
        << err;
    const double filledMs = std::stod(first[1]) / 48.0 + std::stod(sum[2]);
    EXPECT_NEAR(filledMs, double(lost) / 48.0, 1.0) << err;
    EXPECT_EQ(err.find("restart"), std::string::npos) << err;
}

// An RTP L16 mono packet (payload type 96) of `samples` from `signal` at `first`.
std::vector<uint8_t> RtpPacket(uint32_t ssrc, uint16_t sequence, uint32_t timestamp,
                               const int16_t* samples, size_t count) {
    std::vector<uint8_t> packet(12 + 2 * count);
    packet[0] = 0x80;
    packet[1] = 96;
    packet[2] = uint8_t(sequence >> 8);
    packet[3] = uint8_t(sequence);
    for (int i = 0; i < 4; ++i) {
        packet[size_t(4 + i)] = uint8_t(timestamp >> (24 - 8 * i));
        packet[size_t(8 + i)] = uint8_t(ssrc >> (24 - 8 * i));
    }
    for (size_t i = 0; i < count; ++i) {
        packet[12 + 2 * i] = uint8_t(uint16_t(samples[i]) >> 8);
        packet[13 + 2 * i] = uint8_t(samples[i]);
    }
    return packet;
}

// Without #SSRC the first stream is taken: a second one sending noise to the
// same port meanwhile is named once and never mixed in. When the first one
// stops and the second goes on with the signal (a sender restarted with a new
// SSRC), the second is taken up, told once, and the chain locks again.
TEST_F(StreamTest, RtpTakesTheFirstStreamNamesAnotherOnceAndFollowsARestartedSender) {
    constexpr size_t packet = 960; // 20 ms
    const std::vector<int16_t> signal = TwoPathSignal(24);
    const uint16_t port = FreeUdpPort();
    Propmon propmon({"--headless", "--input", "rtp:" + std::to_string(port) + "@48000", "--log",
                     (dir_ / "logs").string()},
                    dir_);
    std::this_thread::sleep_for(1500ms);
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const auto send = [&](const std::vector<uint8_t>& bytes) {
        ::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    };
    std::mt19937 random(5);
    std::normal_distribution<double> noise(0.0, 3000.0);
    std::vector<int16_t> hiss(packet);
    const size_t count = signal.size() / packet, half = count / 2;
    const auto start = std::chrono::steady_clock::now();
    for (size_t k = 0; k < count; ++k) {
        std::this_thread::sleep_until(start + std::chrono::microseconds(20000 * (k + 1)));
        const int16_t* samples = signal.data() + k * packet;
        if (k < half) {
            send(RtpPacket(0x0a0a0a0a, uint16_t(1000 + k), uint32_t(k * packet), samples, packet));
            for (int16_t& h : hiss)
                h = int16_t(std::clamp(noise(random), -32768.0, 32767.0));
            send(RtpPacket(0x0b0b0b0b, uint16_t(50000 + k), uint32_t(7 + k * packet), hiss.data(),
                           packet));
        } else if (k > half + 75) { // 1.5 s without anything, then the other SSRC
            send(RtpPacket(0x0b0b0b0b, uint16_t(50000 + k), uint32_t(7 + k * packet), samples,
                           packet));
        }
    }
    ::close(fd);
    std::this_thread::sleep_for(1s);
    ASSERT_EQ(propmon.End(true), 0) << Slurp(propmon.Err);

    const std::string err = Slurp(propmon.Err);
    size_t named = 0;
    for (size_t at = err.find("0x0b0b0b0b"); at != std::string::npos;
         at = err.find("0x0b0b0b0b", at + 1))
        ++named;
    EXPECT_EQ(named, 1u) << err;
    EXPECT_EQ(err.find("0x0a0a0a0a"), std::string::npos) << err;
    EXPECT_NE(err.find("started afresh"), std::string::npos) << err;
    // Rows locked in both halves: the noise never got into the first.
    const Log log = ReadLogs(dir_ / "logs");
    const size_t locked = log.Column("locked");
    ASSERT_LT(locked, log.Header.size());
    const size_t rows = log.Rows.size();
    ASSERT_GT(rows, 150u) << err;
    const auto lockedShare = [&](size_t from, size_t to) {
        size_t n = 0;
        for (size_t i = from; i < to; ++i)
            n += log.Rows[i][locked] == "1";
        return double(n) / double(to - from);
    };
    const size_t blocksPerHalf = size_t(12 * 9.375);
    EXPECT_GE(lockedShare(20, blocksPerHalf - 5), 0.9) << err;
    EXPECT_GE(lockedShare(rows - blocksPerHalf / 2, rows), 0.9) << err;
}

// A multicast group, inside a network namespace of the test's own: propmon
// joins the group and ffmpeg's stream locks the chain. IPv4 goes over the
// loopback with multicast on; IPv6 multicast does not loop back on it, so the
// namespace gets a pair of virtual interfaces of its own for the group.
struct GroupCase {
    const char* Name;
    const char* NamespaceSetup; // run only by InOwnNetworkNamespace, after `unshare -n`
    const char* Group;          // as --input and ffmpeg write it
};

// Runs `setup`, then `script`, with sh inside a network namespace of its own
// (`unshare -n`), so that no link, route or group they set up reaches the
// machine's interfaces: the file they are written to (in `dir`) first refuses
// to go on in the namespace the test itself runs in.  Returns sh's exit status
// (non-zero when refused or when the setup fails).
constexpr const char* OwnNetworkNamespace = "unshare -n";
int InOwnNetworkNamespace(const fs::path& dir, const std::string& setup,
                          const std::string& script) {
    const std::string ours = fs::read_symlink("/proc/self/ns/net").string();
    const fs::path file = dir / "in-own-netns.sh";
    std::ofstream(file) << "[ \"$(readlink /proc/self/ns/net)\" != '" << ours << "' ] || exit 97\n"
                        << "{ " << setup << "; } || exit 98\n"
                        << script << "\n";
    const int status =
        std::system((std::string(OwnNetworkNamespace) + " sh " + file.string()).c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class MulticastTest : public StreamTest, public ::testing::WithParamInterface<GroupCase> {};

TEST_P(MulticastTest, RtpFromTheGroupIsJoined) {
    const GroupCase& param = GetParam();
    if (std::system("ffmpeg -version > /dev/null 2>&1") != 0) GTEST_SKIP() << "no ffmpeg";
    if (std::system((std::string(OwnNetworkNamespace) + " true > /dev/null 2>&1").c_str()) != 0)
        GTEST_SKIP() << "no network namespace of our own (unshare -n is not permitted here)";
    if (InOwnNetworkNamespace(dir_, param.NamespaceSetup + std::string(" > /dev/null 2>&1"),
                              "true") != 0)
        GTEST_SKIP() << "the namespace cannot carry the group: " << param.NamespaceSetup;
    const std::vector<int16_t> signal = TwoPathSignal(15);
    const fs::path raw = dir_ / "signal.raw";
    {
        std::ofstream out(raw, std::ios::binary);
        out.write(reinterpret_cast<const char*>(signal.data()), std::streamsize(signal.size() * 2));
    }
    const std::string logs = (dir_ / "logs").string();
    const std::string group = param.Group;
    const std::string script =
        "cd " + dir_.string() + " && { " PROPMON_BIN " --headless --input rtp:" + group +
        ":5004@48000 --log " + logs + " 2> " + (dir_ / "stderr.txt").string() +
        " & P=$!; sleep 1.5; ffmpeg -nostdin -hide_banner -loglevel error -re -f s16le -ar "
        "48000 -ac 1 -i " +
        raw.string() + " -acodec pcm_s16be -f rtp 'rtp://" + group +
        ":5004?ttl=1' > /dev/null 2>&1; sleep 1; kill $P; wait $P; }";
    ASSERT_EQ(InOwnNetworkNamespace(dir_, param.NamespaceSetup, script), 0)
        << Slurp(dir_ / "stderr.txt");
    const Log log = ReadLogs(dir_ / "logs");
    ASSERT_GT(log.Rows.size(), 100u) << Slurp(dir_ / "stderr.txt");
    const size_t lagColumn = log.Column("peak_lag");
    std::map<int, size_t> lags;
    for (size_t i = 20; i < log.Rows.size(); ++i)
        ++lags[std::stoi(log.Rows[i][lagColumn])];
    size_t most = 0;
    for (const auto& [lag, count] : lags)
        most = std::max(most, count);
    EXPECT_GE(double(most), 0.95 * double(log.Rows.size() - 20));
}

// The links, routes and groups below are only ever set up by
// InOwnNetworkNamespace, in a network namespace the test makes for itself
// (`unshare -n`, lo up with multicast on), never on the machine's interfaces.
INSTANTIATE_TEST_SUITE_P(
    Groups, MulticastTest,
    ::testing::Values(GroupCase{"IPv4",
                                "ip link set lo up && ip link set lo multicast on && "
                                "ip route add 239.0.0.0/8 dev lo",
                                "239.1.2.3"}, // joined only inside unshare -n
                      GroupCase{
                          "IPv6",
                          "sysctl -qw net.ipv6.conf.default.accept_dad=0 && ip link set lo up && "
                          "ip link add mc0 type veth peer name mc1 && ip link set mc0 up && "
                          "ip link set mc1 up && ip -6 route add ff00::/8 dev mc0", // unshare -n
                          "[ff15::4285]"}), // joined only inside unshare -n
    [](const ::testing::TestParamInfo<GroupCase>& info) { return info.param.Name; });

// Ten minutes of samples piped in far faster than real time: the rows are
// dated by their samples from --start-time, not by when they were processed.
TEST_F(StreamTest, PipedRecordingIsDatedFromItsStartTimeBySamples) {
    constexpr int rate = 9600;
    constexpr int seconds = 600;
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0); // propmon holds no write end
    Propmon propmon({"--headless", "--input", "stdin:" + std::to_string(rate), "--start-time",
                     "2026-03-01T10:15:00Z", "--log", (dir_ / "logs").string()},
                    dir_, fds[0]);
    ::close(fds[0]);
    std::thread writer([fd = fds[1]] {
        s4285gen::Generator generator(s4285gen::NatoConfig());
        std::vector<int16_t> chunk(rate);
        for (int s = 0; s < seconds; ++s) {
            generator.Generate(chunk.data(), chunk.size());
            const char* at = reinterpret_cast<const char*>(chunk.data());
            size_t left = chunk.size() * 2;
            while (left > 0) {
                const ssize_t n = ::write(fd, at, left);
                if (n <= 0) return;
                at += n;
                left -= size_t(n);
            }
        }
        ::close(fd);
    });
    const int status = propmon.End(false, 120s);
    writer.join();
    ASSERT_EQ(status, 0) << Slurp(propmon.Err);

    const Log log = ReadLogs(dir_ / "logs");
    ASSERT_EQ(log.Rows.size(), size_t(seconds * rate / 1024));
    const size_t utc = log.Column("utc");
    const int64_t startMs = StampMs("2026-03-01T10:15:00.000Z");
    const double blockMs = 1024 * 1000.0 / rate;
    EXPECT_NEAR(double(StampMs(log.Rows.front()[utc]) - startMs), blockMs, 2.0);
    EXPECT_NEAR(double(StampMs(log.Rows.back()[utc]) - startMs), blockMs * double(log.Rows.size()),
                2.0);
    EXPECT_EQ(log.Rows.back()[utc], "2026-03-01T10:25:00.000Z"); // 600 s of samples later
}

} // namespace

namespace {

// --start-time dates a recording: a time that is none, or a live input, is bad
// usage, told in one line.
TEST_F(StreamTest, StartTimeThatIsNoTimeOrForALiveInputIsBadUsage) {
    const std::vector<std::vector<std::string>> cases = {
        {"--headless", "--input", "stdin:9600", "--start-time", "yesterday"},
        {"--headless", "--simulate", "--start-time", "2026-03-01T10:15:00Z"},
        {"--headless", "--input", "udp:7355", "--start-time", "2026-03-01T10:15:00Z"},
    };
    for (const auto& args : cases) {
        Propmon propmon(args, dir_);
        EXPECT_EQ(propmon.End(false, 30s), 2) << args.back();
        EXPECT_NE(Slurp(propmon.Err).find("--start-time"), std::string::npos) << Slurp(propmon.Err);
    }
}

} // namespace
