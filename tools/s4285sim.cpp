// SPDX-License-Identifier: GPL-3.0-or-later
// s4285sim: writes a STANAG 4285 test recording through a simulated HF channel.
#include "s4285gen/s4285gen.h"

#include <sndfile.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
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

s4285gen::Path ParsePath(const std::string& text) {
    std::vector<double> fields;
    std::size_t start = 0;
    while (true) {
        const std::size_t comma = text.find(',', start);
        fields.push_back(ParseNumber("--path", text.substr(start, comma - start)));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
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
    if (o.Demo && !o.Paths.empty()) throw UsageError{"--demo and --path exclude each other"};
    return o;
}

s4285gen::Config MakeConfig(const Options& o) {
    s4285gen::Config c = o.Amateur ? s4285gen::AmateurConfig() : s4285gen::NatoConfig();
    if (o.Demo) c = s4285gen::LiveDemoConfig(c.SampleRate);
    if (!o.Paths.empty()) c.Paths = o.Paths;
    if (o.SnrDb) c.SnrDb = *o.SnrDb;
    if (o.ClockPpm) c.ClockPpm = *o.ClockPpm;
    if (o.LevelDbfs) c.LevelDbfs = *o.LevelDbfs;
    c.Seed = o.Seed;
    return c;
}

std::string SndError(SNDFILE* f) {
    return sf_strerror(f);
}

// Writes the whole recording to a fresh temporary file beside `out` and renames it
// into place, so an existing file is never left half written. Returns an error text.
std::string WriteRecording(const s4285gen::Config& config, const Options& o) {
    const std::string tempTemplate = o.Output + ".XXXXXX";
    std::vector<char> tempName(tempTemplate.begin(), tempTemplate.end());
    tempName.push_back('\0');
    const int fd = mkstemp(tempName.data());
    if (fd < 0) return "cannot create " + o.Output + ": " + std::strerror(errno);
    const std::string temp(tempName.data());
    // mkstemp makes the file private; give it the mode an ordinary new file would get.
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);

    auto fail = [&](const std::string& why) {
        std::remove(temp.c_str());
        return why;
    };

    SF_INFO info{};
    info.samplerate = config.SampleRate;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | (o.FloatSamples ? SF_FORMAT_FLOAT : SF_FORMAT_PCM_16);
    SNDFILE* file = sf_open_fd(fd, SFM_WRITE, &info, SF_TRUE);
    if (!file) {
        const std::string why = SndError(nullptr);
        close(fd);
        return fail("cannot write " + o.Output + ": " + why);
    }

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
            return fail("cannot write " + o.Output + ": " + why);
        }
        done += n;
    }
    sf_write_sync(file);
    if (const int err = sf_close(file); err != 0)
        return fail("cannot write " + o.Output + ": " + sf_error_number(err));
    if (std::rename(temp.c_str(), o.Output.c_str()) != 0)
        return fail("cannot write " + o.Output + ": " + std::strerror(errno));
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
