// SPDX-License-Identifier: GPL-3.0-or-later
// Long runs of the receiver (scripts/test --soak; not part of the normal tests).
//
//   propmon_soak [--hours H] [--report-minutes M] [--folder DIR]
//     H hours of the built-in test signal (the lively three-path channel) streamed
//     through the whole chain and all five painters with the three auto-saves on,
//     as fast as the machine goes; no recording on disk.  Prints the resident
//     memory every M minutes of signal and fails when it grew by more than
//     --allow-mb after the first hour of signal.
//
//   propmon_soak --live SECONDS --propmon PATH
//     PATH --simulate --autosave with the window offscreen for SECONDS of real
//     time, its CPU time sampled every --sample-seconds; ends it with SIGTERM
//     and checks that it wrote its settings.  Fails when the CPU per second of
//     the later samples strays from that of the first minutes.
#include "receiver/display/display_state.h"
#include "receiver/display/painters.h"
#include "receiver/dsp/chain.h"
#include "s4285gen/s4285gen.h"

#include <QDir>
#include <QGuiApplication>
#include <QTemporaryDir>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

double ResidentMb(pid_t pid = 0) {
    std::ifstream statm(pid ? "/proc/" + std::to_string(pid) + "/statm" : "/proc/self/statm");
    long total = 0, resident = 0;
    statm >> total >> resident;
    return double(resident) * double(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

// User + system CPU seconds of a process.
double CpuSeconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const size_t close = line.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream fields(line.substr(close + 2));
    std::string field;
    double utime = 0, stime = 0;
    for (int i = 3; fields >> field; ++i) {
        if (i == 14) utime = std::stod(field);
        if (i == 15) {
            stime = std::stod(field);
            break;
        }
    }
    return (utime + stime) / double(sysconf(_SC_CLK_TCK));
}

double Now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

int64_t RemoveSnapshots(const fs::path& folder) {
    int64_t removed = 0;
    for (const char* gram : {"Correlograms", "Dopplergrams", "Scattergrams"}) {
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(folder / gram, ec)) {
            fs::remove(entry.path(), ec);
            ++removed;
        }
    }
    return removed;
}

int BatchSoak(double hours, double reportMinutes, double allowMb, fs::path folder) {
    QTemporaryDir scratch;
    if (folder.empty()) folder = scratch.path().toStdString();
    const int rate = 9600;
    s4285gen::Generator generator(s4285gen::LiveDemoConfig(rate));
    dsp::Settings settings;
    dsp::ChainControls controls;
    auto chain = dsp::MakeChain(dsp::ModeNato, controls, settings);
    display::DisplayState display;
    display.SnapshotFolder = QString::fromStdString(folder.string());
    display.AutoSaveCorrelogram = display.AutoSaveDopplergram = display.AutoSaveScattergram =
        display::SwitchOn;
    int64_t samples = 0;
    display.Clock = [&] {
        const int64_t s = samples / rate % 86400;
        return display::TimeOfDay{int32_t(s / 3600), int32_t(s / 60 % 60), int32_t(s % 60)};
    };
    dsp::DisplayHooks hooks = display::MakeDisplayHooks(display, settings, controls);
    int64_t blocks = 0;
    const auto tune = hooks.TuneIndicator;
    hooks.TuneIndicator = [&](int32_t hz) {
        tune(hz);
        ++blocks;
    };

    const int64_t total = int64_t(hours * 3600.0 * rate);
    const int64_t reportEvery =
        std::max<int64_t>(dsp::BlockLen, int64_t(reportMinutes * 60 * rate));
    const int64_t baselineAt = std::min<int64_t>(int64_t(3600) * rate, total / 4);
    double baselineMb = -1, peakAfterBaseline = 0;
    int64_t snapshotFiles = 0;
    std::vector<int16_t> buffer(dsp::BlockLen);
    const double start = Now();
    std::printf("soak: %.2f h of the test signal, snapshots below %s\n", hours,
                folder.string().c_str());
    std::printf("%10s %10s %10s %10s %12s %10s\n", "signal_h", "wall_s", "x_realtime", "rss_mb",
                "blocks", "snapshots");
    int64_t nextReport = reportEvery;
    while (samples < total) {
        const int64_t n = std::min<int64_t>(dsp::BlockLen, total - samples);
        generator.Generate(buffer.data(), size_t(n));
        dsp::ResampleBuffer(*chain, settings, controls, hooks, buffer.data(), n * 2);
        samples += n;
        if (samples >= nextReport || samples == total) {
            nextReport += reportEvery;
            // Bounded disk use: the files were written whole; keep the count only.
            snapshotFiles += RemoveSnapshots(folder);
            const double mb = ResidentMb();
            const double wall = Now() - start;
            std::printf("%10.3f %10.0f %10.1f %10.1f %12lld %10lld\n", samples / 3600.0 / rate,
                        wall, samples / double(rate) / wall, mb, static_cast<long long>(blocks),
                        static_cast<long long>(display.SnapshotsWritten));
            std::fflush(stdout);
            if (baselineMb < 0 && samples >= baselineAt) baselineMb = mb;
            if (baselineMb >= 0) peakAfterBaseline = std::max(peakAfterBaseline, mb);
        }
    }
    const double growth = peakAfterBaseline - baselineMb;
    std::printf("soak: %.2f h of signal in %.0f s, %lld blocks, %lld snapshots written (%lld "
                "failed, %lld files seen); memory after the first %.2f h %.1f MB, peak later "
                "%.1f MB (+%.1f MB)\n",
                samples / 3600.0 / rate, Now() - start, static_cast<long long>(blocks),
                static_cast<long long>(display.SnapshotsWritten),
                static_cast<long long>(display.SnapshotsFailed),
                static_cast<long long>(snapshotFiles), baselineAt / 3600.0 / rate, baselineMb,
                peakAfterBaseline, growth);
    const int64_t expectedBlocks = (total - (dsp::BlockLen - 1)) / dsp::BlockLen + 1;
    bool ok = true;
    if (blocks != expectedBlocks) {
        std::printf("soak: FAIL: %lld blocks, expected %lld\n", static_cast<long long>(blocks),
                    static_cast<long long>(expectedBlocks));
        ok = false;
    }
    if (display.SnapshotsFailed > 0 || snapshotFiles != display.SnapshotsWritten) {
        std::printf("soak: FAIL: snapshots failed or went missing\n");
        ok = false;
    }
    if (growth > allowMb) {
        std::printf("soak: FAIL: memory grew by %.1f MB (allowed %.1f)\n", growth, allowMb);
        ok = false;
    }
    std::printf("soak: %s\n", ok ? "PASS" : "FAIL");
    return ok ? 0 : 1;
}

int LiveSoak(double seconds, double sampleSeconds, const std::string& program, double allowPoints) {
    // The child runs in a scratch folder (its settings file and snapshots go there).
    const std::string propmon = fs::absolute(program).string();
    QTemporaryDir cwd;
    const pid_t child = fork();
    if (child == 0) {
        if (chdir(cwd.path().toLocal8Bit().constData()) != 0) _exit(127);
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        execl(propmon.c_str(), propmon.c_str(), "--simulate", "--autosave", nullptr);
        _exit(127);
    }
    std::printf("live: %s --simulate --autosave, window offscreen, %.0f s, CPU every %.0f s\n",
                propmon.c_str(), seconds, sampleSeconds);
    std::printf("%8s %12s %10s\n", "wall_s", "cpu_percent", "rss_mb");
    std::vector<double> percents;
    const double start = Now();
    double lastWall = start, lastCpu = CpuSeconds(child);
    bool alive = true;
    while (Now() - start < seconds) {
        std::this_thread::sleep_for(std::chrono::duration<double>(sampleSeconds));
        int status = 0;
        if (waitpid(child, &status, WNOHANG) == child) {
            std::printf("live: FAIL: propmon ended by itself (status %d)\n", status);
            alive = false;
            break;
        }
        const double wall = Now(), cpu = CpuSeconds(child);
        const double percent = 100.0 * (cpu - lastCpu) / (wall - lastWall);
        percents.push_back(percent);
        std::printf("%8.0f %12.2f %10.1f\n", wall - start, percent, ResidentMb(child));
        std::fflush(stdout);
        lastWall = wall;
        lastCpu = cpu;
    }
    bool ok = alive;
    int status = 0;
    if (alive) {
        kill(child, SIGTERM);
        waitpid(child, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            std::printf("live: FAIL: propmon did not end cleanly on SIGTERM (status %d)\n", status);
            ok = false;
        }
        if (!QDir(cwd.path()).exists("Stanag4285.set")) {
            std::printf("live: FAIL: no settings file written\n");
            ok = false;
        }
    }
    // The first minute is start-up; afterwards the CPU per second stays within
    // allowPoints percentage points of the median.
    const size_t skip = std::min(percents.size(), size_t(std::ceil(60.0 / sampleSeconds)));
    std::vector<double> later(percents.begin() + std::ptrdiff_t(skip), percents.end());
    if (!later.empty()) {
        std::vector<double> sorted = later;
        std::sort(sorted.begin(), sorted.end());
        const double median = sorted[sorted.size() / 2];
        const double lo = sorted.front(), hi = sorted.back();
        const size_t half = later.size() / 2;
        double firstHalf = 0, secondHalf = 0;
        for (size_t i = 0; i < later.size(); ++i)
            (i < half ? firstHalf : secondHalf) += later[i];
        firstHalf /= std::max<size_t>(half, 1);
        secondHalf /= std::max<size_t>(later.size() - half, 1);
        std::printf("live: CPU after the first minute: median %.2f %%, min %.2f, max %.2f; "
                    "first half %.2f %%, second half %.2f %%\n",
                    median, lo, hi, firstHalf, secondHalf);
        if (half > 0 && std::fabs(secondHalf - firstHalf) > allowPoints) {
            std::printf("live: FAIL: CPU per second drifted by %.2f points\n",
                        secondHalf - firstHalf);
            ok = false;
        }
    }
    std::printf("live: %s\n", ok ? "PASS" : "FAIL");
    return ok ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    double hours = 24, reportMinutes = 60, allowMb = 16, live = 0, sampleSeconds = 10,
           allowPoints = 2;
    std::string folder, propmon;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "propmon_soak: %s needs a value\n", arg.c_str());
                std::exit(2);
            }
            return argv[++i];
        };
        if (arg == "--hours")
            hours = std::stod(value());
        else if (arg == "--report-minutes")
            reportMinutes = std::stod(value());
        else if (arg == "--allow-mb")
            allowMb = std::stod(value());
        else if (arg == "--folder")
            folder = value();
        else if (arg == "--live")
            live = std::stod(value());
        else if (arg == "--sample-seconds")
            sampleSeconds = std::stod(value());
        else if (arg == "--allow-points")
            allowPoints = std::stod(value());
        else if (arg == "--propmon")
            propmon = value();
        else {
            std::fprintf(stderr, "propmon_soak: unknown option %s\n", arg.c_str());
            return 2;
        }
    }
    if (live > 0) {
        if (propmon.empty()) {
            std::fprintf(stderr, "propmon_soak: --live needs --propmon PATH\n");
            return 2;
        }
        QCoreApplication app(argc, argv);
        return LiveSoak(live, sampleSeconds, propmon, allowPoints);
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    return BatchSoak(hours, reportMinutes, allowMb, folder);
}
