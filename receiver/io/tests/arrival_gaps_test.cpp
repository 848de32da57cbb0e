// SPDX-License-Identifier: GPL-3.0-or-later
// Losses found from arrival times alone, against a simulated sender paced to real
// time: random losses, arrival jitter, fixed and varying datagram sizes. Every
// datagram that arrives must land where it was in the sender's stream.
#include "receiver/io/arrival_gaps.h"
#include "receiver/io/rate_converter.h"
#include "receiver/io/sample_joins.h"
#include "s4285gen/s4285gen.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <random>
#include <string>

namespace io {
namespace {

constexpr int Rate = 48000;

struct Datagram {
    int64_t Start = 0; // in the sender's stream
    int64_t Samples = 0;
    int64_t ArrivalNs = 0;
    bool Lost = false;
};

// Stream positions of the datagrams that arrived, as the verdicts place them.
struct Placed {
    int64_t Arrived = 0;
    int64_t Exact = 0; // placed within `tolerance` samples of where they belong
    int64_t Misplaced = 0;
    int64_t Late = 0, Pauses = 0, Ahead = 0;
    int64_t Silence = 0;
};

// What the sender sends, as a receiver's audio would be: a STANAG 4285 signal
// on two paths (random symbols: every cut shows in the samples), or steady
// tones (three carriers and a little hiss: a cut of one datagram leaves their
// phases nearly where they were, so the samples tell little).
enum class Sound { Modem, Tones };

std::vector<int16_t> Audio(Sound sound, int64_t samples) {
    std::vector<int16_t> audio;
    if (sound == Sound::Modem) {
        s4285gen::Config config = s4285gen::NatoConfig();
        config.Paths = {s4285gen::Path{.DelayMs = 0, .GainDb = 0, .DopplerHz = 0.3},
                        s4285gen::Path{.DelayMs = 2.5, .GainDb = -4, .DopplerHz = -0.5}};
        config.SnrDb = 18;
        s4285gen::Generator generator(config);
        std::vector<int16_t> slow(size_t(samples * config.SampleRate / Rate + config.SampleRate));
        generator.Generate(slow.data(), slow.size());
        std::string error;
        auto up = RateConverter::Create(config.SampleRate, Rate, error);
        up->Convert(slow.data(), slow.size(), audio);
        audio.resize(size_t(samples));
        return audio;
    }
    std::mt19937_64 random(11);
    std::normal_distribution<double> hiss(0.0, 50.0);
    for (int64_t n = 0; n < samples; ++n) {
        const double t = double(n) / Rate;
        audio.push_back(static_cast<int16_t>(
            6000 * std::sin(2 * M_PI * 700.3 * t) + 4000 * std::sin(2 * M_PI * 1500.7 * t + 1) +
            3000 * std::sin(2 * M_PI * 2300.1 * t + 2) + hiss(random)));
    }
    return audio;
}

// Feeds the arrivals in order, deciding after each as the device does, and
// places every datagram by the verdicts. With `audio` the finder also hears
// the samples, as the UDP input does.
Placed Replay(const std::vector<Datagram>& sent, int64_t tolerance, int64_t endNs,
              const std::vector<int16_t>* audio = nullptr) {
    std::vector<const Datagram*> arrived;
    for (const Datagram& d : sent)
        if (!d.Lost) arrived.push_back(&d);
    std::stable_sort(arrived.begin(), arrived.end(), [](const Datagram* a, const Datagram* b) {
        return a->ArrivalNs < b->ArrivalNs;
    });
    ArrivalGapFinder finder(Rate);
    JoinJudge judge;
    Placed placed;
    int64_t position = arrived.empty() ? 0 : arrived.front()->Start;
    const auto apply = [&](const std::vector<DatagramVerdict>& verdicts) {
        for (const DatagramVerdict& v : verdicts) {
            const Datagram& d = *arrived[static_cast<size_t>(v.Index)];
            placed.Late += v.Late;
            placed.Ahead += v.Ahead;
            placed.Pauses += v.PauseBefore > 0;
            if (v.Late) continue;
            position += v.SilenceBefore;
            placed.Silence += v.SilenceBefore;
            if (v.PauseBefore > 0 || v.Ahead) position = d.Start; // time taken up afresh
            ++placed.Arrived;
            if (std::llabs(position - d.Start) <= tolerance)
                ++placed.Exact;
            else
                ++placed.Misplaced;
            position += d.Samples;
        }
    };
    for (const Datagram* d : arrived) {
        const double join =
            audio ? judge.Next(&(*audio)[size_t(d->Start)], size_t(d->Samples)) : 0.0;
        finder.Arrive(d->ArrivalNs, d->Samples, join);
        apply(finder.Decide(d->ArrivalNs));
    }
    apply(finder.Decide(endNs));
    apply(finder.Flush());
    return placed;
}

struct Sender {
    int64_t MinSamples = 1024, MaxSamples = 1024;
    double LossShare = 0;
    double JitterS = 0; // arrival jitter, uniform in +-JitterS
    double Seconds = 300;
    uint64_t Seed = 1;
};

// A sender paced to real time: each datagram leaves when its last sample is
// due, give or take the jitter, never before the one ahead of it.
std::vector<Datagram> Send(const Sender& s) {
    std::mt19937_64 random(s.Seed);
    std::uniform_int_distribution<int64_t> size(s.MinSamples, s.MaxSamples);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<Datagram> sent;
    int64_t start = 0;
    int64_t previousNs = 0;
    const int64_t baseNs = 1'000'000'000'000;
    while (start < static_cast<int64_t>(s.Seconds * Rate)) {
        Datagram d;
        d.Start = start;
        d.Samples = size(random);
        const double jitter = (2 * unit(random) - 1) * s.JitterS;
        const auto dueNs =
            static_cast<int64_t>(double(start + d.Samples) * 1e9 / Rate + jitter * 1e9);
        d.ArrivalNs = std::max(baseNs + dueNs, previousNs + 20'000);
        d.Lost = sent.size() > 10 && unit(random) < s.LossShare;
        if (!d.Lost) previousNs = d.ArrivalNs;
        start += d.Samples;
        sent.push_back(d);
    }
    return sent;
}

struct LossCase {
    const char* Name;
    Sender Stream;
    int64_t Tolerance;     // samples
    double ExactShare;     // of the datagrams that arrived
    double ModemShare = 0; // the same when the finder hears a modem's signal too
};

class ArrivalGaps : public ::testing::TestWithParam<LossCase> {};

TEST_P(ArrivalGaps, EveryDatagramLandsWhereTheSenderHadIt) {
    const LossCase& c = GetParam();
    const std::vector<Datagram> sent = Send(c.Stream);
    int64_t lost = 0;
    for (const Datagram& d : sent)
        lost += d.Lost ? d.Samples : 0;
    const Placed placed = Replay(sent, c.Tolerance, sent.back().ArrivalNs + 5'000'000'000);
    const double exact = double(placed.Exact) / double(placed.Arrived);
    EXPECT_GE(exact, c.ExactShare) << placed.Misplaced << " of " << placed.Arrived << " misplaced";
    EXPECT_EQ(placed.Late, 0);
    EXPECT_EQ(placed.Pauses, 0);
    EXPECT_EQ(placed.Ahead, 0);
    // All that was lost is filled: the errors of single losses do not add up.
    EXPECT_NEAR(double(placed.Silence), double(lost), std::max(c.Tolerance * 4.0, 0.5));
    // The samples keep the finder from putting a loss where the stream goes
    // on unbroken: never worse than the times alone, however little a cut
    // shows, and nearly always right where every cut shows.
    if (c.ModemShare == 0) return;
    const int64_t total = sent.back().Start + sent.back().Samples;
    // (Built for the address sanitizer, without optimisation, the modem's
    // five minutes take the generator minutes: the tones go through the same
    // code.)
#ifdef __SANITIZE_ADDRESS__
    for (const Sound sound : {Sound::Tones}) {
#else
    for (const Sound sound : {Sound::Modem, Sound::Tones}) {
#endif
        const std::vector<int16_t> audio = Audio(sound, total);
        const Placed heard =
            Replay(sent, c.Tolerance, sent.back().ArrivalNs + 5'000'000'000, &audio);
        const double share = double(heard.Exact) / double(heard.Arrived);
        EXPECT_GE(share, sound == Sound::Modem ? c.ModemShare : exact)
            << (sound == Sound::Modem ? "modem: " : "tones: ") << heard.Misplaced << " of "
            << heard.Arrived << " misplaced";
        EXPECT_EQ(heard.Late + heard.Ahead + heard.Pauses, 0);
        EXPECT_NEAR(double(heard.Silence), double(lost), std::max(c.Tolerance * 4.0, 0.5));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Senders, ArrivalGaps,
    ::testing::Values(
        // Whole datagrams of 21 ms under +-20 ms of jitter: a datagram next to
        // a loss may be put on the wrong side of it now and then.
        LossCase{"NoLossJitter20ms", {.JitterS = 0.02}, 0, 1.0},
        LossCase{"Loss1PercentJitter20ms", {.LossShare = 0.01, .JitterS = 0.02}, 0, 0.985, 0.995},
        LossCase{"Loss3PercentJitter20ms",
                 {.LossShare = 0.03, .JitterS = 0.02, .Seed = 3},
                 0,
                 0.97,
                 0.99},
        LossCase{"Loss3PercentSteady", {.LossShare = 0.03, .JitterS = 0.0002, .Seed = 4}, 0, 1.0},
        // Datagrams of 100 to 1500 samples: each loss measured to within a
        // few lags of the receiver's correlator (a lag is 10 samples here).
        LossCase{
            "Sizes100To1500Loss3PercentJitter2ms",
            {.MinSamples = 100, .MaxSamples = 1500, .LossShare = 0.03, .JitterS = 0.002, .Seed = 5},
            25,
            0.95,
            0.955},
        LossCase{
            "Sizes100To1500Loss1PercentJitter2ms",
            {.MinSamples = 100, .MaxSamples = 1500, .LossShare = 0.01, .JitterS = 0.002, .Seed = 6},
            25,
            0.99}),
    [](const auto& info) { return std::string(info.param.Name); });

// A long silence of the sender is not filled; a datagram that comes after its
// time was filled goes; a sender that restarts ahead of time is followed.
TEST(ArrivalGapsEvents, PausesLateDatagramsAndJumpsAheadAreToldApart) {
    std::vector<Datagram> sent = Send({.JitterS = 0.005, .Seconds = 60});
    // A 12 s pause after 20 s: everything later arrives 12 s later.
    const int64_t pauseNs = 12'000'000'000;
    for (Datagram& d : sent)
        if (d.Start >= 20 * Rate) d.ArrivalNs += pauseNs;
    // One datagram at 40 s held back for 3 s.
    const size_t held = 40 * Rate / 1024;
    sent[held].ArrivalNs += 3'000'000'000;
    // From 50 s the sender restarts 4 s ahead of its clock.
    for (Datagram& d : sent)
        if (d.Start >= 50 * Rate) d.ArrivalNs -= 4'000'000'000;
    for (size_t k = 1; k < sent.size(); ++k)
        if (k != held + 1 && k != held)
            sent[k].ArrivalNs = std::max(sent[k].ArrivalNs, sent[k - 1].ArrivalNs + 20'000);
    const Placed placed = Replay(sent, 0, sent.back().ArrivalNs + 5'000'000'000);
    EXPECT_EQ(placed.Pauses, 1);
    EXPECT_EQ(placed.Late, 1);
    EXPECT_EQ(placed.Ahead, 1);
    EXPECT_EQ(placed.Silence, 1024); // the held-back datagram's time, once
    EXPECT_GE(double(placed.Exact) / double(placed.Arrived), 0.99);
}

} // namespace
} // namespace io
