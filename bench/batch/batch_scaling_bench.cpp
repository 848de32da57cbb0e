// SPDX-License-Identifier: GPL-3.0-or-later
// Throughput of propmon --batch over a folder of recordings with --jobs 1 and
// with --jobs N (one per core), measured side by side in one run, rounds
// interleaved, for the table alone (--csv) and with every painter (--out).
// Reports recording seconds and blocks per second of each, the ratio against
// N, and what a day, a month and a year of recordings take at that pace.
//
// Run: build/bin/batch_scaling_bench [--recordings M] [--minutes L] [--jobs N] [--rounds R]
// (defaults: N = the cores this program may use, M = 2 N, L = 10, R = 3).
// The machine should be quiet: the 1-minute load average is printed before
// the first measurement.
#include <fcntl.h>
#include <sndfile.h>
#include <spawn.h>
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

#include "signalgen/s4285gen.h"

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
    sim::Config config = sim::NatoConfig();
    config.paths = {{.delayMs = 1.0, .dopplerHz = 0.4, .spreadHz = 0.2},
                    {.delayMs = 3.5, .gainDb = -4.0, .dopplerHz = -0.8, .spreadHz = 0.5}};
    config.snrDb = 15;
    config.seed = seed;
    sim::Generator generator(config);
    SF_INFO info{};
    info.samplerate = config.sampleRate;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!file) {
        std::fprintf(stderr, "cannot write %s: %s\n", path.c_str(), sf_strerror(nullptr));
        std::exit(1);
    }
    std::vector<int16_t> chunk(size_t(config.sampleRate));
    for (auto left = int64_t(seconds * config.sampleRate); left > 0;) {
        const auto n = std::min<int64_t>(left, int64_t(chunk.size()));
        generator.Generate(chunk.data(), size_t(n));
        sf_writef_short(file, chunk.data(), n);
        left -= n;
    }
    sf_close(file);
}

// Seconds of wall time for one propmon --batch over the folder.
double TimeRun(const fs::path& recordings, const fs::path& out, bool paint, int jobs) {
    fs::remove_all(out);
    const std::vector<std::string> args = {
        PROPMON_BIN,  "--batch", recordings.string(), paint ? "--out" : "--csv",
        out.string(), "--jobs",  std::to_string(jobs)};
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    if (posix_spawn(&pid, PROPMON_BIN, &actions, nullptr, argv.data(), environ) != 0) {
        std::perror("posix_spawn " PROPMON_BIN);
        std::exit(1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    posix_spawn_file_actions_destroy(&actions);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "propmon --batch ended with status %d\n", status);
        std::exit(1);
    }
    return seconds;
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
    std::printf("\n%-6s %5s %10s %16s %11s\n", "output", "jobs", "wall s", "recording s/s",
                "blocks/s");

    struct Figures {
        double oneJob = 0, manyJobs = 0;
    };
    std::vector<std::pair<const char*, Figures>> kinds = {{"--csv", {}}, {"--out", {}}};
    for (auto& [kind, figures] : kinds) {
        const bool paint = std::strcmp(kind, "--out") == 0;
        const fs::path out = scratch / "out";
        double oneJob = 0, manyJobs = 0;
        // Interleaved, so that whatever else the machine does falls on both.
        for (int round = 0; round < rounds; ++round) {
            if (round % 2 == 0) {
                oneJob += TimeRun(folder, out, paint, 1);
                manyJobs += TimeRun(folder, out, paint, jobs);
            } else {
                manyJobs += TimeRun(folder, out, paint, jobs);
                oneJob += TimeRun(folder, out, paint, 1);
            }
        }
        const long long blocks = SummaryBlocks(out);
        oneJob /= rounds;
        manyJobs /= rounds;
        for (const auto& [n, wall] : {std::pair{1, oneJob}, std::pair{jobs, manyJobs}})
            std::printf("%-6s %5d %10.2f %16.0f %11.0f\n", kind, n, wall, recordingSeconds / wall,
                        double(blocks) / wall);
        figures = {recordingSeconds / oneJob, recordingSeconds / manyJobs};
    }
    std::printf("load average (1 min) after: %.2f\n\n", LoadAverage());
    for (const auto& [kind, figures] : kinds) {
        const double ratio = figures.manyJobs / figures.oneJob;
        std::printf("%s: --jobs %d / --jobs 1 = %.2f = %.2f x %d (target at least 0.8 x %d)\n",
                    kind, jobs, ratio, ratio / jobs, jobs, jobs);
    }
    std::printf("\nAt the --jobs %d pace, recordings of", jobs);
    for (const auto& [label, days] : {std::pair{"a day", 1.0}, std::pair{"a month (30 days)", 30.0},
                                      std::pair{"a year (365 days)", 365.0}}) {
        std::printf("\n  %-18s take %9s with --csv, %9s with --out", label,
                    Span(days * 86400 / kinds[0].second.manyJobs).c_str(),
                    Span(days * 86400 / kinds[1].second.manyJobs).c_str());
    }
    std::printf("\n");
    fs::remove_all(scratch);
    return 0;
}
