// SPDX-License-Identifier: GPL-3.0-or-later
#include "bench/analysis/measurement_scores.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "receiver/analysis/path_search.h"
#include "receiver/analysis/signal_quality.h"

namespace bench {

double Median(std::vector<double> values) {
    if (values.empty()) return std::numeric_limits<double>::quiet_NaN();
    const auto middle = values.begin() + std::ptrdiff_t(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

double LockedShare(const Run& run) {
    size_t judged = 0, locked = 0;
    for (size_t i = JudgedFrom; i < run.Blocks.size(); ++i) {
        ++judged;
        locked += run.Blocks[i].Locked ? 1 : 0;
    }
    return judged > 0 ? double(locked) / double(judged) : 0.0;
}

double LockedShareFlagged(const Run& run, uint32_t flag) {
    size_t flagged = 0, locked = 0;
    for (size_t i = JudgedFrom; i < run.Blocks.size(); ++i) {
        if (!(run.Blocks[i].Flags & flag)) continue;
        ++flagged;
        locked += run.Blocks[i].Locked ? 1 : 0;
    }
    return flagged > 0 ? double(locked) / double(flagged) : 0.0;
}

double FlaggedShare(const Run& run, uint32_t flag) {
    size_t judged = 0, flagged = 0;
    for (size_t i = JudgedFrom; i < run.Blocks.size(); ++i) {
        ++judged;
        flagged += (run.Blocks[i].Flags & flag) ? 1 : 0;
    }
    return judged > 0 ? double(flagged) / double(judged) : 0.0;
}

std::optional<double> MedianSnrDb(const Run& run) {
    std::vector<double> snr;
    for (size_t i = JudgedFrom; i < run.Blocks.size(); ++i)
        if (run.Blocks[i].SnrDb) snr.push_back(*run.Blocks[i].SnrDb);
    if (snr.empty()) return std::nullopt;
    return Median(snr);
}

std::optional<double> WorstMinuteSnrError(const Run& run, const Truth& truth) {
    std::optional<double> worst;
    for (const analysis::ChannelRow& row : run.Minutes) {
        if (!row.SnrDb) continue;
        const double error = *row.SnrDb - truth.Snr3kDb;
        if (!worst || std::abs(error) > std::abs(*worst)) worst = error;
    }
    return worst;
}

double RepetitionShare(const Run& run, const Truth& truth) {
    size_t locked = 0, repeats = 0;
    for (size_t i = JudgedFrom; i < run.Blocks.size(); ++i) {
        const analysis::BlockMeasurement& m = run.Blocks[i];
        if (!m.Locked || m.PathCount == 0) continue;
        ++locked;
        bool onPath = false, atRepeat = false;
        for (double lag : truth.Lags) {
            onPath = onPath || std::abs(analysis::LagDifference(m.Paths[0].Lag, lag)) <= 3.0;
            atRepeat = atRepeat || analysis::AtRepetition(m.Paths[0].Lag, lag, 3.0);
        }
        repeats += atRepeat && !onPath ? 1 : 0;
    }
    return locked > 0 ? double(repeats) / double(locked) : 0.0;
}

std::optional<double> Path1DbfsError(const Run& run, const Truth& truth) {
    std::vector<double> errors;
    const double strongest = *std::max_element(truth.Dbfs.begin(), truth.Dbfs.end());
    for (size_t i = JudgedFrom; i < run.Blocks.size(); ++i)
        if (run.Blocks[i].Path1Dbfs) errors.push_back(*run.Blocks[i].Path1Dbfs - strongest);
    if (errors.empty()) return std::nullopt;
    return Median(errors);
}

std::vector<std::optional<MatchedPath>>
MatchMinute(const analysis::ChannelRow& row, const s4285gen::Config& config, double toleranceMs) {
    const size_t n = config.Paths.size();
    std::vector<std::optional<MatchedPath>> best(n);
    size_t bestCount = 0;
    double bestError = 1e300;
    // Path 1 of the minute taken as each true path in turn.
    for (size_t anchor = 0; anchor < n; ++anchor) {
        std::vector<std::optional<MatchedPath>> matched(n);
        size_t count = 0;
        double error = 0.0;
        for (const auto& path : row.Paths) {
            if (!path) continue;
            const double delayMs = config.Paths[anchor].DelayMs + path->DelayMs;
            size_t nearest = n;
            for (size_t t = 0; t < n; ++t) {
                const double e = std::abs(config.Paths[t].DelayMs - delayMs);
                if (e <= toleranceMs && !matched[t] &&
                    (nearest == n || e < std::abs(config.Paths[nearest].DelayMs - delayMs)))
                    nearest = t;
            }
            if (nearest == n) continue;
            const double e = delayMs - config.Paths[nearest].DelayMs;
            matched[nearest] = MatchedPath{nearest, e, path->DopplerHz, path->DopplerSpreadHz};
            ++count;
            error += std::abs(e);
        }
        if (count > bestCount || (count == bestCount && error < bestError)) {
            best = matched;
            bestCount = count;
            bestError = error;
        }
    }
    return best;
}

} // namespace bench
