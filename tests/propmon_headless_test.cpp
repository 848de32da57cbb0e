// SPDX-License-Identifier: GPL-3.0-or-later
// propmon --headless as a station runs it: no display and no QT_QPA_PLATFORM,
// ended by signals, killed, started twice, in a read-only folder, across UTC
// midnight on a faked clock (libfaketime: the simulated input is paced by the
// monotonic clock, which libfaketime speeds up with the wall clock, so a
// minute of station time passes in a few seconds).
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iomanip>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "receiver/analysis/block_table.h"
#include "receiver/analysis/channel_table.h"
#include "s4285gen/s4285gen.h"
#include "tests/text_files.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

size_t Count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

bool FakeTimeAvailable() {
    return fs::exists(FAKETIME_LIB);
}

// Seconds since the epoch of a UTC date and time.
std::time_t Utc(int year, int month, int day, int hour, int minute, int second) {
    std::tm fields{};
    fields.tm_year = year - 1900;
    fields.tm_mon = month - 1;
    fields.tm_mday = day;
    fields.tm_hour = hour;
    fields.tm_min = minute;
    fields.tm_sec = second;
    return timegm(&fields);
}

// One propmon started in the background, its stderr in a file.
struct Receiver {
    pid_t Pid = -1;
    fs::path ErrPath;
    fs::path OutPath;
    int Status = -1; // exit status once it has ended; -1 killed or running

    Receiver() = default;
    Receiver(Receiver&& other) noexcept
        : Pid(std::exchange(other.Pid, -1)), ErrPath(other.ErrPath), OutPath(other.OutPath),
          Status(other.Status) {}
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;

    std::string Err() const { return Slurp(ErrPath); }
    std::string Out() const { return Slurp(OutPath); }
    // Waits up to `timeout` for the process to end; false when it has not.
    bool Wait(std::chrono::milliseconds timeout = 20s) {
        const auto until = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            int raw = 0;
            const pid_t done = ::waitpid(Pid, &raw, WNOHANG);
            if (done == Pid) {
                Status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
                // libfaketime shares its clock with children through shared
                // memory named by the process, and leaves it behind.
                std::error_code ignored;
                fs::remove("/dev/shm/faketime_shm_" + std::to_string(Pid), ignored);
                fs::remove("/dev/shm/sem.faketime_sem_" + std::to_string(Pid), ignored);
                Pid = -1;
                return true;
            }
            if (std::chrono::steady_clock::now() > until) return false;
            std::this_thread::sleep_for(20ms);
        }
    }
    int Stop(int signal) {
        ::kill(Pid, signal);
        if (!Wait()) {
            ::kill(Pid, SIGKILL);
            Wait();
        }
        return Status;
    }
    ~Receiver() {
        if (Pid > 0) {
            ::kill(Pid, SIGKILL);
            Wait();
        }
    }
};

class HeadlessTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = ScratchFolder("propmon-headless");
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        fs::permissions(dir_, fs::perms::all);
    }
    void TearDown() override {
        fs::permissions(dir_, fs::perms::owner_all);
        fs::remove_all(dir_);
        for (const auto& e : fs::directory_iterator(dir_.parent_path()))
            if (e.path().filename().string().rfind(dir_.filename().string() + "-", 0) == 0)
                fs::remove_all(e.path());
    }

    // Starts propmon in `dir` with `args`, without DISPLAY, WAYLAND_DISPLAY and
    // QT_QPA_PLATFORM, plus `extra` environment; `prefix` runs before it
    // (setpriv, say).
    Receiver Start(const std::vector<std::string>& args,
                   const std::map<std::string, std::string>& extra = {},
                   const std::vector<std::string>& prefix = {}) {
        static int serial = 0;
        Receiver r;
        const std::string stem = dir_.filename().string() + "-" + std::to_string(++serial);
        r.ErrPath = dir_.parent_path() / (stem + "-err.txt");
        r.OutPath = dir_.parent_path() / (stem + "-out.txt");
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e) {
            const std::string entry = *e;
            const std::string name = entry.substr(0, entry.find('='));
            if (name != "DISPLAY" && name != "WAYLAND_DISPLAY" && name != "QT_QPA_PLATFORM" &&
                !extra.count(name))
                env.push_back(entry);
        }
        for (const auto& [name, value] : extra)
            env.push_back(name + "=" + value);
        std::vector<std::string> argv = prefix;
        argv.push_back(PROPMON_BIN);
        argv.insert(argv.end(), args.begin(), args.end());

        r.Pid = ::fork();
        if (r.Pid == 0) {
            if (::chdir(dir_.c_str()) != 0) std::_Exit(125);
            const int err = ::open(r.ErrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int out = ::open(r.OutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int null = ::open("/dev/null", O_RDWR);
            ::dup2(null, 0);
            ::dup2(out, 1);
            ::dup2(err, 2);
            std::vector<char*> cargv, cenv;
            for (std::string& a : argv)
                cargv.push_back(a.data());
            cargv.push_back(nullptr);
            for (std::string& e : env)
                cenv.push_back(e.data());
            cenv.push_back(nullptr);
            ::execvpe(cargv[0], cargv.data(), cenv.data());
            std::_Exit(126);
        }
        return r;
    }

    // The environment that runs propmon on a clock starting at `start` (UTC)
    // and running `speed` times as fast as the real one.
    static std::map<std::string, std::string> FakedClock(const std::string& start, int speed) {
        // A sanitizer build wants its runtime loaded first; libfaketime goes
        // before it and does no harm there.
        const char* asan = std::getenv("ASAN_OPTIONS");
        return {{"LD_PRELOAD", FAKETIME_LIB},
                {"FAKETIME", "@" + start + " x" + std::to_string(speed)},
                {"TZ", "UTC"},
                {"ASAN_OPTIONS",
                 std::string(asan ? asan : "") + (asan ? ":" : "") + "verify_asan_link_order=0"}};
    }

    // Waits until `done` holds (checked every 20 ms), at most `timeout`.
    static bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
        const auto until = std::chrono::steady_clock::now() + timeout;
        while (!done()) {
            if (std::chrono::steady_clock::now() > until) return false;
            std::this_thread::sleep_for(20ms);
        }
        return true;
    }

    size_t LogRows() const {
        size_t rows = 0;
        if (!fs::is_directory(dir_ / "logs")) return 0;
        // The block log's day files (the channel table is beside them).
        for (const auto& entry : fs::directory_iterator(dir_ / "logs"))
            if (entry.path().filename().string().starts_with("propmon-"))
                rows += Count(Slurp(entry.path()), "\n");
        return rows;
    }

    fs::path WriteRecording(const std::string& name, double seconds,
                            const s4285gen::Config& config = s4285gen::LiveDemoConfig(9600)) {
        const auto n = size_t(seconds * config.SampleRate);
        std::vector<float> samples(n);
        s4285gen::Generator(config).GenerateFloat(samples.data(), n);
        SF_INFO info{};
        info.samplerate = config.SampleRate;
        info.channels = 1;
        info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
        const fs::path path = dir_ / name;
        SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
        EXPECT_NE(file, nullptr);
        sf_writef_float(file, samples.data(), sf_count_t(n));
        sf_close(file);
        return path;
    }

    fs::path dir_;
};

std::vector<std::string> Cells(const std::string& line) {
    std::vector<std::string> cells;
    std::stringstream in(line);
    for (std::string cell; std::getline(in, cell, ',');)
        cells.push_back(cell);
    return cells;
}

struct LogRow {
    std::string Utc;
    double UtcSeconds = 0; // of the day
    long Block = 0;
    double TimeS = 0;
};

// The rows of one day's log file; its header and whole last line checked.
std::vector<LogRow> ReadLog(const fs::path& file, const std::string& day) {
    const std::string text = Slurp(file);
    EXPECT_FALSE(text.empty()) << file;
    if (text.empty()) return {};
    EXPECT_EQ(text.back(), '\n') << file << ": the last line is cut";
    const std::vector<std::string> lines = Lines(text);
    EXPECT_EQ(lines.front(), "utc," + analysis::BlockTableHeader());
    // The batch table's columns after utc; the quality columns may be empty,
    // the flags are words.
    const std::regex row(day +
                         R"(T(\d\d):(\d\d):(\d\d\.\d\d\d)Z,(\d+),([0-9.]+),-?\d+,[-0-9.e]+,-?\d+)"
                         R"(,[-0-9.]+,[01](,[-0-9.]*){5},[a-z -]*(,[-0-9.]*){4})");
    std::vector<LogRow> rows;
    for (size_t i = 1; i < lines.size(); ++i) {
        std::smatch m;
        if (!std::regex_match(lines[i], m, row)) {
            ADD_FAILURE() << file << " line " << i + 1 << ": " << lines[i];
            continue;
        }
        rows.push_back({lines[i].substr(0, 24),
                        std::stod(m[1]) * 3600 + std::stod(m[2]) * 60 + std::stod(m[3]),
                        std::stol(m[4]), std::stod(m[5])});
    }
    return rows;
}

// The wall clock stepped under a running station (the first answer of NTP on
// a board without a real-time clock, an operator's date -s), while the
// monotonic clock runs on as the kernel's does: told once with its size, the
// first row after it flagged clock-step, and the rows keep the wall clock's
// times, so that a reader sees the step and can mend it.
struct WallStep {
    const char* Offset; // libfaketime's offset after the step
    const char* Told;   // the size as told, a pattern
    double Seconds;
};

class ClockStepTest : public HeadlessTest, public ::testing::WithParamInterface<WallStep> {};

TEST_P(ClockStepTest, IsToldOnceFlaggedOnceAndSeenInTheRowsTimes) {
    if (!FakeTimeAvailable()) GTEST_SKIP() << "libfaketime is not installed";
    const WallStep step = GetParam();
    const fs::path offset = dir_.parent_path() / (dir_.filename().string() + "-faketime");
    std::ofstream(offset) << "+0\n";
    const char* asan = std::getenv("ASAN_OPTIONS");
    Receiver r = Start({"--headless", "--simulate", "--log", "logs", "--utc"},
                       {{"LD_PRELOAD", FAKETIME_LIB},
                        {"FAKETIME_TIMESTAMP_FILE", offset.string()},
                        {"FAKETIME_NO_CACHE", "1"},
                        {"FAKETIME_DONT_FAKE_MONOTONIC", "1"},
                        {"TZ", "UTC"},
                        {"ASAN_OPTIONS", std::string(asan ? asan : "") + (asan ? ":" : "") +
                                             "verify_asan_link_order=0"}});
    ASSERT_TRUE(WaitUntil([&] { return LogRows() > 20; }, 20s)) << r.Err();
    {
        const fs::path next = offset.string() + ".new";
        std::ofstream(next) << step.Offset << "\n";
        fs::rename(next, offset);
    }
    ASSERT_TRUE(WaitUntil([&] { return Count(r.Err(), "the system clock stepped") > 0; }, 20s))
        << r.Err();
    const size_t atStep = LogRows();
    ASSERT_TRUE(WaitUntil([&] { return LogRows() > atStep + 20; }, 20s)) << r.Err();
    ASSERT_EQ(r.Stop(SIGTERM), 0) << r.Err();

    const std::string err = r.Err();
    EXPECT_EQ(Count(err, "the system clock stepped"), 1u) << err;
    // The size as measured: the step itself, give or take the time between two blocks.
    EXPECT_TRUE(
        std::regex_search(err, std::regex(std::string("the system clock stepped ") + step.Told)))
        << err;

    // The rows of every day file, in time order of their blocks.
    std::vector<std::pair<long, std::vector<std::string>>> rows;
    size_t flagsColumn = 0;
    for (const auto& entry : fs::directory_iterator(dir_ / "logs")) {
        if (!entry.path().filename().string().starts_with("propmon-")) continue;
        const std::vector<std::string> lines = Lines(Slurp(entry.path()));
        ASSERT_FALSE(lines.empty());
        const std::vector<std::string> header = Cells(lines[0]);
        flagsColumn = size_t(std::find(header.begin(), header.end(), "flags") - header.begin());
        ASSERT_LT(flagsColumn, header.size());
        for (size_t i = 1; i < lines.size(); ++i) {
            std::vector<std::string> cells = Cells(lines[i]);
            ASSERT_GT(cells.size(), flagsColumn) << lines[i];
            rows.emplace_back(std::stol(cells[1]), std::move(cells));
        }
    }
    std::sort(rows.begin(), rows.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    const auto seconds = [](const std::string& utc) {
        std::tm t{};
        std::istringstream(utc) >> std::get_time(&t, "%Y-%m-%dT%H:%M:%S");
        return double(timegm(&t)) + std::stod(utc.substr(19, 4));
    };
    std::vector<size_t> flagged;
    for (size_t i = 0; i < rows.size(); ++i)
        if (rows[i].second[flagsColumn].find("clock-step") != std::string::npos)
            flagged.push_back(i);
    ASSERT_EQ(flagged.size(), 1u);
    ASSERT_GT(flagged[0], 0u);
    const double jump =
        seconds(rows[flagged[0]].second[0]) - seconds(rows[flagged[0] - 1].second[0]);
    EXPECT_NEAR(jump, step.Seconds, 2.0);
}

INSTANTIATE_TEST_SUITE_P(
    ForwardAndBack, ClockStepTest,
    ::testing::Values(WallStep{"+3h", R"(\+(3 h 00 min 0\d\.\d|2 h 59 min 5\d\.\d) s)", 3 * 3600.0},
                      WallStep{"-1h", R"(-(1 h 00 min 0\d\.\d|59 min 5\d\.\d) s)", -3600.0}));

// Across UTC midnight on a clock running ten times as fast (started 30 s
// before it, less the time the receiver takes to start): one log file per UTC
// day, rows at 9.375 a second, stamps from the wall clock rising about
// 0.1067 s a row, whole lines, and on SIGTERM the settings file and the last
// event line.
TEST_F(HeadlessTest, AcrossUtcMidnightTheLogSplitsIntoTwoDaysOfEvenlyStampedRows) {
    if (!FakeTimeAvailable()) GTEST_SKIP() << "libfaketime is not installed";
    Receiver r = Start({"--headless", "--simulate", "--autosave", "--log", "logs", "--utc"},
                       FakedClock("2026-12-07 23:59:30", 10));
    // Until about 12 s of the new day are logged (a second or two here).
    const fs::path second = dir_ / "logs/propmon-2026-12-08.csv";
    ASSERT_TRUE(WaitUntil([&] { return Count(Slurp(second), "\n") > 110; }, 30s)) << r.Err();
    ASSERT_EQ(r.Stop(SIGTERM), 0) << r.Err();

    const std::vector<LogRow> before = ReadLog(dir_ / "logs/propmon-2026-12-07.csv", "2026-12-07");
    const std::vector<LogRow> after = ReadLog(dir_ / "logs/propmon-2026-12-08.csv", "2026-12-08");
    ASSERT_GT(before.size(), 10u);
    ASSERT_GT(after.size(), 100u);
    std::vector<LogRow> rows = before;
    for (LogRow row : after) {
        row.UtcSeconds += 86400;
        rows.push_back(row);
    }
    std::vector<double> steps;
    for (size_t i = 1; i < rows.size(); ++i) {
        SCOPED_TRACE(rows[i].Utc);
        EXPECT_EQ(rows[i].Block, rows[i - 1].Block + 1);
        EXPECT_NEAR(rows[i].TimeS - rows[i - 1].TimeS, 1024.0 / 9600, 1e-5);
        steps.push_back(rows[i].UtcSeconds - rows[i - 1].UtcSeconds);
        EXPECT_GT(steps.back(), 0.0);
    }
    // A busy machine may hold a few buffers back; the middle step is a block.
    std::nth_element(steps.begin(), steps.begin() + steps.size() / 2, steps.end());
    EXPECT_NEAR(steps[steps.size() / 2], 1024.0 / 9600, 0.01);
    const double span = rows.back().UtcSeconds - rows.front().UtcSeconds;
    EXPECT_NEAR((rows.size() - 1) / span, 9.375, 0.1);
    EXPECT_EQ(rows.front().Block, 0);

    // The channel table beside the log, by the same day rule: the minute
    // before midnight in the old day's file, the one after it (ended by the
    // stop) in the new day's; the built-in signal is locked all along.
    for (const auto& [day, minute] : {std::pair{"2026-12-07", "2026-12-07T23:59:00Z"},
                                      std::pair{"2026-12-08", "2026-12-08T00:00:00Z"}}) {
        const std::vector<std::string> minutes =
            Lines(Slurp(dir_ / "logs" / ("channel-" + std::string(day) + ".csv")));
        ASSERT_EQ(minutes.size(), 2u) << day;
        EXPECT_EQ(minutes[0], analysis::ChannelTableHeader());
        EXPECT_EQ(minutes[1].rfind(std::string(minute) + ",", 0), 0u) << minutes[1];
        const std::vector<std::string> cells = Cells(minutes[1]);
        ASSERT_GE(cells.size(), 8u) << minutes[1];
        EXPECT_GE(std::stol(cells[2]), 100) << minutes[1]; // blocks
        EXPECT_GE(std::stod(cells[3]), 0.9) << minutes[1]; // locked_share
        EXPECT_FALSE(cells[7].empty()) << minutes[1];      // path1_delay_ms
    }

    EXPECT_EQ(Lines(Slurp(dir_ / "Stanag4285.set")).size(), 14u);
    const std::vector<std::string> events = Lines(r.Err());
    ASSERT_FALSE(events.empty());
    for (const char* event :
         {"propmon: input ", ": Built-in STANAG 4285 test signal",
          "propmon: mode NATO (2400 baud, 1800 Hz), 9600 samples/s", "names in UTC",
          "propmon: logging blocks to logs/propmon-2026-12-07.csv",
          "propmon: logging blocks to logs/propmon-2026-12-08.csv"})
        EXPECT_NE(r.Err().find(event), std::string::npos) << event << " in\n" << r.Err();
    EXPECT_EQ(events.back().rfind("propmon: stopped by SIGTERM after " +
                                      std::to_string(rows.size()) + " blocks (0:00:",
                                  0),
              0u)
        << events.back();
    EXPECT_FALSE(fs::exists(dir_ / ".propmon.lock"));
}

// A folder whose gram folders hold yesterday's pictures at the times of day
// today's take: every old picture is kept (moved into a subfolder named by its
// day) beside the new ones; with --dated-names nothing needs to move.
class KeepOldSnapshots : public HeadlessTest, public ::testing::WithParamInterface<bool> {};

TEST_P(KeepOldSnapshots, EveryPictureOfYesterdayStillExistsBesideTodays) {
    if (!FakeTimeAvailable()) GTEST_SKIP() << "libfaketime is not installed";
    const bool dated = GetParam();
    const std::time_t yesterday = Utc(2026, 12, 7, 15, 0, 0);
    const std::vector<std::string> grams = {"correlogram", "dopplergram", "scattergram"};
    std::map<fs::path, std::string> old;
    for (const std::string& gram : grams) {
        const fs::path folder = dir_ / (char(std::toupper(gram[0])) + gram.substr(1) + "s");
        fs::create_directories(folder);
        // Every second of ten minutes from 12:00:00, whatever the start costs.
        for (int s = 0; s < 600; ++s) {
            char name[64];
            std::snprintf(name, sizeof name, "12%02d%02d%s.BMP", s / 60, s % 60, gram.c_str());
            const fs::path file = folder / name;
            std::ofstream(file) << "yesterday " << name;
            const struct timespec times[2] = {{yesterday + s, 0}, {yesterday + s, 0}};
            ::utimensat(AT_FDCWD, file.c_str(), times, 0);
            old[file] = "yesterday " + std::string(name);
        }
    }
    std::vector<std::string> args = {"--headless", "--simulate", "--autosave"};
    if (dated) args.push_back("--dated-names");
    Receiver r = Start(args, FakedClock("2026-12-08 12:00:00", 40));
    // The first correlogram snapshot comes after 800 blocks (85 s).
    ASSERT_TRUE(WaitUntil(
        [&] {
            for (const auto& e : fs::recursive_directory_iterator(dir_ / "Correlograms"))
                if (Slurp(e.path()).rfind("BM", 0) == 0) return true;
            return false;
        },
        15s))
        << r.Err();
    ASSERT_EQ(r.Stop(SIGTERM), 0) << r.Err();

    size_t moved = 0, fresh = 0;
    for (const auto& [file, text] : old) {
        const fs::path kept = file.parent_path() / "2026-12-07" / file.filename();
        const bool inPlace = Slurp(file) == text;
        const bool inDayFolder = Slurp(kept) == text;
        EXPECT_TRUE(inPlace || inDayFolder) << file << " is lost";
        if (inDayFolder) {
            ++moved;
            EXPECT_EQ(Slurp(file).rfind("BM", 0), 0u) << file << ": today's picture";
        }
    }
    for (const std::string& gram : grams) {
        const fs::path folder = dir_ / (char(std::toupper(gram[0])) + gram.substr(1) + "s");
        for (const auto& e : fs::directory_iterator(folder)) {
            if (Slurp(e.path()).rfind("BM", 0) != 0) continue;
            ++fresh;
            const std::string name = e.path().filename().string();
            EXPECT_TRUE(std::regex_match(
                name, std::regex((dated ? "20261208-12\\d{4}" : "12\\d{4}") + gram + "\\.BMP")))
                << name;
        }
    }
    EXPECT_GE(fresh, 4u); // three or more scattergrams and a correlogram
    EXPECT_EQ(moved, dated ? 0u : fresh);
}

INSTANTIATE_TEST_SUITE_P(Names, KeepOldSnapshots, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Dated" : "TimeOfDay"; });

// Today's pictures already at the names today's snapshots take (a clock set
// back, a folder copied from another station): none is replaced; the new
// ones are numbered, and that is said once per gram folder.
TEST_F(HeadlessTest, ASnapshotNameTakenTodayIsNumberedAndToldOnce) {
    if (!FakeTimeAvailable()) GTEST_SKIP() << "libfaketime is not installed";
    const std::time_t today = Utc(2026, 12, 8, 11, 0, 0);
    const fs::path folder = dir_ / "Scattergrams";
    fs::create_directories(folder);
    std::map<fs::path, std::string> old;
    for (int s = 0; s < 600; ++s) {
        char name[64];
        std::snprintf(name, sizeof name, "12%02d%02dscattergram.BMP", s / 60, s % 60);
        std::ofstream(folder / name) << "earlier " << name;
        const struct timespec times[2] = {{today + s, 0}, {today + s, 0}};
        ::utimensat(AT_FDCWD, (folder / name).c_str(), times, 0);
        old[folder / name] = "earlier " + std::string(name);
    }
    Receiver r =
        Start({"--headless", "--simulate", "--autosave"}, FakedClock("2026-12-08 12:00:00", 40));
    // A scattergram every 27 s: three of them.
    const auto numbered = [&] {
        size_t n = 0;
        for (const auto& e : fs::directory_iterator(folder))
            n += std::regex_match(e.path().filename().string(),
                                  std::regex(R"(12\d{4}scattergram-\d+\.BMP)")) &&
                 Slurp(e.path()).rfind("BM", 0) == 0;
        return n;
    };
    ASSERT_TRUE(WaitUntil([&] { return numbered() >= 3; }, 20s)) << r.Err();
    ASSERT_EQ(r.Stop(SIGTERM), 0) << r.Err();
    for (const auto& [file, text] : old)
        EXPECT_EQ(Slurp(file), text) << file << " was replaced";
    EXPECT_EQ(Count(r.Err(), "a snapshot of that name is already in Scattergrams/ and is kept"), 1u)
        << r.Err();
}

// kill -9 leaves the lock file and a log; a restart takes the lock over and
// appends to the log.  Meanwhile a second receiver in the folder (headless or
// the window) says so and ends, and batch mode elsewhere is not hindered.
TEST_F(HeadlessTest, AfterKillMinus9TheRestartAppendsToTheLogAndTakesTheLockOver) {
    const fs::path recording = WriteRecording("rec.wav", 2.0);
    Receiver first = Start({"--headless", "--simulate", "--log", "logs"});
    ASSERT_TRUE(WaitUntil([&] { return LogRows() >= 4; }, 10s)) << first.Err();

    for (const std::vector<std::string>& second :
         {std::vector<std::string>{"--headless", "--simulate"},
          std::vector<std::string>{"--simulate"}}) {
        Receiver r = Start(second, {{"QT_QPA_PLATFORM", "offscreen"}});
        ASSERT_TRUE(r.Wait()) << second.back();
        EXPECT_EQ(r.Status, 1);
        EXPECT_EQ(Lines(r.Err()).back(), "propmon: another propmon (process " +
                                             std::to_string(first.Pid) + ") is running in " +
                                             fs::canonical(dir_).string() +
                                             "; one receiver per folder");
    }
    fs::create_directories(dir_ / "elsewhere");
    Receiver batch = Start({"--batch", recording.string(), "--csv", "elsewhere/blocks.csv"});
    ASSERT_TRUE(batch.Wait());
    EXPECT_EQ(batch.Status, 0) << batch.Err();

    ::kill(first.Pid, SIGKILL);
    first.Wait();
    ASSERT_TRUE(fs::exists(dir_ / ".propmon.lock"));
    const std::string logFile = [&] {
        for (const auto& e : fs::directory_iterator(dir_ / "logs"))
            return e.path().string();
        return std::string();
    }();
    const std::string killed = Slurp(logFile);

    Receiver restarted = Start({"--headless", "--simulate", "--log", "logs"});
    ASSERT_TRUE(WaitUntil([&] { return Slurp(logFile).size() > killed.size() + 200; }, 10s))
        << restarted.Err();
    EXPECT_EQ(restarted.Stop(SIGINT), 0) << restarted.Err();
    EXPECT_EQ(restarted.Err().find("another propmon"), std::string::npos) << restarted.Err();
    EXPECT_NE(Lines(restarted.Err()).back().find("stopped by SIGINT"), std::string::npos);
    const std::string text = Slurp(logFile);
    EXPECT_EQ(text.substr(0, killed.size()), killed) << "the log was not appended to";
    EXPECT_EQ(Count(text, "utc,block"), 1u);
    EXPECT_EQ(text.back(), '\n');
    EXPECT_FALSE(fs::exists(dir_ / ".propmon.lock"));
}

// A station that could save nothing does not start: one line says why, the
// exit status is 1 (what a service manager shows), and nothing is written.
TEST_F(HeadlessTest, AnUnwritableWorkingOrLogFolderAtTheStartIsFatalInOneLine) {
    // Root writes anywhere: the receiver then runs as nobody.
    std::vector<std::string> prefix;
    if (::geteuid() == 0) prefix = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    const auto readOnly = [](const fs::path& folder) {
        fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec |
                                    fs::perms::group_read | fs::perms::group_exec |
                                    fs::perms::others_read | fs::perms::others_exec);
    };
    fs::create_directories(dir_ / "work");
    fs::create_directories(dir_ / "logs");
    fs::permissions(dir_ / "work", fs::perms::all);
    readOnly(dir_ / "logs");
    readOnly(dir_);
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"--headless", "--simulate", "--log", "logs"},
         "propmon: cannot write the working folder " + dir_.string() +
             ": Permission denied; nothing would be saved"},
        {{"--headless", "--simulate"},
         "propmon: cannot write the working folder " + dir_.string() +
             ": Permission denied; nothing would be saved"},
    };
    for (const auto& [args, line] : cases) {
        Receiver r = Start(args, {}, prefix);
        ASSERT_TRUE(r.Wait());
        EXPECT_EQ(r.Status, 1) << r.Err();
        const std::vector<std::string> lines = Lines(r.Err());
        ASSERT_EQ(lines.size(), 2u) << r.Err(); // the start line, the reason
        EXPECT_EQ(lines[1], line);
    }
    // A writable working folder with an unwritable log folder.
    Receiver r = Start({"--headless", "--simulate", "--log", (dir_ / "logs").string()}, {}, [&] {
        std::vector<std::string> p = prefix;
        p.insert(p.end(), {"sh", "-c", "cd work && exec \"$0\" \"$@\""});
        return p;
    }());
    ASSERT_TRUE(r.Wait());
    EXPECT_EQ(r.Status, 1) << r.Err();
    EXPECT_EQ(Lines(r.Err()).back(), "propmon: cannot write the log folder " +
                                         (dir_ / "logs").string() +
                                         ": Permission denied; nothing would be saved");
    EXPECT_TRUE(fs::is_empty(dir_ / "logs"));
    EXPECT_TRUE(fs::is_empty(dir_ / "work"));
}

// Snapshot folders it cannot write to: the receiver says, once per cause and
// with the system's reason, what it cannot write, and runs on.
TEST_F(HeadlessTest, InAReadOnlySnapshotFolderItSaysWhatItCannotWriteOnceAndRunsOn) {
    if (!FakeTimeAvailable()) GTEST_SKIP() << "libfaketime is not installed";
    // Root writes anywhere: the receiver then runs as nobody (the faked
    // clock set up for it alone, not for setpriv).
    std::vector<std::string> prefix;
    std::map<std::string, std::string> environment = FakedClock("2026-12-08 12:00:00", 20);
    if (::geteuid() == 0) {
        prefix = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "env"};
        for (const auto& [name, value] : environment)
            prefix.push_back(name + "=" + value);
        environment.clear();
    }
    const fs::path home = dir_.parent_path() / (dir_.filename().string() + "-home");
    fs::create_directories(home);
    fs::permissions(home, fs::perms::all);
    environment["HOME"] = home.string();
    for (const char* gram : {"Correlograms", "Dopplergrams", "Scattergrams"}) {
        fs::create_directories(dir_ / gram);
        fs::permissions(dir_ / gram, fs::perms::owner_read | fs::perms::owner_exec |
                                         fs::perms::group_read | fs::perms::group_exec |
                                         fs::perms::others_read | fs::perms::others_exec);
    }
    Receiver r =
        Start({"--headless", "--simulate", "--autosave", "--log", "logs"}, environment, prefix);
    // The first scattergram snapshot is due after 27 s.
    ASSERT_TRUE(WaitUntil(
        [&] { return r.Err().find("cannot write Scattergrams/") != std::string::npos; }, 10s))
        << r.Err();
    std::this_thread::sleep_for(1500ms); // a second scattergram, many more blocks
    ASSERT_EQ(r.Stop(SIGHUP), 0) << r.Err();
    const std::string err = r.Err();
    EXPECT_EQ(Count(err, "propmon: cannot write Scattergrams/"), 1u) << err;
    EXPECT_NE(err.find("scattergram.BMP: Permission denied"), std::string::npos) << err;
    EXPECT_EQ(err.find("Unknown error"), std::string::npos) << err;
    std::smatch last;
    ASSERT_TRUE(
        std::regex_search(err, last, std::regex("propmon: stopped by SIGHUP after (\\d+) blocks")))
        << err;
    EXPECT_GT(std::stol(last[1]), 400); // ran on for over 45 s of station time
    EXPECT_GT(LogRows(), 400u);         // and logged all the while
    for (const char* gram : {"Correlograms", "Dopplergrams", "Scattergrams"})
        EXPECT_TRUE(fs::is_empty(dir_ / gram)) << gram;
}

// A replayed recording that ends ends the run, with status 0, and says so.
TEST_F(HeadlessTest, TheEndOfAReplayEndsTheRun) {
    const fs::path recording = WriteRecording("rec.wav", 2.0);
    Receiver r = Start({"--headless", "--replay", "rec.wav", "--log", "logs"});
    ASSERT_TRUE(r.Wait(10s)) << r.Err();
    EXPECT_EQ(r.Status, 0) << r.Err();
    // 19200 samples: the first block takes 1023 of them, every later one 1024.
    EXPECT_EQ(Lines(r.Err()).back(),
              "propmon: end of input from Recording rec.wav after 18 blocks (0:00:02 of input)");
    EXPECT_EQ(LogRows(), 19u);

    // A named station names itself on every line it tells, so that journals
    // gathered from several stations tell them apart.
    fs::remove_all(dir_ / "logs");
    Receiver named = Start({"--headless", "--replay", "rec.wav", "--station", "Hill top"});
    ASSERT_TRUE(named.Wait(10s)) << named.Err();
    size_t told = 0;
    for (const std::string& line : Lines(named.Err())) {
        if (line.rfind("propmon", 0) != 0) continue;
        EXPECT_EQ(line.rfind("propmon Hill top: ", 0), 0u) << line;
        ++told;
    }
    EXPECT_GE(told, 3u) << named.Err();
    EXPECT_EQ(Lines(named.Err()).back(), "propmon Hill top: end of input from Recording rec.wav "
                                         "after 18 blocks (0:00:02 of input)");
}

// --clock-ppm auto and --lag-offset auto: a sound card 40 ppm slow is measured
// during the first minutes and corrected once, the paths placed on the
// correlogram, each told in one line (the replay on a clock 40 times as fast).
TEST_F(HeadlessTest, ClockErrorAndPathsAreFoundAppliedOnceAndTold) {
    if (!FakeTimeAvailable()) GTEST_SKIP() << "needs libfaketime";
    s4285gen::Config config = s4285gen::NatoConfig();
    config.Paths = {{.DelayMs = 2.5, .DopplerHz = 0.4}, {.DelayMs = 4.6, .GainDb = -5}};
    config.SnrDb = 15;
    config.ClockPpm = -40;
    WriteRecording("slow-card.wav", 300, config);
    Receiver r = Start(
        {"--headless", "--replay", "slow-card.wav", "--clock-ppm", "auto", "--lag-offset", "auto"},
        FakedClock("2026-12-08 12:00:00", 40));
    ASSERT_TRUE(r.Wait(40s)) << r.Err();
    EXPECT_EQ(r.Status, 0) << r.Err();
    const std::string err = r.Err();
    std::smatch clock;
    ASSERT_TRUE(std::regex_search(err, clock, std::regex(R"(\npropmon: clock: ([-+]\d+\.\d) ppm)")))
        << err;
    EXPECT_NEAR(std::stod(clock[1]), -40.0, 0.5) << err;
    EXPECT_EQ(Count(err, "clock: "), 1u) << err;
    EXPECT_NE(err.find("propmon: locked: "), std::string::npos) << err;
    EXPECT_NE(err.find("propmon: paths placed: lag offset "), std::string::npos) << err;
    // Whole ppm (rounded down), then the rest on the slider as a rate offset:
    // an estimate a hair under -40 ppm is -41 and 0.99...
    const std::vector<std::string> set = Lines(Slurp(dir_ / "Stanag4285.set"));
    ASSERT_GE(set.size(), 2u);
    const double wholePpm = std::stod(set[1]), sliderPpm = std::stod(set[0]) * 1e6;
    EXPECT_EQ(wholePpm, std::floor(wholePpm));
    EXPECT_GE(sliderPpm, 0.0);
    EXPECT_LT(sliderPpm, 1.0);
    EXPECT_NEAR(wholePpm + sliderPpm, -40.0, 0.5);
}

// What keeps a headless receiver from listening is told in one line, exit 1.
TEST_F(HeadlessTest, WithoutItsInputItSaysWhyAndExits1) {
    const struct {
        std::vector<std::string> Args;
        const char* Line;
    } cases[] = {
        // No sound server, so no sound card: the capture cycle's own message.
        {{"--headless"}, "propmon: No suitable device found"},
        {{"--headless", "--device", "no-such-card"},
         "propmon: no input matches 'no-such-card' (propmon --list-devices lists them)"},
    };
    for (const auto& c : cases) {
        Receiver r = Start(c.Args, {{"PULSE_SERVER", "unix:/nonexistent"}});
        ASSERT_TRUE(r.Wait()) << c.Line;
        EXPECT_EQ(r.Status, 1) << r.Err();
        EXPECT_NE(r.Err().find(std::string(c.Line) + "\n"), std::string::npos) << r.Err();
        // Nothing reads as if it ran.
        EXPECT_EQ(r.Err().find("propmon: mode "), std::string::npos) << r.Err();
    }
    // With no sound card, what is missing comes first.
    Receiver none = Start({"--headless", "--autosave"}, {{"PULSE_SERVER", "unix:/nonexistent"}});
    ASSERT_TRUE(none.Wait());
    // Its own lines (the sound libraries may add theirs): the start line,
    // what is missing, the capture cycle's message, how it ended.
    std::vector<std::string> told;
    for (const std::string& line : Lines(none.Err()))
        if (line.rfind("propmon: ", 0) == 0) told.push_back(line);
    ASSERT_EQ(told.size(), 4u) << none.Err();
    EXPECT_EQ(told[1].rfind("propmon: no sound card input is listed: nothing to listen to", 0), 0u)
        << none.Err();
    EXPECT_EQ(told[2], "propmon: No suitable device found");
    EXPECT_EQ(Lines(Slurp(dir_ / "Stanag4285.set")).size(), 14u);

    Receiver list =
        Start({"--list-devices", "--simulate"}, {{"PULSE_SERVER", "unix:/nonexistent"}});
    ASSERT_TRUE(list.Wait());
    EXPECT_EQ(list.Status, 0);
    EXPECT_TRUE(std::regex_search(list.Out(),
                                  std::regex("(^|\n)\\d+: Built-in STANAG 4285 test signal\n$")))
        << list.Out();
}

} // namespace
