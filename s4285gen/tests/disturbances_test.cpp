// SPDX-License-Identifier: GPL-3.0-or-later
// Tests of what the generator adds beside the STANAG 4285 signal, and of the
// standard channels.  A disturbance is measured as the difference between a
// recording with it and the same seed without it (the noise is the same
// stream), each scaled back by its known level.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>
#include <string>
#include <vector>

#include "s4285gen/channels.h"
#include "s4285gen/s4285gen.h"
#include "s4285gen/tests/render.h"

namespace {

constexpr std::size_t Samples = 96000; // 10 s

double Power(const std::vector<float>& x) {
    double sum = 0;
    for (float v : x)
        sum += double(v) * v;
    return sum / double(x.size());
}

// Noise alone (at 0 dB against the absent signal's power) with and without
// `extra`; the difference, scaled by the level of the render with it, is
// what `extra` added.
std::vector<float> Added(const s4285gen::Disturbances& extra, double addedDb) {
    s4285gen::Config quiet = s4285gen::NatoConfig();
    quiet.SnrDb = 0;
    quiet.Extra.SignalOff = true;
    s4285gen::Config with = quiet;
    with.Extra = extra;
    with.Extra.SignalOff = true;
    const auto a = RenderFloat(with, Samples);
    const auto b = RenderFloat(quiet, Samples);
    // Both at the same RMS level: the noise in `a` is smaller by this much.
    const double share = std::sqrt(1.0 / (1.0 + std::pow(10.0, addedDb / 10)));
    std::vector<float> d(Samples);
    for (std::size_t n = 0; n < Samples; ++n)
        d[n] = float(a[n] - b[n] * share);
    return d;
}

// The power of x at one frequency (least squares of a sine and a cosine).
double ToneFraction(const std::vector<float>& x, double hz, int sampleRate) {
    std::complex<double> sum = 0;
    for (std::size_t n = 0; n < x.size(); ++n)
        sum += double(x[n]) * std::polar(1.0, -2 * std::numbers::pi * hz * double(n) / sampleRate);
    const double power = 2 * std::norm(sum / double(x.size()));
    return power / Power(x);
}

TEST(Disturbances, ACarrierHasItsFrequencyAndItsLevelAgainstTheSignal) {
    s4285gen::Disturbances extra;
    extra.Tones = {{.Hz = 1234.5, .LevelDb = 3}};
    const auto d = Added(extra, 3);
    const double level = std::pow(10.0, -16.0 / 10); // -16 dBFS RMS in all
    // 3 dB against the noise's 0 dB: two thirds of the power.
    EXPECT_NEAR(Power(d) / level, 2.0 / 3.0, 0.02);
    EXPECT_NEAR(ToneFraction(d, 1234.5, 9600), 1.0, 0.01);
}

TEST(Disturbances, AnotherStanagSignalSitsAtItsOffsetWithItsLevel) {
    s4285gen::Disturbances extra;
    extra.OtherSignals = {{.OffsetHz = 600, .LevelDb = 0}};
    const auto d = Added(extra, 0);
    EXPECT_NEAR(Power(d) / std::pow(10.0, -1.6), 0.5, 0.03);
    // Its spectrum (over the first 4096 samples, 1900..2895 Hz) is centred on
    // 1800 + 600 Hz.
    double weighted = 0, total = 0;
    for (double hz = 1900; hz < 2900; hz += 5) {
        std::complex<double> sum = 0;
        for (std::size_t n = 0; n < 4096; ++n)
            sum += double(d[n]) * std::polar(1.0, -2 * std::numbers::pi * hz * double(n) / 9600);
        weighted += std::norm(sum) * hz;
        total += std::norm(sum);
    }
    EXPECT_NEAR(weighted / total, 2400.0, 60.0);
}

TEST(Disturbances, SpeechAndMusicHaveTheirLevel) {
    for (const auto kind : {s4285gen::AudioKind::SpeechLike, s4285gen::AudioKind::MusicLike}) {
        s4285gen::Disturbances extra;
        extra.Audio = kind;
        extra.AudioLevelDb = -3;
        const auto d = Added(extra, -3);
        const double expected = std::pow(10.0, -0.3) / (1 + std::pow(10.0, -0.3));
        // The level is that of 30 s of the audio; 10 s of it come within 20 %.
        EXPECT_NEAR(Power(d) / std::pow(10.0, -1.6), expected, 0.2 * expected) << int(kind);
    }
}

TEST(Disturbances, DropoutsAreSilentOrHeldAndClippingLimitsTheSamples) {
    s4285gen::Config c = s4285gen::NatoConfig();
    c.Extra.Dropouts = {{.StartS = 1.0, .Seconds = 0.5},
                        {.StartS = 3.0, .Seconds = 0.2, .Held = true}};
    c.Extra.ClipDbfs = -20;
    const auto x = RenderFloat(c, 48000);
    const float clip = float(std::pow(10.0, -1.0));
    std::size_t atClip = 0;
    for (std::size_t n = 0; n < x.size(); ++n) {
        ASSERT_LE(std::abs(x[n]), clip * (1 + 1e-6f)) << n;
        atClip += std::abs(x[n]) >= clip * 0.99999f ? 1 : 0;
        if (n >= 9600 && n < 14400) {
            ASSERT_EQ(x[n], 0.0f) << n;
        }
        if (n >= 28800 && n < 30720) {
            ASSERT_EQ(x[n], x[28799]) << n;
        }
    }
    EXPECT_GT(atClip, x.size() / 10); // the signal (RMS -16 dBFS) reaches -20 dBFS often
    EXPECT_NE(x[14400], 0.0f);
    EXPECT_NE(x[30720], x[28799]);
}

TEST(Disturbances, WithTheSignalOffOnlyNoiseAndTheRestRemain) {
    s4285gen::Config on = s4285gen::NatoConfig();
    on.SnrDb = 10;
    s4285gen::Config off = on;
    off.Extra.SignalOff = true;
    // Same noise stream: the difference of the two, unscaled, is the signal.
    const auto a = RenderFloat(on, 9600);
    const auto b = RenderFloat(off, 9600);
    // The noise alone fills the level: off has 10 dB less power to scale up.
    EXPECT_NEAR(Power(b), std::pow(10.0, -1.6), 0.05 * std::pow(10.0, -1.6));
    const double noiseShare = std::sqrt(1.0 / 11.0);
    double residual = 0;
    for (std::size_t n = 0; n < a.size(); ++n) {
        const double signal = a[n] - b[n] * noiseShare;
        residual += signal * signal;
    }
    EXPECT_NEAR(residual / double(a.size()) / std::pow(10.0, -1.6), 10.0 / 11.0, 0.05);
    EXPECT_EQ(s4285gen::CheckConfig(off), "");
}

TEST(Disturbances, BadValuesAreRejected) {
    const auto bad = [](auto change) {
        s4285gen::Config c = s4285gen::NatoConfig();
        change(c.Extra);
        return s4285gen::CheckConfig(c);
    };
    EXPECT_NE(bad([](s4285gen::Disturbances& d) { d.Tones = {{.Hz = 6000}}; }), "");
    EXPECT_NE(bad([](s4285gen::Disturbances& d) { d.OtherSignals = {{.OffsetHz = 9000}}; }), "");
    EXPECT_NE(bad([](s4285gen::Disturbances& d) { d.Dropouts = {{.StartS = -1, .Seconds = 1}}; }),
              "");
    EXPECT_NE(bad([](s4285gen::Disturbances& d) { d.ClipDbfs = 1.0; }), "");
    EXPECT_NE(bad([](s4285gen::Disturbances& d) { d.AudioLevelDb = NAN; }), "");
}

TEST(StandardChannels, TwoEqualFadingPathsAtTheirSpacingEachWithItsSeed) {
    std::vector<uint64_t> seeds;
    for (const s4285gen::WattersonChannel& ch : s4285gen::WattersonChannels()) {
        const s4285gen::Config c = s4285gen::WattersonConfig(ch.Id, 12);
        ASSERT_EQ(c.Paths.size(), 2u) << ch.Name;
        EXPECT_DOUBLE_EQ(c.Paths[1].DelayMs - c.Paths[0].DelayMs, ch.DelayMs) << ch.Name;
        for (const s4285gen::Path& p : c.Paths) {
            EXPECT_EQ(p.GainDb, 0.0);
            EXPECT_EQ(p.SpreadHz, ch.SpreadHz);
        }
        EXPECT_EQ(c.SnrDb, 12);
        EXPECT_EQ(s4285gen::CheckConfig(c), "");
        EXPECT_EQ(s4285gen::WattersonByName(ch.Name), ch.Id);
        seeds.push_back(c.Seed);
    }
    std::sort(seeds.begin(), seeds.end());
    EXPECT_EQ(std::unique(seeds.begin(), seeds.end()), seeds.end());
    EXPECT_EQ(s4285gen::ChannelOf(s4285gen::Watterson::Disturbed).SpreadHz, 30.0);
    EXPECT_EQ(s4285gen::ChannelOf(s4285gen::Watterson::Good).DelayMs, 0.5);
    EXPECT_FALSE(s4285gen::WattersonByName("fair"));
    EXPECT_EQ(s4285gen::WattersonConfig(s4285gen::Watterson::Poor, 5, 8000).SampleRate, 8000);
}

} // namespace
