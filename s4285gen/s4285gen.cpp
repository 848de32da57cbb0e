// SPDX-License-Identifier: GPL-3.0-or-later
#include "s4285gen/s4285gen.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <numbers>
#include <stdexcept>

namespace s4285gen {
namespace {

constexpr double kPi = std::numbers::pi;
constexpr double kRollOff = 0.35;
constexpr int kPulseHalfSpan = 8;     // symbols each side of the pulse centre
constexpr int kPulseOversample = 512; // table points per symbol
constexpr int kPulseSymbols = 2 * kPulseHalfSpan;
// The carrier phasor and the Doppler drift are refreshed from the exact phase once
// per segment, so the rotating phasor never accumulates rounding.
constexpr uint64_t kSegment = 32;
// Fading is computed at a low rate (at least this many times the spread) and
// interpolated linearly to the sample rate.
constexpr double kFadeOversample = 32;

uint64_t SplitMix64(uint64_t& x) {
    uint64_t z = (x += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// Root-raised-cosine pulse at t symbols from its centre; unit energy per symbol.
double RootRaisedCosine(double t) {
    const double b = kRollOff;
    if (std::abs(t) < 1e-12) return 1.0 - b + 4.0 * b / kPi;
    if (std::abs(std::abs(t) - 1.0 / (4.0 * b)) < 1e-12) {
        return b / std::sqrt(2.0) *
               ((1.0 + 2.0 / kPi) * std::sin(kPi / (4.0 * b)) +
                (1.0 - 2.0 / kPi) * std::cos(kPi / (4.0 * b)));
    }
    const double num = std::sin(kPi * t * (1.0 - b)) + 4.0 * b * t * std::cos(kPi * t * (1.0 + b));
    const double den = kPi * t * (1.0 - (4.0 * b * t) * (4.0 * b * t));
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

std::array<int, kSyncSymbolCount> SyncSymbols() {
    const auto bits = SyncBits();
    std::array<int, kSyncSymbolCount> symbols{};
    for (int k = 0; k < kSyncSymbolCount; ++k)
        symbols[k] = 1 - 2 * bits[k % 31];
    return symbols;
}

Config NatoConfig() {
    return Config{};
}

Config AmateurConfig() {
    Config c;
    c.sampleRate = 8000;
    c.carrierHz = 1500;
    return c;
}

Config LiveDemoConfig(int sampleRate) {
    Config c;
    c.sampleRate = sampleRate;
    c.carrierHz = sampleRate * 3.0 / 16.0;
    c.paths = {
        Path{0.0, 0.0, 0.4, 0.15, 0.6, 90.0},
        Path{2.6, -3.0, -0.9, 0.6, 0.4, 55.0},
        Path{5.3, -8.0, 1.6, 1.2, 0.8, 140.0},
    };
    c.snrDb = 12;
    return c;
}

std::string CheckConfig(const Config& c) {
    if (c.sampleRate < 1000 || c.sampleRate > 384000) return "sample rate must be 1000..384000 Hz";
    const double nyquist = c.sampleRate / 2.0;
    if (!InRange(c.carrierHz, 0, nyquist) || c.carrierHz <= 0)
        return "carrier must lie between 0 Hz and half the sample rate";
    if (c.paths.empty()) return "at least one path is needed";
    if (c.paths.size() > 64) return "at most 64 paths";
    for (const Path& p : c.paths) {
        if (!InRange(p.delayMs, 0, 1000)) return "path delay must be 0..1000 ms";
        if (!InRange(p.gainDb, -100, 40)) return "path gain must be -100..40 dB";
        if (!InRange(p.dopplerHz, -nyquist / 2, nyquist / 2))
            return "path Doppler shift must be within a quarter of the sample rate";
        if (!InRange(p.spreadHz, 0, 50)) return "path Doppler spread must be 0..50 Hz";
        if (!InRange(p.driftHz, -nyquist / 2, nyquist / 2))
            return "path Doppler drift must be within a quarter of the sample rate";
        if (p.driftHz != 0 && !InRange(p.driftPeriodS, 0.001, 1e7))
            return "path drift period must be 0.001..1e7 s";
    }
    if (!InRange(c.snrDb, -60, 200)) return "SNR must be -60..200 dB";
    if (!InRange(c.clockPpm, -10000, 10000)) return "clock error must be -10000..10000 ppm";
    if (!InRange(c.levelDbfs, -120, 0)) return "level must be -120..0 dBFS";
    return {};
}

double FrameStartSample(const Config& c, int64_t frame, std::size_t path) {
    const double symbolRate = c.sampleRate / double(kSamplesPerSymbol);
    const double t = double(frame) * kFrameSymbols / symbolRate + c.paths.at(path).delayMs * 1e-3;
    return t * c.sampleRate * (1.0 + c.clockPpm * 1e-6);
}

uint64_t Generator::Rng::Next() {
    // xoshiro256**
    const uint64_t result = std::rotl(s[1] * 5, 7) * 9;
    const uint64_t t = s[1] << 17;
    s[2] ^= s[0];
    s[3] ^= s[1];
    s[1] ^= s[2];
    s[0] ^= s[3];
    s[2] ^= t;
    s[3] = std::rotl(s[3], 45);
    return result;
}

double Generator::Rng::Uniform() {
    return double(Next() >> 11) * 0x1.0p-53;
}

double Generator::Rng::Gaussian() {
    // Polar form of the Box-Muller transform; uses only the fixed generator above, so
    // the stream is the same with every standard library.
    if (hasSpare) {
        hasSpare = false;
        return spare;
    }
    double u, v, s;
    do {
        u = 2.0 * Uniform() - 1.0;
        v = 2.0 * Uniform() - 1.0;
        s = u * u + v * v;
    } while (s >= 1.0 || s == 0.0);
    const double m = std::sqrt(-2.0 * std::log(s) / s);
    spare = v * m;
    hasSpare = true;
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

    const double fs = config_.sampleRate;
    symbolRate_ = fs / kSamplesPerSymbol;
    sampleTimeS_ = 1.0 / (fs * (1.0 + config_.clockPpm * 1e-6));
    SeedRng(symbolRng_.s, config_.seed, 0);
    SeedRng(noiseRng_.s, config_.seed, 1);

    // Pulse table with unit energy per symbol, so the complex baseband has unit power.
    pulse_.assign(kPulseSymbols * kPulseOversample + 2, 0.0f);
    std::vector<double> p(kPulseSymbols * kPulseOversample + 1);
    double energy = 0;
    for (std::size_t i = 0; i < p.size(); ++i) {
        p[i] = RootRaisedCosine(double(i) / kPulseOversample - kPulseHalfSpan);
        energy += p[i] * p[i];
    }
    const double norm = 1.0 / std::sqrt(energy / kPulseOversample);
    for (std::size_t i = 0; i < p.size(); ++i)
        pulse_[i] = float(p[i] * norm);

    double signalPower = 0;
    double maxDelayS = 0;
    for (std::size_t i = 0; i < config_.paths.size(); ++i) {
        const Path& cfg = config_.paths[i];
        PathState ps;
        ps.amplitude = std::pow(10.0, cfg.gainDb / 20.0);
        ps.delayS = cfg.delayMs * 1e-3;
        // The delay applies to the carrier too.
        ps.carrierPhaseRad = std::remainder(-2 * kPi * config_.carrierHz * ps.delayS, 2 * kPi);
        signalPower += ps.amplitude * ps.amplitude / 2; // passband power of unit baseband
        maxDelayS = std::max(maxDelayS, ps.delayS);
        if (cfg.spreadHz > 0) {
            ps.fading = true;
            SeedRng(ps.rng.s, config_.seed, 100 + i);
            ps.decimation = std::max<int64_t>(1, FloorToInt(fs / (kFadeOversample * cfg.spreadHz)));
            const double fadeRate = fs / double(ps.decimation);
            const double sigmaHz = cfg.spreadHz / 2;
            // Gaussian impulse response whose power spectrum has standard deviation
            // sigmaHz: sigma_t = 1 / (2 pi sqrt(2) sigma_f).
            const double sigmaSamples = fadeRate / (2 * kPi * std::sqrt(2.0) * sigmaHz);
            const int half = int(std::ceil(4 * sigmaSamples));
            ps.taps.resize(2 * half + 1);
            double sum2 = 0;
            for (int k = -half; k <= half; ++k) {
                const double h = std::exp(-0.5 * (k / sigmaSamples) * (k / sigmaSamples));
                ps.taps[k + half] = h;
                sum2 += h * h;
            }
            for (double& h : ps.taps)
                h /= std::sqrt(sum2);
            ps.line.resize(ps.taps.size());
            for (auto& w : ps.line)
                w = {ps.rng.Gaussian() * std::sqrt(0.5), ps.rng.Gaussian() * std::sqrt(0.5)};
            ps.fade0 = NextFadeSample(ps);
            ps.fade1 = NextFadeSample(ps);
        }
        paths_.push_back(std::move(ps));
    }
    noiseSigma_ = std::sqrt(signalPower / std::pow(10.0, config_.snrDb / 10.0));
    scale_ = std::pow(10.0, config_.levelDbfs / 20.0) /
             std::sqrt(signalPower + noiseSigma_ * noiseSigma_);

    symBase_ = FloorToInt(-maxDelayS * symbolRate_) - kPulseHalfSpan - 2;
}

std::complex<double> Generator::NextFadeSample(PathState& p) {
    const std::size_t len = p.line.size();
    p.line[p.linePos] = {p.rng.Gaussian() * std::sqrt(0.5), p.rng.Gaussian() * std::sqrt(0.5)};
    p.linePos = (p.linePos + 1) % len;
    std::complex<double> acc = 0;
    for (std::size_t i = 0; i < len; ++i)
        acc += p.taps[i] * p.line[(p.linePos + i) % len];
    return acc;
}

std::complex<double> Generator::NextFade(PathState& p) {
    const double f = double(p.fadeCount) / double(p.decimation);
    const std::complex<double> g = p.fade0 + (p.fade1 - p.fade0) * f;
    if (++p.fadeCount == p.decimation) {
        p.fadeCount = 0;
        p.fade0 = p.fade1;
        p.fade1 = NextFadeSample(p);
    }
    return g;
}

void Generator::StartSegment(PathState& p, const Path& cfg, double timeS) {
    double hz = config_.carrierHz + cfg.dopplerHz;
    if (cfg.driftHz != 0) hz += cfg.driftHz * std::sin(2 * kPi * timeS / cfg.driftPeriodS);
    const double stepRad = 2 * kPi * hz * sampleTimeS_;
    p.phasor = std::polar(1.0, p.carrierPhaseRad);
    p.step = std::polar(1.0, stepRad);
    p.carrierPhaseRad = std::remainder(p.carrierPhaseRad + stepRad * double(kSegment), 2 * kPi);
}

void Generator::EnsureSymbols(int64_t lastIndex) {
    static const auto sync = SyncSymbols();
    static const float psk[8][2] = {
        {1.0f, 0.0f},  {float(std::numbers::sqrt2 / 2), float(std::numbers::sqrt2 / 2)},
        {0.0f, 1.0f},  {float(-std::numbers::sqrt2 / 2), float(std::numbers::sqrt2 / 2)},
        {-1.0f, 0.0f}, {float(-std::numbers::sqrt2 / 2), float(-std::numbers::sqrt2 / 2)},
        {0.0f, -1.0f}, {float(std::numbers::sqrt2 / 2), float(-std::numbers::sqrt2 / 2)},
    };
    for (int64_t k = symBase_ + int64_t(symRe_.size()); k <= lastIndex; ++k) {
        const int64_t pos = ((k % kFrameSymbols) + kFrameSymbols) % kFrameSymbols;
        if (pos < kSyncSymbolCount) {
            symRe_.push_back(float(sync[pos]));
            symIm_.push_back(0.0f);
        } else {
            const auto m = symbolRng_.Next() >> 61;
            symRe_.push_back(psk[m][0]);
            symIm_.push_back(psk[m][1]);
        }
    }
}

double Generator::NextSample() {
    const uint64_t n = sampleIndex_++;
    const double t = double(n) * sampleTimeS_;
    const bool segmentStart = n % kSegment == 0;
    int64_t oldest = INT64_MAX;
    double y = 0;
    for (std::size_t i = 0; i < paths_.size(); ++i) {
        PathState& p = paths_[i];
        if (segmentStart) StartSegment(p, config_.paths[i], t);
        const double u = (t - p.delayS) * symbolRate_; // position in symbols
        const double whole = std::floor(u);
        const int64_t first = int64_t(whole) - (kPulseHalfSpan - 1);
        EnsureSymbols(first + kPulseSymbols - 1);
        oldest = std::min(oldest, first);
        const double x = (u - whole) * kPulseOversample;
        const int ix = int(x);
        const float w = float(x - ix);
        const float* sr = symRe_.data() + (first - symBase_);
        const float* si = symIm_.data() + (first - symBase_);
        float re = 0, im = 0;
        for (int j = 0; j < kPulseSymbols; ++j) {
            const float* tab = pulse_.data() + ix + (kPulseSymbols - 1 - j) * kPulseOversample;
            const float h = tab[0] + (tab[1] - tab[0]) * w;
            re += sr[j] * h;
            im += si[j] * h;
        }
        std::complex<double> v(re, im);
        if (p.fading) v *= NextFade(p);
        v *= p.phasor;
        p.phasor *= p.step;
        y += p.amplitude * v.real();
    }
    // Drop symbols no path needs any more.
    if (oldest - symBase_ > 8192) {
        const auto drop = oldest - symBase_ - 64;
        symRe_.erase(symRe_.begin(), symRe_.begin() + drop);
        symIm_.erase(symIm_.begin(), symIm_.begin() + drop);
        symBase_ += drop;
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
