// SPDX-License-Identifier: GPL-3.0-or-later
// propmon --batch end to end (file to block table and channel table, the
// measurement stage included) against ProcessBlock alone, in one run: blocks
// per second of CPU time of each, and their ratio.  The recording is 20
// minutes of the moderate standard channel (two paths 1 ms apart, 0.5 Hz
// spread) at 20 dB, 11 250 NATO blocks; the batch runs with --mode nato and
// with the default --mode auto (which first tries both modes on the first
// minute).  ProcessBlock runs over and over on one block of a two-path signal,
// as chain_bench's ProcessBlockOnly does.  Each figure is the median of the
// rounds, the batch runs and the ProcessBlock rounds interleaved.  The batch
// is also timed from start to exit (wall time): one thread, so the two differ
// by what the run waits for (loading, the file, the disk).
//
// Run: build/bin/batch_end_to_end_bench [--rounds R] [--recording FILE.wav]
//                                       [--before OTHER/propmon]
// (default R = 3; without --recording the channel is generated into /tmp;
// --before runs another build's propmon in the same rounds, for what a change
// gained).
// The machine should be quiet: the 1-minute load average is printed first.
#include <fcntl.h>
#include <sndfile.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/batch/generated_recording.h"
#include "receiver/dsp/chain.h"
#include "s4285gen/channels.h"
#include "s4285gen/s4285gen.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

constexpr double RecordingSeconds = 1200.0;

double LoadAverage() {
    std::ifstream in("/proc/loadavg");
    double load = -1;
    in >> load;
    return load;
}

double CpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void WriteRecording(const fs::path& path) {
    bench::WriteGeneratedRecording(
        path, s4285gen::WattersonConfig(s4285gen::Watterson::Moderate, 20.0), RecordingSeconds);
}

// ProcessBlock alone, blocks per CPU second: a running chain fed one block of
// a two-path signal over and over, nothing attached.
double ProcessBlockRate() {
    s4285gen::Config config = s4285gen::NatoConfig();
    config.Paths = {{.DelayMs = 3.0}, {.DelayMs = 5.5, .GainDb = -4.0, .DopplerHz = 0.7}};
    config.SnrDb = 15;
    std::vector<int16_t> samples(dsp::BlockLen);
    s4285gen::Generator(config).Generate(samples.data(), samples.size());
    dsp::Settings settings;
    dsp::ChainControls controls;
    auto chain = dsp::MakeChain(dsp::ModeNato, controls, settings);
    for (int n = 0; n < dsp::BlockLen; ++n)
        chain->Intake.SampleBlock[size_t(n)] = samples[size_t(n)] / 32767.0f;
    const dsp::DisplayHooks hooks;
    const int blocks = 20000;
    for (int b = 0; b < 100; ++b)
        dsp::ProcessBlock(*chain, settings, controls, hooks);
    const double start = CpuSeconds();
    for (int b = 0; b < blocks; ++b)
        dsp::ProcessBlock(*chain, settings, controls, hooks);
    const double seconds = CpuSeconds() - start;
    if (chain->Peak.DopplerHz == 12345.0L) std::printf(" "); // keeps the work
    return blocks / seconds;
}

double WallSeconds() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

struct RunTime {
    double Cpu = 0.0;  // user + system
    double Wall = 0.0; // start to exit
};

// One propmon run, standard error to /dev/null: its CPU and wall seconds.
RunTime RunPropmon(const std::vector<std::string>& args) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    const double started = WallSeconds();
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
        std::perror("posix_spawn");
        std::exit(1);
    }
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    struct rusage usage {};
    if (wait4(pid, &status, 0, &usage) < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "propmon --batch ended with status %d\n", status);
        std::exit(1);
    }
    RunTime time;
    time.Wall = WallSeconds() - started;
    time.Cpu = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
               double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    return time;
}

// Rows of the block table less its header.
long long TableBlocks(const fs::path& csv) {
    std::ifstream in(csv);
    long long lines = 0;
    for (std::string line; std::getline(in, line);)
        ++lines;
    return lines - 1;
}

} // namespace

int main(int argc, char** argv) {
    int rounds = 3;
    fs::path recording;
    std::string before;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        if (name == "--rounds")
            rounds = std::max(1, std::atoi(argv[i + 1]));
        else if (name == "--recording")
            recording = argv[i + 1];
        else if (name == "--before")
            before = argv[i + 1];
    }
    char pattern[] = "/tmp/batch-end-to-end-XXXXXX";
    if (!mkdtemp(pattern)) {
        std::perror("mkdtemp");
        return 1;
    }
    const fs::path dir = pattern;
    if (recording.empty()) {
        recording = dir / "twenty.wav";
        WriteRecording(recording);
    }
    std::printf("load average (1 min) before: %.2f\n", LoadAverage());

    const auto batch = [&](const char* mode, const std::string& propmon = PROPMON_BIN) {
        return std::vector<std::string>{propmon,
                                        "--batch",
                                        recording.string(),
                                        "--csv",
                                        (dir / "blocks.csv").string(),
                                        "--channel-csv",
                                        (dir / "channel.csv").string(),
                                        "--mode",
                                        mode};
    };
    std::vector<double> chainRates, natoSeconds, autoSeconds, natoBefore, autoBefore;
    std::vector<double> natoWall, autoWall;
    for (int r = 0; r < rounds; ++r) {
        chainRates.push_back(ProcessBlockRate());
        const RunTime nato = RunPropmon(batch("nato"));
        const RunTime automatic = RunPropmon(batch("auto"));
        natoSeconds.push_back(nato.Cpu);
        autoSeconds.push_back(automatic.Cpu);
        natoWall.push_back(nato.Wall);
        autoWall.push_back(automatic.Wall);
        if (before.empty()) continue;
        natoBefore.push_back(RunPropmon(batch("nato", before)).Cpu);
        autoBefore.push_back(RunPropmon(batch("auto", before)).Cpu);
    }
    const auto blocks = double(TableBlocks(dir / "blocks.csv"));
    const double chain = Median(chainRates);
    std::printf("recording: %s, %.0f blocks; medians of %d rounds, CPU time\n", recording.c_str(),
                blocks, rounds);
    std::printf("%-44s %10s %8s\n", "", "blocks/s", "ratio");
    std::printf("%-44s %10.0f %8s\n", "ProcessBlock alone", chain, "1");
    // A row of blocks per second of the seconds' median, and its ratio.
    const auto row = [&](const char* what, const std::vector<double>& seconds) {
        const double rate = blocks / Median(seconds);
        std::printf("%-44s %10.0f %8.2f\n", what, rate, rate / chain);
    };
    row("batch --csv --channel-csv, --mode nato", natoSeconds);
    row("batch --csv --channel-csv, --mode auto", autoSeconds);
    row("  the same by wall time, --mode nato", natoWall);
    row("  the same by wall time, --mode auto", autoWall);
    if (!before.empty()) {
        row("  the same, --before's propmon, --mode nato", natoBefore);
        row("  the same, --before's propmon, --mode auto", autoBefore);
    }
    fs::remove_all(dir);
    return 0;
}
