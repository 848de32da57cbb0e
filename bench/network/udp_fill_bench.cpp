// SPDX-License-Identifier: GPL-3.0-or-later
// UDP losses filled from arrival times, scored on what a station keeps: a
// two-path STANAG 4285 signal at 48000 samples/s is cut into datagrams by a
// simulated sender paced to real time (arrival jitter, random losses, fixed or
// varying sizes), the arrival-gap finder places the silence, and the stream it
// makes runs through the rate converter, the chain and the measurement stage
// in process. Each row after lock is checked against the true lag and, when it
// is not there, put down to its cause:
//   misplaced   some of the block's samples stand where a fill was put in the
//               wrong place (a datagram early or late)
//   fill        the block is flagged fill (it or one of the two before holds
//               some) and every sample stands within a lag of its place
//   other       neither (noise, fading)
// The same arrivals with the silence at the true places give the ceiling.
//
//   udp_fill_bench [SECONDS] [SEEDS]
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "receiver/analysis/measurement.h"
#include "receiver/dsp/chain.h"
#include "receiver/dsp/tables.h"
#include "receiver/io/arrival_gaps.h"
#include "receiver/io/rate_converter.h"
#include "receiver/io/sample_joins.h"
#include "s4285gen/s4285gen.h"

namespace {

constexpr int StreamRate = 48000;
constexpr int ChainRate = 9600;

struct Sender {
    const char* Name;
    int64_t MinSamples = 1024, MaxSamples = 1024;
    double LossShare = 0;
    double JitterS = 0;
};

struct Datagram {
    int64_t Start = 0;
    int64_t Samples = 0;
    int64_t ArrivalNs = 0;
    bool Lost = false;
};

// Each datagram leaves when its last sample is due give or take the jitter,
// never before the one ahead of it (lost or not: the sender sleeps for it).
std::vector<Datagram> Send(const Sender& s, int64_t total, uint64_t seed) {
    std::mt19937_64 random(seed);
    std::uniform_int_distribution<int64_t> size(s.MinSamples, s.MaxSamples);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<Datagram> sent;
    int64_t previousNs = 0;
    for (int64_t start = 0; start < total;) {
        Datagram d;
        d.Start = start;
        d.Samples = std::min(size(random), total - start);
        const double jitter = (2 * unit(random) - 1) * s.JitterS;
        const auto dueNs = int64_t(double(start + d.Samples) * 1e9 / StreamRate + jitter * 1e9);
        d.ArrivalNs = std::max(dueNs, previousNs + 20'000);
        previousNs = d.ArrivalNs;
        d.Lost = start > 0 && unit(random) < s.LossShare;
        start += d.Samples;
        sent.push_back(d);
    }
    return sent;
}

// The stream as the receiver makes it: samples, and for each the position it
// had in the sender's stream (-1: fill).
struct Made {
    std::vector<int16_t> Samples;
    std::vector<int64_t> From;
};

void Put(Made& made, const std::vector<int16_t>& signal, const Datagram& d) {
    for (int64_t i = 0; i < d.Samples; ++i) {
        made.Samples.push_back(signal[size_t(d.Start + i)]);
        made.From.push_back(d.Start + i);
    }
}

void Silence(Made& made, int64_t samples) {
    made.Samples.insert(made.Samples.end(), size_t(samples), 0);
    made.From.insert(made.From.end(), size_t(samples), -1);
}

// With `hear` the finder also weighs what the samples say of each join, as
// the UDP input does.
Made ByFinder(const std::vector<int16_t>& signal, const std::vector<Datagram>& sent, bool hear) {
    std::vector<const Datagram*> arrived;
    for (const Datagram& d : sent)
        if (!d.Lost) arrived.push_back(&d);
    io::ArrivalGapFinder finder(StreamRate);
    io::JoinJudge judge;
    Made made;
    const auto apply = [&](const std::vector<io::DatagramVerdict>& verdicts) {
        for (const io::DatagramVerdict& v : verdicts) {
            if (v.Late) continue;
            Silence(made, v.SilenceBefore);
            Put(made, signal, *arrived[size_t(v.Index)]);
        }
    };
    for (const Datagram* d : arrived) {
        const double join = hear ? judge.Next(&signal[size_t(d->Start)], size_t(d->Samples)) : 0.0;
        finder.Arrive(d->ArrivalNs, d->Samples, join);
        apply(finder.Decide(d->ArrivalNs));
    }
    apply(finder.Flush());
    return made;
}

Made Ideal(const std::vector<int16_t>& signal, const std::vector<Datagram>& sent) {
    Made made;
    for (const Datagram& d : sent) {
        if (d.Lost)
            Silence(made, d.Samples);
        else
            Put(made, signal, d);
    }
    return made;
}

std::vector<int16_t> TwoPathSignal(double seconds, uint64_t seed) {
    s4285gen::Config config = s4285gen::NatoConfig();
    config.Paths = {s4285gen::Path{.DelayMs = 0, .GainDb = 0, .DopplerHz = 0.3},
                    s4285gen::Path{.DelayMs = 2.5, .GainDb = -4, .DopplerHz = -0.5}};
    config.SnrDb = 18;
    config.Seed = seed;
    s4285gen::Generator generator(config);
    std::vector<int16_t> slow(size_t(seconds * config.SampleRate));
    generator.Generate(slow.data(), slow.size());
    std::string error;
    auto up = io::RateConverter::Create(config.SampleRate, StreamRate, error);
    std::vector<int16_t> fast;
    up->Convert(slow.data(), slow.size(), fast);
    up->Flush(fast);
    return fast;
}

struct Score {
    int64_t Rows = 0, Kept = 0, LockedAway = 0;
    int64_t AwayMisplaced = 0, AwayFill = 0, AwayOther = 0;
    int64_t FillRows = 0, FillLocked = 0;
    int64_t Clean = 0, CleanKept = 0; // rows not flagged fill
    int64_t PathKept = 0;             // rows whose path1_lag is at the true lag
    void Add(const Score& o) {
        PathKept += o.PathKept;
        Clean += o.Clean;
        CleanKept += o.CleanKept;
        Rows += o.Rows;
        Kept += o.Kept;
        LockedAway += o.LockedAway;
        AwayMisplaced += o.AwayMisplaced;
        AwayFill += o.AwayFill;
        AwayOther += o.AwayOther;
        FillRows += o.FillRows;
        FillLocked += o.FillLocked;
    }
};

// The made stream through the converter, the chain and the stage; rows after
// the first locked one scored against `trueLag` (found from the rows when < 0).
Score Run(const Made& made, int trueLag) {
    std::string error;
    auto down = io::RateConverter::Create(StreamRate, ChainRate, error);
    std::vector<int16_t> samples;
    down->Convert(made.Samples.data(), made.Samples.size(), samples);
    down->Flush(samples);
    const int ratio = StreamRate / ChainRate;

    dsp::Settings settings;
    dsp::ChainControls controls;
    auto chain = dsp::MakeChain(dsp::ModeNato, controls, settings);
    analysis::MeasurementStage stage;

    struct Row {
        int Lag;
        bool Locked, Fill, Misplaced;
        double PathLag; // path1_lag, -1 when no path
    };
    std::vector<Row> rows;
    int64_t samplesIn = 0;
    dsp::DisplayHooks hooks;
    hooks.BlockProcessed = [&](const dsp::ChainState& state) {
        const int64_t end = samplesIn - (dsp::BlockLen - 1 - state.Intake.ResampleInputPos);
        const int64_t first = std::max<int64_t>(0, (end - dsp::BlockLen) * ratio);
        const int64_t last = std::min<int64_t>(int64_t(made.From.size()), end * ratio);
        bool fill = false, misplaced = false;
        // A sample stands where it belongs when it sits within a lag of its
        // stream position from the start (the first datagram arrived is at 0).
        for (int64_t i = first; i < last; ++i) {
            fill = fill || made.From[size_t(i)] < 0;
            misplaced = misplaced || (made.From[size_t(i)] >= 0 &&
                                      std::llabs(made.From[size_t(i)] - i) > ratio * 2);
        }
        const analysis::BlockMeasurement& m =
            stage.Add(state, settings, analysis::BlockInputFacts{.Fill = fill});
        rows.push_back({state.Peak.PeakLag, m.Locked, (m.Flags & analysis::FlagFill) != 0,
                        misplaced, m.PathCount > 0 ? m.Paths[0].Lag : -1.0});
    };
    for (size_t at = 0; at + dsp::BlockLen <= samples.size(); at += dsp::BlockLen) {
        samplesIn = int64_t(at) + dsp::BlockLen;
        dsp::ResampleBuffer(*chain, settings, controls, hooks, &samples[at], 2 * dsp::BlockLen);
    }
    size_t start = 0;
    while (start < rows.size() && !rows[start].Locked)
        ++start;
    if (trueLag < 0) {
        std::map<int, int> lags;
        for (size_t i = start; i < rows.size(); ++i)
            ++lags[rows[i].Lag];
        trueLag = std::max_element(lags.begin(), lags.end(), [](auto& a, auto& b) {
                      return a.second < b.second;
                  })->first;
    }
    Score score;
    for (size_t i = start; i < rows.size(); ++i) {
        const Row& r = rows[i];
        const bool kept = std::abs(r.Lag - trueLag) <= 1;
        ++score.Rows;
        score.PathKept += r.PathLag >= 0 && std::abs(r.PathLag - trueLag) <= 1.5;
        score.Kept += kept;
        score.FillRows += r.Fill;
        score.FillLocked += r.Fill && r.Locked;
        score.Clean += !r.Fill;
        score.CleanKept += !r.Fill && kept;
        if (kept) continue;
        score.LockedAway += r.Locked;
        if (r.Misplaced)
            ++score.AwayMisplaced;
        else if (r.Fill)
            ++score.AwayFill;
        else
            ++score.AwayOther;
    }
    return score;
}

void Print(const char* name, const char* placement, const Score& s) {
    std::printf("| %s | %s | %lld | %.4f | %.4f | %.4f | %lld | %lld | %lld | %lld | %lld/%lld |\n",
                name, placement, static_cast<long long>(s.Rows), double(s.Kept) / double(s.Rows),
                double(s.PathKept) / double(s.Rows),
                double(s.CleanKept) / double(std::max<int64_t>(1, s.Clean)),
                static_cast<long long>(s.LockedAway), static_cast<long long>(s.AwayMisplaced),
                static_cast<long long>(s.AwayFill), static_cast<long long>(s.AwayOther),
                static_cast<long long>(s.FillLocked), static_cast<long long>(s.FillRows));
}

} // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 300.0;
    const int seeds = argc > 2 ? std::atoi(argv[2]) : 1;
    const std::vector<Sender> senders = {
        {"1024, +-20 ms, no loss", 1024, 1024, 0.0, 0.02},
        {"1024, +-20 ms, 1 % loss", 1024, 1024, 0.01, 0.02},
        {"1024, +-20 ms, 3 % loss", 1024, 1024, 0.03, 0.02},
        {"100..1500, +-2 ms, 3 % loss", 100, 1500, 0.03, 0.002},
    };
    std::printf("Rows after lock at the true lag (+-1), %.0f s x %d seeds.\n\n", seconds, seeds);
    std::printf("| sender | fills placed | rows | at true lag | path1_lag there | of rows without "
                "fill | locked elsewhere | away: misplaced | away: fill | away: other | fill rows "
                "locked |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|---|---|\n");
    for (const Sender& sender : senders) {
        Score found, heard, ideal;
        for (int seed = 1; seed <= seeds; ++seed) {
            const std::vector<int16_t> signal = TwoPathSignal(seconds, uint64_t(seed));
            const std::vector<Datagram> sent =
                Send(sender, int64_t(signal.size()), uint64_t(seed) * 7919);
            const Score i = Run(Ideal(signal, sent), -1);
            ideal.Add(i);
            found.Add(Run(ByFinder(signal, sent, false), -1));
            heard.Add(Run(ByFinder(signal, sent, true), -1));
        }
        Print(sender.Name, "arrival times", found);
        Print(sender.Name, "times and samples", heard);
        Print(sender.Name, "where lost", ideal);
        std::fflush(stdout);
    }
    return 0;
}
