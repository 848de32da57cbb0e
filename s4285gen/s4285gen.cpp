// SPDX-License-Identifier: GPL-3.0-or-later
#include "s4285gen/s4285gen.h"

#include "s4285gen/disturbance_source.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <numbers>
#include <stdexcept>

namespace s4285gen {
namespace {

constexpr double Pi = std::numbers::pi;
constexpr double RollOff = 0.35;
constexpr int PulseHalfSpan = 8;     // symbols each side of the pulse centre
constexpr int PulseOversample = 512; // table points per symbol
constexpr int PulseSymbols = 2 * PulseHalfSpan;
// The carrier phasor and the Doppler drift are refreshed from the exact phase once
// per segment, so the rotating phasor never accumulates rounding.
constexpr uint64_t Segment = 32;
// Fading is computed at a low rate (at least this many times the spread) and
// interpolated linearly to the sample rate.
constexpr double FadeOversample = 32;

uint64_t SplitMix64(uint64_t& x) {
    uint64_t z = (x += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// Root-raised-cosine pulse at t symbols from its centre; unit energy per symbol.
double RootRaisedCosine(double t) {
    const double b = RollOff;
    if (std::abs(t) < 1e-12) return 1.0 - b + 4.0 * b / Pi;
    if (std::abs(std::abs(t) - 1.0 / (4.0 * b)) < 1e-12) {
        return b / std::sqrt(2.0) *
               ((1.0 + 2.0 / Pi) * std::sin(Pi / (4.0 * b)) +
                (1.0 - 2.0 / Pi) * std::cos(Pi / (4.0 * b)));
    }
    const double num = std::sin(Pi * t * (1.0 - b)) + 4.0 * b * t * std::cos(Pi * t * (1.0 + b));
    const double den = Pi * t * (1.0 - (4.0 * b * t) * (4.0 * b * t));
    return num / den;
}

bool InRange(double v, double lo, double hi) {
    return std::isfinite(v) && v >= lo && v <= hi;
}

int64_t FloorToInt(double v) {
    return static_cast<int64_t>(std::floor(v));
}

} // namespace

std::array<int, 31> SyncBits() {
    return {0, 1, 0, 1, 1, 0, 0, 1, 1, 1, 1, 1, 0, 0, 0, 1,
            1, 0, 1, 1, 1, 0, 1, 0, 1, 0, 0, 0, 0, 1, 0};
}

std::array<int, SyncSymbolCount> SyncSymbols() {
    const auto bits = SyncBits();
    std::array<int, SyncSymbolCount> symbols{};
    for (int k = 0; k < SyncSymbolCount; ++k)
        symbols[k] = 1 - 2 * bits[k % 31];
    return symbols;
}

Config NatoConfig() {
    return Config{};
}

Config AmateurConfig() {
    Config c;
    c.SampleRate = 8000;
    c.CarrierHz = 1500;
    return c;
}

Config LiveDemoConfig(int sampleRate) {
    Config c;
    c.SampleRate = sampleRate;
    c.CarrierHz = sampleRate * 3.0 / 16.0;
    c.Paths = {
        Path{0.0, 0.0, 0.4, 0.15, 0.6, 90.0},
        Path{2.6, -3.0, -0.9, 0.6, 0.4, 55.0},
        Path{5.3, -8.0, 1.6, 1.2, 0.8, 140.0},
    };
    c.SnrDb = 12;
    return c;
}

std::string CheckConfig(const Config& c) {
    if (c.SampleRate < 1000 || c.SampleRate > 384000) return "sample rate must be 1000..384000 Hz";
    const double nyquist = c.SampleRate / 2.0;
    if (!InRange(c.CarrierHz, 0, nyquist) || c.CarrierHz <= 0)
        return "carrier must lie between 0 Hz and half the sample rate";
    if (c.Paths.empty()) return "at least one path is needed";
    if (c.Paths.size() > 64) return "at most 64 paths";
    for (const Path& p : c.Paths) {
        if (!InRange(p.DelayMs, 0, 1000)) return "path delay must be 0..1000 ms";
        if (!InRange(p.GainDb, -100, 40)) return "path gain must be -100..40 dB";
        if (!InRange(p.DopplerHz, -nyquist / 2, nyquist / 2))
            return "path Doppler shift must be within a quarter of the sample rate";
        if (!InRange(p.SpreadHz, 0, 50)) return "path Doppler spread must be 0..50 Hz";
        if (!InRange(p.DriftHz, -nyquist / 2, nyquist / 2))
            return "path Doppler drift must be within a quarter of the sample rate";
        if (p.DriftHz != 0 && !InRange(p.DriftPeriodS, 0.001, 1e7))
            return "path drift period must be 0.001..1e7 s";
    }
    if (!InRange(c.SnrDb, -60, 200)) return "SNR must be -60..200 dB";
    if (!InRange(c.ClockPpm, -10000, 10000)) return "clock error must be -10000..10000 ppm";
    if (!InRange(c.LevelDbfs, -120, 0)) return "level must be -120..0 dBFS";
    return CheckDisturbances(c.Extra, c.SampleRate);
}

double FrameStartSample(const Config& c, int64_t frame, std::size_t path) {
    const double symbolRate = c.SampleRate / double(SamplesPerSymbol);
    const double t = double(frame) * FrameSymbols / symbolRate + c.Paths.at(path).DelayMs * 1e-3;
    return t * c.SampleRate * (1.0 + c.ClockPpm * 1e-6);
}

uint64_t Generator::Rng::Next() {
    // xoshiro256**
    const uint64_t result = std::rotl(S[1] * 5, 7) * 9;
    const uint64_t t = S[1] << 17;
    S[2] ^= S[0];
    S[3] ^= S[1];
    S[1] ^= S[2];
    S[0] ^= S[3];
    S[2] ^= t;
    S[3] = std::rotl(S[3], 45);
    return result;
}

double Generator::Rng::Uniform() {
    return double(Next() >> 11) * 0x1.0p-53;
}

double Generator::Rng::Gaussian() {
    // Polar form of the Box-Muller transform; uses only the fixed generator above, so
    // the stream is the same with every standard library.
    if (HasSpare) {
        HasSpare = false;
        return Spare;
    }
    double u, v, s;
    do {
        u = 2.0 * Uniform() - 1.0;
        v = 2.0 * Uniform() - 1.0;
        s = u * u + v * v;
    } while (s >= 1.0 || s == 0.0);
    const double m = std::sqrt(-2.0 * std::log(s) / s);
    Spare = v * m;
    HasSpare = true;
    return u * m;
}

namespace {
// Independent, reproducible streams for symbols, noise and each path's fading, so
// that changing the noise does not change the data or the fading.
void SeedRng(uint64_t (&state)[4], uint64_t seed, uint64_t stream) {
    uint64_t x = seed ^ (0xD1B54A32D192ED03ull * (stream + 1));
    for (auto& w : state)
        w = SplitMix64(x);
}
} // namespace

Generator::Generator(const Config& config) : config_(config) {
    if (std::string why = CheckConfig(config_); !why.empty()) throw std::invalid_argument(why);

    const double fs = config_.SampleRate;
    symbolRate_ = fs / SamplesPerSymbol;
    sampleTimeS_ = 1.0 / (fs * (1.0 + config_.ClockPpm * 1e-6));
    SeedRng(symbolRng_.S, config_.Seed, 0);
    SeedRng(noiseRng_.S, config_.Seed, 1);

    // Pulse table with unit energy per symbol, so the complex baseband has unit power.
    pulse_.assign(PulseSymbols * PulseOversample + 2, 0.0f);
    std::vector<double> p(PulseSymbols * PulseOversample + 1);
    double energy = 0;
    for (std::size_t i = 0; i < p.size(); ++i) {
        p[i] = RootRaisedCosine(double(i) / PulseOversample - PulseHalfSpan);
        energy += p[i] * p[i];
    }
    const double norm = 1.0 / std::sqrt(energy / PulseOversample);
    for (std::size_t i = 0; i < p.size(); ++i)
        pulse_[i] = float(p[i] * norm);

    double signalPower = 0;
    double maxDelayS = 0;
    for (std::size_t i = 0; i < config_.Paths.size(); ++i) {
        const Path& cfg = config_.Paths[i];
        PathState ps;
        ps.Amplitude = std::pow(10.0, cfg.GainDb / 20.0);
        ps.DelayS = cfg.DelayMs * 1e-3;
        // The delay applies to the carrier too.
        ps.CarrierPhaseRad = std::remainder(-2 * Pi * config_.CarrierHz * ps.DelayS, 2 * Pi);
        signalPower += ps.Amplitude * ps.Amplitude / 2; // passband power of unit baseband
        maxDelayS = std::max(maxDelayS, ps.DelayS);
        if (cfg.SpreadHz > 0) {
            ps.Fading = true;
            SeedRng(ps.Random.S, config_.Seed, 100 + i);
            ps.Decimation = std::max<int64_t>(1, FloorToInt(fs / (FadeOversample * cfg.SpreadHz)));
            const double fadeRate = fs / double(ps.Decimation);
            const double sigmaHz = cfg.SpreadHz / 2;
            // Gaussian impulse response whose power spectrum has standard deviation
            // sigmaHz: sigma_t = 1 / (2 pi sqrt(2) sigma_f).
            const double sigmaSamples = fadeRate / (2 * Pi * std::sqrt(2.0) * sigmaHz);
            const int half = int(std::ceil(4 * sigmaSamples));
            ps.Taps.resize(2 * half + 1);
            double sum2 = 0;
            for (int k = -half; k <= half; ++k) {
                const double h = std::exp(-0.5 * (k / sigmaSamples) * (k / sigmaSamples));
                ps.Taps[k + half] = h;
                sum2 += h * h;
            }
            for (double& h : ps.Taps)
                h /= std::sqrt(sum2);
            ps.Line.resize(ps.Taps.size());
            for (auto& w : ps.Line)
                w = {ps.Random.Gaussian() * std::sqrt(0.5), ps.Random.Gaussian() * std::sqrt(0.5)};
            ps.Fade0 = NextFadeSample(ps);
            ps.Fade1 = NextFadeSample(ps);
        }
        paths_.push_back(std::move(ps));
    }
    noiseSigma_ = std::sqrt(signalPower / std::pow(10.0, config_.SnrDb / 10.0));
    if (config_.Extra.Any()) {
        extra_ = std::make_unique<DisturbanceSource>(config_, signalPower, sampleTimeS_);
        const double heard = config_.Extra.SignalOff ? 0.0 : signalPower;
        scale_ = std::pow(10.0, config_.LevelDbfs / 20.0) /
                 std::sqrt(heard + noiseSigma_ * noiseSigma_ + extra_->Power());
    } else {
        scale_ = std::pow(10.0, config_.LevelDbfs / 20.0) /
                 std::sqrt(signalPower + noiseSigma_ * noiseSigma_);
    }

    symBase_ = FloorToInt(-maxDelayS * symbolRate_) - PulseHalfSpan - 2;
}

Generator::~Generator() = default;
Generator::Generator(Generator&&) noexcept = default;
Generator& Generator::operator=(Generator&&) noexcept = default;

std::complex<double> Generator::NextFadeSample(PathState& p) {
    const std::size_t len = p.Line.size();
    p.Line[p.LinePos] = {p.Random.Gaussian() * std::sqrt(0.5),
                         p.Random.Gaussian() * std::sqrt(0.5)};
    p.LinePos = (p.LinePos + 1) % len;
    std::complex<double> acc = 0;
    for (std::size_t i = 0; i < len; ++i)
        acc += p.Taps[i] * p.Line[(p.LinePos + i) % len];
    return acc;
}

std::complex<double> Generator::NextFade(PathState& p) {
    const double f = double(p.FadeCount) / double(p.Decimation);
    const std::complex<double> g = p.Fade0 + (p.Fade1 - p.Fade0) * f;
    if (++p.FadeCount == p.Decimation) {
        p.FadeCount = 0;
        p.Fade0 = p.Fade1;
        p.Fade1 = NextFadeSample(p);
    }
    return g;
}

void Generator::StartSegment(PathState& p, const Path& cfg, double timeS) {
    double hz = config_.CarrierHz + cfg.DopplerHz;
    if (cfg.DriftHz != 0) hz += cfg.DriftHz * std::sin(2 * Pi * timeS / cfg.DriftPeriodS);
    const double stepRad = 2 * Pi * hz * sampleTimeS_;
    p.Phasor = std::polar(1.0, p.CarrierPhaseRad);
    p.Step = std::polar(1.0, stepRad);
    p.CarrierPhaseRad = std::remainder(p.CarrierPhaseRad + stepRad * double(Segment), 2 * Pi);
}

void Generator::EnsureSymbols(int64_t lastIndex) {
    static const auto Sync = SyncSymbols();
    static const float Psk[8][2] = {
        {1.0f, 0.0f},  {float(std::numbers::sqrt2 / 2), float(std::numbers::sqrt2 / 2)},
        {0.0f, 1.0f},  {float(-std::numbers::sqrt2 / 2), float(std::numbers::sqrt2 / 2)},
        {-1.0f, 0.0f}, {float(-std::numbers::sqrt2 / 2), float(-std::numbers::sqrt2 / 2)},
        {0.0f, -1.0f}, {float(std::numbers::sqrt2 / 2), float(-std::numbers::sqrt2 / 2)},
    };
    for (int64_t k = symBase_ + int64_t(symRe_.size()); k <= lastIndex; ++k) {
        const int64_t pos = ((k % FrameSymbols) + FrameSymbols) % FrameSymbols;
        if (pos < SyncSymbolCount) {
            symRe_.push_back(float(Sync[pos]));
            symIm_.push_back(0.0f);
        } else {
            const auto m = symbolRng_.Next() >> 61;
            symRe_.push_back(Psk[m][0]);
            symIm_.push_back(Psk[m][1]);
        }
    }
}

double Generator::NextSample() {
    const uint64_t n = sampleIndex_++;
    const double t = double(n) * sampleTimeS_;
    const bool segmentStart = n % Segment == 0;
    int64_t oldest = INT64_MAX;
    double y = 0;
    for (std::size_t i = 0; i < paths_.size(); ++i) {
        PathState& p = paths_[i];
        if (segmentStart) StartSegment(p, config_.Paths[i], t);
        const double u = (t - p.DelayS) * symbolRate_; // position in symbols
        const double whole = std::floor(u);
        const int64_t first = int64_t(whole) - (PulseHalfSpan - 1);
        EnsureSymbols(first + PulseSymbols - 1);
        oldest = std::min(oldest, first);
        const double x = (u - whole) * PulseOversample;
        const int ix = int(x);
        const float w = float(x - ix);
        const float* sr = symRe_.data() + (first - symBase_);
        const float* si = symIm_.data() + (first - symBase_);
        float re = 0, im = 0;
        for (int j = 0; j < PulseSymbols; ++j) {
            const float* tab = pulse_.data() + ix + (PulseSymbols - 1 - j) * PulseOversample;
            const float h = tab[0] + (tab[1] - tab[0]) * w;
            re += sr[j] * h;
            im += si[j] * h;
        }
        std::complex<double> v(re, im);
        if (p.Fading) v *= NextFade(p);
        v *= p.Phasor;
        p.Phasor *= p.Step;
        y += p.Amplitude * v.real();
    }
    // Drop symbols no path needs any more.
    if (oldest - symBase_ > 8192) {
        const auto drop = oldest - symBase_ - 64;
        symRe_.erase(symRe_.begin(), symRe_.begin() + drop);
        symIm_.erase(symIm_.begin(), symIm_.begin() + drop);
        symBase_ += drop;
    }
    if (extra_) {
        if (config_.Extra.SignalOff) y = 0;
        y += extra_->Next(n);
        return extra_->Shape((y + noiseSigma_ * noiseRng_.Gaussian()) * scale_, n);
    }
    return (y + noiseSigma_ * noiseRng_.Gaussian()) * scale_;
}

void Generator::Generate(int16_t* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        const double v = std::nearbyint(NextSample() * 32767.0);
        out[i] = int16_t(std::clamp(v, -32768.0, 32767.0));
    }
}

void Generator::GenerateFloat(float* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        out[i] = float(NextSample());
}

} // namespace s4285gen
