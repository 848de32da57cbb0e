// SPDX-License-Identifier: GPL-3.0-or-later
#include "s4285gen/disturbances.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>

#include "s4285gen/disturbance_source.h"
#include "s4285gen/s4285gen.h"

namespace s4285gen {

namespace {

constexpr double Pi = std::numbers::pi;
// The audio's power is measured over this much of it before the run, so that
// its level is the one asked for.
constexpr double AudioCalibrationS = 30.0;

bool Finite(double v, double lo, double hi) {
    return std::isfinite(v) && v >= lo && v <= hi;
}

// A small seeded generator of its own, so that the audio never disturbs the
// streams of the signal and the noise.
class Random {
  public:
    explicit Random(uint64_t seed) : state_(seed ^ 0x2545F4914F6CDD1Dull) {}
    double Uniform() { return double(Next() >> 11) * 0x1.0p-53; }
    double Between(double lo, double hi) { return lo + (hi - lo) * Uniform(); }
    double Gaussian() {
        // Sum of four uniforms: bell-shaped enough for breath and drums.
        return (Uniform() + Uniform() + Uniform() + Uniform() - 2.0) * std::sqrt(3.0);
    }

  private:
    uint64_t Next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    uint64_t state_;
};

// Two-pole resonator: a formant of the vocal tract.
struct Resonator {
    double A1 = 0, A2 = 0, Y1 = 0, Y2 = 0, Gain = 0;
    void Tune(double hz, double bandwidthHz, double sampleRate) {
        const double r = std::exp(-Pi * bandwidthHz / sampleRate);
        A1 = 2 * r * std::cos(2 * Pi * hz / sampleRate);
        A2 = -r * r;
        Gain = 1 - r;
    }
    double Step(double x) {
        const double y = Gain * x + A1 * Y1 + A2 * Y2;
        Y2 = Y1;
        Y1 = y;
        return y;
    }
};

} // namespace

// Speech or music, unscaled; the source scales it to the level asked for.
class AudioSynth {
  public:
    AudioSynth(AudioKind kind, double sampleRate, uint64_t seed)
        : kind_(kind), fs_(sampleRate), rng_(seed) {}

    double Next() { return kind_ == AudioKind::SpeechLike ? NextSpeech() : NextMusic(); }

  private:
    // Vowels as their first three formants, Hz.
    static constexpr std::array<std::array<double, 3>, 7> Vowels = {{{730, 1090, 2440},
                                                                     {270, 2290, 3010},
                                                                     {300, 870, 2240},
                                                                     {530, 1840, 2480},
                                                                     {570, 840, 2410},
                                                                     {440, 1020, 2240},
                                                                     {660, 1720, 2410}}};

    void NewSyllable() {
        const double kind = rng_.Uniform();
        voiced_ = kind < 0.7;
        pause_ = kind > 0.88;
        length_ = int64_t(fs_ * (pause_ ? rng_.Between(0.15, 0.6) : rng_.Between(0.12, 0.3)));
        position_ = 0;
        if (rng_.Uniform() < 0.15) pitchHz_ = rng_.Between(90, 220); // a new phrase, a new voice
        glide_ = rng_.Between(-0.2, 0.2) * pitchHz_ / double(length_);
        const auto& vowel = Vowels[size_t(rng_.Uniform() * Vowels.size()) % Vowels.size()];
        const double nyquist = fs_ / 2;
        for (size_t i = 0; i < 3; ++i) {
            const double hz = voiced_ ? vowel[i] : rng_.Between(0.45, 0.8) * nyquist;
            formants_[i].Tune(std::min(hz, 0.9 * nyquist), voiced_ ? 90 + 40 * i : 600, fs_);
        }
    }

    double NextSpeech() {
        if (position_ >= length_) NewSyllable();
        const double envelope = std::pow(std::sin(Pi * double(position_) / double(length_)), 2);
        ++position_;
        if (pause_) return 0.0;
        double excitation = 0.3 * rng_.Gaussian();
        if (voiced_) {
            phase_ += (pitchHz_ + glide_ * double(position_)) / fs_;
            excitation = 0.05 * rng_.Gaussian();
            if (phase_ >= 1) {
                phase_ -= 1;
                excitation += 8.0;
            }
        }
        return envelope * (formants_[0].Step(excitation) + 0.6 * formants_[1].Step(excitation) +
                           0.3 * formants_[2].Step(excitation));
    }

    void NewBeat() {
        length_ = int64_t(fs_ * rng_.Between(0.25, 0.5));
        position_ = 0;
        // A chord from a pentatonic scale between about 200 and 1200 Hz.
        static constexpr std::array<double, 5> Steps = {0, 2, 4, 7, 9};
        if (rng_.Uniform() < 0.6) {
            for (auto& note : notes_) {
                const double semitones =
                    Steps[size_t(rng_.Uniform() * 5) % 5] + 12.0 * double(int(rng_.Uniform() * 3));
                note.Hz = 196.0 * std::pow(2.0, semitones / 12.0);
                note.Age = 0;
            }
        }
        drum_ = rng_.Uniform() < 0.5 ? 1.0 : 0.0;
    }

    double NextMusic() {
        if (position_ >= length_) NewBeat();
        ++position_;
        double y = 0;
        for (auto& note : notes_) {
            const double envelope = 0.3 + 0.7 * std::exp(-double(note.Age++) / (0.5 * fs_));
            note.Phase = std::fmod(note.Phase + note.Hz / fs_, 1.0);
            for (int k = 1; k <= 5 && k * note.Hz < 0.45 * fs_; ++k)
                y += envelope / k * std::sin(2 * Pi * k * note.Phase);
        }
        y += 2.0 * drum_ * rng_.Gaussian();
        drum_ *= std::exp(-1.0 / (0.05 * fs_));
        return y;
    }

    struct Note {
        double Hz = 262, Phase = 0;
        int64_t Age = 0;
    };

    AudioKind kind_;
    double fs_;
    Random rng_;
    int64_t length_ = 0, position_ = 0;
    bool voiced_ = false, pause_ = true;
    double pitchHz_ = 140, glide_ = 0, phase_ = 0;
    std::array<Resonator, 3> formants_{};
    std::array<Note, 3> notes_{};
    double drum_ = 0;
};

bool Disturbances::Any() const {
    return SignalOff || !Tones.empty() || !OtherSignals.empty() || Audio != AudioKind::None ||
           !Dropouts.empty() || ClipDbfs.has_value();
}

std::string CheckDisturbances(const Disturbances& d, int sampleRate) {
    const double nyquist = sampleRate / 2.0;
    for (const Tone& t : d.Tones) {
        if (!Finite(t.Hz, 0, nyquist))
            return "tone frequency must lie between 0 Hz and half the rate";
        if (!Finite(t.LevelDb, -100, 60)) return "tone level must be -100..60 dB";
    }
    for (const OtherSignal& o : d.OtherSignals) {
        if (!Finite(o.OffsetHz, -nyquist, nyquist)) return "other signal offset out of range";
        if (!Finite(o.LevelDb, -100, 60)) return "other signal level must be -100..60 dB";
        if (!Finite(o.DelayMs, 0, 1000)) return "other signal delay must be 0..1000 ms";
        if (!Finite(o.SpreadHz, 0, 50)) return "other signal spread must be 0..50 Hz";
    }
    if (!Finite(d.AudioLevelDb, -100, 60)) return "audio level must be -100..60 dB";
    for (const Dropout& o : d.Dropouts)
        if (!Finite(o.StartS, 0, 1e7) || !Finite(o.Seconds, 0, 1e7))
            return "drop-out start and length must be 0 s or more";
    if (d.ClipDbfs && !Finite(*d.ClipDbfs, -60, 0)) return "clip level must be -60..0 dBFS";
    return {};
}

DisturbanceSource::DisturbanceSource(const Config& config, double signalPower, double sampleTimeS)
    : d_(config.Extra), sampleRate_(config.SampleRate) {
    const auto power = [&](double levelDb) { return signalPower * std::pow(10.0, levelDb / 10); };
    for (const Tone& t : d_.Tones) {
        tones_.push_back({std::sqrt(2 * power(t.LevelDb)), 2 * Pi * t.Hz * sampleTimeS});
        power_ += power(t.LevelDb);
    }
    for (size_t i = 0; i < d_.OtherSignals.size(); ++i) {
        const OtherSignal& o = d_.OtherSignals[i];
        Config other = config;
        other.Extra = {};
        other.CarrierHz = config.CarrierHz + o.OffsetHz;
        other.Paths = {Path{.DelayMs = o.DelayMs, .SpreadHz = o.SpreadHz}};
        other.SnrDb = 200;
        other.LevelDbfs = 0; // RMS 1, scaled below
        other.Seed = config.Seed * 7919 + 1000 + i;
        others_.push_back(std::make_unique<Generator>(other));
        otherScale_.push_back(std::sqrt(power(o.LevelDb)));
        power_ += power(o.LevelDb);
    }
    if (d_.Audio != AudioKind::None) {
        const uint64_t seed = config.Seed * 104729 + 77;
        AudioSynth probe(d_.Audio, sampleRate_, seed);
        const auto n = int64_t(AudioCalibrationS * sampleRate_);
        double sum = 0;
        for (int64_t i = 0; i < n; ++i) {
            const double v = probe.Next();
            sum += v * v;
        }
        audio_ = std::make_unique<AudioSynth>(d_.Audio, sampleRate_, seed);
        audioScale_ = sum > 0 ? std::sqrt(power(d_.AudioLevelDb) * double(n) / sum) : 0;
        power_ += power(d_.AudioLevelDb);
    }
    if (d_.ClipDbfs) clip_ = std::pow(10.0, *d_.ClipDbfs / 20);
}

DisturbanceSource::~DisturbanceSource() = default;

double DisturbanceSource::Next(uint64_t n) {
    double y = 0;
    for (const ToneState& t : tones_)
        y += t.Amplitude * std::cos(std::remainder(t.StepRad * double(n), 2 * Pi));
    for (size_t i = 0; i < others_.size(); ++i) {
        float v = 0;
        others_[i]->GenerateFloat(&v, 1);
        y += otherScale_[i] * v;
    }
    if (audio_) y += audioScale_ * audio_->Next();
    return y;
}

double DisturbanceSource::Shape(double value, uint64_t n) {
    const double t = double(n) / sampleRate_;
    for (const Dropout& o : d_.Dropouts) {
        if (t >= o.StartS && t < o.StartS + o.Seconds) return o.Held ? held_ : 0.0;
    }
    if (clip_ > 0) value = std::clamp(value, -clip_, clip_);
    held_ = value;
    return value;
}

} // namespace s4285gen
