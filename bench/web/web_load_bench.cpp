// SPDX-License-Identifier: GPL-3.0-or-later
// What clients of the web view cost the receiver: propmon runs with the
// built-in test signal (window off-screen) and --http, first with no client
// and then with N clients that each do what the page does (every second
// /state.json over a kept-alive connection, with the pictures of the panels
// that changed since the versions it shows; the two plots once a minute).  Reported: propmon's CPU
// time over the wall time of each run (utime + stime from /proc/PID/stat), in
// percent of one core, the difference, the blocks processed a second and the
// requests served.
//
//   web_load_bench [--propmon PATH] [--seconds S] [--clients N]
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <netinet/in.h>
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

// CPU seconds of a process so far.
double CpuSeconds(pid_t pid) {
    const std::string stat = Slurp("/proc/" + std::to_string(pid) + "/stat");
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) utime = std::stoull(field);
        if (i == 15) stime = std::stoull(field);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// A kept-alive connection that sends GETs and reads answers by their length.
class Connection {
  public:
    explicit Connection(uint16_t port) : port_(port) { Open(); }
    ~Connection() { ::close(fd_); }

    // The body, or an empty string when the request failed (then the
    // connection is opened afresh).
    std::string Get(const std::string& target) {
        const std::string request = "GET " + target + " HTTP/1.1\r\nHost: station\r\n\r\n";
        if (::send(fd_, request.data(), request.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(request.size()))
            return Reopen();
        size_t end;
        while ((end = buffer_.find("\r\n\r\n")) == std::string::npos)
            if (!Fill()) return Reopen();
        const std::string head = buffer_.substr(0, end);
        buffer_.erase(0, end + 4);
        const size_t at = head.find("Content-Length: ");
        const size_t length = at == std::string::npos ? 0 : std::stoul(head.substr(at + 16));
        while (buffer_.size() < length)
            if (!Fill()) return Reopen();
        std::string body = buffer_.substr(0, length);
        buffer_.erase(0, length);
        Bytes += head.size() + 4 + length;
        ++Requests;
        return head.compare(9, 3, "200") == 0 ? body : std::string();
    }

    long Requests = 0;
    long long Bytes = 0;
    long Failures = 0;

  private:
    void Open() {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port_);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    std::string Reopen() {
        ++Failures;
        ::close(fd_);
        buffer_.clear();
        Open();
        return {};
    }
    bool Fill() {
        pollfd ready{fd_, POLLIN, 0};
        if (::poll(&ready, 1, 5000) <= 0) return false;
        char chunk[65536];
        const ssize_t got = ::recv(fd_, chunk, sizeof chunk, 0);
        if (got <= 0) return false;
        buffer_.append(chunk, static_cast<size_t>(got));
        return true;
    }

    uint16_t port_;
    int fd_ = -1;
    std::string buffer_;
};

long Blocks(uint16_t port) {
    Connection connection(port);
    const std::string body = connection.Get("/state.json");
    const size_t at = body.find("\"blocks\":");
    return at == std::string::npos ? -1 : std::stol(body.substr(at + 9));
}

// One client as the page is one: poll once a second, fetch what changed.
void PollLikeThePage(uint16_t port, Clock::time_point until, std::atomic<long>& requests,
                     std::atomic<long long>& bytes, std::atomic<long>& failures) {
    static const char* const Panels[] = {"correlation", "correlogram", "dopplergram", "scattergram",
                                         "tune"};
    Connection connection(port);
    std::string shown[5];
    auto next = Clock::now();
    auto nextPlots = Clock::now();
    while (Clock::now() < until) {
        std::string have;
        for (const std::string& version : shown)
            have += (have.empty() ? "" : ",") + (version.empty() ? "0" : version);
        const std::string state = connection.Get("/state.json?have=" + have);
        const size_t versions = state.find("\"panels\":{");
        for (int i = 0; i < 5 && versions != std::string::npos; ++i) {
            const std::string key = std::string("\"") + Panels[i] + "\":";
            const size_t at = state.find(key, versions);
            if (at == std::string::npos) continue;
            const std::string version =
                state.substr(at + key.size(), state.find_first_of(",}", at) - at - key.size());
            if (version == shown[i]) continue;
            shown[i] = version;
            // The picture came with the state, unless the page did not know it.
            if (state.find("\"pictures\":{") == std::string::npos)
                connection.Get(std::string("/panel/") + Panels[i] + ".png?v=" + version);
        }
        if (Clock::now() >= nextPlots) {
            connection.Get("/plot/delay.png");
            connection.Get("/plot/doppler.png");
            nextPlots += 60s;
        }
        next += 1s;
        std::this_thread::sleep_until(next);
    }
    requests += connection.Requests;
    bytes += connection.Bytes;
    failures += connection.Failures;
}

struct Run {
    double CpuPercent = 0;
    double BlocksPerSecond = 0;
    long Requests = 0;
    long long Bytes = 0;
    long Failures = 0;
};

Run Measure(const std::string& propmon, const fs::path& dir, int seconds, int clients) {
    fs::create_directories(dir / "logs");
    const pid_t pid = ::fork();
    if (pid == 0) {
        const std::string command =
            "cd '" + dir.string() + "' && exec env QT_QPA_PLATFORM=offscreen '" + propmon +
            "' --headless --simulate --autosave --log logs --http 0 >out.txt 2>err.txt";
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
    Run run;
    if (port == 0) {
        std::fprintf(stderr, "web_load_bench: propmon did not start: %s\n",
                     Slurp(dir / "err.txt").c_str());
        ::kill(pid, SIGTERM);
        ::waitpid(pid, nullptr, 0);
        return run;
    }
    std::this_thread::sleep_for(3s); // past the start-up

    const long firstBlock = Blocks(port);
    const double firstCpu = CpuSeconds(pid);
    const auto start = Clock::now();
    const auto until = start + std::chrono::seconds(seconds);
    std::atomic<long> requests{0}, failures{0};
    std::atomic<long long> bytes{0};
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back(PollLikeThePage, port, until, std::ref(requests), std::ref(bytes),
                             std::ref(failures));
        std::this_thread::sleep_for(std::chrono::milliseconds(1000 / std::max(clients, 1)));
    }
    std::this_thread::sleep_until(until);
    for (std::thread& thread : threads)
        thread.join();
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    run.CpuPercent = 100.0 * (CpuSeconds(pid) - firstCpu) / wall;
    run.BlocksPerSecond = (Blocks(port) - firstBlock) / wall;
    run.Requests = requests;
    run.Bytes = bytes;
    run.Failures = failures;
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
    return run;
}

} // namespace

int main(int argc, char** argv) {
    std::string propmon = fs::absolute(fs::path(argv[0]).parent_path() / "propmon").string();
    int seconds = 60, clients = 50;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--propmon") == 0) propmon = fs::absolute(argv[i + 1]).string();
        if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::atoi(argv[i + 1]);
        if (std::strcmp(argv[i], "--clients") == 0) clients = std::atoi(argv[i + 1]);
    }
    const fs::path dir =
        fs::temp_directory_path() / ("web_load_bench-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    const Run quiet = Measure(propmon, dir / "quiet", seconds, 0);
    const Run busy = Measure(propmon, dir / "busy", seconds, clients);
    fs::remove_all(dir);
    std::printf("propmon --headless --simulate --autosave --log logs --http, %d s each run\n",
                seconds);
    std::printf("  no client:   %5.2f %% of one core, %.3f blocks/s\n", quiet.CpuPercent,
                quiet.BlocksPerSecond);
    std::printf("  %3d clients: %5.2f %% of one core, %.3f blocks/s, %ld requests (%.0f/s), "
                "%.1f MB, %ld failed\n",
                clients, busy.CpuPercent, busy.BlocksPerSecond, busy.Requests,
                busy.Requests / static_cast<double>(seconds), busy.Bytes / 1e6, busy.Failures);
    std::printf("  difference:  %+5.2f points\n", busy.CpuPercent - quiet.CpuPercent);
    return 0;
}
