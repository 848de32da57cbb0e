// SPDX-License-Identifier: GPL-3.0-or-later
// s4285iq: writes an IQ recording of a band holding STANAG 4285 signals (from
// the generator, or s4285sim's recordings), CW carriers and noise.
#include <sndfile.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "receiver/io/iq_writer.h"
#include "s4285gen/iq_synth.h"

namespace {

const char* const Usage =
    "Usage: s4285iq -o OUT --rate HZ [options]\n"
    "Writes an IQ recording of a band: STANAG 4285 signals at chosen offsets from the\n"
    "centre, CW carriers and white noise.\n"
    "\n"
    "  -o, --output FILE     the recording (SigMF: the stem or either file's name)\n"
    "  --rate HZ             IQ samples per second (at least 8000)\n"
    "  --format F            wav16 (default), wavf (float), sigmf or raw\n"
    "  --type T              SigMF and raw samples: cu8, cs16 (default) or cf32\n"
    "  --centre HZ           the centre frequency (WAV: auxi chunk; SigMF: core:frequency)\n"
    "  --start ISO8601       the start time, e.g. 2024-03-01T10:15:00Z\n"
    "  --seconds S           length (default 60)\n"
    "  --noise DB|off        white noise, its power in 3 kHz in dB of full scale (default -60)\n"
    "  --signal OFF,MODE,SNR[,SPREAD[,SEED]]\n"
    "                        a STANAG 4285 carrier OFF Hz from the centre, nato or amateur,\n"
    "                        SNR dB over the noise in 3 kHz, one path with Rayleigh fading\n"
    "                        of SPREAD Hz (default none); repeat for more\n"
    "  --audio WAV,OFF[,DB]  an s4285sim recording (its rate gives the mode) as the audio of\n"
    "                        an upper-sideband receiver tuned to OFF Hz; DB scales it\n"
    "                        (default 0: the IQ power is twice the audio's)\n"
    "  --cw OFF,DB           a carrier OFF Hz from the centre at DB of full scale\n"
    "  -h, --help            this text\n"
    "  --version             program version\n"
    "\n"
    "Exit status: 0 written, 1 failure, 2 bad usage.\n";

struct UsageError {
    std::string Message;
};

double Number(const std::string& option, const std::string& text) {
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || errno == ERANGE || !std::isfinite(v))
        throw UsageError{option + ": not a number: '" + text + "'"};
    return v;
}

std::vector<std::string> Fields(const std::string& text) {
    std::vector<std::string> fields;
    for (size_t start = 0;;) {
        const size_t comma = text.find(',', start);
        fields.push_back(text.substr(start, comma - start));
        if (comma == std::string::npos) return fields;
        start = comma + 1;
    }
}

// A recording read as float, zeros once it ends.
class AudioFile {
  public:
    explicit AudioFile(const std::string& path) {
        SF_INFO info{};
        file_ = sf_open(path.c_str(), SFM_READ, &info);
        if (!file_) throw std::runtime_error("cannot read " + path + ": " + sf_strerror(nullptr));
        if (info.channels != 1) throw std::runtime_error(path + " is not a mono recording");
        rate_ = info.samplerate;
    }
    ~AudioFile() { sf_close(file_); }
    void Read(float* out, size_t n) {
        const sf_count_t got = sf_read_float(file_, out, sf_count_t(n));
        for (size_t i = size_t(std::max<sf_count_t>(got, 0)); i < n; ++i)
            out[i] = 0.0f;
    }
    int Rate() const { return rate_; }

  private:
    SNDFILE* file_ = nullptr;
    int rate_ = 0;
};

struct Options {
    std::string Output;
    io::IqFileFormat Format;
    double Seconds = 60.0;
    s4285gen::IqBand Band;
    std::vector<std::unique_ptr<AudioFile>> Files;
};

void AddSignal(Options& o, const std::string& text) {
    const std::vector<std::string> f = Fields(text);
    if (f.size() < 3 || f.size() > 5)
        throw UsageError{"--signal: expected OFF,MODE,SNR[,SPREAD[,SEED]]: '" + text + "'"};
    s4285gen::IqSignal s;
    if (f[1] == "nato")
        s.Audio = s4285gen::NatoConfig();
    else if (f[1] == "amateur")
        s.Audio = s4285gen::AmateurConfig();
    else
        throw UsageError{"--signal: mode nato or amateur: '" + f[1] + "'"};
    s.CarrierOffsetHz = Number("--signal", f[0]);
    s.Audio.SnrDb = 80.0; // the band's noise stands for the receiver's
    if (f.size() >= 4) s.Audio.Paths = {{.SpreadHz = Number("--signal", f[3])}};
    s.Audio.Seed =
        f.size() == 5 ? uint64_t(Number("--signal", f[4])) : uint64_t(o.Band.Signals.size() + 1);
    // Its SNR against the noise decided once the noise is known.
    s.Gain = Number("--signal", f[2]);
    o.Band.Signals.push_back(s);
}

void AddAudio(Options& o, const std::string& text) {
    const std::vector<std::string> f = Fields(text);
    if (f.size() < 2 || f.size() > 3) throw UsageError{"--audio: expected WAV,OFF[,DB]"};
    o.Files.push_back(std::make_unique<AudioFile>(f[0]));
    AudioFile* file = o.Files.back().get();
    s4285gen::IqSignal s;
    s.Audio = file->Rate() == 8000 ? s4285gen::AmateurConfig() : s4285gen::NatoConfig();
    s.Audio.SampleRate = file->Rate();
    s.CarrierOffsetHz = Number("--audio", f[1]);
    s.Gain = std::pow(10.0, (f.size() == 3 ? Number("--audio", f[2]) : 0.0) / 20.0);
    s.Recorded = [file](float* out, size_t n) { file->Read(out, n); };
    o.Band.Signals.push_back(s);
}

std::optional<Options> Parse(int argc, char** argv) {
    Options o;
    o.Band.NoiseDbIn3kHz = -60.0;
    std::vector<bool> snrGiven;
    bool rate = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&]() -> std::string {
            if (i + 1 >= argc) throw UsageError{arg + ": missing value"};
            return argv[++i];
        };
        if (arg == "-h" || arg == "--help") {
            std::fputs(Usage, stdout);
            return std::nullopt;
        } else if (arg == "--version") {
            std::printf("s4285iq %s\n", S4285IQ_VERSION);
            return std::nullopt;
        } else if (arg == "-o" || arg == "--output") {
            o.Output = value();
        } else if (arg == "--rate") {
            o.Band.SampleRate = o.Format.SampleRate = Number(arg, value());
            rate = true;
        } else if (arg == "--format") {
            const std::string v = value();
            if (!io::ParseIqFileKind(v, o.Format.Kind))
                throw UsageError{"--format: unknown '" + v + "'"};
        } else if (arg == "--type") {
            const std::string v = value();
            if (!io::ParseIqSampleType(v, o.Format.RawType))
                throw UsageError{"--type: unknown '" + v + "'"};
        } else if (arg == "--centre") {
            o.Format.CentreHz = Number(arg, value());
        } else if (arg == "--start") {
            o.Format.StartTime = value();
        } else if (arg == "--seconds") {
            o.Seconds = Number(arg, value());
            if (!(o.Seconds > 0.0)) throw UsageError{"--seconds: must be above 0"};
        } else if (arg == "--noise") {
            const std::string v = value();
            o.Band.NoiseDbIn3kHz = v == "off" ? -400.0 : Number(arg, v);
        } else if (arg == "--signal") {
            AddSignal(o, value());
            snrGiven.resize(o.Band.Signals.size(), false);
            snrGiven.back() = true;
        } else if (arg == "--audio") {
            AddAudio(o, value());
            snrGiven.resize(o.Band.Signals.size(), false);
        } else if (arg == "--cw") {
            const std::vector<std::string> f = Fields(value());
            if (f.size() != 2) throw UsageError{"--cw: expected OFF,DB"};
            o.Band.Carriers.push_back({Number(arg, f[0]), Number(arg, f[1])});
        } else {
            throw UsageError{"unknown option '" + arg + "'"};
        }
    }
    if (o.Output.empty()) throw UsageError{"no output file (-o OUT)"};
    if (!rate) throw UsageError{"no IQ rate (--rate HZ)"};
    const double noise = o.Band.NoiseDbIn3kHz > -300.0 ? o.Band.NoiseDbIn3kHz : -60.0;
    for (size_t i = 0; i < o.Band.Signals.size(); ++i) {
        s4285gen::IqSignal& s = o.Band.Signals[i];
        if (snrGiven[i]) s.Gain = s4285gen::GainForPowerDb(s.Audio, noise + s.Gain);
    }
    return o;
}

int Write(Options& o) {
    s4285gen::IqBandGenerator generator(o.Band);
    std::string error;
    auto writer = io::IqFileWriter::Create(o.Output, o.Format, error);
    if (!writer) throw std::runtime_error(error);
    std::vector<s4285gen::IqSample> chunk(1 << 16);
    const auto total = int64_t(std::llround(o.Seconds * o.Band.SampleRate));
    for (int64_t done = 0; done < total; done += int64_t(chunk.size())) {
        const auto n = size_t(std::min<int64_t>(int64_t(chunk.size()), total - done));
        generator.Generate(chunk.data(), n);
        if (!writer->Write(chunk.data(), n, error)) throw std::runtime_error(error);
    }
    if (!writer->Close(error)) throw std::runtime_error(error);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    try {
        auto options = Parse(argc, argv);
        if (!options) return 0;
        return Write(*options);
    } catch (const UsageError& e) {
        std::fprintf(stderr, "s4285iq: %s\n", e.Message.c_str());
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "s4285iq: %s\n", e.what());
        return 1;
    }
}
