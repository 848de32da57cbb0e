// SPDX-License-Identifier: GPL-3.0-or-later
// s4285sim: writes a STANAG 4285 test recording through a simulated HF channel.
#include "s4285gen/channels.h"
#include "s4285gen/s4285gen.h"

#include <sndfile.h>

#include "savefile/pending_file.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int ExitOk = 0;
constexpr int ExitFailure = 1;
constexpr int ExitUsage = 2;
constexpr double MaxSeconds = 24 * 3600;

const char* const UsageText =
    "Usage: s4285sim -o OUT.wav [options]\n"
    "Writes a STANAG 4285 test recording as a sound card would record it from an HF\n"
    "receiver: frames of the 80-symbol preamble and 176 random 8-PSK symbols, sent over\n"
    "a multipath channel with noise.\n"
    "\n"
    "Options:\n"
    "  -o, --output FILE    output WAV file (mono); written under a temporary name and\n"
    "                       renamed into place when complete\n"
    "  --mode nato|amateur  nato: 9600 Hz, 2400 baud on 1800 Hz (default);\n"
    "                       amateur: 8000 Hz, 2000 baud on 1500 Hz\n"
    "  --seconds S          length in seconds, up to 86400 (default 10)\n"
    "  --path D,G,F[,S[,DH,DP]]\n"
    "                       a propagation path: delay D ms (0..1000), gain G dB,\n"
    "                       Doppler shift F Hz (+F arrives above the carrier), Gaussian\n"
    "                       Doppler spread S Hz (two-sided width, default 0 = no fading),\n"
    "                       sinusoidal Doppler drift of DH Hz amplitude and DP s period;\n"
    "                       repeat for more paths (default one path 0,0,0)\n"
    "  --demo               a lively three-path channel with drift and fading instead\n"
    "                       of --path\n"
    "  --channel NAME       a standard HF test channel instead of --path: two equal\n"
    "                       paths, each fading (Watterson): quiet (0.5 ms, 0.5 Hz),\n"
    "                       good (0.5 ms, 0.1 Hz), moderate (1 ms, 0.5 Hz), poor (2 ms,\n"
    "                       1 Hz), flutter (0.5 ms, 10 Hz), disturbed (7 ms, 30 Hz);\n"
    "                       with its own seed unless --seed is given\n"
    "  --tone HZ,DB         a steady carrier at HZ, DB against the signal's power\n"
    "                       (repeat for more)\n"
    "  --other OFFSET,DB[,DELAY[,S]]\n"
    "                       a second STANAG 4285 signal OFFSET Hz from the carrier, DB\n"
    "                       against ours, DELAY ms late (default 37), fading with\n"
    "                       spread S Hz (default none); repeat for more\n"
    "  --audio speech|music[,DB]\n"
    "                       speech- or music-like audio in the passband, DB against\n"
    "                       the signal's power (default 0)\n"
    "  --no-signal          leave the STANAG 4285 signal out (noise, carriers, audio\n"
    "                       only; their levels still count against its power)\n"
    "  --dropout START,S[,held]\n"
    "                       the input dead for S seconds from START: silent, or held\n"
    "                       at the last value (repeat for more)\n"
    "  --clip DBFS          the recording clips at DBFS (sample amplitude, float too)\n"
    "  --snr DB             signal to noise ratio, noise over 0..fs/2 (default 30)\n"
    "  --clock-ppm N        sound-card clock error: the card samples at fs*(1+N*1e-6)\n"
    "                       (default 0)\n"
    "  --seed N             random seed, same seed same recording (default 1)\n"
    "  --level DBFS         RMS level, 0 dBFS = RMS of full scale (default -16)\n"
    "  --float              32-bit float samples instead of 16-bit PCM\n"
    "  -h, --help           this text\n"
    "  --version            program version\n"
    "\n"
    "Exit status: 0 written, 1 failure, 2 bad usage.\n";

struct Options {
    std::string Output;
    bool Amateur = false;
    double Seconds = 10;
    std::vector<s4285gen::Path> Paths;
    bool Demo = false;
    std::optional<s4285gen::Watterson> Channel;
    bool SeedGiven = false;
    s4285gen::Disturbances Extra;
    std::optional<double> SnrDb, ClockPpm, LevelDbfs;
    uint64_t Seed = 1;
    bool FloatSamples = false;
};

struct UsageError {
    std::string Message;
};

double ParseNumber(const std::string& option, const std::string& text) {
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(begin, &end);
    if (text.empty() || end != begin + text.size() || errno == ERANGE || !std::isfinite(v))
        throw UsageError{option + ": not a number: '" + text + "'"};
    return v;
}

uint64_t ParseSeed(const std::string& text) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
        throw UsageError{"--seed: not a whole number: '" + text + "'"};
    errno = 0;
    const unsigned long long v = std::strtoull(text.c_str(), nullptr, 10);
    if (errno == ERANGE) throw UsageError{"--seed: too large: '" + text + "'"};
    return v;
}

// The comma-separated fields of an option's value.
std::vector<std::string> Fields(const std::string& text) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    while (true) {
        const std::size_t comma = text.find(',', start);
        fields.push_back(text.substr(start, comma - start));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return fields;
}

std::vector<double> Numbers(const std::string& option, const std::vector<std::string>& fields) {
    std::vector<double> numbers;
    for (const std::string& f : fields)
        numbers.push_back(ParseNumber(option, f));
    return numbers;
}

s4285gen::Path ParsePath(const std::string& text) {
    const std::vector<double> fields = Numbers("--path", Fields(text));
    if (fields.size() != 3 && fields.size() != 4 && fields.size() != 6)
        throw UsageError{"--path: expected D,G,F or D,G,F,S or D,G,F,S,DH,DP: '" + text + "'"};
    s4285gen::Path p;
    p.DelayMs = fields[0];
    p.GainDb = fields[1];
    p.DopplerHz = fields[2];
    if (fields.size() >= 4) p.SpreadHz = fields[3];
    if (fields.size() == 6) {
        p.DriftHz = fields[4];
        p.DriftPeriodS = fields[5];
    }
    return p;
}

// The channel and what disturbs it: true when `arg` was one of these.
bool ParseChannelOption(const std::string& arg, const std::function<std::string()>& value,
                        Options& o) {
    if (arg == "--channel") {
        const std::string name = value();
        o.Channel = s4285gen::WattersonByName(name);
        if (!o.Channel)
            throw UsageError{"--channel: unknown channel '" + name +
                             "' (quiet, good, moderate, poor, flutter, disturbed)"};
    } else if (arg == "--tone") {
        const auto f = Numbers(arg, Fields(value()));
        if (f.size() != 2) throw UsageError{"--tone: expected HZ,DB"};
        o.Extra.Tones.push_back({.Hz = f[0], .LevelDb = f[1]});
    } else if (arg == "--other") {
        const auto f = Numbers(arg, Fields(value()));
        if (f.size() < 2 || f.size() > 4)
            throw UsageError{"--other: expected OFFSET,DB[,DELAY[,S]]"};
        s4285gen::OtherSignal other{.OffsetHz = f[0], .LevelDb = f[1]};
        if (f.size() >= 3) other.DelayMs = f[2];
        if (f.size() == 4) other.SpreadHz = f[3];
        o.Extra.OtherSignals.push_back(other);
    } else if (arg == "--audio") {
        const auto fields = Fields(value());
        if (fields[0] == "speech")
            o.Extra.Audio = s4285gen::AudioKind::SpeechLike;
        else if (fields[0] == "music")
            o.Extra.Audio = s4285gen::AudioKind::MusicLike;
        else
            throw UsageError{"--audio: expected speech or music: '" + fields[0] + "'"};
        if (fields.size() > 2) throw UsageError{"--audio: expected speech|music[,DB]"};
        if (fields.size() == 2) o.Extra.AudioLevelDb = ParseNumber(arg, fields[1]);
    } else if (arg == "--dropout") {
        auto fields = Fields(value());
        const bool held = fields.size() == 3 && fields[2] == "held";
        if (held) fields.pop_back();
        const auto f = Numbers(arg, fields);
        if (f.size() != 2) throw UsageError{"--dropout: expected START,S[,held]"};
        o.Extra.Dropouts.push_back({.StartS = f[0], .Seconds = f[1], .Held = held});
    } else if (arg == "--clip") {
        o.Extra.ClipDbfs = ParseNumber(arg, value());
    } else {
        return false;
    }
    return true;
}

// Returns the options, or std::nullopt when --help/--version has been answered.
std::optional<Options> ParseArgs(int argc, char** argv) {
    Options o;
    bool haveOutput = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::optional<std::string> inlineValue;
        if (arg.rfind("--", 0) == 0) {
            if (const auto eq = arg.find('='); eq != std::string::npos) {
                inlineValue = arg.substr(eq + 1);
                arg.resize(eq);
            }
        }
        auto value = [&]() -> std::string {
            if (inlineValue) return *inlineValue;
            if (i + 1 >= argc) throw UsageError{arg + ": missing value"};
            return argv[++i];
        };
        auto noValue = [&] {
            if (inlineValue) throw UsageError{arg + ": takes no value"};
        };
        if (arg == "-h" || arg == "--help") {
            std::fputs(UsageText, stdout);
            return std::nullopt;
        } else if (arg == "--version") {
            std::printf("s4285sim %s\n", S4285SIM_VERSION);
            return std::nullopt;
        } else if (arg == "-o" || arg == "--output") {
            o.Output = value();
            if (o.Output.empty()) throw UsageError{"-o: empty file name"};
            haveOutput = true;
        } else if (arg == "--mode") {
            const std::string m = value();
            if (m == "nato")
                o.Amateur = false;
            else if (m == "amateur")
                o.Amateur = true;
            else
                throw UsageError{"--mode: unknown mode '" + m + "' (nato or amateur)"};
        } else if (arg == "--seconds") {
            o.Seconds = ParseNumber(arg, value());
            if (o.Seconds <= 0 || o.Seconds > MaxSeconds)
                throw UsageError{"--seconds: must be more than 0 and at most 86400"};
        } else if (arg == "--path") {
            o.Paths.push_back(ParsePath(value()));
        } else if (arg == "--demo") {
            noValue();
            o.Demo = true;
        } else if (arg == "--snr") {
            o.SnrDb = ParseNumber(arg, value());
        } else if (arg == "--clock-ppm") {
            o.ClockPpm = ParseNumber(arg, value());
        } else if (arg == "--seed") {
            o.Seed = ParseSeed(value());
            o.SeedGiven = true;
        } else if (arg == "--no-signal") {
            noValue();
            o.Extra.SignalOff = true;
        } else if (ParseChannelOption(arg, value, o)) {
        } else if (arg == "--level") {
            o.LevelDbfs = ParseNumber(arg, value());
        } else if (arg == "--float") {
            noValue();
            o.FloatSamples = true;
        } else {
            throw UsageError{"unknown option '" + arg + "'"};
        }
    }
    if (!haveOutput) throw UsageError{"no output file (-o OUT.wav)"};
    if (int(o.Demo) + int(!o.Paths.empty()) + int(o.Channel.has_value()) > 1)
        throw UsageError{"--demo, --path and --channel exclude each other"};
    return o;
}

s4285gen::Config MakeConfig(const Options& o) {
    s4285gen::Config c = o.Amateur ? s4285gen::AmateurConfig() : s4285gen::NatoConfig();
    if (o.Demo) c = s4285gen::LiveDemoConfig(c.SampleRate);
    if (!o.Paths.empty()) c.Paths = o.Paths;
    c.Seed = o.Seed;
    if (o.Channel) {
        c.Paths = s4285gen::WattersonPaths(*o.Channel);
        if (!o.SeedGiven) c.Seed = s4285gen::ChannelOf(*o.Channel).Seed;
    }
    if (o.SnrDb) c.SnrDb = *o.SnrDb;
    if (o.ClockPpm) c.ClockPpm = *o.ClockPpm;
    if (o.LevelDbfs) c.LevelDbfs = *o.LevelDbfs;
    c.Extra = o.Extra;
    return c;
}

std::string SndError(SNDFILE* f) {
    return sf_strerror(f);
}

// Writes the whole recording under a temporary name beside `out` and renames it
// into place, so an existing file is never left half written. Returns an error text.
std::string WriteRecording(const s4285gen::Config& config, const Options& o) {
    savefile::PendingFile pending;
    std::string error;
    if (!pending.Open(o.Output, error)) return error;
    // Every way out before the commit drops the temporary file.
    SF_INFO info{};
    info.samplerate = config.SampleRate;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | (o.FloatSamples ? SF_FORMAT_FLOAT : SF_FORMAT_PCM_16);
    SNDFILE* file = sf_open_fd(pending.Descriptor(), SFM_WRITE, &info, SF_FALSE);
    if (!file) return "cannot write " + o.Output + ": " + SndError(nullptr);

    s4285gen::Generator generator(config);
    const auto total = static_cast<sf_count_t>(std::llround(o.Seconds * config.SampleRate));
    constexpr sf_count_t chunk = 1 << 16;
    std::vector<int16_t> pcm(chunk);
    std::vector<float> samples(chunk);
    for (sf_count_t done = 0; done < total;) {
        const sf_count_t n = std::min(chunk, total - done);
        sf_count_t written;
        if (o.FloatSamples) {
            generator.GenerateFloat(samples.data(), std::size_t(n));
            written = sf_write_float(file, samples.data(), n);
        } else {
            generator.Generate(pcm.data(), std::size_t(n));
            written = sf_write_short(file, pcm.data(), n);
        }
        if (written != n) {
            const std::string why = SndError(file);
            sf_close(file);
            return "cannot write " + o.Output + ": " + why;
        }
        done += n;
    }
    if (const int err = sf_close(file); err != 0)
        return "cannot write " + o.Output + ": " + sf_error_number(err);
    if (!pending.Commit(error)) return error;
    return {};
}

} // namespace

int main(int argc, char** argv) {
    std::optional<Options> options;
    s4285gen::Config config;
    try {
        options = ParseArgs(argc, argv);
        if (!options) return ExitOk;
        config = MakeConfig(*options);
        if (const std::string why = s4285gen::CheckConfig(config); !why.empty())
            throw UsageError{why};
        if (std::llround(options->Seconds * config.SampleRate) < 1)
            throw UsageError{"--seconds: shorter than one sample"};
    } catch (const UsageError& e) {
        std::fprintf(stderr, "s4285sim: %s (see s4285sim --help)\n", e.Message.c_str());
        return ExitUsage;
    }
    try {
        if (const std::string why = WriteRecording(config, *options); !why.empty()) {
            std::fprintf(stderr, "s4285sim: %s\n", why.c_str());
            return ExitFailure;
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "s4285sim: %s\n", e.what());
        return ExitFailure;
    }
    return ExitOk;
}
