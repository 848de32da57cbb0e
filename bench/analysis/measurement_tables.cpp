// SPDX-License-Identifier: GPL-3.0-or-later
// The accuracy bench's tables for SNR, paths, Doppler, interference and the
// clock (measurement_cases.h).
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "bench/analysis/measurement_cases.h"

namespace bench {

namespace {

constexpr double MatchToleranceMs = 0.15;

const char* const Targets[] = {"quiet", "good", "moderate", "poor"};

bool ShiftTarget(const char* name) {
    return std::any_of(std::begin(Targets), std::end(Targets),
                       [&](const char* t) { return std::string(t) == name; });
}

// Per true path over the minutes: shift errors and measured spreads.
struct DopplerScore {
    std::vector<std::vector<double>> ShiftErrors, Spreads;
    size_t Minutes = 0, Found = 0;
};

DopplerScore ScoreDoppler(const Run& run, const s4285gen::Config& config) {
    DopplerScore score;
    score.ShiftErrors.resize(config.Paths.size());
    score.Spreads.resize(config.Paths.size());
    for (const analysis::ChannelRow& row : run.Minutes) {
        ++score.Minutes;
        const auto matched = MatchMinute(row, config, MatchToleranceMs);
        for (size_t t = 0; t < matched.size(); ++t) {
            if (!matched[t]) continue;
            ++score.Found;
            if (matched[t]->DopplerHz)
                score.ShiftErrors[t].push_back(*matched[t]->DopplerHz - config.Paths[t].DopplerHz);
            if (matched[t]->SpreadHz) score.Spreads[t].push_back(*matched[t]->SpreadHz);
        }
    }
    return score;
}

void DopplerRow(const char* name, const s4285gen::Config& config, const char* target) {
    const Run run = RunCase(config);
    const DopplerScore score = ScoreDoppler(run, config);
    for (size_t t = 0; t < config.Paths.size(); ++t) {
        const s4285gen::Path& p = config.Paths[t];
        std::printf("| %s | %zu | %+.2f | %s | %.2f | %s | %zu of %zu | %s |\n", name, t + 1,
                    p.DopplerHz, Cell(Median(score.ShiftErrors[t]), "%+.3f").c_str(), p.SpreadHz,
                    Cell(Median(score.Spreads[t]), "%.3f").c_str(), score.Spreads[t].size(),
                    score.Minutes, target);
    }
}

} // namespace

std::string Cell(const std::optional<double>& v, const char* format) {
    if (!v || !std::isfinite(*v)) return "-";
    char text[64];
    std::snprintf(text, sizeof text, format, *v);
    return text;
}

s4285gen::Config Channel(s4285gen::Watterson id, double snrDb) {
    return s4285gen::WattersonConfig(id, snrDb);
}

s4285gen::Config WithPaths(std::vector<s4285gen::Path> paths, double snrDb, uint64_t seed) {
    s4285gen::Config config = s4285gen::NatoConfig();
    config.Paths = std::move(paths);
    config.SnrDb = snrDb;
    config.Seed = seed;
    return config;
}

Run RunCase(const s4285gen::Config& config, double seconds, bool autoClock) {
    RunOptions options;
    options.Seconds = seconds;
    options.AutoClock = autoClock;
    return RunMeasurement(config, options);
}

void SnrTables() {
    std::printf(
        "\n### SNR in 3 kHz\n\nOne steady path, 60 s; the generator's SNR is over "
        "0..4800 Hz, 2.04 dB below its SNR in 3 kHz (target: median within +-1.5 dB).\n\n"
        "| generator SNR | true SNR in 3 kHz | median snr_db | error |\n|---|---|---|---|\n");
    for (double snr : {-5.0, 0.0, 5.0, 10.0, 15.0, 20.0, 25.0, 30.0}) {
        const s4285gen::Config config = WithPaths({{.DelayMs = 3}}, snr, 7);
        const Run run = RunCase(config, 60);
        const Truth truth = TruthOf(config);
        const auto median = MedianSnrDb(run);
        std::printf(
            "| %+.0f | %+.2f | %s | %s |\n", snr, truth.Snr3kDb, Cell(median, "%+.2f").c_str(),
            Cell(median ? std::optional(*median - truth.Snr3kDb) : std::nullopt, "%+.2f").c_str());
    }
    std::printf("\nPer minute, the channel table's snr_db against the truth: the largest "
                "deviation of the three minutes (target: +-2 dB on moderate and poor).\n\n"
                "| channel | 20 dB | 5 dB |\n|---|---|---|\n");
    for (const s4285gen::WattersonChannel& c : s4285gen::WattersonChannels()) {
        std::printf("| %s |", c.Name);
        for (double snr : {20.0, 5.0}) {
            const s4285gen::Config config = Channel(c.Id, snr);
            std::printf(
                " %s |",
                Cell(WorstMinuteSnrError(RunCase(config), TruthOf(config)), "%+.2f").c_str());
        }
        std::printf("\n");
    }
}

void PathTables() {
    std::printf("\n### Paths\n\nPer minute (channel table): minutes with both paths found "
                "within %.2f ms, the median delay error, the blocks' path1_dbfs against the "
                "stronger path's true input power, and the multipath and RMS delay spreads "
                "(true / measured, median of the minutes).\n\n",
                MatchToleranceMs);
    std::printf("| channel | SNR | both paths | delay error ms | path1_dbfs error dB | multipath "
                "spread ms | RMS delay spread ms |\n|---|---|---|---|---|---|---|\n");
    for (const s4285gen::WattersonChannel& c : s4285gen::WattersonChannels())
        for (double snr : {20.0, 5.0}) {
            const s4285gen::Config config = Channel(c.Id, snr);
            const Run run = RunCase(config);
            const Truth truth = TruthOf(config);
            size_t both = 0;
            std::vector<double> delays, multipath, rms;
            for (const analysis::ChannelRow& row : run.Minutes) {
                const auto matched = MatchMinute(row, config, MatchToleranceMs);
                both += std::all_of(matched.begin(), matched.end(),
                                    [](const auto& m) { return m.has_value(); });
                for (const auto& m : matched)
                    if (m) delays.push_back(std::abs(m->DelayErrorMs));
                if (row.MultipathSpreadMs) multipath.push_back(*row.MultipathSpreadMs);
                if (row.RmsDelaySpreadMs) rms.push_back(*row.RmsDelaySpreadMs);
            }
            std::printf("| %s | %.0f | %zu of %zu | %s | %s | %.2f / %s | %.3f / %s |\n", c.Name,
                        snr, both, run.Minutes.size(), Cell(Median(delays), "%.3f").c_str(),
                        Cell(Path1DbfsError(run, truth), "%+.2f").c_str(), truth.MultipathSpreadMs,
                        Cell(Median(multipath), "%.2f").c_str(), truth.RmsDelaySpreadMs,
                        Cell(Median(rms), "%.3f").c_str());
        }
    std::printf("\nRepetitions of the 31-symbol sequence on the disturbed channel (7 ms, "
                "30 Hz): share of locked rows whose strongest path lies 62 or 124 lags from a "
                "true path (target <= 0.01).\n\n| SNR | share |\n|---|---|\n");
    for (double snr : {20.0, 5.0}) {
        const s4285gen::Config config = Channel(s4285gen::Watterson::Disturbed, snr);
        std::printf("| %.0f dB | %.4f |\n", snr, RepetitionShare(RunCase(config), TruthOf(config)));
    }
    std::printf("\nResolution: two equal paths (0.1 Hz spread), 20 dB, three recordings: minutes "
                "with both found within a quarter of their separation.\n\n| separation ms | "
                "minutes |\n|---|---|\n");
    for (double apart : {0.1, 0.2, 0.3, 0.4, 0.5, 0.6}) {
        size_t both = 0, minutes = 0;
        for (uint64_t seed : {4102u, 4112u, 4122u}) {
            const s4285gen::Config config = WithPaths(
                {{.DelayMs = 2, .SpreadHz = 0.1}, {.DelayMs = 2 + apart, .SpreadHz = 0.1}}, 20,
                seed);
            const Run run = RunCase(config);
            for (const analysis::ChannelRow& row : run.Minutes) {
                const auto matched = MatchMinute(row, config, apart / 4);
                both += matched[0] && matched[1] ? 1 : 0;
                ++minutes;
            }
        }
        std::printf("| %.1f | %zu of %zu |\n", apart, both, minutes);
    }
}

void DopplerTables() {
    std::printf(
        "\n### Doppler shift and spread\n\nPer path and minute (the channel table; "
        "the window is the minute): median shift error (+: above the carrier) and "
        "median spread (two-sided, 2 sigma).  Targets at 20 dB: shift within 0.05 Hz "
        "on quiet, good, moderate, poor and two paths at different Dopplers; spread "
        "within 25 %% or 0.05 Hz for 0.1..1 Hz, 30 %% for flutter, >= 15 Hz for 30 Hz.\n\n");
    std::printf("| case | path | true shift Hz | shift error Hz | true spread Hz | spread Hz | "
                "minutes | target |\n|---|---|---|---|---|---|---|---|\n");
    for (const s4285gen::WattersonChannel& c : s4285gen::WattersonChannels())
        DopplerRow(c.Name, Channel(c.Id, 20), ShiftTarget(c.Name) ? "shift, spread" : "spread");
    DopplerRow("two paths, +2.5 / 0 Hz, -3 dB",
               WithPaths({{.DelayMs = 1, .DopplerHz = 2.5, .SpreadHz = 0.1},
                          {.DelayMs = 3, .GainDb = -3, .SpreadHz = 0.1}},
                         20, 11),
               "shift");
    DopplerRow(
        "moderate tuned -0.35 Hz",
        [] {
            s4285gen::Config c = Channel(s4285gen::Watterson::Moderate, 20);
            c.Paths = s4285gen::WattersonPaths(s4285gen::Watterson::Moderate, 2.0, -0.35);
            return c;
        }(),
        "shift");
    for (double spread : {0.1, 0.2, 0.5, 1.0, 2.0})
        DopplerRow(spread < 0.15  ? "one path, 0.1 Hz"
                   : spread < 0.3 ? "one path, 0.2 Hz"
                   : spread < 0.6 ? "one path, 0.5 Hz"
                   : spread < 1.5 ? "one path, 1 Hz"
                                  : "one path, 2 Hz",
                   WithPaths({{.DelayMs = 2, .DopplerHz = 0.7, .SpreadHz = spread}}, 20, 21),
                   "spread");
    DopplerRow("moderate at 5 dB", Channel(s4285gen::Watterson::Moderate, 5), "-");
}

void InterferenceTable() {
    std::printf("\n### Interference\n\nTwo paths (+1.2 Hz at 1 ms, -0.4 Hz at 3 ms, 0.2 Hz "
                "spread, 20 dB), the same seed with and without the interferer: the largest "
                "change of a path's shift over the minutes (target <= 0.1 Hz), and the rows "
                "flagged `interference`.\n\n| interferer | shift change Hz | rows flagged "
                "|\n|---|---|---|\n");
    const s4285gen::Config clean =
        WithPaths({{.DelayMs = 1, .DopplerHz = 1.2, .SpreadHz = 0.2},
                   {.DelayMs = 3, .GainDb = -2, .DopplerHz = -0.4, .SpreadHz = 0.2}},
                  20, 41);
    const Run base = RunCase(clean);
    const auto shifts = [&](const Run& run) {
        std::vector<std::vector<double>> s(clean.Paths.size());
        for (size_t m = 0; m < run.Minutes.size(); ++m)
            for (const auto& path : MatchMinute(run.Minutes[m], clean, MatchToleranceMs))
                if (path && path->DopplerHz) s[path->TruePath].push_back(*path->DopplerHz);
        return s;
    };
    const auto baseShifts = shifts(base);
    const auto row = [&](const char* name, s4285gen::Config config) {
        const Run run = RunCase(config);
        const auto s = shifts(run);
        std::optional<double> worst;
        for (size_t p = 0; p < s.size(); ++p)
            for (size_t m = 0; m < std::min(s[p].size(), baseShifts[p].size()); ++m)
                worst = std::max(worst.value_or(0.0), std::abs(s[p][m] - baseShifts[p][m]));
        std::printf("| %s | %s | %.3f |\n", name, Cell(worst, "%.3f").c_str(),
                    FlaggedShare(run, analysis::FlagInterference));
    };
    row("none", clean);
    for (const auto& [hz, db, name] :
         {std::tuple{1800.0, 0.0, "CW 0 dB at the carrier"},
          std::tuple{2100.0, 0.0, "CW 0 dB, +300 Hz"}, std::tuple{1100.0, 0.0, "CW 0 dB, -700 Hz"},
          std::tuple{2900.0, 0.0, "CW 0 dB, +1100 Hz"},
          std::tuple{2100.0, -10.0, "CW -10 dB, +300 Hz"},
          std::tuple{1801.3, -10.0, "CW -10 dB, +1.3 Hz"}}) {
        s4285gen::Config config = clean;
        config.Extra.Tones = {{.Hz = hz, .LevelDb = db}};
        row(name, config);
    }
    s4285gen::Config other = clean;
    other.Extra.OtherSignals = {{.OffsetHz = 600, .LevelDb = 0, .DelayMs = 37}};
    row("STANAG 4285, 0 dB, +600 Hz", other);
    other.Extra.OtherSignals[0].OffsetHz = -600;
    row("STANAG 4285, 0 dB, -600 Hz", other);
}

void ClockTable() {
    std::printf("\n### Clock error (--clock-ppm auto over 240 s recordings)\n\nThe estimate "
                "against the truth; covered: |error| <= 2 x the stated uncertainty (target: "
                ">= 95 %% of the recordings; good within 0.1 ppm).\n\n| channel | SNR | true ppm "
                "| estimate | stated | covered |\n|---|---|---|---|---|---|\n");
    size_t covered = 0, total = 0;
    std::vector<double> good;
    for (const s4285gen::WattersonChannel& c : s4285gen::WattersonChannels())
        for (double snr : {20.0, 5.0})
            for (double ppm : {0.0, 48.6, -127.3}) {
                s4285gen::Config config = Channel(c.Id, snr);
                config.ClockPpm = ppm;
                // Each recording fades its own way.
                config.Seed = c.Seed * 10 + uint64_t(total % 3) + (snr > 10 ? 0 : 3);
                RunOptions options;
                options.Seconds = 240;
                options.AutoClock = true;
                options.ClockOnly = true;
                const Run run = RunMeasurement(config, options);
                ++total;
                if (!run.Clock) {
                    std::printf("| %s | %.0f | %+.1f | none | | no |\n", c.Name, snr, ppm);
                    continue;
                }
                const double error = run.Clock->TotalPpm - ppm;
                if (c.Id == s4285gen::Watterson::Good) good.push_back(std::abs(error));
                const bool in = std::abs(error) <= 2.0 * run.Clock->UncertaintyPpm;
                covered += in ? 1 : 0;
                std::printf("| %s | %.0f | %+.1f | %+.3f | %.3f | %s |\n", c.Name, snr, ppm,
                            run.Clock->TotalPpm, run.Clock->UncertaintyPpm, in ? "yes" : "no");
            }
    std::printf("\nCovered: %zu of %zu (%.0f %%); good: largest error %.3f ppm.\n", covered, total,
                100.0 * covered / total, *std::max_element(good.begin(), good.end()));
}

void CostLine() {
    const Run run = RunCase(Channel(s4285gen::Watterson::Moderate, 15), 120);
    std::printf("\n### Cost in these runs\n\nStage %.2f us a block, chain (resampler and "
                "ProcessBlock) %.2f us: %.2f of it (chain_bench measures it on its own).\n",
                run.StageSeconds / double(run.Blocks.size()) * 1e6,
                run.ChainSeconds / double(run.Blocks.size()) * 1e6,
                run.StageSeconds / run.ChainSeconds);
}

} // namespace bench
