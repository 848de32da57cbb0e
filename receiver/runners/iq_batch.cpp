// SPDX-License-Identifier: GPL-3.0-or-later
// propmon --batch over an IQ recording: the recording is read once; one filter
// bank hands every tuned carrier's front end its band, and each front end
// hands its own receiver (the whole chain, as on a recording of audio) what
// an upper-sideband receiver tuned to that carrier would give.
#include "receiver/runners/iq_batch.h"

#include <cmath>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <memory>
#include <set>

#include <QCoreApplication>
#include <QGuiApplication>

#include "receiver/analysis/acquisition_monitor.h"
#include "receiver/analysis/iq_survey.h"
#include "receiver/analysis/recording_survey.h"
#include "receiver/analysis/signal_finder.h"
#include "receiver/io/iq_front_end.h"
#include "receiver/io/iq_recording.h"
#include "receiver/runners/archive_recordings.h"
#include "receiver/runners/block_run.h"
#include "receiver/session/command_line.h"

namespace runners {

namespace {

namespace fs = std::filesystem;

constexpr int64_t ReadChunk = 1 << 16;
// --clock-ppm auto measures over at most this much of the recording.
constexpr double ClockMeasureSeconds = 600.0;
// --lag-offset auto places the paths once the lock has held this long.
constexpr double PathsSteadySeconds = 5.0;

struct Channel {
    double OffsetHz = 0.0;
    double FrequencyHz = 0.0; // absolute where the centre is known, else the offset
    int32_t Mode = 0;         // 0: to be chosen
    long double ClockOffset = 0.0L;
    long double ClockPpm = 0.0L;
    std::optional<analysis::ClockEstimate> Clock; // measured (--clock-ppm auto)
    int32_t LagOffset = 0;
    std::string Name;
    std::string Output; // in the output folder: NAME/ or NAME.csv
    std::unique_ptr<BlockRun> Run;
    std::string Failure; // why its outputs are not whole
};

const char* ModeName(int32_t mode) {
    return mode == dsp::ModeNato ? "NATO" : "AMATEUR";
}

const char* ModeText(int32_t mode) {
    return mode == dsp::ModeNato ? "NATO (2400 baud, 1800 Hz)" : "AMATEUR (2000 baud, 1500 Hz)";
}

int Failed(const std::string& reason) {
    std::fprintf(stderr, "propmon: %s\n", reason.c_str());
    return session::ExitFailure;
}

// Time of day of the first sample in local time: from the start the
// recording states (UTC), else its modification time less its duration.
int32_t IqStartSeconds(const io::IqRecordingInfo& info) {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0;
    double second = 0.0;
    if (std::sscanf(info.StartTime.c_str(), "%d-%d-%dT%d:%d:%lf", &year, &month, &day, &hour,
                    &minute, &second) == 6) {
        std::tm utc{};
        utc.tm_year = year - 1900;
        utc.tm_mon = month - 1;
        utc.tm_mday = day;
        utc.tm_hour = hour;
        utc.tm_min = minute;
        utc.tm_sec = int(second);
        const std::time_t t = timegm(&utc);
        std::tm local{};
        localtime_r(&t, &local);
        return (local.tm_hour * 60 + local.tm_min) * 60 + local.tm_sec;
    }
    return RecordingStartSeconds(info.DataPath, double(info.Frames) / info.SampleRate);
}

std::string Hz(double frequencyHz) {
    char text[48];
    std::snprintf(text, sizeof text, "%.0f Hz", std::nearbyint(frequencyHz));
    return text;
}

std::string Number(const char* format, double value) {
    if (!std::isfinite(value)) return {};
    char text[48];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// A channel on `offset` from the centre, with the request's clock and lag.
Channel NewChannel(const IqBatchRequest& request, double offset, int32_t mode) {
    Channel c;
    c.OffsetHz = offset;
    c.Mode = mode;
    c.ClockOffset = request.ClockOffset;
    c.ClockPpm = request.ClockPpm;
    c.LagOffset = request.LagOffset;
    return c;
}

// --tune all: a channel on every carrier found, tuned as a receiver would be,
// to the whole hertz (the chain's Doppler then shows the signal's shift from
// there).  False (the status in `status`) when the recording cannot be read.
bool AddFoundChannels(const IqBatchRequest& request, std::optional<double> centre,
                      std::vector<Channel>& channels, int& status) {
    analysis::FinderOptions finder;
    finder.AsIq = request.AsIq;
    finder.CentreHz = centre;
    std::string error;
    const auto found = analysis::FindSignals(request.Input, finder, error);
    if (!found) {
        status = Failed(error);
        return false;
    }
    for (const analysis::FoundSignal& f : *found) {
        std::fprintf(stderr, "found: %s, %s, SNR %.1f dB, locked %.2f\n", Hz(f.FrequencyHz).c_str(),
                     ModeName(f.Mode), f.SnrDb, f.LockedShare);
        const double offset =
            centre ? std::nearbyint(*centre + f.OffsetHz) - *centre : std::nearbyint(f.OffsetHz);
        channels.push_back(NewChannel(request, offset, request.Mode ? request.Mode : f.Mode));
    }
    return true;
}

// Every carrier must lie inside the recording with its whole band (of each
// mode it may be run in); false, told, when one does not.
bool ChannelsFit(const std::string& file, const io::IqRecordingInfo& info,
                 std::optional<double> centre, std::vector<Channel>& channels) {
    const double half = info.SampleRate / 2.0;
    for (Channel& c : channels) {
        c.FrequencyHz = centre ? *centre + c.OffsetHz : c.OffsetHz;
        for (const int32_t mode : {dsp::ModeNato, dsp::ModeAmateur}) {
            if (c.Mode != 0 && c.Mode != mode) continue;
            const io::ModeAudio audio = io::AudioForMode(mode);
            const double bandCentre = c.OffsetHz - audio.CarrierHz + audio.Rate / 4.0;
            if (std::abs(bandCentre) + audio.StopHz <= half) continue;
            std::fprintf(stderr,
                         "propmon: %s lies outside %s (%s %+.0f Hz: its %s band does not fit)\n",
                         Hz(c.FrequencyHz).c_str(), file.c_str(),
                         centre ? Hz(*centre).c_str() : "centre", half, ModeName(mode));
            return false;
        }
    }
    return true;
}

// The mode of each carrier not given one: the one that locks best.
bool ChooseMissingModes(const IqBatchRequest& request, std::vector<Channel>& channels,
                        std::string& error) {
    std::vector<double> offsets;
    for (const Channel& c : channels)
        if (c.Mode == 0) offsets.push_back(c.OffsetHz);
    if (offsets.empty()) return true;
    const auto modes =
        analysis::ChooseModes(request.Input, request.AsIq, offsets, analysis::TrialSeconds, error);
    if (!modes) return false;
    size_t next = 0;
    for (Channel& c : channels)
        if (c.Mode == 0) c.Mode = (*modes)[next++].Mode;
    return true;
}

// One receiver a carrier: the channels named, a carrier tuned twice run once.
std::vector<Channel> UniqueChannels(std::vector<Channel>& channels) {
    std::vector<Channel> unique;
    std::set<std::string> names;
    for (Channel& c : channels) {
        c.Name = ChannelName(c.FrequencyHz);
        if (!names.insert(c.Name).second) {
            std::fprintf(stderr, "propmon: %s is tuned twice; it is run once\n",
                         Hz(c.FrequencyHz).c_str());
            continue;
        }
        std::fprintf(stderr, "%s: mode %s\n", Hz(c.FrequencyHz).c_str(), ModeText(c.Mode));
        unique.push_back(std::move(c));
    }
    return unique;
}

// The channels asked for, with their modes; an empty list when there is
// nothing to tune to.  Nothing (the status in `status`) on a failure.
std::optional<std::vector<Channel>> ChannelsAsked(const IqBatchRequest& request,
                                                  const io::IqRecordingInfo& info,
                                                  std::optional<double> centre, int& status) {
    if (!request.TunesHz.empty() && !centre) {
        std::fprintf(stderr,
                     "propmon: the centre frequency of %s is unknown: give --centre HZ, or tune "
                     "by --offset HZ from the centre\n",
                     request.Input.c_str());
        status = session::ExitUsage;
        return std::nullopt;
    }
    std::vector<Channel> channels;
    for (const double tune : request.TunesHz)
        channels.push_back(NewChannel(request, tune - *centre, request.Mode));
    for (const double offset : request.OffsetsHz)
        channels.push_back(NewChannel(request, offset, request.Mode));
    if (request.TuneAll && !AddFoundChannels(request, centre, channels, status))
        return std::nullopt;
    if (!ChannelsFit(request.Input, info, centre, channels)) {
        status = session::ExitUsage;
        return std::nullopt;
    }
    std::string error;
    if (!ChooseMissingModes(request, channels, error)) {
        status = Failed(error);
        return std::nullopt;
    }
    return UniqueChannels(channels);
}

// --clock-ppm auto and --lag-offset auto, each channel as a recording of its
// audio: its clock error measured, then its paths placed with it.
bool Survey(const IqBatchRequest& request, std::vector<Channel>& channels,
            const std::vector<io::ChannelTuning>& tunings, std::string& error) {
    if (request.ClockAuto) {
        const auto clocks = analysis::MeasureChannelClocks(request.Input, request.AsIq, tunings,
                                                           request.ClockOffset, request.Gain,
                                                           ClockMeasureSeconds, error);
        if (!clocks) return false;
        for (size_t i = 0; i < channels.size(); ++i) {
            Channel& c = channels[i];
            const analysis::ClockEstimate& estimate = (*clocks)[i];
            if (!estimate.Valid) {
                std::fprintf(
                    stderr, "%s: clock: not measured (no steady sync peak); %+.1f ppm kept\n",
                    Hz(c.FrequencyHz).c_str(), static_cast<double>(c.ClockOffset * 1000000.0L));
                continue;
            }
            c.Clock = estimate;
            const analysis::ClockSetting setting =
                analysis::SplitClockCorrection(estimate.TotalPpm);
            c.ClockPpm = setting.ClockPpm;
            c.ClockOffset = setting.ClockOffset;
            std::fprintf(stderr, "%s: %s\n", Hz(c.FrequencyHz).c_str(),
                         analysis::ClockLine(estimate).c_str());
        }
    }
    if (request.LagAuto) {
        std::vector<long double> corrections;
        for (const Channel& c : channels)
            corrections.push_back(c.ClockOffset + c.ClockPpm / 1000000.0L);
        const auto placements = analysis::FindChannelPaths(
            request.Input, request.AsIq, tunings, corrections, request.Gain, analysis::TrialSeconds,
            PathsSteadySeconds, error);
        if (!placements) return false;
        for (size_t i = 0; i < channels.size(); ++i) {
            Channel& c = channels[i];
            const analysis::PathPlacementResult& p = (*placements)[i];
            if (!p.Found) {
                std::fprintf(stderr,
                             "%s: lag offset: %d (no steady sync peak in the first minute)\n",
                             Hz(c.FrequencyHz).c_str(), c.LagOffset);
                continue;
            }
            c.LagOffset = p.LagOffset;
            std::fprintf(stderr, "%s: lag offset: %d (strongest path at lag %d, %.1f s in)\n",
                         Hz(c.FrequencyHz).c_str(), p.LagOffset,
                         (p.LagOffset + analysis::PathPlacementLags) % dsp::BasebandLen,
                         p.AtSeconds);
        }
    }
    return true;
}

std::string SummaryText(const std::string& file, const std::vector<Channel>& channels,
                        double durationS) {
    std::string text = "file,frequency_hz,offset_hz,mode,output,duration_s,blocks,locked_share,"
                       "median_snr_db,clock_ppm,clock_uncertainty_ppm,exit_reason\n";
    for (const Channel& c : channels) {
        const BlockRun& run = *c.Run;
        const std::string reason = !c.Failure.empty()       ? c.Failure
                                   : run.Tally().NoSignal() ? "no signal"
                                                            : "ok";
        text += Cell(file) + "," + Number("%.0f", std::nearbyint(c.FrequencyHz)) + "," +
                Number("%.1f", c.OffsetHz) + "," + ModeName(c.Mode) + "," + Cell(c.Output) + "," +
                Number("%.3f", durationS) + "," + std::to_string(run.Blocks()) + "," +
                Number("%.3f", run.Tally().Share()) + "," + Number("%.1f", run.MedianSnrDb()) +
                "," + (c.Clock ? Number("%.2f", c.Clock->TotalPpm) : "") + "," +
                (c.Clock ? Number("%.2f", c.Clock->UncertaintyPpm) : "") + "," + Cell(reason) +
                "\n";
    }
    return text;
}

// The recording's centre: its own where it says, else --centre; both told.
std::optional<double> ReportRecording(const IqBatchRequest& request,
                                      const io::IqRecordingInfo& info) {
    const std::optional<double> centre = info.CentreHz ? info.CentreHz : request.CentreHz;
    if (info.CentreHz && request.CentreHz && *info.CentreHz != *request.CentreHz) {
        std::fprintf(stderr, "propmon: %s is centred on %s (its %s); --centre %s is not used\n",
                     request.Input.c_str(), Hz(*info.CentreHz).c_str(), info.CentreFrom.c_str(),
                     Hz(*request.CentreHz).c_str());
    }
    std::fprintf(stderr, "propmon: %s: IQ, %s, %.0f samples/s, centre %s\n", request.Input.c_str(),
                 info.SampleTypeName.c_str(), info.SampleRate,
                 centre ? Hz(*centre).c_str() : "unknown");
    if (!info.Note.empty()) std::fprintf(stderr, "propmon: %s\n", info.Note.c_str());
    return centre;
}

// Each channel's receiver, its table (and pictures) in `dir`.
bool OpenRuns(const IqBatchRequest& request, const fs::path& dir, int32_t start,
              std::vector<Channel>& channels, std::string& error) {
    for (Channel& c : channels) {
        BlockRunSettings run;
        if (request.OutDir.empty()) {
            c.Output = c.Name + ".csv";
            run.Csv = (dir / c.Output).string();
        } else {
            c.Output = c.Name + "/";
            run.Out = (dir / c.Name).string();
            run.Csv = (dir / c.Name / "blocks.csv").string();
        }
        run.Mode = c.Mode;
        run.ClockOffset = c.ClockOffset;
        run.ClockPpm = c.ClockPpm;
        run.Gain = request.Gain;
        run.Average = request.Average;
        run.LagOffset = c.LagOffset;
        run.DopplerShift = request.DopplerShift;
        run.StartSeconds = start;
        c.Run = std::make_unique<BlockRun>(std::move(run));
        if (!c.Run->Open(error)) return false;
    }
    return true;
}

// The recording read once, every channel's audio to its receiver; the
// reader's error, if it failed part way, else an empty string.
std::string FeedRecording(const IqBatchRequest& request, io::IqRecordingReader& reader,
                          io::IqFrontEnds& frontEnds, std::vector<Channel>& channels) {
    const io::IqRecordingInfo info = reader.Info();
    const io::AudioSink sink = [&](int32_t channel, const int16_t* samples, int32_t count) {
        channels[size_t(channel)].Run->Feed(samples, count);
    };
    const bool longRun = double(info.Frames) / info.SampleRate > 300.0;
    int nextTenth = 1;
    std::vector<io::IqSample> buffer(ReadChunk);
    int64_t done = 0;
    std::string readError;
    for (;;) {
        if (longRun && done * 10 >= info.Frames * nextTenth && nextTenth < 10) {
            std::fprintf(stderr, "propmon: %d%% of %s\n", nextTenth * 10, request.Input.c_str());
            ++nextTenth;
        }
        const int64_t got = reader.Read(buffer.data(), ReadChunk);
        if (got < 0) readError = reader.Error();
        if (got <= 0) break;
        frontEnds.Feed(buffer.data(), size_t(got), sink);
        done += got;
    }
    frontEnds.Finish(sink);
    return readError;
}

// A channel's table and pictures put in place; what kept them from being
// whole in its Failure.
void FinishChannel(Channel& c, const std::string& readError) {
    BlockRun& run = *c.Run;
    std::string error;
    if (!run.CommitTable(error)) {
        c.Failure = error;
    } else {
        std::fprintf(stderr, "propmon: %lld blocks of %s written to %s\n",
                     static_cast<long long>(run.Blocks()), Hz(c.FrequencyHz).c_str(),
                     run.Settings().Csv.c_str());
    }
    if (run.Painting()) {
        if (!run.WritePanels()) {
            c.Failure = "cannot write the panel pictures into " + run.Settings().Out;
        } else {
            std::fprintf(stderr, "propmon: %lld snapshots and the five panels written below %s\n",
                         static_cast<long long>(run.SnapshotsWritten()),
                         run.Settings().Out.c_str());
        }
        if (run.SnapshotsFailed() > 0 && c.Failure.empty()) {
            c.Failure = std::to_string(run.SnapshotsFailed()) +
                        " snapshots could not be written below " + run.Settings().Out;
        }
    }
    if (!readError.empty() && c.Failure.empty())
        c.Failure =
            readError + " (the " + std::to_string(run.Blocks()) + " blocks before it are kept)";
}

} // namespace

std::string ChannelName(double frequencyHz) {
    return Number("%.0f", std::nearbyint(frequencyHz)) + "Hz";
}

int RunIqBatch(const IqBatchRequest& request) {
    const std::unique_ptr<QCoreApplication> app = MakeApplication(!request.OutDir.empty());
    std::string error;
    auto reader = io::IqRecordingReader::Open(request.Input, request.AsIq, error);
    if (!reader) return Failed(error);
    const io::IqRecordingInfo info = reader->Info();
    const std::optional<double> centre = ReportRecording(request, info);

    int status = session::ExitSuccess;
    auto asked = ChannelsAsked(request, info, centre, status);
    if (!asked) return status;
    std::vector<Channel> channels = std::move(*asked);
    const fs::path dir = request.OutDir.empty() ? request.CsvDir : request.OutDir;
    std::error_code made;
    fs::create_directories(dir, made);
    if (made) return Failed("cannot create " + dir.string() + ": " + made.message());
    const double durationS = double(info.Frames) / info.SampleRate;
    if (channels.empty()) {
        std::fprintf(stderr, "no STANAG 4285 signal found in %s\n", request.Input.c_str());
        if (!WriteWhole(dir / "summary.csv", SummaryText(request.Input, channels, durationS),
                        error))
            return Failed(error);
        return session::ExitNoSignal;
    }

    std::vector<io::ChannelTuning> tunings;
    for (const Channel& c : channels)
        tunings.push_back({c.OffsetHz, c.Mode, 0.0f});
    if (!Survey(request, channels, tunings, error)) return Failed(error);
    const int32_t start = request.StartSeconds >= 0 ? request.StartSeconds : IqStartSeconds(info);
    if (!OpenRuns(request, dir, start, channels, error)) return Failed(error);
    auto frontEnds = io::IqFrontEnds::Create(info.SampleRate, tunings, error);
    if (!frontEnds) return Failed(error);
    const std::string readError = FeedRecording(request, *reader, *frontEnds, channels);

    bool failed = false, noSignal = false;
    for (Channel& c : channels) {
        FinishChannel(c, readError);
        if (!c.Failure.empty()) {
            std::fprintf(stderr, "propmon: %s: %s\n", Hz(c.FrequencyHz).c_str(), c.Failure.c_str());
            failed = true;
        } else if (c.Run->Tally().NoSignal()) {
            std::fprintf(stderr, "no STANAG 4285 signal found at %s in %s\n",
                         Hz(c.FrequencyHz).c_str(), request.Input.c_str());
            noSignal = true;
        }
    }
    if (!WriteWhole(dir / "summary.csv", SummaryText(request.Input, channels, durationS), error))
        return Failed(error);
    std::fprintf(stderr, "propmon: %zu channels of %s; summary in %s\n", channels.size(),
                 request.Input.c_str(), (dir / "summary.csv").c_str());
    if (failed) return session::ExitFailure;
    return noSignal ? session::ExitNoSignal : session::ExitSuccess;
}

} // namespace runners
