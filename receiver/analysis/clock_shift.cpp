// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/analysis/clock_shift.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "receiver/analysis/path_search.h"
#include "receiver/analysis/signal_quality.h"

namespace analysis {

namespace {

constexpr int32_t Lags = dsp::BasebandLen;
constexpr int32_t Steps = PulseShape::StepsPerLag;
// Lags around each path that its fit looks at (beyond the shift's window).
constexpr int32_t PathReachLags = 5;
// Paths closer than this interfere within a chunk.
constexpr double CloseLags = 6.0;
// The shift is looked for within a lag of where the profiles' match puts
// it, an eighth of a lag apart.
constexpr int32_t SearchSteps = Steps;
// The template's paths are placed to this fraction of a lag.
constexpr double FineLags = 1.0 / 32.0;
constexpr int32_t MaxBasis = 2 * MaxPaths + 2;

// The normal equations of a least-squares fit, row by row.
struct NormalEquations {
    size_t Count = 0; // columns
    double M[MaxBasis][MaxBasis] = {};
    double R[MaxBasis] = {};
    double Dd = 0.0;

    void Add(const double* b, double d) {
        for (size_t i = 0; i < Count; ++i) {
            for (size_t j = 0; j < Count; ++j)
                M[i][j] += b[i] * b[j];
            R[i] += b[i] * d;
        }
        Dd += d * d;
    }
    // The misfit of the best fit; infinite when the system is singular.
    double Misfit() const {
        double a[MaxBasis][MaxBasis + 1];
        for (size_t i = 0; i < Count; ++i) {
            for (size_t j = 0; j < Count; ++j)
                a[i][j] = M[i][j];
            a[i][Count] = R[i];
        }
        // Gaussian elimination with the right-hand side carried along.
        for (size_t i = 0; i < Count; ++i) {
            if (!(std::abs(a[i][i]) > 1e-12)) return std::numeric_limits<double>::infinity();
            for (size_t k = i + 1; k < Count; ++k) {
                const double f = a[k][i] / a[i][i];
                for (size_t j = i; j <= Count; ++j)
                    a[k][j] -= f * a[i][j];
            }
        }
        double x[MaxBasis] = {};
        double explained = 0.0;
        for (size_t i = Count; i-- > 0;) {
            double sum = a[i][Count];
            for (size_t j = i + 1; j < Count; ++j)
                sum -= a[i][j] * x[j];
            x[i] = sum / a[i][i];
            explained += x[i] * R[i];
        }
        return Dd - explained;
    }
};

} // namespace

PathShiftFit::PathShiftFit(const PulseShape& shape, const Profile& reference) : shape_(shape) {
    dsp::SyncPowerArray profile{};
    for (size_t l = 0; l < size_t(Lags); ++l)
        profile[l] = reference[l];
    PathList paths;
    for (int round = 0; round < 2; ++round)
        paths = FindPaths(shape, profile, FloorAwayFrom(profile, paths), RepeatEvidence{},
                          PathSearchOptions{});
    for (int32_t i = 0; i < paths.Count; ++i)
        pathLags_.push_back(paths.Paths[size_t(i)].Lag);
    for (size_t i = 0; i < pathLags_.size(); ++i)
        for (size_t j = i + 1; j < pathLags_.size(); ++j)
            if (std::abs(LagDifference(pathLags_[i], pathLags_[j])) < CloseLags)
                closePairs_.emplace_back(i, j);
    RefinePaths(reference);
}

// The paths' places in the template between the fit's grid points: the
// spacing of paths in one peak decides how far the peak moves as they fade
// in turn, so it is taken as finely as the template shows it.
void PathShiftFit::RefinePaths(const Profile& reference) {
    if (pathLags_.empty()) return;
    const std::vector<int32_t> lags = LagsAround(0);
    double best = MisfitAt(reference, 0.0, lags);
    for (int round = 0; round < 3; ++round)
        for (double& lag : pathLags_)
            for (const double step : {-FineLags, FineLags})
                for (int moves = 0; moves < 8; ++moves) {
                    lag += step;
                    const double misfit = MisfitAt(reference, 0.0, lags);
                    if (misfit < best) {
                        best = misfit;
                        continue;
                    }
                    lag -= step;
                    break;
                }
}

std::vector<int32_t> PathShiftFit::LagsAround(int32_t windowLags) const {
    std::vector<int32_t> lags;
    for (double lag : pathLags_) {
        const auto centre = NearestLag(lag);
        for (int32_t d = -(PathReachLags + windowLags); d <= PathReachLags + windowLags; ++d)
            lags.push_back(centre + d);
    }
    std::sort(lags.begin(), lags.end(),
              [](int32_t a, int32_t b) { return LagIndex(a) < LagIndex(b); });
    lags.erase(std::unique(lags.begin(), lags.end(),
                           [](int32_t a, int32_t b) { return LagIndex(a) == LagIndex(b); }),
               lags.end());
    return lags;
}

double PathShiftFit::MisfitAt(const Profile& profile, double shiftLags,
                              const std::vector<int32_t>& lags) const {
    NormalEquations equations;
    equations.Count = pathLags_.size() + closePairs_.size();
    for (const int32_t lag : lags) {
        std::array<double, MaxPaths> a{};
        double b[MaxBasis];
        for (size_t i = 0; i < pathLags_.size(); ++i) {
            a[i] = shape_.AmplitudeBetween(LagDifference(double(lag), pathLags_[i]) - shiftLags);
            b[i] = a[i] * a[i];
        }
        for (size_t p = 0; p < closePairs_.size(); ++p)
            b[pathLags_.size() + p] = a[closePairs_[p].first] * a[closePairs_[p].second];
        equations.Add(b, profile[size_t(LagIndex(lag))]);
    }
    return equations.Misfit();
}

double PathShiftFit::ShiftNear(const Profile& profile, double aroundLags) const {
    // The same lags for every shift tried: around each path, as far as it
    // may move.
    const std::vector<int32_t> lags = LagsAround(NearestLag(std::abs(aroundLags)) + 2);
    const int32_t centre = NearestLag(aroundLags * Steps);
    const auto at = [&](int32_t steps) { return MisfitAt(profile, double(steps) / Steps, lags); };
    // Half a lag and a whole lag either side, then a quarter and an eighth
    // either side of the best so far.
    int32_t best = centre;
    double bestMisfit = at(centre);
    const auto tryAt = [&](int32_t s) {
        if (std::abs(s - centre) > SearchSteps) return;
        const double misfit = at(s);
        if (misfit < bestMisfit) bestMisfit = misfit, best = s;
    };
    for (const int32_t s : {-SearchSteps, -SearchSteps / 2, SearchSteps / 2, SearchSteps})
        tryAt(centre + s);
    for (const int32_t step : {SearchSteps / 4, SearchSteps / 8}) {
        const int32_t from = best;
        tryAt(from - step);
        tryAt(from + step);
    }
    // Between grid steps: the vertex of the parabola through the misfits.
    const double left = at(best - 1), right = at(best + 1);
    const double curvature = left - 2.0 * bestMisfit + right;
    const double offset =
        curvature > 0.0 ? std::clamp(0.5 * (left - right) / curvature, -0.5, 0.5) : 0.0;
    return (best + offset) / Steps;
}

} // namespace analysis
