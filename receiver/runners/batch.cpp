// SPDX-License-Identifier: GPL-3.0-or-later
// propmon --batch: the whole block chain over a recording, as fast as the
// machine goes, with one CSV row per processed block.
#include "receiver/runners/batch.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <QCoreApplication>
#include <QGuiApplication>

#include <sys/stat.h>

#include "receiver/analysis/acquisition_monitor.h"
#include "receiver/analysis/recording_survey.h"
#include "receiver/dsp/chain.h"
#include "receiver/io/iq_recording.h"
#include "receiver/io/recording.h"
#include "receiver/runners/archive_batch.h"
#include "receiver/runners/block_run.h"
#include "receiver/runners/iq_batch.h"
#include "receiver/session/command_line.h"

namespace runners {

namespace {

// --clock-ppm auto measures over at most this much of the recording.
constexpr double ClockMeasureSeconds = 600.0;
// --lag-offset auto places the paths once the lock has held this long.
constexpr double PathsSteadySeconds = 5.0;

constexpr const char* Synopsis =
    "usage: propmon --batch FILE (--out DIR | --csv OUT.csv) [--channel-csv FILE]\n"
    "                [--start HH:MM:SS]\n"
    "                [--clock-offset F] [--clock-ppm N|auto] [--gain G] [--average K]\n"
    "                [--lag-offset N|auto] [--doppler-shift N] [--mode auto|nato|amateur]\n"
    "                [--channel auto|left|right|mix]\n"
    "       propmon --batch FILE|FOLDER... (--out DIR | --csv DIR) [--jobs N]\n"
    "                [the same options but --start]\n"
    "       propmon --batch IQFILE [--iq] [--centre HZ] [--tune HZ|all]... [--offset HZ]...\n"
    "                (--out DIR | --csv DIR) [the same options but --channel]\n"
    "       propmon --batch --help\n"
    "\n";

constexpr const char* ExitText =
    "\n"
    "Mode and channel (\"mode: NATO (2400 baud, 1800 Hz), channel: left\"), an\n"
    "automatic clock correction (\"clock: +49.8 ppm (\u00b10.2)\") and lag offset are\n"
    "told on stderr.  Exit status: 0 success; 1 failure; 2 bad usage; 3 no STANAG\n"
    "4285 signal found (fewer than 20 % of the blocks locked; the table and the\n"
    "pictures are written all the same).\n"
    "\n"
    "Several recordings, or a folder (searched with its subfolders for .wav and\n"
    ".flac files), are run side by side, each exactly as on its own: DIR gets\n"
    "NAME.csv (--csv) or NAME/ (--out) for each, NAME the recording's file name\n"
    "without its suffix (with its folders where two would clash), summary.csv\n"
    "with a row per recording and batch.log with what each run told.  Progress\n"
    "is one line redrawn on a terminal, else a line per recording.  Exit status:\n"
    "1 when any recording failed, else 3 when any had no signal, else 0.\n"
    "\n"
    "An IQ recording (SigMF; a two-channel WAV with an auxi chunk or a frequency\n"
    "in its name; any two-channel WAV with --iq) runs a receiver on each tuned\n"
    "carrier, all from one pass over the recording: DIR/NAME/ (--out) or\n"
    "DIR/NAME.csv (--csv) each, NAME the carrier in whole hertz (7104000Hz; the\n"
    "offset from the centre where the centre is unknown), and DIR/summary.csv\n"
    "with a row per carrier.  Without --tune or --offset every signal found is\n"
    "tuned.  Exit status: 1 when any channel failed, else 3 when any had no\n"
    "signal, else 0.\n";

QList<QCommandLineOption> BatchOptionList() {
    const auto option = [](const char* name, const char* description, const char* value) {
        return QCommandLineOption(QString::fromLatin1(name), QString::fromLatin1(description),
                                  QString::fromLatin1(value));
    };
    return {
        option("batch",
               "the recording: WAV/FLAC at any rate, mono or stereo; or\n"
               "several, and folders of them",
               "FILE|FOLDER"),
        option("out",
               "every display painted, all three grams auto-saved into\n"
               "DIR/Correlograms, DIR/Dopplergrams, DIR/Scattergrams; the\n"
               "per-block table in DIR/blocks.csv; the five panels at the end\n"
               "as DIR/final-*.png (several recordings: DIR/NAME/ each)",
               "DIR"),
        option("csv",
               "only the per-block table, no painting (fastest); several\n"
               "recordings, or a folder (DIR/ or one that exists):\n"
               "DIR/NAME.csv each and DIR/summary.csv",
               "FILE|DIR"),
        option("channel-csv",
               "the channel table, one row a minute (with --out:\n"
               "DIR/channel.csv unless given; several recordings: beside\n"
               "each recording's table)",
               "FILE"),
        option("jobs",
               "recordings run at once (default: one per core this\n"
               "program may use)",
               "N"),
        option("start",
               "time of day of the recording's first sample, for the time\n"
               "marks and snapshot names, and in UTC for the channel\n"
               "table (default: the file's modification time minus its\n"
               "duration)",
               "HH:MM:SS"),
        option("clock-offset", "clock correction as a fraction, as the slider (-0.5..0.5)", "F"),
        option("clock-ppm",
               "clock correction in whole ppm; auto: measured from the\n"
               "recording's first 10 minutes, then the whole recording is run\n"
               "with it",
               "N|auto"),
        option("gain", "input gain, above 0 (default 1)", "G"),
        option("average", "blocks averaged per correlogram column (default 1)", "K"),
        option("lag-offset",
               "first lag of the correlogram window, 0..512; auto: the\n"
               "strongest path 10 lags above the bottom of the correlogram",
               "N|auto"),
        option("doppler-shift", "shift of the Doppler axis, -128..128", "N"),
        option("mode",
               "nato, amateur, or auto (default): the mode whose signal\n"
               "locks in the first minute, whatever the recording's rate",
               "M"),
        session::ChannelOption(),
        option("iq", "take a two-channel WAV for IQ (I left, Q right)", ""),
        option("centre", "an IQ recording's centre frequency, where it does not say it", "HZ"),
        option("tune",
               "of an IQ recording: a receiver on the carrier at HZ; all:\n"
               "on every signal found (the default); repeat for more",
               "HZ|all"),
        option("offset", "of an IQ recording: a receiver on the carrier HZ from\nthe centre", "HZ"),
        ChildReportOption(),
    };
}

std::string Usage() {
    return Synopsis + session::OptionsHelp(BatchOptionList()).toStdString() + ExitText;
}

struct BatchOptions {
    std::vector<std::string> Inputs; // files and folders, as given
    std::string Input;               // the one recording of a single run
    std::string Csv;
    std::string Out;
    std::string ChannelCsv;
    int32_t StartSeconds = -1; // time of day of the first sample; -1: from the file
    long double ClockOffset = 0.0L;
    long double ClockPpm = 0.0L;
    bool ClockAuto = false; // --clock-ppm auto
    float Gain = 1.0f;
    int32_t Average = 1;
    int32_t LagOffset = 0;
    bool LagAuto = false; // --lag-offset auto
    int32_t DopplerShift = 0;
    int32_t Mode = 0;                         // 0: auto
    std::optional<io::ChannelChoice> Channel; // empty: auto
    int32_t Jobs = 0;                         // 0: one per core
    bool ChildReport = false;                 // a run started by a run over several recordings
    bool Archive = false;                     // a run over several recordings
    bool Iq = false;                          // a run over an IQ recording
    IqBatchRequest IqRequest;                 // its inputs and channels
};

// The options a run over several recordings hands on to each recording's run
// as they were given.
constexpr const char* ChainOptionNames[] = {"clock-offset", "clock-ppm",     "gain", "average",
                                            "lag-offset",   "doppler-shift", "mode", "channel"};

// Bad usage, told in one line.
[[noreturn]] void Refuse(const std::string& reason) {
    throw session::UsageError{QString::fromLocal8Bit(reason.c_str())};
}

// An IQ recording: asked for (--iq, a tune, a centre) or said by the file.
void TakeIqOptions(const QCommandLineParser& parser, BatchOptions& options) {
    const auto isSet = [&](const char* name) { return parser.isSet(QString::fromLatin1(name)); };
    const auto values = [&](const char* name) {
        std::vector<std::string> texts;
        for (const QString& v : parser.values(QString::fromLatin1(name)))
            texts.push_back(v.toLocal8Bit().toStdString());
        return texts;
    };
    std::error_code ignored;
    options.Iq =
        isSet("iq") || isSet("tune") || isSet("offset") || isSet("centre") ||
        (options.Inputs.size() == 1 && !std::filesystem::is_directory(options.Input, ignored) &&
         io::IsIqRecording(options.Input));
    if (!options.Iq) return;
    if (options.Inputs.size() > 1) Refuse("an IQ recording is run on its own");
    if (isSet("channel")) Refuse("--channel is for stereo audio, not an IQ recording");
    if (options.Csv.empty() && options.Out.empty()) Refuse("--out DIR or --csv DIR is missing");
    if (!options.Csv.empty() && !options.Out.empty())
        Refuse("with an IQ recording give either --csv DIR or --out DIR");
    IqBatchRequest& r = options.IqRequest;
    r.Input = options.Input;
    r.AsIq = isSet("iq");
    if (isSet("centre"))
        r.CentreHz = double(session::NumberIn(
            "--centre", parser.value(QStringLiteral("centre")).toLocal8Bit().toStdString(), 0.0L,
            1e12L));
    for (const std::string& text : values("tune")) {
        if (text == "all")
            r.TuneAll = true;
        else
            r.TunesHz.push_back(double(session::NumberIn("--tune", text, 0.0L, 1e12L)));
    }
    for (const std::string& text : values("offset"))
        r.OffsetsHz.push_back(double(session::NumberIn("--offset", text, -1e9L, 1e9L)));
    if (r.TunesHz.empty() && r.OffsetsHz.empty()) r.TuneAll = true;
    r.CsvDir = options.Csv;
    r.OutDir = options.Out;
    r.StartSeconds = options.StartSeconds;
    r.ClockOffset = options.ClockOffset;
    r.ClockPpm = options.ClockPpm;
    r.ClockAuto = options.ClockAuto;
    r.LagAuto = options.LagAuto;
    r.Gain = options.Gain;
    r.Average = options.Average;
    r.LagOffset = options.LagOffset;
    r.DopplerShift = options.DopplerShift;
    r.Mode = options.Mode;
}

BatchOptions ParseOptions(const QCommandLineParser& parser) {
    BatchOptions options;
    const auto value = [&](const char* name) {
        return parser.value(QString::fromLatin1(name)).toLocal8Bit().toStdString();
    };
    const auto isSet = [&](const char* name) { return parser.isSet(QString::fromLatin1(name)); };
    for (const QString& input :
         parser.values(QStringLiteral("batch")) + parser.positionalArguments())
        options.Inputs.push_back(input.toLocal8Bit().toStdString());
    options.Input = options.Inputs.empty() ? std::string() : options.Inputs.front();
    options.Csv = value("csv");
    options.Out = value("out");
    options.ChannelCsv = value("channel-csv");
    if (isSet("start")) {
        const std::string text = value("start");
        int h = -1, m = -1, sec = -1;
        char tail = 0;
        if (std::sscanf(text.c_str(), "%d:%d:%d%c", &h, &m, &sec, &tail) != 3 || h < 0 || h > 23 ||
            m < 0 || m > 59 || sec < 0 || sec > 59)
            Refuse("--start wants a time of day HH:MM:SS, not '" + text + "'");
        options.StartSeconds = (h * 60 + m) * 60 + sec;
    }
    // A fraction, like the slider: 0.00001 is 10 ppm.
    if (isSet("clock-offset"))
        options.ClockOffset =
            session::NumberIn("--clock-offset", value("clock-offset"), -0.5L, 0.5L);
    // Whole ppm, as the prompt takes it: the number rounded down.
    if (isSet("clock-ppm") && value("clock-ppm") == "auto")
        options.ClockAuto = true;
    else if (isSet("clock-ppm"))
        options.ClockPpm =
            std::floor(session::NumberIn("--clock-ppm", value("clock-ppm"), -500000.0L, 500000.0L));
    if (isSet("gain")) {
        const std::string text = value("gain");
        options.Gain = static_cast<float>(session::NumberIn("--gain", text, 0.0L, 1e6L));
        if (options.Gain <= 0.0f) Refuse("--gain wants a number above 0, not '" + text + "'");
    }
    if (isSet("average"))
        options.Average = session::WholeIn("--average", value("average"), 1, 1000000);
    if (isSet("lag-offset") && value("lag-offset") == "auto")
        options.LagAuto = true;
    else if (isSet("lag-offset"))
        options.LagOffset = session::WholeIn("--lag-offset", value("lag-offset"), 0, 512);
    if (isSet("doppler-shift"))
        options.DopplerShift =
            session::WholeIn("--doppler-shift", value("doppler-shift"), -128, 128);
    if (isSet("mode")) {
        const std::string text = value("mode");
        if (text == "nato")
            options.Mode = dsp::ModeNato;
        else if (text == "amateur")
            options.Mode = dsp::ModeAmateur;
        else if (text != "auto")
            Refuse("--mode is auto, nato or amateur, not '" + text + "'");
    }
    if (!session::ChannelAuto(parser)) options.Channel = session::ChannelValue(parser);
    if (isSet("jobs")) options.Jobs = session::WholeIn("--jobs", value("jobs"), 1, 4096);
    options.ChildReport = isSet(ChildReportOptionName);
    if (options.Input.empty()) Refuse("--batch needs a recording");
    options.Archive = IsArchiveRun(options.Inputs, options.Csv);
    TakeIqOptions(parser, options);
    if (options.Iq) return options;
    if (options.Archive) {
        if (options.Csv.empty() && options.Out.empty()) Refuse("--out DIR or --csv DIR is missing");
        if (!options.Csv.empty() && !options.Out.empty())
            Refuse("with several recordings give either --csv DIR or --out DIR");
        if (isSet("start"))
            Refuse("--start is one recording's start; with several each takes its file's own");
        if (isSet("channel-csv"))
            Refuse("--channel-csv is one recording's table; with several each gets its own "
                   "beside its block table");
        return options;
    }
    if (options.Csv.empty() && options.Out.empty()) Refuse("--out DIR or --csv OUT.csv is missing");
    if (options.Csv.empty()) options.Csv = options.Out + "/blocks.csv";
    if (options.ChannelCsv.empty() && !options.Out.empty())
        options.ChannelCsv = options.Out + "/channel.csv";
    return options;
}

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
            std::fputs(Usage().c_str(), stdout);
            return session::ExitSuccess;
        }
        if (request.Version) {
            std::printf("propmon %s\n", PROPMON_VERSION);
            return session::ExitSuccess;
        }
        options = ParseOptions(parser);
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

int RunOneRecording(BatchOptions& options) {
    const ChildReport report{options.ChildReport};
    // Painting into panels needs a GUI application (without a display: the
    // offscreen platform); the table alone needs none.
    std::unique_ptr<QCoreApplication> app;
    static int appArgc = 1;
    static char appName[] = "propmon";
    static char* appArgv[] = {appName, nullptr};
    if (!options.Out.empty()) {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
        app = std::make_unique<QGuiApplication>(appArgc, appArgv);
    } else {
        app = std::make_unique<QCoreApplication>(appArgc, appArgv);
    }

    // Mode and channel: the ones asked for, else those that lock best in the
    // first minute (whatever the file's rate); anything not at the mode's
    // rate is converted to it.
    std::string error;
    auto recording = io::RecordingReader::Open(options.Input, 0, io::ChannelChoice::Left, error);
    if (!recording) return Fail(report, error);
    const bool stereo = recording->Info().Channels == 2;
    analysis::SignalChoice choice;
    if (options.Mode == 0 || (stereo && !options.Channel)) {
        const auto chosen = analysis::ChooseModeAndChannel(
            options.Input, options.Mode, options.Channel, analysis::TrialSeconds, error);
        if (!chosen) return Fail(report, error);
        choice = *chosen;
    } else {
        choice.Mode = options.Mode;
        choice.Channel = options.Channel.value_or(io::ChannelChoice::Left);
        choice.Stereo = stereo;
    }
    std::fprintf(stderr, "%s\n", analysis::ChoiceLine(choice).c_str());
    const int32_t mode = choice.Mode;
    recording = io::RecordingReader::Open(options.Input, 0, choice.Channel, error);
    if (!recording) return Fail(report, error);
    if (!recording->ConvertTo(io::RateForMode(mode), error)) return Fail(report, error);
    if (recording->Info().Converted) {
        std::fprintf(stderr, "propmon: converting %s from %d to %d samples/s (%s mode)\n",
                     options.Input.c_str(), recording->Info().FileRate,
                     recording->Info().OutputRate, mode == dsp::ModeNato ? "NATO" : "AMATEUR");
    }

    // The clock error measured over the first minutes, then the whole
    // recording run with it.
    std::optional<analysis::ClockEstimate> clock;
    if (options.ClockAuto) {
        const auto estimate = analysis::MeasureRecordingClock(options.Input, mode, choice.Channel,
                                                              options.ClockOffset, options.Gain,
                                                              ClockMeasureSeconds, error);
        if (!estimate) return Fail(report, error);
        if (estimate->Valid) {
            clock = estimate;
            const analysis::ClockSetting setting =
                analysis::SplitClockCorrection(estimate->TotalPpm);
            options.ClockPpm = setting.ClockPpm;
            options.ClockOffset = setting.ClockOffset;
            std::fprintf(stderr, "%s\n", analysis::ClockLine(*estimate).c_str());
        } else {
            std::fprintf(stderr, "clock: not measured (no steady sync peak); %+.1f ppm kept\n",
                         static_cast<double>(options.ClockOffset * 1000000.0L));
        }
    }
    const long double correction = options.ClockOffset + options.ClockPpm / 1000000.0L;
    if (options.LagAuto) {
        const auto placement = analysis::FindRecordingPaths(
            options.Input, mode, choice.Channel, correction, options.Gain, analysis::TrialSeconds,
            PathsSteadySeconds, error);
        if (!placement) return Fail(report, error);
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
    }

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
        const double duration = double(recording->Info().Frames) / recording->Info().FileRate;
        run.StartSeconds = options.StartSeconds >= 0
                               ? options.StartSeconds
                               : RecordingStartSeconds(options.Input, duration);
    }
    run.ChannelCsv = options.ChannelCsv;
    run.StartMs = RecordingStartMs(options.Input,
                                   double(recording->Info().Frames) / recording->Info().FileRate,
                                   options.StartSeconds);
    BlockRun blocks(std::move(run));
    if (!blocks.Open(error)) return Fail(report, error);

    // Progress for long recordings: a line every tenth of the way.
    const int64_t expected = int64_t(double(recording->Info().Frames) *
                                     recording->Info().OutputRate / recording->Info().FileRate);
    const bool longRun = expected > int64_t(300) * recording->Info().OutputRate;
    int nextTenth = 1;
    std::vector<int16_t> buffer(dsp::BlockLen);
    for (;;) {
        if (longRun && blocks.SamplesFed() * 10 >= expected * nextTenth && nextTenth < 10) {
            std::fprintf(stderr, "propmon: %d%% of %s\n", nextTenth * 10, options.Input.c_str());
            ++nextTenth;
        }
        std::fill(buffer.begin(), buffer.end(), 0);
        const int64_t got = recording->Read(buffer.data(), dsp::BlockLen);
        if (got <= 0) break;
        blocks.Feed(buffer.data(), got);
        const int64_t bufferStart = blocks.SamplesFed();
        if (report.On && bufferStart % (ReportEveryBuffers * dsp::BlockLen) == 0)
            report.Progress(blocks.Blocks(), double(bufferStart) / recording->Info().OutputRate);
        // After a read error what was read is processed and kept; the rest of
        // the file is lost to us and the run fails below.
        if (!recording->Error().empty() || got < dsp::BlockLen) break;
    }
    const std::string readError = recording->Error();
    blocks.EndOfInput();
    if (report.On) {
        ChildSummary summary;
        summary.DurationS = double(recording->Info().Frames) / recording->Info().FileRate;
        summary.Blocks = blocks.Blocks();
        summary.LockedShare = blocks.Tally().Share();
        summary.Mode = dsp::ModeInfoOf(mode).Name;
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

    if (!blocks.CommitTable(error)) return Fail(report, error);
    std::fprintf(stderr, "propmon: %lld blocks of %s written to %s\n",
                 static_cast<long long>(blocks.Blocks()), options.Input.c_str(),
                 options.Csv.c_str());
    // Say what became of the end of the recording: a file cut short (its
    // header promises more than it holds) and the samples after the last
    // whole block, which show nowhere.
    const int64_t announced = recording->Info().Frames;
    if (!recording->Info().HeaderMismatch.empty()) {
        std::fprintf(stderr,
                     "propmon: the header of %s does not match the file (%s); the %lld samples "
                     "it holds were read\n",
                     options.Input.c_str(), recording->Info().HeaderMismatch.c_str(),
                     static_cast<long long>(recording->FramesRead()));
    } else if (readError.empty() && recording->FramesRead() < announced) {
        std::fprintf(stderr,
                     "propmon: %s ends after %lld of the %lld samples its header announces\n",
                     options.Input.c_str(), static_cast<long long>(recording->FramesRead()),
                     static_cast<long long>(announced));
    }
    const int64_t leftOver = blocks.LeftOver();
    if (leftOver == 1) std::fprintf(stderr, "propmon: the last sample makes no whole block\n");
    if (leftOver > 1) {
        std::fprintf(stderr, "propmon: the last %lld samples make no whole block\n",
                     static_cast<long long>(leftOver));
    }
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
