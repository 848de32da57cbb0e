// SPDX-License-Identifier: GPL-3.0-or-later
// Throughput of propmon --batch over a folder of recordings with --jobs 1 and
// with --jobs N (one per core), measured side by side in one run, rounds
// interleaved, for the table alone (--csv) and with every painter (--out).
// Reports recording seconds and blocks per second of each, the ratio against
// N, and what a day, a month and a year of recordings take at that pace.  As
// a yardstick of what the machine itself gives, the same recordings are also
// run each by a single-file propmon --batch started here, one at a time and N
// at a time: the same scaling there means the cores, not the run over
// several recordings, set the limit.
//
// Run: build/bin/batch_scaling_bench [--recordings M] [--minutes L] [--jobs N] [--rounds R]
// (defaults: N = the cores this program may use, M = 2 N, L = 10, R = 3).
// The machine should be quiet: the 1-minute load average is printed before
// the first measurement.  CPU s (user + system of the whole run, per run)
// tells whether each recording costs more when runs share the machine; steal
// s, the time the hypervisor of a virtual machine gave its cores to others.
#include <fcntl.h>
#include <sndfile.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bench/batch/generated_recording.h"
#include "s4285gen/s4285gen.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

int Cores() {
    cpu_set_t set;
    CPU_ZERO(&set);
    return sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : 1;
}

double LoadAverage() {
    std::ifstream in("/proc/loadavg");
    double load = -1;
    in >> load;
    return load;
}

// Two paths, fading a little, in moderate noise: what a day at the receiver
// looks like to the chain.  Seeds differ, so every recording is another.
void WriteRecording(const fs::path& path, double seconds, uint64_t seed) {
    s4285gen::Config config = s4285gen::NatoConfig();
    config.Paths = {{.DelayMs = 1.0, .DopplerHz = 0.4, .SpreadHz = 0.2},
                    {.DelayMs = 3.5, .GainDb = -4.0, .DopplerHz = -0.8, .SpreadHz = 0.5}};
    config.SnrDb = 15;
    config.Seed = seed;
    bench::WriteGeneratedRecording(path, config, seconds);
}

// Seconds the hypervisor gave the machine's cores to others (steal), all
// cores together.
double StealSeconds() {
    std::ifstream in("/proc/stat");
    std::string cpu;
    long long user, nice, system, idle, iowait, irq, softirq, steal = 0;
    in >> cpu >> user >> nice >> system >> idle >> iowait >> irq >> softirq >> steal;
    return double(steal) / double(sysconf(_SC_CLK_TCK));
}

struct Times {
    double Wall = 0; // s
    double Cpu = 0;  // user + system of propmon and the runs it started, s
    double Steal = 0;
    Times& operator+=(const Times& t) {
        Wall += t.Wall;
        Cpu += t.Cpu;
        Steal += t.Steal;
        return *this;
    }
};

using Command = std::vector<std::string>;

// Runs the commands, at most `atOnce` at a time, standard error to /dev/null.
Times RunAll(const std::vector<Command>& commands, int atOnce) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    Times times;
    const double stealBefore = StealSeconds();
    const auto start = std::chrono::steady_clock::now();
    size_t next = 0;
    int running = 0;
    while (next < commands.size() || running > 0) {
        while (running < atOnce && next < commands.size()) {
            std::vector<char*> argv;
            for (const std::string& a : commands[next])
                argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            pid_t pid = 0;
            if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
                std::perror("posix_spawn");
                std::exit(1);
            }
            ++next;
            ++running;
        }
        int status = 0;
        struct rusage usage {};
        if (wait4(-1, &status, 0, &usage) < 0) break; // with the runs it waited for
        --running;
        times.Cpu += double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                     double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            std::fprintf(stderr, "propmon --batch ended with status %d\n", status);
            std::exit(1);
        }
    }
    times.Wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    times.Steal = StealSeconds() - stealBefore;
    posix_spawn_file_actions_destroy(&actions);
    return times;
}

// Blocks of every recording, from the run's summary.
long long SummaryBlocks(const fs::path& out) {
    std::ifstream in(out / "summary.csv");
    std::string line;
    std::getline(in, line);
    long long blocks = 0;
    while (std::getline(in, line)) {
        std::stringstream cells(line);
        std::string cell;
        for (int column = 0; column <= 3 && std::getline(cells, cell, ','); ++column)
            if (column == 3) blocks += std::atoll(cell.c_str());
    }
    return blocks;
}

std::string Span(double seconds) {
    char text[64];
    if (seconds < 120)
        std::snprintf(text, sizeof text, "%.0f s", seconds);
    else if (seconds < 7200)
        std::snprintf(text, sizeof text, "%.1f min", seconds / 60);
    else
        std::snprintf(text, sizeof text, "%.1f h", seconds / 3600);
    return text;
}

} // namespace

int main(int argc, char** argv) {
    int jobs = Cores();
    int recordings = 0;
    double minutes = 10;
    int rounds = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        if (name == "--jobs")
            jobs = std::max(1, std::atoi(argv[i + 1]));
        else if (name == "--recordings")
            recordings = std::atoi(argv[i + 1]);
        else if (name == "--minutes")
            minutes = std::atof(argv[i + 1]);
        else if (name == "--rounds")
            rounds = std::max(1, std::atoi(argv[i + 1]));
    }
    if (recordings < jobs) recordings = 2 * jobs;

    char pattern[] = "/tmp/batch-scaling-XXXXXX";
    if (!mkdtemp(pattern)) {
        std::perror("mkdtemp");
        return 1;
    }
    const fs::path scratch = pattern;
    const fs::path folder = scratch / "recordings";
    fs::create_directories(folder);
    for (int r = 0; r < recordings; ++r) {
        char name[32];
        std::snprintf(name, sizeof name, "rx-%02d.wav", r);
        WriteRecording(folder / name, minutes * 60, uint64_t(r + 1));
    }
    const double recordingSeconds = recordings * minutes * 60;
    std::printf("propmon --batch over %d recordings of %.0f min (NATO, two fading paths), "
                "%d cores, --jobs 1 against --jobs %d, %d rounds each\n",
                recordings, minutes, Cores(), jobs, rounds);
    const double loadBefore = LoadAverage();
    std::printf("load average (1 min) before measuring: %.2f (%s)\n", loadBefore,
                loadBefore < 0.3 ? "quiet" : "NOT quiet: other work shares the cores");
    std::printf("\n%-6s %-30s %7s %14s %9s %7s %7s\n", "output", "how", "wall s", "recording s/s",
                "blocks/s", "CPU s", "steal s");

    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(folder))
        files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    const std::string many = std::to_string(jobs);
    double paceCsv = 0, paceOut = 0; // recording seconds per second, --jobs N
    std::vector<std::string> ratios;
    for (const bool paint : {false, true}) {
        const char* kind = paint ? "--out" : "--csv";
        const fs::path out = scratch / "out";
        // The archive run, and as a yardstick of what the machine gives, the
        // same recordings each by a propmon --batch of its own started here.
        std::vector<Command> singles;
        for (size_t i = 0; i < files.size(); ++i)
            singles.push_back({PROPMON_BIN, "--batch", files[i].string(), kind,
                               (out / (std::to_string(i) + (paint ? "" : ".csv"))).string()});
        struct Way {
            std::string How;
            std::vector<Command> Commands;
            int AtOnce;
            ::Times Times;
        };
        std::vector<Way> ways = {
            {"--batch FOLDER --jobs 1",
             {{PROPMON_BIN, "--batch", folder.string(), kind, out.string(), "--jobs", "1"}},
             1,
             {}},
            {"--batch FOLDER --jobs " + many,
             {{PROPMON_BIN, "--batch", folder.string(), kind, out.string(), "--jobs", many}},
             1,
             {}},
            {"--batch FILE, one at a time", singles, 1, {}},
            {"--batch FILE, " + many + " at a time", singles, jobs, {}},
        };
        // Rounds in turning order, so that whatever else the machine does
        // falls on every way alike.
        long long blocks = 0;
        for (int round = 0; round < rounds; ++round) {
            for (size_t k = 0; k < ways.size(); ++k) {
                Way& way = ways[(k + size_t(round)) % ways.size()];
                fs::remove_all(out);
                fs::create_directories(out);
                way.Times += RunAll(way.Commands, way.AtOnce);
                if (way.Commands.size() == 1) blocks = SummaryBlocks(out);
            }
        }
        std::vector<double> pace;
        for (const Way& way : ways) {
            const double wall = way.Times.Wall / rounds;
            pace.push_back(recordingSeconds / wall);
            std::printf("%-6s %-30s %7.2f %14.0f %9.0f %7.2f %7.2f\n", kind, way.How.c_str(), wall,
                        recordingSeconds / wall, double(blocks) / wall, way.Times.Cpu / rounds,
                        way.Times.Steal / rounds);
        }
        (paint ? paceOut : paceCsv) = pace[1];
        char line[256];
        std::snprintf(line, sizeof line,
                      "%s: --jobs %d / --jobs 1 = %.2f = %.2f x %d (target at least 0.8 x %d); "
                      "the machine, %d single runs at once / one at a time: %.2f",
                      kind, jobs, pace[1] / pace[0], pace[1] / pace[0] / jobs, jobs, jobs, jobs,
                      pace[3] / pace[2]);
        ratios.push_back(line);
    }
    std::printf("load average (1 min) after: %.2f\n\n", LoadAverage());
    for (const std::string& line : ratios)
        std::printf("%s\n", line.c_str());
    std::printf("\nAt the --jobs %d pace, recordings of", jobs);
    for (const auto& [label, days] : {std::pair{"a day", 1.0}, std::pair{"a month (30 days)", 30.0},
                                      std::pair{"a year (365 days)", 365.0}}) {
        std::printf("\n  %-18s take %9s with --csv, %9s with --out", label,
                    Span(days * 86400 / paceCsv).c_str(), Span(days * 86400 / paceOut).c_str());
    }
    std::printf("\n");
    fs::remove_all(scratch);
    return 0;
}
