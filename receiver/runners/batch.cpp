// SPDX-License-Identifier: GPL-3.0-or-later
// propmon --batch: the whole block chain over a recording, as fast as the
// machine goes, with one CSV row per processed block.
#include "receiver/runners/batch.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include <QCoreApplication>
#include <QGuiApplication>

#include <sys/stat.h>

#include "receiver/analysis/acquisition_monitor.h"
#include "receiver/analysis/recording_survey.h"
#include "receiver/dsp/chain.h"
#include "receiver/io/recording.h"
#include "receiver/runners/archive_batch.h"
#include "receiver/runners/batch_options.h"
#include "receiver/runners/block_run.h"
#include "receiver/runners/iq_batch.h"
#include "receiver/session/command_line.h"

namespace runners {

namespace {

// --clock-ppm auto measures over at most this much of the recording.
constexpr double ClockMeasureSeconds = 600.0;
// --lag-offset auto places the paths once the lock has held this long.
constexpr double PathsSteadySeconds = 5.0;

int Fail(const ChildReport& report, const std::string& reason) {
    std::fprintf(stderr, "propmon: %s\n", reason.c_str());
    report.Failed(reason);
    return 1;
}

const char* ChannelName(const analysis::SignalChoice& choice) {
    if (!choice.Stereo) return "mono";
    switch (choice.Channel) {
    case io::ChannelChoice::Left:
        return "left";
    case io::ChannelChoice::Right:
        return "right";
    case io::ChannelChoice::Mix:
        return "mix";
    }
    return "left";
}

int RunOneRecording(BatchOptions& options);

// The recording's first sample in ms since the epoch (UTC), for the channel
// table: the file's modification time less its duration; with --start, that
// time of day (taken as UTC) on the UTC day of it.
int64_t RecordingStartMs(const std::string& path, double durationSeconds, int32_t startSeconds) {
    struct stat info {};
    const int64_t modified = ::stat(path.c_str(), &info) == 0 ? int64_t(info.st_mtime) : 0;
    int64_t start = modified - static_cast<int64_t>(durationSeconds);
    if (startSeconds >= 0) start = (start - ((start % 86400) + 86400) % 86400) + startSeconds;
    return start * 1000;
}

} // namespace

int RunBatch(int argc, char** argv) {
    QCommandLineParser parser;
    BatchOptions options;
    try {
        // Recordings after the first come as plain arguments (a shell's *.flac).
        const session::CommandLineRequest request = session::ParseCommandLine(
            parser, BatchOptionList(), session::Arguments(argc, argv), true);
        if (request.Help) {
            std::fputs(BatchUsage().c_str(), stdout);
            return session::ExitSuccess;
        }
        if (request.Version) {
            std::printf("propmon %s\n", PROPMON_VERSION);
            return session::ExitSuccess;
        }
        options = ParseBatchOptions(parser);
    } catch (const session::UsageError& error) {
        std::fprintf(stderr, "propmon: %s\nsee propmon --batch --help for the usage\n",
                     error.Reason.toLocal8Bit().constData());
        return session::ExitUsage;
    }
    // A run over several recordings expects one table of each: an IQ
    // recording, a table per carrier, is run on its own.
    if (options.Iq && options.ChildReport)
        return Fail(ChildReport{true}, options.Input + " is an IQ recording of a band: run it on "
                                                       "its own (propmon --batch FILE --out DIR)");
    if (options.Iq) return RunIqBatch(options.IqRequest);
    if (!options.Archive) return RunOneRecording(options);

    ArchiveRequest archive;
    archive.Inputs = options.Inputs;
    archive.CsvDir = options.Csv;
    archive.OutDir = options.Out;
    archive.Jobs = options.Jobs;
    for (const char* name : ChainOptionNames) {
        const QString option = QString::fromLatin1(name);
        if (parser.isSet(option))
            archive.ChildOptions << QStringLiteral("--") + option + QLatin1Char('=') +
                                        parser.value(option);
    }
    archive.ClockAuto = options.ClockAuto;
    return RunArchive(archive);
}

namespace {

void TellConversion(const io::RecordingReader& recording, const std::string& input, int32_t mode) {
    if (!recording.Info().Converted) return;
    std::fprintf(stderr, "propmon: converting %s from %d to %d samples/s (%s mode)\n",
                 input.c_str(), recording.Info().FileRate, recording.Info().OutputRate,
                 mode == dsp::ModeNato ? "NATO" : "AMATEUR");
}

// The recording in `mode` and `channel`, converted to the mode's rate, the
// choice and the conversion told.  Null after a failure, told in `error`.
std::unique_ptr<io::RecordingReader>
OpenChosen(const BatchOptions& options, const analysis::SignalChoice& choice, std::string& error) {
    std::fprintf(stderr, "%s\n", analysis::ChoiceLine(choice).c_str());
    auto recording = io::RecordingReader::Open(options.Input, 0, choice.Channel, error);
    if (!recording || !recording->ConvertTo(io::RateForMode(choice.Mode), error)) return nullptr;
    TellConversion(*recording, options.Input, choice.Mode);
    return recording;
}

// Mode and channel: the ones asked for, else those that lock best in the
// first minute (whatever the file's rate); anything not at the mode's rate is
// converted to it.  Null after a failure, told in `error`.
std::unique_ptr<io::RecordingReader>
OpenInMode(const BatchOptions& options, analysis::SignalChoice& choice, std::string& error) {
    auto recording = io::RecordingReader::Open(options.Input, 0, io::ChannelChoice::Left, error);
    if (!recording) return nullptr;
    const bool stereo = recording->Info().Channels == 2;
    if (options.Mode == 0 || (stereo && !options.Channel)) {
        const auto chosen = analysis::ChooseModeAndChannel(
            options.Input, options.Mode, options.Channel, analysis::TrialSeconds, error);
        if (!chosen) return nullptr;
        choice = *chosen;
    } else {
        choice.Mode = options.Mode;
        choice.Channel = options.Channel.value_or(io::ChannelChoice::Left);
        choice.Stereo = stereo;
    }
    return OpenChosen(options, choice, error);
}

// --clock-ppm auto: the clock error measured over the first minutes, kept in
// `options` for the whole recording.  False after a failure.
bool MeasureClock(BatchOptions& options, const analysis::SignalChoice& choice,
                  std::optional<analysis::ClockEstimate>& clock, std::string& error) {
    const auto estimate = analysis::MeasureRecordingClock(options.Input, choice.Mode,
                                                          choice.Channel, options.ClockOffset,
                                                          options.Gain, ClockMeasureSeconds, error);
    if (!estimate) return false;
    if (estimate->Valid) {
        clock = estimate;
        const analysis::ClockSetting setting = analysis::SplitClockCorrection(estimate->TotalPpm);
        options.ClockPpm = setting.ClockPpm;
        options.ClockOffset = setting.ClockOffset;
        std::fprintf(stderr, "%s\n", analysis::ClockLine(*estimate).c_str());
    } else {
        std::fprintf(stderr, "clock: not measured (no steady sync peak); %+.1f ppm kept\n",
                     static_cast<double>(options.ClockOffset * 1000000.0L));
    }
    return true;
}

// --lag-offset auto: the strongest path placed once the lock holds, kept in
// `options`.  False after a failure.
bool PlacePaths(BatchOptions& options, const analysis::SignalChoice& choice, std::string& error) {
    const long double correction = options.ClockOffset + options.ClockPpm / 1000000.0L;
    const auto placement = analysis::FindRecordingPaths(
        options.Input, choice.Mode, choice.Channel, correction, options.Gain,
        analysis::TrialSeconds, PathsSteadySeconds, error);
    if (!placement) return false;
    if (placement->Found) {
        options.LagOffset = placement->LagOffset;
        std::fprintf(stderr, "lag offset: %d (strongest path at lag %d, %.1f s in)\n",
                     placement->LagOffset,
                     (placement->LagOffset + analysis::PathPlacementLags) % dsp::BasebandLen,
                     placement->AtSeconds);
    } else {
        std::fprintf(stderr, "lag offset: %d (no steady sync peak in the first minute)\n",
                     options.LagOffset);
    }
    return true;
}

BlockRunSettings RunSettings(const BatchOptions& options, int32_t mode,
                             const io::RecordingInfo& info) {
    const double duration = double(info.Frames) / info.FileRate;
    BlockRunSettings run;
    run.Csv = options.Csv;
    run.Out = options.Out;
    run.Mode = mode;
    run.ClockOffset = options.ClockOffset;
    run.ClockPpm = options.ClockPpm;
    run.Gain = options.Gain;
    run.Average = options.Average;
    run.LagOffset = options.LagOffset;
    run.DopplerShift = options.DopplerShift;
    if (!options.Out.empty()) {
        run.StartSeconds = options.StartSeconds >= 0
                               ? options.StartSeconds
                               : RecordingStartSeconds(options.Input, duration);
    }
    run.ChannelCsv = options.ChannelCsv;
    run.StartMs = RecordingStartMs(options.Input, duration, options.StartSeconds);
    return run;
}

// The samples of the recording (the first `until` of them at most) through
// the chain, a block at a time; what the reader reports of a read error
// (after which what was read is kept and the rest of the file is lost to
// us).  `ended` tells whether the recording ended or broke off.  Progress
// lines only where `tell`.
std::string FeedRecording(io::RecordingReader& recording, BlockRun& blocks,
                          const ChildReport& report, const std::string& input, bool& ended,
                          int64_t until = INT64_MAX, bool tell = true) {
    const io::RecordingInfo& info = recording.Info();
    // Progress for long recordings: a line every tenth of the way.
    const int64_t expected = int64_t(double(info.Frames) * info.OutputRate / info.FileRate);
    const bool longRun = tell && expected > int64_t(300) * info.OutputRate;
    int nextTenth = 1;
    std::vector<int16_t> buffer(dsp::BlockLen);
    ended = false;
    while (blocks.SamplesFed() < until) {
        while (longRun && blocks.SamplesFed() * 10 >= expected * nextTenth && nextTenth < 10) {
            std::fprintf(stderr, "propmon: %d%% of %s\n", nextTenth * 10, input.c_str());
            ++nextTenth;
        }
        std::fill(buffer.begin(), buffer.end(), 0);
        const auto want =
            static_cast<int32_t>(std::min<int64_t>(dsp::BlockLen, until - blocks.SamplesFed()));
        const int64_t got = recording.Read(buffer.data(), want);
        ended = got <= 0;
        if (ended) break;
        blocks.Feed(buffer.data(), got);
        const int64_t bufferStart = blocks.SamplesFed();
        if (report.On && bufferStart % (ReportEveryBuffers * dsp::BlockLen) == 0)
            report.Progress(blocks.Blocks(), double(bufferStart) / info.OutputRate);
        ended = !recording.Error().empty() || got < want;
        if (ended) break;
    }
    return recording.Error();
}

// A run in the mode the trial of the first minute tries first, that trial
// itself: where the mode is left to the first minute, the recording is mono
// and the chain runs as a trial runs it (no gain, no clock correction,
// nothing measured before, no pictures, no run over several recordings), the
// run's own first minute gives that trial's result (the same stage over the
// same blocks) and the run goes on if the mode is chosen.  Fills `choice`;
// the run and its recording, or none of them where this does not apply or
// another mode was chosen (the run thrown away, its tables never written),
// or after a failure (`error` not empty).
struct EarlyRun {
    std::unique_ptr<io::RecordingReader> Recording;
    std::unique_ptr<BlockRun> Blocks;
    std::string ReadError;
    bool Ended = false;
};
EarlyRun RunFirstMinute(const BatchOptions& options, analysis::SignalChoice& choice,
                        std::string& error) {
    EarlyRun run;
    if (options.Mode != 0 || options.Channel || options.Gain != 1.0f ||
        options.ClockOffset != 0.0L || options.ClockPpm != 0.0L || options.ClockAuto ||
        options.LagAuto || !options.Out.empty() || options.ChildReport)
        return run;
    auto recording = io::RecordingReader::Open(options.Input, 0, io::ChannelChoice::Left, error);
    if (!recording || recording->Info().Channels != 1) return run;
    const int32_t mode = analysis::FirstTrialMode(recording->Info().FileRate, 0);
    if (!recording->ConvertTo(io::RateForMode(mode), error)) return run;
    auto blocks = std::make_unique<BlockRun>(RunSettings(options, mode, recording->Info()));
    if (!blocks->Open(error)) return run;
    const auto trialSamples = static_cast<int64_t>(analysis::TrialSeconds * io::RateForMode(mode));
    run.ReadError = FeedRecording(*recording, *blocks, ChildReport{false}, options.Input, run.Ended,
                                  trialSamples, false);
    const analysis::TrialResult first =
        analysis::TrialOf(mode, io::ChannelChoice::Left, blocks->Tally(), blocks->PeakSnrDb());
    const auto chosen = analysis::ChooseModeAndChannel(options.Input, 0, std::nullopt,
                                                       analysis::TrialSeconds, error, &first);
    if (!chosen) return EarlyRun{};
    choice = *chosen;
    if (choice.Mode != mode || choice.Channel != io::ChannelChoice::Left) return EarlyRun{};
    std::fprintf(stderr, "%s\n", analysis::ChoiceLine(choice).c_str());
    TellConversion(*recording, options.Input, mode);
    run.Recording = std::move(recording);
    run.Blocks = std::move(blocks);
    return run;
}

void ReportSummary(const ChildReport& report, const BlockRun& blocks, double durationS,
                   const analysis::SignalChoice& choice,
                   const std::optional<analysis::ClockEstimate>& clock) {
    ChildSummary summary;
    summary.DurationS = durationS;
    summary.Blocks = blocks.Blocks();
    summary.LockedShare = blocks.Tally().Share();
    summary.Mode = dsp::ModeInfoOf(choice.Mode).Name;
    summary.Channel = ChannelName(choice);
    if (clock) {
        summary.ClockPpm = clock->TotalPpm;
        summary.ClockUncertaintyPpm = clock->UncertaintyPpm;
    }
    summary.MedianSnrDb = blocks.MedianSnrDb();
    summary.MedianSnrDb3k = blocks.MedianSnrDb3k();
    summary.MedianRmsDelaySpreadMs = blocks.MedianRmsDelaySpreadMs();
    summary.MedianDopplerSpreadHz = blocks.MedianDopplerSpreadHz();
    report.Summary(summary);
}

// Say what became of the end of the recording: a file cut short (its header
// promises more than it holds) and the samples after the last whole block,
// which show nowhere.
void TellEnd(const io::RecordingReader& recording, const BlockRun& blocks, const std::string& input,
             const std::string& readError) {
    const int64_t announced = recording.Info().Frames;
    const auto read = static_cast<long long>(recording.FramesRead());
    if (!recording.Info().HeaderMismatch.empty()) {
        std::fprintf(stderr,
                     "propmon: the header of %s does not match the file (%s); the %lld samples "
                     "it holds were read\n",
                     input.c_str(), recording.Info().HeaderMismatch.c_str(), read);
    } else if (readError.empty() && recording.FramesRead() < announced) {
        std::fprintf(stderr,
                     "propmon: %s ends after %lld of the %lld samples its header announces\n",
                     input.c_str(), read, static_cast<long long>(announced));
    }
    const int64_t leftOver = blocks.LeftOver();
    if (leftOver == 1) std::fprintf(stderr, "propmon: the last sample makes no whole block\n");
    if (leftOver > 1) {
        std::fprintf(stderr, "propmon: the last %lld samples make no whole block\n",
                     static_cast<long long>(leftOver));
    }
}

int RunOneRecording(BatchOptions& options) {
    const ChildReport report{options.ChildReport};
    const std::unique_ptr<QCoreApplication> app = MakeApplication(!options.Out.empty());
    std::string error;
    analysis::SignalChoice choice;
    EarlyRun early = RunFirstMinute(options, choice, error);
    if (!error.empty()) return Fail(report, error);
    std::unique_ptr<io::RecordingReader> recording = std::move(early.Recording);
    std::unique_ptr<BlockRun> run = std::move(early.Blocks);
    std::optional<analysis::ClockEstimate> clock;
    if (!run) {
        // (Trials already run chose another mode than the first.)
        recording = choice.Trials.empty() ? OpenInMode(options, choice, error)
                                          : OpenChosen(options, choice, error);
        if (!recording) return Fail(report, error);
        if (options.ClockAuto && !MeasureClock(options, choice, clock, error))
            return Fail(report, error);
        if (options.LagAuto && !PlacePaths(options, choice, error)) return Fail(report, error);
        run = std::make_unique<BlockRun>(RunSettings(options, choice.Mode, recording->Info()));
        if (!run->Open(error)) return Fail(report, error);
    }
    BlockRun& blocks = *run;
    std::string readError = early.ReadError;
    if (!early.Ended)
        readError = FeedRecording(*recording, blocks, report, options.Input, early.Ended);
    blocks.EndOfInput();
    const double durationS = double(recording->Info().Frames) / recording->Info().FileRate;
    if (report.On) ReportSummary(report, blocks, durationS, choice, clock);

    if (!blocks.CommitTable(error)) return Fail(report, error);
    std::fprintf(stderr, "propmon: %lld blocks of %s written to %s\n",
                 static_cast<long long>(blocks.Blocks()), options.Input.c_str(),
                 options.Csv.c_str());
    TellEnd(*recording, blocks, options.Input, readError);
    if (blocks.Painting()) {
        if (!blocks.WritePanels())
            return Fail(report, "cannot write the panel pictures into " + options.Out);
        std::fprintf(stderr, "propmon: %lld snapshots and the five panels written below %s\n",
                     static_cast<long long>(blocks.SnapshotsWritten()), options.Out.c_str());
        if (blocks.SnapshotsFailed() > 0) {
            return Fail(report, std::to_string(blocks.SnapshotsFailed()) +
                                    " snapshots could not be written below " + options.Out);
        }
    }
    if (!readError.empty())
        return Fail(report, readError + " (the " + std::to_string(blocks.Blocks()) +
                                " blocks before it are kept)");
    // A table of noise looks as valid as any other: say so, and in the status.
    if (blocks.Tally().NoSignal()) {
        std::fprintf(stderr, "no STANAG 4285 signal found in %s\n", options.Input.c_str());
        return session::ExitNoSignal;
    }
    return session::ExitSuccess;
}

} // namespace

} // namespace runners
