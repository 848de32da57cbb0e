// SPDX-License-Identifier: GPL-3.0-or-later
// The web view under hostile clients: propmon runs with the built-in test
// signal and --http, and a normal client polls /state.json once a second over
// a kept-alive connection (a new one when it is closed), first alone, then
// beside 200 slowloris connections from the same address (each sends a
// request head a line at a time, a line every 5 s, and connects again when
// dropped) and bursts of 200 clients at once every 5 s.  Then 40 clients read
// a 64 MB log file at 1 kB every 5 s, and go.  Reported: the poller's share of
// requests answered (200) within 1 s in each run, what the burst clients got
// (200, a readable refusal, or nothing but a reset), the blocks processed a
// second in each run and propmon's resident memory before, with and after the
// slow readers.  Ratios are of figures measured in this one run.
//
//   web_hostile_bench [--propmon PATH] [--seconds S]
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

std::string Slurp(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

double ResidentMb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6)) / 1024.0;
    return 0;
}

int Connect(uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// What one request came to.
enum class Outcome { Answered, Refused, Failed };

// Sends a GET on `fd` and reads the answer whole (by its length); `status`
// is its status (0 when none came).
Outcome Request(int fd, const std::string& target, std::string& buffer, int& status,
                std::string* body = nullptr, int waitMs = 5000) {
    status = 0;
    const std::string request = "GET " + target + " HTTP/1.1\r\nHost: station\r\n\r\n";
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(request.size()))
        return Outcome::Failed;
    const auto fill = [&] {
        pollfd ready{fd, POLLIN, 0};
        if (::poll(&ready, 1, waitMs) <= 0) return false;
        char chunk[65536];
        const ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
        if (got <= 0) return false;
        buffer.append(chunk, static_cast<size_t>(got));
        return true;
    };
    size_t end;
    while ((end = buffer.find("\r\n\r\n")) == std::string::npos)
        if (!fill()) return Outcome::Failed;
    const std::string head = buffer.substr(0, end);
    buffer.erase(0, end + 4);
    status = std::atoi(head.substr(9, 3).c_str());
    const size_t at = head.find("Content-Length: ");
    const size_t length = at == std::string::npos ? 0 : std::stoul(head.substr(at + 16));
    while (buffer.size() < length)
        if (!fill()) return Outcome::Failed;
    if (body) *body = buffer.substr(0, length);
    buffer.erase(0, length);
    if (status == 200) return Outcome::Answered;
    return head.find("Retry-After:") != std::string::npos ? Outcome::Refused : Outcome::Failed;
}

long Blocks(uint16_t port) {
    const int fd = Connect(port);
    std::string buffer, body;
    int status;
    Request(fd, "/state.json", buffer, status, &body);
    ::close(fd);
    const size_t at = body.find("\"blocks\":");
    return at == std::string::npos ? -1 : std::stol(body.substr(at + 9));
}

struct PollerResult {
    long Requests = 0;
    long InTime = 0; // answered with 200 within 1 s
};

// The normal client: /state.json once a second.
PollerResult Poll(uint16_t port, Clock::time_point until) {
    PollerResult result;
    int fd = -1;
    std::string buffer;
    auto next = Clock::now();
    while (Clock::now() < until) {
        const auto start = Clock::now();
        if (fd < 0) fd = Connect(port);
        int status = 0;
        const Outcome outcome =
            fd < 0 ? Outcome::Failed : Request(fd, "/state.json", buffer, status);
        ++result.Requests;
        if (outcome == Outcome::Answered && Clock::now() - start <= 1s) ++result.InTime;
        if (outcome != Outcome::Answered) {
            if (fd >= 0) ::close(fd);
            fd = -1;
            buffer.clear();
        }
        next += 1s;
        std::this_thread::sleep_until(next);
    }
    if (fd >= 0) ::close(fd);
    return result;
}

// 200 connections that send a head a line every 5 s, connecting again when dropped.
void Slowloris(uint16_t port, int count, Clock::time_point until) {
    std::vector<int> fds(static_cast<size_t>(count), -1);
    while (Clock::now() < until) {
        for (int& fd : fds) {
            if (fd >= 0) {
                char scrap[4096];
                const ssize_t got = ::recv(fd, scrap, sizeof scrap, MSG_DONTWAIT);
                const bool ended = got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
                if (ended || got > 0 || ::send(fd, "X-a: b\r\n", 8, MSG_NOSIGNAL) != 8) {
                    ::close(fd);
                    fd = -1;
                }
            }
            if (fd < 0) {
                fd = Connect(port);
                if (fd >= 0) ::send(fd, "GET / HTTP/1.1\r\nHost: x\r\n", 25, MSG_NOSIGNAL);
            }
        }
        for (int i = 0; i < 50 && Clock::now() < until; ++i)
            std::this_thread::sleep_for(100ms);
    }
    for (int fd : fds)
        if (fd >= 0) ::close(fd);
}

struct BurstResult {
    std::atomic<long> Answered{0}, Refused{0}, Failed{0};
};

void Bursts(uint16_t port, int size, Clock::time_point until, BurstResult& result) {
    while (Clock::now() < until) {
        std::vector<std::thread> clients;
        for (int i = 0; i < size; ++i)
            clients.emplace_back([&] {
                const int fd = Connect(port);
                std::string buffer;
                int status;
                const Outcome outcome =
                    fd < 0 ? Outcome::Failed : Request(fd, "/state.json", buffer, status);
                if (fd >= 0) ::close(fd);
                (outcome == Outcome::Answered  ? result.Answered
                 : outcome == Outcome::Refused ? result.Refused
                                               : result.Failed)++;
            });
        for (std::thread& client : clients)
            client.join();
        for (int i = 0; i < 50 && Clock::now() < until; ++i)
            std::this_thread::sleep_for(100ms);
    }
}

// Reads `target` at 1 kB every 5 s until `until`.
void SlowReader(uint16_t port, const std::string& target, Clock::time_point until) {
    const int fd = Connect(port);
    if (fd < 0) return;
    const int small = 4096;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    const std::string request = "GET " + target + " HTTP/1.1\r\nHost: x\r\n\r\n";
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    while (Clock::now() < until) {
        char chunk[1024];
        if (::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT) == 0) break;
        for (int i = 0; i < 50 && Clock::now() < until; ++i)
            std::this_thread::sleep_for(100ms);
    }
    ::close(fd);
}

} // namespace

int main(int argc, char** argv) {
    std::string propmon = fs::absolute(fs::path(argv[0]).parent_path() / "propmon").string();
    int seconds = 60;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--propmon") == 0) propmon = fs::absolute(argv[i + 1]).string();
        if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::atoi(argv[i + 1]);
    }
    const fs::path dir =
        fs::temp_directory_path() / ("web_hostile_bench-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir / "logs");
    {
        std::ofstream big(dir / "logs/propmon-2026-01-01.csv", std::ios::binary);
        const std::string row(1024 * 1024, 'x');
        for (int i = 0; i < 64; ++i)
            big << row;
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        const std::string command =
            "cd '" + dir.string() + "' && exec env QT_QPA_PLATFORM=offscreen '" + propmon +
            "' --headless --simulate --log logs --http 0 >out.txt 2>err.txt";
        ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    uint16_t port = 0;
    const std::regex url("web view at http://127\\.0\\.0\\.1:([0-9]+)/");
    for (int i = 0; i < 200 && port == 0; ++i) {
        std::smatch match;
        const std::string err = Slurp(dir / "err.txt");
        if (std::regex_search(err, match, url)) port = static_cast<uint16_t>(std::stoi(match[1]));
        std::this_thread::sleep_for(50ms);
    }
    if (port == 0) {
        std::fprintf(stderr, "web_hostile_bench: propmon did not start: %s\n",
                     Slurp(dir / "err.txt").c_str());
        ::kill(pid, SIGTERM);
        ::waitpid(pid, nullptr, 0);
        return 1;
    }
    std::this_thread::sleep_for(3s);

    // Alone.
    long blocks = Blocks(port);
    auto start = Clock::now();
    const PollerResult alone = Poll(port, start + std::chrono::seconds(seconds));
    const double quietPace =
        (Blocks(port) - blocks) / std::chrono::duration<double>(Clock::now() - start).count();

    // Under attack.
    blocks = Blocks(port);
    start = Clock::now();
    const auto until = start + std::chrono::seconds(seconds);
    BurstResult bursts;
    std::thread slow(Slowloris, port, 200, until);
    std::this_thread::sleep_for(2s);
    std::thread burst(Bursts, port, 200, until, std::ref(bursts));
    const PollerResult attacked = Poll(port, until);
    slow.join();
    burst.join();
    const double hostilePace =
        (Blocks(port) - blocks) / std::chrono::duration<double>(Clock::now() - start).count();

    // Slow readers.
    std::this_thread::sleep_for(6s);
    const double before = ResidentMb(pid);
    const auto readUntil = Clock::now() + 30s;
    std::vector<std::thread> readers;
    for (int i = 0; i < 40; ++i)
        readers.emplace_back(SlowReader, port, "/files/logs/propmon-2026-01-01.csv", readUntil);
    std::this_thread::sleep_for(25s);
    const double reading = ResidentMb(pid);
    for (std::thread& reader : readers)
        reader.join();
    std::this_thread::sleep_for(15s);
    const double after = ResidentMb(pid);

    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
    fs::remove_all(dir);

    const auto share = [](const PollerResult& r) {
        return r.Requests > 0 ? 100.0 * r.InTime / r.Requests : 0.0;
    };
    std::printf("propmon --headless --simulate --log logs --http, %d s each run\n", seconds);
    std::printf("  poller alone:            %5.1f %% of %ld requests answered within 1 s, "
                "%.3f blocks/s\n",
                share(alone), alone.Requests, quietPace);
    std::printf("  poller beside 200 slowloris and bursts of 200: %5.1f %% of %ld answered "
                "within 1 s, %.3f blocks/s\n",
                share(attacked), attacked.Requests, hostilePace);
    std::printf("  ratio answered share hostile/alone: %.3f, block pace hostile/alone: %.3f\n",
                share(alone) > 0 ? share(attacked) / share(alone) : 0.0,
                quietPace > 0 ? hostilePace / quietPace : 0.0);
    std::printf("  burst clients: %ld answered, %ld refused with a readable 503, %ld failed "
                "(reset or nothing)\n",
                bursts.Answered.load(), bursts.Refused.load(), bursts.Failed.load());
    std::printf("  resident memory: %.1f MB before, %.1f MB with 40 slow readers of 64 MB, "
                "%.1f MB 15 s after they left (%+.1f MB)\n",
                before, reading, after, after - before);
    return 0;
}
