// SPDX-License-Identifier: GPL-3.0-or-later
#include "s4285gen/iq_synth.h"

#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <stdexcept>

namespace s4285gen {

namespace {

// passbandEnd: where the filter starts to fall, as a share of the lower
// Nyquist rate.
soxr* ComplexResampler(double from, double to, double passbandEnd) {
    soxr_error_t error = nullptr;
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    quality.passband_end = passbandEnd;
    soxr* r = soxr_create(from, to, 2, &error, &io, &quality, nullptr);
    if (!r) throw std::invalid_argument(std::string("libsoxr: ") + (error ? error : "failed"));
    return r;
}

uint64_t Rotl(uint64_t x, int k) {
    return (x << k) | (x >> (64 - k));
}

// xoshiro256** seeded through splitmix64.
uint64_t NextRandom(uint64_t* s) {
    const uint64_t result = Rotl(s[1] * 5, 7) * 9;
    const uint64_t t = s[1] << 17;
    s[2] ^= s[0];
    s[3] ^= s[1];
    s[1] ^= s[2];
    s[0] ^= s[3];
    s[2] ^= t;
    s[3] = Rotl(s[3], 45);
    return result;
}

void Seed(uint64_t* s, uint64_t seed) {
    for (int i = 0; i < 4; ++i) {
        seed += 0x9E3779B97F4A7C15ull;
        uint64_t z = seed;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        s[i] = z ^ (z >> 31);
    }
}

double Uniform(uint64_t* s) {
    return double(NextRandom(s) >> 11) * 0x1.0p-53;
}

} // namespace

struct IqBandGenerator::Source {
    bool Tone = false;
    std::unique_ptr<Generator> Audio;
    std::function<void(float*, size_t)> Recorded;
    double Gain = 1.0;
    double CentreHz = 0.0; // where the audio band's centre goes
    int32_t AudioRate = 0;
    int64_t AudioMade = 0;
    soxr* Halve = nullptr; // R -> R/2: takes the mirror image out
    soxr* Raise = nullptr; // R/2 -> IQ rate
    std::vector<float> Real;
    std::vector<IqSample> Turned, Half, Out;
    size_t OutPos = 0;
    ~Source() {
        if (Halve) soxr_delete(Halve);
        if (Raise) soxr_delete(Raise);
    }
};

double IqSignalPowerDb(const IqSignal& signal) {
    // The generator's level is the RMS of signal plus its own noise.
    return signal.Audio.LevelDbfs + 20.0 * std::log10(signal.Gain) + 10.0 * std::log10(2.0);
}

double GainForPowerDb(const Config& audio, double powerDb) {
    return std::pow(10.0, (powerDb - audio.LevelDbfs - 10.0 * std::log10(2.0)) / 20.0);
}

IqBandGenerator::IqBandGenerator(const IqBand& band) : band_(band) {
    if (!(band.SampleRate >= 8000.0))
        throw std::invalid_argument("the IQ rate must be at least 8000 samples/s");
    for (const IqSignal& signal : band.Signals) {
        if (const std::string why = CheckConfig(signal.Audio); !why.empty())
            throw std::invalid_argument(why);
        auto source = std::make_unique<Source>();
        if (signal.Recorded)
            source->Recorded = signal.Recorded;
        else
            source->Audio = std::make_unique<Generator>(signal.Audio);
        source->Gain = signal.Gain;
        source->AudioRate = signal.Audio.SampleRate;
        source->CentreHz =
            signal.CarrierOffsetHz - signal.Audio.CarrierHz + signal.Audio.SampleRate / 4.0;
        if (std::abs(source->CentreHz) + signal.Audio.SampleRate / 4.0 > band.SampleRate / 2.0)
            throw std::invalid_argument("a signal at " + std::to_string(signal.CarrierOffsetHz) +
                                        " Hz lies outside the band");
        // The mirror image begins right at the new Nyquist rate: a steep edge
        // keeps the audio down to a few tens of hertz.
        source->Halve = ComplexResampler(source->AudioRate, source->AudioRate / 2.0, 0.98);
        source->Raise = ComplexResampler(source->AudioRate / 2.0, band.SampleRate, 0.98);
        sources_.push_back(std::move(source));
    }
    for (const IqCarrier& carrier : band.Carriers) {
        auto source = std::make_unique<Source>();
        source->Tone = true;
        source->CentreHz = carrier.OffsetHz;
        source->Gain = std::pow(10.0, carrier.PowerDb / 20.0);
        sources_.push_back(std::move(source));
    }
    if (band.NoiseDbIn3kHz > -300.0) {
        // Power per sample over the whole band from the power in 3 kHz.
        const double power = std::pow(10.0, band.NoiseDbIn3kHz / 10.0) * band.SampleRate / 3000.0;
        noiseSigma_ = std::sqrt(power / 2.0);
        Seed(rng_, band.NoiseSeed);
    }
}

IqBandGenerator::~IqBandGenerator() = default;

// Makes at least n samples of one signal at the IQ rate, not yet moved to its
// centre, in source.Out.
void IqBandGenerator::Fill(Source& source, size_t n) {
    const double ratio = band_.SampleRate / source.AudioRate;
    while (source.Out.size() - source.OutPos < n) {
        const size_t audio = std::max<size_t>(1024, size_t(double(n) / ratio) + 64);
        source.Real.resize(audio);
        if (source.Recorded)
            source.Recorded(source.Real.data(), audio);
        else
            source.Audio->GenerateFloat(source.Real.data(), audio);
        source.Turned.resize(audio);
        // a(n) (-j)^n: the audio band's centre R/4 to 0 Hz; twice, as the
        // mirror image taken out next carries half of it.
        for (size_t i = 0; i < audio; ++i) {
            const float v = 2.0f * source.Real[i];
            switch ((source.AudioMade + int64_t(i)) & 3) {
            case 0:
                source.Turned[i] = {v, 0.0f};
                break;
            case 1:
                source.Turned[i] = {0.0f, -v};
                break;
            case 2:
                source.Turned[i] = {-v, 0.0f};
                break;
            default:
                source.Turned[i] = {0.0f, v};
                break;
            }
        }
        source.AudioMade += int64_t(audio);
        source.Half.resize(audio / 2 + 64);
        size_t used = 0, made = 0;
        soxr_process(source.Halve, source.Turned.data(), audio, &used, source.Half.data(),
                     source.Half.size(), &made);
        if (source.OutPos > 0) {
            source.Out.erase(source.Out.begin(),
                             source.Out.begin() + std::ptrdiff_t(source.OutPos));
            source.OutPos = 0;
        }
        const size_t before = source.Out.size();
        const size_t room = size_t(double(made) * ratio * 2.0) + 1024;
        source.Out.resize(before + room);
        size_t raisedUsed = 0, raised = 0;
        soxr_process(source.Raise, source.Half.data(), made, &raisedUsed,
                     source.Out.data() + before, room, &raised);
        source.Out.resize(before + raised);
    }
}

void IqBandGenerator::Generate(IqSample* out, size_t n) {
    std::fill(out, out + n, IqSample{});
    for (const auto& s : sources_) {
        Source& source = *s;
        if (!source.Tone) Fill(source, n);
        // Mixing referred to IQ sample 0, in long double at the start of each
        // call and by a turning phasor within it.
        const long double cycles =
            std::fmod((long double)source.CentreHz * produced_ / band_.SampleRate, 1.0L);
        std::complex<double> phasor =
            std::polar(source.Gain, double(2.0L * std::numbers::pi_v<long double> * cycles));
        const std::complex<double> step =
            std::polar(1.0, 2.0 * std::numbers::pi * source.CentreHz / band_.SampleRate);
        for (size_t i = 0; i < n; ++i, phasor *= step) {
            const std::complex<double> v =
                source.Tone ? phasor
                            : std::complex<double>(source.Out[source.OutPos + i].real(),
                                                   source.Out[source.OutPos + i].imag()) *
                                  phasor;
            out[i] += IqSample(float(v.real()), float(v.imag()));
        }
        source.OutPos += source.Tone ? 0 : n;
    }
    if (noiseSigma_ > 0.0) {
        for (size_t i = 0; i < n; ++i) {
            // Box-Muller: two Gaussians from two uniforms.
            const double u1 = 1.0 - Uniform(rng_);
            const double u2 = Uniform(rng_);
            const double r = noiseSigma_ * std::sqrt(-2.0 * std::log(u1));
            out[i] += IqSample(float(r * std::cos(2.0 * std::numbers::pi * u2)),
                               float(r * std::sin(2.0 * std::numbers::pi * u2)));
        }
    }
    produced_ += int64_t(n);
}

} // namespace s4285gen
