// SPDX-License-Identifier: GPL-3.0-or-later
// The command line of propmon --batch: its help, its options, and what they
// ask for, checked.
#include "receiver/runners/batch_options.h"

#include <cmath>
#include <cstdio>
#include <filesystem>

#include "receiver/dsp/modes.h"
#include "receiver/io/iq_recording.h"
#include "receiver/runners/archive_batch.h"
#include "receiver/session/command_line.h"

namespace runners {

namespace {

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

} // namespace

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

std::string BatchUsage() {
    return Synopsis + session::OptionsHelp(BatchOptionList()).toStdString() + ExitText;
}

BatchOptions ParseBatchOptions(const QCommandLineParser& parser) {
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

} // namespace runners
