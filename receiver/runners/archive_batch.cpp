// SPDX-License-Identifier: GPL-3.0-or-later
// propmon --batch over several recordings.  Every recording is run by a
// propmon --batch of its own, a child process of this one: the child runs the
// very code of a single-file run, so its table and pictures are the same to
// the byte, and whatever befalls one recording (a crash, a broken file, a full
// disk) ends that child and becomes that recording's row of the summary, not
// the end of the run.  Processes also keep apart what a run owns for its
// whole life: the Qt application the painters draw text with, the fonts.
#include "receiver/runners/archive_batch.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QProcess>
#include <QTimer>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <thread>

#include <sched.h>
#include <unistd.h>

#include "receiver/io/recording.h"
#include "receiver/runners/archive_recordings.h"
#include "receiver/session/termination.h"

namespace runners {

namespace fs = std::filesystem;

bool IsArchiveRun(const std::vector<std::string>& inputs, const std::string& csv) {
    if (inputs.size() > 1) return true;
    std::error_code ignored;
    if (!inputs.empty() && fs::is_directory(inputs.front(), ignored)) return true;
    return !csv.empty() && (csv.back() == '/' || fs::is_directory(csv, ignored));
}

QCommandLineOption ChildReportOption() {
    QCommandLineOption option(QString::fromLatin1(ChildReportOptionName),
                              QStringLiteral("progress and summary on stdout"));
    option.setFlags(QCommandLineOption::HiddenFromHelp);
    return option;
}

namespace {

// The values of a summary line, and the first of them written after the
// reason in summary.csv.
constexpr size_t SummaryValues = 11;
constexpr size_t FirstLaterValue = 8;

// A number of the summary as text; nothing for NaN (not measured).
std::string Number(const char* format, double value) {
    if (std::isnan(value)) return {};
    char text[64];
    std::snprintf(text, sizeof text, format, value + 0.0); // no -0.00
    return text;
}

} // namespace

void ChildReport::Progress(int64_t blocks, double seconds) const {
    if (!On) return;
    std::printf("progress\t%lld\t%.3f\n", static_cast<long long>(blocks), seconds);
    std::fflush(stdout);
}

void ChildReport::Summary(const ChildSummary& s) const {
    if (!On) return;
    std::printf("summary\t%s\t%lld\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n",
                Number("%.3f", s.DurationS).c_str(), static_cast<long long>(s.Blocks),
                Number("%.4f", s.LockedShare).c_str(), s.Mode.c_str(), s.Channel.c_str(),
                Number("%+.2f", s.ClockPpm).c_str(), Number("%.2f", s.ClockUncertaintyPpm).c_str(),
                Number("%.2f", s.MedianSnrDb).c_str(), Number("%.2f", s.MedianSnrDb3k).c_str(),
                Number("%.3f", s.MedianRmsDelaySpreadMs).c_str(),
                Number("%.3f", s.MedianDopplerSpreadHz).c_str());
    std::fflush(stdout);
}

void ChildReport::Failed(const std::string& reason) const {
    if (!On) return;
    std::string line = reason;
    std::replace(line.begin(), line.end(), '\n', ' ');
    std::printf("failed\t%s\n", line.c_str());
    std::fflush(stdout);
}

namespace {

class ArchiveRun {
  public:
    ArchiveRun(const ArchiveRequest& request, std::vector<Recording> recordings)
        : request_(request), recordings_(std::move(recordings)),
          dir_(request.CsvDir.empty() ? request.OutDir : request.CsvDir),
          terminal_(::isatty(STDERR_FILENO) == 1) {
        for (const Recording& r : recordings_)
            totalSeconds_ += r.HeaderSeconds;
    }

    int Run();

  private:
    void StartNext();
    void Start(size_t index);
    void TakeOutput(Recording& r, bool ended);
    void Finished(size_t index, QProcess* process, int exitCode, QProcess::ExitStatus status);
    void Interrupt(int signalNumber);
    void Say(const std::string& line);
    void TellFinished(const Recording& r);
    void DrawProgress();
    std::string ProgressLine() const;
    double Elapsed() const;
    std::string Summary() const;
    std::string Log() const;

    const ArchiveRequest& request_;
    std::vector<Recording> recordings_;
    fs::path dir_;
    bool terminal_;
    int32_t jobs_ = 1;
    size_t next_ = 0;
    size_t running_ = 0;
    size_t finished_ = 0;
    double totalSeconds_ = 0.0;
    int interruptedBy_ = 0;
    bool progressShown_ = false;
    bool ended_ = false; // no more progress lines
    QEventLoop loop_;
    QObject processes_; // the runs under way
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

double ArchiveRun::Elapsed() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

int ArchiveRun::Run() {
    std::error_code made;
    fs::create_directories(dir_, made);
    if (made || !fs::is_directory(dir_)) {
        std::fprintf(
            stderr, "propmon: cannot create the folder %s: %s\n", dir_.c_str(),
            (made ? made : std::make_error_code(std::errc::not_a_directory)).message().c_str());
        return 1;
    }
    size_t runnable = 0;
    for (const Recording& r : recordings_) {
        if (r.Outcome == Outcome::Pending) {
            ++runnable;
        } else {
            ++finished_;
            TellFinished(r);
        }
    }
    jobs_ = request_.Jobs > 0 ? request_.Jobs : CoresAvailable();
    jobs_ = static_cast<int32_t>(std::min<size_t>(size_t(jobs_), std::max<size_t>(runnable, 1)));

    const session::TerminationWatcher* watching = nullptr;
    const session::TerminationWatcher watcher([&] { Interrupt(watching->LastSignal()); });
    watching = &watcher;
    QTimer redraw;
    if (terminal_) {
        QObject::connect(&redraw, &QTimer::timeout, [this] { DrawProgress(); });
        redraw.start(250);
        DrawProgress();
    }
    StartNext();
    if (running_ > 0) loop_.exec();
    redraw.stop();
    ended_ = true;
    if (progressShown_) std::fputs("\r\033[K", stderr);

    std::string error;
    const bool summaryWritten = WriteWhole(dir_ / "summary.csv", Summary(), error);
    std::string logError;
    const bool logWritten = WriteWhole(dir_ / "batch.log", Log(), logError);

    size_t ok = 0, noSignal = 0, failed = 0;
    int64_t blocks = 0;
    for (const Recording& r : recordings_) {
        ok += r.Outcome == Outcome::Ok;
        noSignal += r.Outcome == Outcome::NoSignal;
        failed += r.Outcome != Outcome::Ok && r.Outcome != Outcome::NoSignal;
        blocks += r.BlocksDone;
    }
    const double elapsed = Elapsed();
    std::fprintf(stderr,
                 "propmon: %zu recordings (%zu ok, %zu without signal, %zu failed), %lld blocks "
                 "in %s (%.0f blocks/s); summary in %s\n",
                 recordings_.size(), ok, noSignal, failed, static_cast<long long>(blocks),
                 Duration(elapsed).c_str(), elapsed > 0 ? double(blocks) / elapsed : 0.0,
                 (dir_ / "summary.csv").c_str());
    if (!summaryWritten) std::fprintf(stderr, "propmon: %s\n", error.c_str());
    if (!logWritten) std::fprintf(stderr, "propmon: %s\n", logError.c_str());
    if (failed > 0 || !summaryWritten || !logWritten) return 1;
    return noSignal > 0 ? 3 : 0;
}

void ArchiveRun::StartNext() {
    while (interruptedBy_ == 0 && running_ < size_t(jobs_) && next_ < recordings_.size()) {
        const size_t index = next_++;
        if (recordings_[index].Outcome == Outcome::Pending) Start(index);
    }
    if (running_ == 0) loop_.quit();
}

void ArchiveRun::Start(size_t index) {
    Recording& r = recordings_[index];
    QStringList arguments{QStringLiteral("--batch=") + QString::fromLocal8Bit(r.Path)};
    if (r.Iq)
        arguments =
            IqRunArguments(r.Path, dir_ / r.Name, !request_.CsvDir.empty(), request_.ChildOptions);
    else if (!request_.CsvDir.empty())
        arguments << QStringLiteral("--csv=") + QString::fromLocal8Bit((dir_ / r.Name).string()) +
                         QStringLiteral(".csv")
                  << QStringLiteral("--channel-csv=") +
                         QString::fromLocal8Bit((dir_ / r.Name).string()) +
                         QStringLiteral(".channel.csv");
    else
        arguments << QStringLiteral("--out=") + QString::fromLocal8Bit((dir_ / r.Name).string());
    if (!r.Iq)
        arguments << request_.ChildOptions
                  << QStringLiteral("--") + QString::fromLatin1(ChildReportOptionName);

    auto* process = new QProcess(&processes_);
    // The program running now, whatever became of its file since.
    process->setProgram(QStringLiteral("/proc/self/exe"));
    process->setArguments(arguments);
    process->setStandardInputFile(QProcess::nullDevice());
    QObject::connect(process, &QProcess::readyReadStandardOutput, [this, process, index] {
        recordings_[index].Out += process->readAllStandardOutput().toStdString();
        TakeOutput(recordings_[index], false);
    });
    QObject::connect(process, &QProcess::readyReadStandardError, [this, process, index] {
        recordings_[index].Told += process->readAllStandardError().toStdString();
    });
    QObject::connect(process, &QProcess::finished,
                     [this, process, index](int exitCode, QProcess::ExitStatus status) {
                         Finished(index, process, exitCode, status);
                     });
    QObject::connect(process, &QProcess::errorOccurred,
                     [this, process, index](QProcess::ProcessError error) {
                         if (error != QProcess::FailedToStart) return;
                         recordings_[index].Reason =
                             "cannot start propmon: " + process->errorString().toStdString();
                         // Not from within start(): the next start waits for the loop.
                         QTimer::singleShot(0, process, [this, process, index] {
                             Finished(index, process, -1, QProcess::CrashExit);
                         });
                     });
    r.Outcome = Outcome::Running;
    ++running_;
    process->start();
}

// The whole lines of what the run said on stdout; with `ended` the rest too.
void ArchiveRun::TakeOutput(Recording& r, bool ended) {
    if (ended && !r.Out.empty() && r.Out.back() != '\n') r.Out += '\n';
    size_t start = 0;
    for (size_t end; (end = r.Out.find('\n', start)) != std::string::npos; start = end + 1) {
        const std::vector<std::string> parts = Split(r.Out.substr(start, end - start), '\t');
        if (parts[0] == "progress" && parts.size() == 3) {
            r.BlocksDone = std::strtoll(parts[1].c_str(), nullptr, 10);
            r.SecondsDone = std::strtod(parts[2].c_str(), nullptr);
        } else if (parts[0] == "summary" && parts.size() == 1 + SummaryValues) {
            r.Values.assign(parts.begin() + 1, parts.end());
            r.BlocksDone = std::strtoll(parts[2].c_str(), nullptr, 10);
        } else if (parts[0] == "failed" && parts.size() >= 2) {
            r.Reason = r.Out.substr(start + 7, end - start - 7);
        }
    }
    r.Out.erase(0, start);
}

// The last line of a run's stderr.
std::string LastLine(const std::string& told) {
    const std::vector<std::string> lines = Split(told, '\n');
    for (auto line = lines.rbegin(); line != lines.rend(); ++line)
        if (!line->empty()) return line->starts_with("propmon: ") ? line->substr(9) : *line;
    return {};
}

void ArchiveRun::Finished(size_t index, QProcess* process, int exitCode,
                          QProcess::ExitStatus status) {
    Recording& r = recordings_[index];
    if (r.Outcome != Outcome::Running) return;
    r.Out += process->readAllStandardOutput().toStdString();
    r.Told += process->readAllStandardError().toStdString();
    TakeOutput(r, true);
    process->deleteLater();
    if (status == QProcess::CrashExit) {
        r.Outcome = Outcome::Failed;
        if (r.Reason.empty()) {
            r.Reason =
                "ended by signal " + std::to_string(exitCode) + " (" + ::strsignal(exitCode) + ")";
        }
        // Killed before it could: the table's temporary file, which it would
        // have removed.
        std::error_code ignored;
        if (!request_.CsvDir.empty()) {
            fs::remove(dir_ / (r.Name + ".csv.part"), ignored);
            fs::remove(dir_ / (r.Name + ".channel.csv.part"), ignored);
        } else {
            fs::remove(dir_ / r.Name / "blocks.csv.part", ignored);
            fs::remove(dir_ / r.Name / "channel.csv.part", ignored);
        }
    } else if (r.Iq && (exitCode == 0 || exitCode == 3) &&
               !CarrierRows(dir_ / r.Name, r.Name, SummaryValues, r.Carriers, r.Reason)) {
        r.Outcome = Outcome::Failed;
    } else if (exitCode == 0) {
        r.Outcome = Outcome::Ok;
    } else if (exitCode == 3) {
        r.Outcome = Outcome::NoSignal;
    } else {
        r.Outcome = Outcome::Failed;
        if (r.Reason.empty()) r.Reason = LastLine(r.Told);
        if (r.Reason.empty()) r.Reason = "ended with status " + std::to_string(exitCode);
    }
    for (const CarrierRow& c : r.Carriers)
        r.BlocksDone += std::strtoll(c.Values[1].c_str(), nullptr, 10);
    r.SecondsDone = r.HeaderSeconds; // done with, whatever became of it
    --running_;
    ++finished_;
    TellFinished(r);
    StartNext();
}

void ArchiveRun::Interrupt(int signalNumber) {
    if (interruptedBy_ != 0) return;
    interruptedBy_ = signalNumber;
    const std::string reason =
        "interrupted by " + session::TerminationWatcher::SignalName(signalNumber).toStdString();
    for (Recording& r : recordings_) {
        if (r.Outcome == Outcome::Pending) {
            r.Outcome = Outcome::Failed;
            r.Reason = "not run: " + reason;
        } else if (r.Outcome == Outcome::Running) {
            r.Reason = reason;
        }
    }
    Say("propmon: " + reason + "; stopping the recordings running");
    for (QProcess* process : processes_.findChildren<QProcess*>())
        process->terminate();
    if (running_ == 0) loop_.quit();
}

void ArchiveRun::Say(const std::string& line) {
    if (progressShown_) std::fputs("\r\033[K", stderr);
    std::fprintf(stderr, "%s\n", line.c_str());
    progressShown_ = false;
    if (terminal_ && !ended_) DrawProgress();
}

// A line for each recording run; on a terminal only for the troubled ones,
// the progress line tells the rest.
void ArchiveRun::TellFinished(const Recording& r) {
    char done[64];
    std::snprintf(done, sizeof done, "[%zu/%zu] ", finished_, recordings_.size());
    const std::string head = "propmon: " + std::string(done) + r.Path + ": ";
    const auto locked = [&] {
        const double share = r.Values.size() > 2 ? std::strtod(r.Values[2].c_str(), nullptr) : 0;
        char text[64];
        std::snprintf(text, sizeof text, "%.1f %% locked", 100.0 * share);
        return std::string(text);
    };
    if (r.Iq && r.Outcome == Outcome::Ok && !terminal_)
        Say(head + std::to_string(r.Carriers.size()) + " carriers, " +
            std::to_string(r.BlocksDone) + " blocks");
    else if (r.Outcome == Outcome::Ok && !terminal_)
        Say(head + std::to_string(r.BlocksDone) + " blocks, " + locked());
    else if (r.Outcome == Outcome::NoSignal)
        Say(head + "no STANAG 4285 signal found (" + locked() + ")");
    else if (r.Outcome == Outcome::Failed)
        Say(head + "failed: " + r.Reason);
    else if (terminal_)
        DrawProgress();
}

std::string ArchiveRun::ProgressLine() const {
    int64_t blocks = 0;
    double seconds = 0.0;
    for (const Recording& r : recordings_) {
        blocks += r.BlocksDone;
        seconds += std::min(r.SecondsDone, r.HeaderSeconds);
    }
    const double elapsed = Elapsed();
    char text[160];
    int n = std::snprintf(text, sizeof text, "propmon: %zu/%zu recordings", finished_,
                          recordings_.size());
    if (elapsed >= 1.0) {
        n += std::snprintf(text + n, sizeof text - size_t(n), ", %.0f blocks/s",
                           double(blocks) / elapsed);
    }
    if (elapsed >= 1.0 && seconds > 0.0) {
        const double left = (totalSeconds_ - seconds) / (seconds / elapsed);
        std::snprintf(text + n, sizeof text - size_t(n), ", %s left", Duration(left).c_str());
    }
    return text;
}

void ArchiveRun::DrawProgress() {
    if (!terminal_) return;
    std::fprintf(stderr, "\r%s\033[K", ProgressLine().c_str());
    std::fflush(stderr);
    progressShown_ = true;
}

std::string ArchiveRun::Summary() const {
    std::string text = "file,output,duration_s,blocks,locked_share,mode,channel,clock_ppm,"
                       "clock_uncertainty_ppm,median_snr_db,exit_reason,median_snr_db_3k,"
                       "median_rms_delay_spread_ms,median_doppler_spread_hz,frequency_hz\n";
    for (const Recording& r : recordings_) {
        // A recording of a band: a row for each of its carriers.
        for (const CarrierRow& c : r.Carriers) {
            text += Cell(r.Path) + "," + Cell(c.Output);
            for (size_t i = 0; i < c.Values.size(); ++i)
                text +=
                    (i == FirstLaterValue ? "," + Cell(c.Reason) + "," : ",") + Cell(c.Values[i]);
            text += "," + c.FrequencyHz + "\n";
        }
        if (!r.Carriers.empty()) continue;
        // The recording's table or folder, where its run left one.
        std::string output;
        std::error_code ignored;
        if (!r.Name.empty() &&
            fs::exists(dir_ / (request_.CsvDir.empty() ? r.Name : r.Name + ".csv"), ignored))
            output = request_.CsvDir.empty() ? r.Name + "/" : r.Name + ".csv";
        std::vector<std::string> values = r.Values;
        if (values.empty()) {
            values.assign(SummaryValues, std::string());
            if (r.HeaderSeconds > 0) values[0] = Number("%.3f", r.HeaderSeconds);
        }
        // The clock is measured only when asked for.
        if (!request_.ClockAuto) values[5] = values[6] = std::string();
        const std::string reason = r.Outcome == Outcome::Ok         ? "ok"
                                   : r.Outcome == Outcome::NoSignal ? "no signal"
                                                                    : r.Reason;
        // The columns added later come after the reason: the earlier keep their place.
        text += Cell(r.Path) + "," + Cell(output);
        for (size_t i = 0; i < values.size(); ++i)
            text += (i == FirstLaterValue ? "," + Cell(reason) + "," : ",") + Cell(values[i]);
        text += ",\n";
    }
    return text;
}

std::string ArchiveRun::Log() const {
    std::string text;
    for (const Recording& r : recordings_) {
        text += r.Path + ":\n";
        for (const std::string& line : Split(r.Told, '\n'))
            if (!line.empty()) text += "  " + line + "\n";
        if (r.Told.empty() && r.Outcome == Outcome::Failed) text += "  " + r.Reason + "\n";
    }
    return text;
}

} // namespace

int RunArchive(const ArchiveRequest& request) {
    static int appArgc = 1;
    static char appName[] = "propmon";
    static char* appArgv[] = {appName, nullptr};
    QCoreApplication app(appArgc, appArgv);

    std::vector<Recording> recordings;
    std::set<fs::path> seen; // a recording named twice is run once
    size_t unreadableFolders = 0;
    for (const std::string& input : request.Inputs) {
        std::error_code ignored;
        std::vector<Recording> found;
        if (fs::is_directory(input, ignored)) {
            const size_t before = unreadableFolders;
            FindBelow(input, found, unreadableFolders);
            if (found.empty() && unreadableFolders == before)
                std::fprintf(stderr, "propmon: no .wav, .flac or .sigmf-meta recordings in %s\n",
                             input.c_str());
        } else {
            Recording r;
            r.Path = input;
            r.Relative = RelativeOfFile(input);
            found.push_back(std::move(r));
        }
        for (Recording& r : found) {
            std::error_code unresolved;
            fs::path key = fs::weakly_canonical(r.Path, unresolved);
            if (unresolved) key = r.Path;
            if (seen.insert(key).second) recordings.push_back(std::move(r));
        }
    }
    if (recordings.empty()) {
        std::fprintf(stderr, "propmon: no recordings to run\n");
        return 1;
    }
    NameOutputs(recordings);
    for (Recording& r : recordings) {
        if (r.Outcome != Outcome::Pending) continue;
        if (IsArchiveIq(r.Path, r.HeaderSeconds)) {
            r.Iq = true;
            continue;
        }
        std::string ignored;
        if (const auto reader =
                io::RecordingReader::Open(r.Path, 0, io::ChannelChoice::Left, ignored))
            r.HeaderSeconds = double(reader->Info().Frames) / reader->Info().FileRate;
    }
    ArchiveRun run(request, std::move(recordings));
    return run.Run();
}

} // namespace runners
