// SPDX-License-Identifier: GPL-3.0-or-later
// Tests of the STANAG 4285 test-signal generator. The checks measure the generated
// audio the way a receiver would: mix the carrier down, correlate with the
// synchronisation preamble, look at spectra and levels.
#include "s4285gen/s4285gen.h"
#include "s4285gen/tests/render.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>
#include <numeric>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Cd = std::complex<double>;
constexpr double Pi = std::numbers::pi;

// The recording mixed down by the nominal carrier and lowpass filtered (zero-phase
// windowed sinc) to remove the image at twice the carrier.
std::vector<Cd> MixDown(const std::vector<float>& x, const s4285gen::Config& c) {
    std::vector<Cd> mixed(x.size());
    for (std::size_t n = 0; n < x.size(); ++n)
        mixed[n] = double(x[n]) * std::polar(1.0, -2 * Pi * c.CarrierHz * double(n) / c.SampleRate);
    constexpr int half = 63;
    const double cutoff = 0.19; // of the sample rate; the signal reaches 0.169
    std::vector<double> taps(2 * half + 1);
    for (int k = -half; k <= half; ++k) {
        const double sinc = k == 0 ? 2 * cutoff : std::sin(2 * Pi * cutoff * k) / (Pi * k);
        const double a = 2 * Pi * (k + half) / (2 * half);
        taps[k + half] = sinc * (0.42 - 0.5 * std::cos(a) + 0.08 * std::cos(2 * a));
    }
    std::vector<Cd> z(x.size());
    for (std::size_t n = half; n + half < x.size(); ++n) {
        Cd acc = 0;
        for (int k = -half; k <= half; ++k)
            acc += taps[k + half] * mixed[n + k];
        z[n] = acc;
    }
    return z;
}

// Correlation of the baseband with the preamble whose first symbol is centred at
// sample m.
Cd PreambleCorrelation(const std::vector<Cd>& z, std::size_t m) {
    static const auto Sync = s4285gen::SyncSymbols();
    Cd acc = 0;
    for (int k = 0; k < s4285gen::SyncSymbolCount; ++k)
        acc += double(Sync[k]) * z[m + 4 * k];
    return acc;
}

struct Peak {
    double Position; // fractional sample, parabolic interpolation of |c|
    Cd Value;        // correlation at the whole-sample maximum
};

Peak FindPreamble(const std::vector<Cd>& z, std::size_t from, std::size_t to) {
    std::size_t best = from;
    double bestMag = -1;
    for (std::size_t m = from; m < to; ++m) {
        const double mag = std::abs(PreambleCorrelation(z, m));
        if (mag > bestMag) {
            bestMag = mag;
            best = m;
        }
    }
    const double a = std::abs(PreambleCorrelation(z, best - 1));
    const double b = bestMag;
    const double c = std::abs(PreambleCorrelation(z, best + 1));
    const double offset = 0.5 * (a - c) / (a - 2 * b + c);
    return {double(best) + offset, PreambleCorrelation(z, best)};
}

void Fft(std::vector<Cd>& a) {
    const std::size_t n = a.size();
    for (std::size_t i = 1, j = 0; i < n; ++i) {
        std::size_t bit = n >> 1;
        for (; j & bit; bit >>= 1)
            j ^= bit;
        j ^= bit;
        if (i < j) std::swap(a[i], a[j]);
    }
    for (std::size_t len = 2; len <= n; len <<= 1) {
        Cd w = std::polar(1.0, -2 * Pi / double(len));
        for (std::size_t i = 0; i < n; i += len) {
            Cd wn = 1;
            for (std::size_t k = 0; k < len / 2; ++k, wn *= w) {
                Cd u = a[i + k], v = a[i + k + len / 2] * wn;
                a[i + k] = u + v;
                a[i + k + len / 2] = u - v;
            }
        }
    }
}

// Centre of gravity of the averaged power spectrum (Hann-windowed segments).
double SpectralCentroidHz(const std::vector<float>& x, int sampleRate) {
    constexpr std::size_t len = 1024;
    std::vector<double> power(len / 2, 0.0);
    for (std::size_t start = 0; start + len <= x.size(); start += len) {
        std::vector<Cd> seg(len);
        for (std::size_t i = 0; i < len; ++i)
            seg[i] = x[start + i] * (0.5 - 0.5 * std::cos(2 * Pi * double(i) / len));
        Fft(seg);
        for (std::size_t k = 0; k < len / 2; ++k)
            power[k] += std::norm(seg[k]);
    }
    double num = 0, den = 0;
    for (std::size_t k = 0; k < len / 2; ++k) {
        num += power[k] * double(k) * sampleRate / double(len);
        den += power[k];
    }
    return num / den;
}

double RmsDbfs(const std::vector<int16_t>& x) {
    double sum = 0;
    for (int16_t v : x)
        sum += double(v) * v;
    return 10 * std::log10(sum / double(x.size()) / (32767.0 * 32767.0));
}

s4285gen::Config OnePath(s4285gen::Config c, s4285gen::Path p) {
    c.Paths = {p};
    return c;
}

// ---------------------------------------------------------------- tables, config

TEST(SyncTables, PreambleIsTheMaximalLengthSequenceAsBpsk) {
    const auto bits = s4285gen::SyncBits();
    EXPECT_EQ(std::accumulate(bits.begin(), bits.end(), 0), 16);
    for (int n = 0; n < 31; ++n)
        EXPECT_EQ(bits[(n + 5) % 31], bits[(n + 2) % 31] ^ bits[n]) << "n=" << n;
    const auto sync = s4285gen::SyncSymbols();
    EXPECT_EQ(sync[0], 1);
    EXPECT_EQ(sync[1], -1);
    EXPECT_EQ(sync[31], sync[0]);
    EXPECT_EQ(sync[79], sync[17]);
    EXPECT_EQ(sync[79], 1);
}

TEST(GeneratorConfig, PresetsAreUsableAndBadValuesAreRejected) {
    EXPECT_EQ(s4285gen::CheckConfig(s4285gen::NatoConfig()), "");
    EXPECT_EQ(s4285gen::CheckConfig(s4285gen::AmateurConfig()), "");
    EXPECT_EQ(s4285gen::CheckConfig(s4285gen::LiveDemoConfig(9600)), "");
    EXPECT_EQ(s4285gen::CheckConfig(s4285gen::LiveDemoConfig(8000)), "");
    EXPECT_EQ(s4285gen::AmateurConfig().SampleRate, 8000);
    EXPECT_EQ(s4285gen::AmateurConfig().CarrierHz, 1500);
    EXPECT_EQ(s4285gen::LiveDemoConfig(8000).CarrierHz, 1500);
    EXPECT_GE(s4285gen::LiveDemoConfig(9600).Paths.size(), 2u);

    auto bad = [](auto change) {
        s4285gen::Config c = s4285gen::NatoConfig();
        change(c);
        return s4285gen::CheckConfig(c);
    };
    EXPECT_NE(bad([](s4285gen::Config& c) { c.Paths.clear(); }), "");
    EXPECT_NE(bad([](s4285gen::Config& c) { c.Paths[0].DelayMs = -1; }), "");
    EXPECT_NE(bad([](s4285gen::Config& c) { c.Paths[0].SpreadHz = -0.5; }), "");
    EXPECT_NE(bad([](s4285gen::Config& c) { c.Paths[0].GainDb = NAN; }), "");
    EXPECT_NE(bad([](s4285gen::Config& c) { c.Paths[0].DriftHz = 1; }), ""); // no period
    EXPECT_NE(bad([](s4285gen::Config& c) { c.CarrierHz = 5000; }), "");
    EXPECT_NE(bad([](s4285gen::Config& c) { c.SampleRate = 0; }), "");
    EXPECT_NE(bad([](s4285gen::Config& c) { c.LevelDbfs = 3; }), "");
    EXPECT_NE(bad([](s4285gen::Config& c) { c.SnrDb = INFINITY; }), "");

    s4285gen::Config c = s4285gen::NatoConfig();
    c.Paths.clear();
    EXPECT_THROW(s4285gen::Generator{c}, std::invalid_argument);
}

// ---------------------------------------------------------------- determinism, streaming

s4285gen::Config BusyChannel() {
    s4285gen::Config c = s4285gen::LiveDemoConfig(9600);
    c.ClockPpm = 37;
    c.Paths.push_back(s4285gen::Path{7.3, -2, -3.1, 0.05, 1.5, 3});
    return c;
}

TEST(GeneratorStream, SameSeedGivesSameSamplesAndOtherSeedDiffers) {
    s4285gen::Config c = BusyChannel();
    const auto a = RenderPcm(c, 40000);
    const auto b = RenderPcm(c, 40000);
    EXPECT_EQ(a, b);
    c.Seed = 2;
    const auto d = RenderPcm(c, 40000);
    std::size_t differing = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        differing += a[i] != d[i];
    EXPECT_GT(differing, a.size() * 9 / 10);
}

TEST(GeneratorStream, ChunkedCallsEqualOneCall) {
    const s4285gen::Config c = BusyChannel();
    const std::size_t total = 60000;
    const auto whole = RenderFloat(c, total);
    s4285gen::Generator g(c);
    std::vector<float> pieces(total);
    std::mt19937 sizes(7);
    for (std::size_t done = 0; done < total;) {
        const std::size_t n = std::min<std::size_t>(total - done, 1 + sizes() % 3000);
        g.GenerateFloat(pieces.data() + done, n);
        done += n;
    }
    EXPECT_EQ(g.SamplesGenerated(), total);
    ASSERT_EQ(whole, pieces);

    // The int16 call is the same stream, scaled to 32767 and rounded.
    s4285gen::Generator h(c);
    std::vector<int16_t> pcm(1000);
    h.Generate(pcm.data(), 500);
    h.Generate(pcm.data() + 500, 500);
    for (std::size_t i = 0; i < pcm.size(); ++i)
        EXPECT_EQ(pcm[i], int16_t(std::nearbyint(whole[i] * 32767.0))) << i;
}

// ---------------------------------------------------------------- preamble timing

TEST(GeneratorTiming, PreambleArrivesAtThePathDelayInEveryFrame) {
    struct Case {
        s4285gen::Config Config;
        double DelayMs;
        std::size_t DelaySamples;
    };
    const Case cases[] = {{s4285gen::NatoConfig(), 2.5, 24}, {s4285gen::AmateurConfig(), 4.0, 32}};
    for (const Case& cs : cases) {
        s4285gen::Config c = OnePath(cs.Config, {cs.DelayMs, 0, 0, 0});
        c.SnrDb = 40;
        const auto z = MixDown(RenderFloat(c, 10 * 1024), c);
        for (std::size_t frame = 1; frame < 9; ++frame) {
            const std::size_t expected = frame * 1024 + cs.DelaySamples;
            const Peak p = FindPreamble(z, frame * 1024 - 500, frame * 1024 + 500);
            EXPECT_NEAR(p.Position, double(expected), 0.05)
                << "rate " << c.SampleRate << " frame " << frame;
            EXPECT_NEAR(s4285gen::FrameStartSample(c, int64_t(frame), 0), double(expected), 1e-9);
        }
    }
}

TEST(GeneratorTiming, FractionalDelaysMoveThePreambleBetweenSamples) {
    for (double delaySamples : {3.5, 10.25, 20.75}) {
        s4285gen::Config c = OnePath(s4285gen::NatoConfig(), {delaySamples / 9.6, 0, 0, 0});
        c.SnrDb = 60;
        const auto z = MixDown(RenderFloat(c, 6 * 1024), c);
        for (std::size_t frame = 1; frame < 5; ++frame) {
            const Peak p = FindPreamble(z, frame * 1024 - 100, frame * 1024 + 100);
            EXPECT_NEAR(p.Position - double(frame * 1024), delaySamples, 0.08) << "frame " << frame;
        }
    }
}

TEST(GeneratorTiming, TwoPathsGiveTwoPeaksInTheirGainRatio) {
    s4285gen::Config c = s4285gen::NatoConfig();
    c.Paths = {{1.0, 0, 0, 0}, {4.0, -6, 0, 0}}; // 9.6 and 38.4 samples
    c.SnrDb = 40;
    const auto z = MixDown(RenderFloat(c, 8 * 1024), c);
    for (std::size_t frame = 1; frame < 7; ++frame) {
        const std::size_t base = frame * 1024;
        const Peak first = FindPreamble(z, base, base + 24);
        const Peak second = FindPreamble(z, base + 24, base + 60);
        // The preamble's correlation sidelobes of one path disturb the other a little.
        EXPECT_NEAR(first.Position - double(base), 9.6, 0.3);
        EXPECT_NEAR(second.Position - double(base), 38.4, 0.3);
        EXPECT_NEAR(std::abs(second.Value) / std::abs(first.Value), std::pow(10.0, -6 / 20.0), 0.1);
    }
}

TEST(GeneratorTiming, ClockPpmStretchesTheFramePeriod) {
    for (double ppm : {500.0, -300.0}) {
        s4285gen::Config c = OnePath(s4285gen::NatoConfig(), {1.0, 0, 0, 0});
        c.ClockPpm = ppm;
        c.SnrDb = 50;
        const std::size_t frames = 40;
        const auto z = MixDown(RenderFloat(c, (frames + 2) * 1024), c);
        // Least-squares slope of the preamble positions over the frame number.
        double sx = 0, sy = 0, sxx = 0, sxy = 0;
        for (std::size_t f = 1; f <= frames; ++f) {
            const double predicted = s4285gen::FrameStartSample(c, int64_t(f), 0);
            const auto centre = std::size_t(std::lround(predicted));
            const Peak p = FindPreamble(z, centre - 40, centre + 40);
            EXPECT_NEAR(p.Position, predicted, 0.1) << "ppm " << ppm << " frame " << f;
            sx += double(f);
            sy += p.Position;
            sxx += double(f) * double(f);
            sxy += double(f) * p.Position;
        }
        const double n = double(frames);
        const double slope = (n * sxy - sx * sy) / (n * sxx - sx * sx);
        EXPECT_NEAR(slope, 1024.0 * (1 + ppm * 1e-6), 0.01) << "ppm " << ppm;
    }
}

// ---------------------------------------------------------------- Doppler

TEST(GeneratorDoppler, PositiveShiftPutsTheSpectrumAboveTheCarrier) {
    s4285gen::Config c = s4285gen::NatoConfig();
    c.SnrDb = 60;
    // 30 s: the periodic preamble gives the spectrum fine structure that needs a long
    // average; the shifted runs carry the same symbols, so they compare closely.
    const std::size_t n = 30 * 9600;
    const double centre = SpectralCentroidHz(RenderFloat(OnePath(c, {}), n), 9600);
    EXPECT_NEAR(centre, 1800, 8);
    for (double shift : {60.0, -45.0}) {
        const auto x = RenderFloat(OnePath(c, {0, 0, shift, 0}), n);
        EXPECT_NEAR(SpectralCentroidHz(x, 9600) - centre, shift, 1.5) << shift;
    }
}

TEST(GeneratorDoppler, PositiveShiftAdvancesThePreamblePhaseFrameByFrame) {
    const double shiftHz = 2.0; // 1.34 rad per frame, unambiguous
    s4285gen::Config c = OnePath(s4285gen::NatoConfig(), {0.5, 0, shiftHz, 0});
    c.SnrDb = 40;
    const auto z = MixDown(RenderFloat(c, 12 * 1024), c);
    const double frameS = 1024.0 / 9600;
    for (std::size_t f = 1; f < 10; ++f) {
        Cd a = PreambleCorrelation(z, f * 1024 + 5);
        Cd b = PreambleCorrelation(z, (f + 1) * 1024 + 5);
        const double hz = std::arg(b * std::conj(a)) / (2 * Pi * frameS);
        EXPECT_NEAR(hz, shiftHz, 0.02) << "frame " << f;
    }
}

TEST(GeneratorDoppler, DriftSwingsTheShiftSinusoidally) {
    const double driftHz = 3, periodS = 4;
    s4285gen::Config c = OnePath(s4285gen::NatoConfig(), {0, 0, 0.5, 0, driftHz, periodS});
    c.SnrDb = 40;
    const std::size_t frames = 40; // 4.3 s, one whole period
    const auto z = MixDown(RenderFloat(c, (frames + 2) * 1024), c);
    const double frameS = 1024.0 / 9600;
    double maxHz = -100, minHz = 100;
    for (std::size_t f = 0; f < frames; ++f) {
        Cd a = PreambleCorrelation(z, f * 1024);
        Cd b = PreambleCorrelation(z, (f + 1) * 1024);
        const double hz = std::arg(b * std::conj(a)) / (2 * Pi * frameS);
        const double midS = (double(f) + 0.5) * frameS;
        // Averaged over one frame the sinusoid is slightly smaller than at its middle.
        const double expected = 0.5 + driftHz * std::sin(2 * Pi * midS / periodS);
        EXPECT_NEAR(hz, expected, 0.1) << "frame " << f;
        maxHz = std::max(maxHz, hz);
        minHz = std::min(minHz, hz);
    }
    EXPECT_GT(maxHz, 3.3);
    EXPECT_LT(minHz, -2.3);
}

TEST(GeneratorDoppler, SpreadFadesLikeRayleighWithTheGaussianWidthAsked) {
    const double spreadHz = 2.0; // sigma 1 Hz
    s4285gen::Config c = OnePath(s4285gen::NatoConfig(), {0, 0, 0, spreadHz});
    c.SnrDb = 40;
    c.LevelDbfs = -20;
    const std::size_t frames = 3000;
    const auto x = RenderFloat(c, (frames + 1) * 1024);
    const auto z = MixDown(x, c);
    std::vector<Cd> h(frames);
    for (std::size_t f = 0; f < frames; ++f)
        h[f] = PreambleCorrelation(z, f * 1024);

    double p = 0, p2 = 0;
    Cd lag1 = 0;
    for (std::size_t f = 0; f < frames; ++f) {
        p += std::norm(h[f]);
        p2 += std::norm(h[f]) * std::norm(h[f]);
        if (f + 1 < frames) lag1 += h[f + 1] * std::conj(h[f]);
    }
    p /= double(frames);
    p2 /= double(frames);
    // Rayleigh fading: the power is exponentially distributed, variance = mean^2.
    EXPECT_NEAR(p2 / (p * p) - 1, 1.0, 0.2);
    // Gaussian Doppler spectrum of standard deviation sigma: the correlation one frame
    // apart is exp(-2 pi^2 sigma^2 tau^2).
    const double rho = std::abs(lag1) / (p * double(frames - 1));
    const double tau = 1024.0 / 9600;
    const double sigma = std::sqrt(-std::log(rho) / (2 * Pi * Pi * tau * tau));
    EXPECT_NEAR(sigma, spreadHz / 2, 0.12);

    // Unit mean power: the long-run level is the one asked for.
    double sum = 0;
    for (float v : x)
        sum += double(v) * v;
    EXPECT_NEAR(10 * std::log10(sum / double(x.size())), -20, 0.3);
}

// ---------------------------------------------------------------- level, noise

TEST(GeneratorLevel, RmsLevelIsTheRequestedDbfs) {
    for (double level : {-16.0, -30.0, -6.0}) {
        s4285gen::Config c = s4285gen::NatoConfig();
        c.Paths = {{0, 0, 0, 0}, {3, -4, 1, 0}};
        c.LevelDbfs = level;
        c.SnrDb = 10;
        EXPECT_NEAR(RmsDbfs(RenderPcm(c, 96000)), level, 0.2) << level;
    }
}

TEST(GeneratorLevel, LoudLevelsClipInsteadOfWrapping) {
    s4285gen::Config c = s4285gen::NatoConfig();
    c.LevelDbfs = 0;
    c.SnrDb = -10; // mostly Gaussian noise, peaks far beyond full scale
    const auto pcm = RenderPcm(c, 20000);
    const auto floats = RenderFloat(c, 20000);
    std::size_t clipped = 0;
    for (std::size_t i = 0; i < pcm.size(); ++i) {
        if (floats[i] >= 1.0f) {
            EXPECT_EQ(pcm[i], 32767);
            ++clipped;
        } else if (floats[i] <= -1.0f) {
            EXPECT_EQ(pcm[i], -32768);
            ++clipped;
        }
    }
    EXPECT_GT(clipped, 100u);
}

TEST(GeneratorNoise, NoiseOverTheWholeBandHasTheRequestedSnr) {
    s4285gen::Config c = OnePath(s4285gen::NatoConfig(), {0, 0, 0, 0});
    c.SnrDb = 200;
    const auto clean = RenderFloat(c, 96000);
    for (double snr : {0.0, 10.0, 25.0}) {
        c.SnrDb = snr;
        const auto noisy = RenderFloat(c, 96000);
        // Same seed: the same signal, scaled down to make room for the noise.
        const double shrink = 1 / std::sqrt(1 + std::pow(10.0, -snr / 10));
        double ps = 0, pn = 0;
        for (std::size_t i = 0; i < noisy.size(); ++i) {
            const double s = clean[i] * shrink;
            ps += s * s;
            pn += (noisy[i] - s) * (noisy[i] - s);
        }
        EXPECT_NEAR(10 * std::log10(ps / pn), snr, 0.15) << snr;
    }
}

} // namespace
