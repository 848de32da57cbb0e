// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/analysis/path_search.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <optional>
#include <span>
#include <utility>

#include "receiver/analysis/signal_quality.h"

namespace analysis {

namespace {

constexpr int32_t Lags = dsp::BasebandLen;
constexpr int32_t Steps = PulseShape::StepsPerLag;
// Lags on each side of a peak that its fits look at: one path, two paths.
constexpr int32_t OneFitHalfWidth = 3;
constexpr int32_t FitHalfWidth = 6;
constexpr int32_t FitWidth = 2 * FitHalfWidth + 1;
// Lags around a path (and its repetitions) kept out of the floor.
constexpr int32_t FloorGuardLags = 4;
// The weight that holds back the interference of two paths in one peak.
constexpr double InterferencePenalty = 0.25;
// Two paths in one peak are at least this far apart, and at most this.
constexpr double MinSplitLags = 1.0;
constexpr double MaxSplitLags = 6.0;
// Two paths are tried where one leaves more than this share of the peak's
// sum of squares unexplained (and more than its noise would).
constexpr double SplitGate = 0.02;
// A pair near a hinted one moves at most this many steps a block: profiles
// averaged over blocks change slowly.
constexpr int32_t HintedRounds = 1;
// A peak within this many lags of a fitted path belongs to it.
constexpr double SamePeakLags = 2.0;
// Repetitions of a path lie within this many lags of 62 or 124 lags away.
constexpr double RepeatToleranceLags = 2.0;
// Of two peaks a repetition apart, the earlier is only a repetition where its
// first-period correlation stays below this share of the later one's (there
// it holds data, next to nothing; a weaker path beside a stronger one's
// repetition holds its own share).
constexpr double EarlierShare = 0.2;
constexpr double Infinite = std::numeric_limits<double>::infinity();
// Peaks taken from the profile, strongest first: enough for MaxPaths paths
// with their repetitions and the peaks the paths explain.
constexpr size_t MaxPeaks = 3 * MaxPaths;
// A peak is fitted as one path or two.
constexpr size_t MaxFound = 2 * MaxPeaks;

// Up to N values kept in place: the search runs every block and needs no heap.
template <typename T, size_t N> class Bounded {
  public:
    void Add(const T& value) {
        if (size_ < N) items_[size_++] = value;
    }
    size_t Size() const { return size_; }
    T& operator[](size_t i) { return items_[i]; }
    const T& operator[](size_t i) const { return items_[i]; }
    std::span<T> All() { return {items_.data(), size_}; }
    std::span<const T> All() const { return {items_.data(), size_}; }

  private:
    std::array<T, N> items_{};
    size_t size_ = 0;
};
using FoundPaths = Bounded<FoundPath, MaxFound>;

double WrapLag(double lag) {
    lag = std::fmod(lag, double(Lags));
    return lag < 0.0 ? lag + Lags : lag;
}

// The profile over the floor around a peak: lags first .. first + FitWidth - 1.
struct Window {
    int32_t First = 0;
    std::array<double, FitWidth> D{};
};

Window WindowAt(const dsp::SyncPowerArray& profile, double floor, int32_t centre) {
    Window w;
    w.First = centre - FitHalfWidth;
    for (int32_t i = 0; i < FitWidth; ++i)
        w.D[size_t(i)] = profile[size_t(LagIndex(w.First + i))] - floor;
    return w;
}

struct OneFit {
    int32_t Tau = 0; // steps from the window's first lag
    double Power = 0.0;
    double Misfit = Infinite;
    double Total = 0.0; // the data's own sum of squares
};

// The one-path fit with the path at `tau` (steps from the window's first lag)
// over the window's lags first .. last; misfit infinite where it does not fit.
OneFit OneAt(const PulseShape& shape, const Window& w, int32_t tau, int32_t first, int32_t last,
             double dd) {
    double db = 0.0, bb = 0.0;
    for (int32_t i = first; i <= last; ++i) {
        const double a = shape.AmplitudeAt(i * Steps - tau);
        db += w.D[size_t(i)] * a * a;
        bb += a * a * a * a;
    }
    if (!(bb > 0.0) || db <= 0.0) return OneFit{tau, 0.0, Infinite, dd};
    return OneFit{tau, db / bb, dd - db * db / bb, dd};
}

// One path at the best 1/8-lag position in loSteps .. hiSteps: half a lag
// apart first, then finer around the best.
OneFit FitOne(const PulseShape& shape, const Window& w, int32_t loSteps, int32_t hiSteps,
              int32_t first, int32_t last) {
    double dd = 0.0;
    for (int32_t i = first; i <= last; ++i)
        dd += w.D[size_t(i)] * w.D[size_t(i)];
    OneFit best{loSteps, 0.0, Infinite, dd};
    for (int32_t tau = loSteps; tau <= hiSteps; tau += Steps / 2) {
        const OneFit fit = OneAt(shape, w, tau, first, last, dd);
        if (fit.Misfit < best.Misfit) best = fit;
    }
    for (int32_t step : {2, 1}) {
        const int32_t around = best.Tau;
        for (int32_t tau : {around - step, around + step}) {
            if (tau < loSteps || tau > hiSteps) continue;
            const OneFit fit = OneAt(shape, w, tau, first, last, dd);
            if (fit.Misfit < best.Misfit) best = fit;
        }
    }
    return best;
}

struct TwoFit {
    int32_t Tau1 = 0, Tau2 = 0;
    double Power1 = 0.0, Power2 = 0.0;
    double Misfit = Infinite;
};

// Least squares of a window against P1 a1^2 + P2 a2^2 + X a1 a2 for pairs of
// positions, with what each position needs computed once.
class PairFitter {
  public:
    PairFitter(const PulseShape& shape, const Window& w) : shape_(shape), w_(w) {
        for (double v : w.D)
            dd_ += v * v;
    }

    TwoFit Fit(int32_t tau1, int32_t tau2) {
        TwoFit fit{tau1, tau2};
        const Basis* b1 = At(tau1);
        const Basis* b2 = At(tau2);
        if (!b1 || !b2) return fit;
        double m12 = 0.0, m13 = 0.0, m23 = 0.0, r3 = 0.0;
        for (size_t i = 0; i < size_t(FitWidth); ++i) {
            const double cross = b1->A[i] * b2->A[i];
            m12 += b1->Sq[i] * b2->Sq[i];
            m13 += b1->Sq[i] * cross;
            m23 += b2->Sq[i] * cross;
            r3 += cross * w_.D[i];
        }
        // The symmetric system [m11 m12 m13; m12 m22 m23; m13 m23 m33] x = r,
        // the interference term held back a little: close paths with strong
        // interference can mimic other pairs, and over blocks it fades.
        const double m11 = b1->Ss, m22 = b2->Ss, m33 = (1.0 + InterferencePenalty) * m12;
        const double c11 = m22 * m33 - m23 * m23, c12 = m13 * m23 - m12 * m33,
                     c13 = m12 * m23 - m22 * m13;
        const double det = m11 * c11 + m12 * c12 + m13 * c13;
        if (!(std::abs(det) > 1e-12 * m11 * m22 * m33)) return fit;
        const double c22 = m11 * m33 - m13 * m13, c23 = m12 * m13 - m11 * m23,
                     c33 = m11 * m22 - m12 * m12;
        const double p1 = (c11 * b1->R + c12 * b2->R + c13 * r3) / det;
        const double p2 = (c12 * b1->R + c22 * b2->R + c23 * r3) / det;
        const double x = (c13 * b1->R + c23 * b2->R + c33 * r3) / det;
        // Powers are positive, and two paths interfere at most fully.
        if (p1 <= 0.0 || p2 <= 0.0 || std::abs(x) > 2.2 * std::sqrt(p1 * p2)) return fit;
        fit.Power1 = p1;
        fit.Power2 = p2;
        fit.Misfit = dd_ - (p1 * b1->R + p2 * b2->R + x * r3);
        return fit;
    }

  private:
    struct Basis {
        std::array<double, FitWidth> A, Sq;
        double R, Ss; // sum of sq d, sum of sq^2
    };
    static constexpr int32_t Reach = (FitWidth + 2 * int32_t(MaxSplitLags) + 2) * Steps;

    const Basis* At(int32_t tau) {
        const int32_t i = tau + Reach / 2;
        if (i < 0 || i >= Reach) return nullptr;
        Basis& b = memo_[size_t(i)];
        if (!ready_[size_t(i)]) {
            b.R = b.Ss = 0.0;
            for (int32_t k = 0; k < FitWidth; ++k) {
                b.A[size_t(k)] = shape_.AmplitudeAt(k * Steps - tau);
                b.Sq[size_t(k)] = b.A[size_t(k)] * b.A[size_t(k)];
                b.R += b.Sq[size_t(k)] * w_.D[size_t(k)];
                b.Ss += b.Sq[size_t(k)] * b.Sq[size_t(k)];
            }
            ready_[size_t(i)] = true;
        }
        return &b;
    }

    const PulseShape& shape_;
    const Window& w_;
    double dd_ = 0.0;
    std::array<bool, size_t(Reach)> ready_{};
    std::array<Basis, size_t(Reach)> memo_; // filled as asked for
};

// `best` moved a step at a time, one position at a time, while that fits
// better (at most `rounds` moves): for each of the steps, largest first.
TwoFit Refine(PairFitter& fitter, TwoFit best, std::initializer_list<int32_t> steps,
              int32_t rounds = 4) {
    for (int32_t step : steps)
        for (int32_t round = 0; round < rounds; ++round) {
            const TwoFit from = best;
            for (const auto& [d1, d2] : {std::pair{-step, 0}, std::pair{step, 0},
                                         std::pair{0, -step}, std::pair{0, step}}) {
                if (from.Tau2 + d2 - (from.Tau1 + d1) < int32_t(MinSplitLags * Steps)) continue;
                const TwoFit fit = fitter.Fit(from.Tau1 + d1, from.Tau2 + d2);
                if (fit.Misfit < best.Misfit) best = fit;
            }
            if (best.Tau1 == from.Tau1 && best.Tau2 == from.Tau2) break;
        }
    return best;
}

// The best pair around the one-path fit at `centre` (steps): coarse, then fine.
TwoFit FitTwo(const PulseShape& shape, const Window& w, int32_t centre) {
    PairFitter fitter(shape, w);
    TwoFit best;
    // The earlier path half a lag apart from 2.5 lags before the one path to a
    // lag after it, the separations half a lag apart: interfering paths make
    // the misfit dip in narrow valleys, more than one.
    for (int32_t tau1 = centre - 5 * Steps / 2; tau1 <= centre + Steps; tau1 += Steps / 2)
        for (int32_t sep = int32_t(MinSplitLags * Steps); sep <= int32_t(MaxSplitLags * Steps);
             sep += Steps / 2) {
            const TwoFit fit = fitter.Fit(tau1, tau1 + sep);
            if (fit.Misfit < best.Misfit) best = fit;
        }
    if (!(best.Misfit < Infinite)) return best;
    return Refine(fitter, best, {2, 1}, 4);
}

// The pair of the hint in the window (steps from its first lag), if two of
// its paths lie there close enough to share a peak (or two peaks close by).
std::optional<std::pair<int32_t, int32_t>> HintedPair(const PathList* hint, const Window& w,
                                                      double maxApartLags) {
    if (!hint) return std::nullopt;
    std::array<int32_t, MaxPaths> inside{};
    int32_t count = 0;
    for (int32_t i = 0; i < hint->Count; ++i) {
        const double offset = LagDifference(hint->Paths[size_t(i)].Lag, double(w.First));
        if (offset >= 1.0 && offset <= FitWidth - 2.0)
            inside[size_t(count++)] = NearestLag(offset * Steps);
    }
    if (count != 2) return std::nullopt;
    const auto [tau1, tau2] = std::minmax(inside[0], inside[1]);
    if (tau2 - tau1 < int32_t(MinSplitLags * Steps) || tau2 - tau1 > int32_t(maxApartLags * Steps))
        return std::nullopt;
    return std::make_pair(tau1, tau2);
}

// The pair near the hinted one.
TwoFit FitTwoNear(const PulseShape& shape, const Window& w, std::pair<int32_t, int32_t> hinted) {
    PairFitter fitter(shape, w);
    return Refine(fitter, fitter.Fit(hinted.first, hinted.second), {1}, HintedRounds);
}

// The peak at `centre` as one or two paths, appended to `paths`; a peak at a
// repetition of a path already fitted is taken as one.
void FitPeak(const PulseShape& shape, const dsp::SyncPowerArray& profile, const ProfileFloor& floor,
             const PathSearchOptions& options, int32_t centre, bool mayBeTwo, FoundPaths& paths) {
    const Window w = WindowAt(profile, floor.Mean, centre);
    const int32_t mid = FitHalfWidth * Steps;
    // The one-path fit looks at the peak's own lags, not at a neighbour's.
    const OneFit one = FitOne(shape, w, mid - Steps, mid + Steps, FitHalfWidth - OneFitHalfWidth,
                              FitHalfWidth + OneFitHalfWidth);
    if (!(one.Misfit < Infinite)) return;
    const double noise = double(2 * OneFitHalfWidth + 1) * floor.Deviation * floor.Deviation;
    if (mayBeTwo && one.Misfit > std::max(9.0 * noise, SplitGate * one.Total)) {
        // Near the pair of a moment ago; afresh only now and then.
        const auto hinted = HintedPair(options.Hint, w, MaxSplitLags);
        const TwoFit two = hinted                    ? FitTwoNear(shape, w, *hinted)
                           : options.FullSplitSearch ? FitTwo(shape, w, one.Tau)
                                                     : TwoFit{};
        double dd = 0.0;
        for (double v : w.D)
            dd += v * v;
        const OneFit wide = OneAt(shape, w, one.Tau, 0, FitWidth - 1, dd);
        const double total = two.Power1 + two.Power2;
        if (two.Misfit < options.SplitMisfitShare * wide.Misfit &&
            std::min(two.Power1, two.Power2) >= options.SplitMinShare * total) {
            paths.Add({WrapLag(w.First + double(two.Tau1) / Steps), two.Power1});
            paths.Add({WrapLag(w.First + double(two.Tau2) / Steps), two.Power2});
            return;
        }
    }
    paths.Add({WrapLag(w.First + double(one.Tau) / Steps), one.Power});
}

// Of two peaks 62 or 124 lags apart, whether the earlier one is the path.
// The first-period correlation tells: at a path's lag it holds the first
// period of the sequence (a full period: what other paths add there cancels),
// 62 lags later the second period, 124 lags later the last 18 symbols; 62
// lags before a path it holds only data.  So if the earlier peak is the path,
// the correlation there is about as strong as at the later one (62 apart) or
// stronger (124 apart); if the later one is the path, the earlier holds data.
// Both are the same paths a period apart, faded alike, whatever their mix.
bool EarlierIsThePath(const RepeatEvidence& e, double earlierLag, double laterLag) {
    const auto earlier = LagIndex(NearestLag(earlierLag));
    const auto later = LagIndex(NearestLag(laterLag));
    const double atEarlier = e.Powers->Power(earlier) - e.Floor;
    const double atLater = e.Powers->Power(later) - e.Floor;
    return atEarlier >= EarlierShare * atLater;
}

// Drops the repetitions among `paths`: of two peaks 62 or 124 lags apart, the
// one the first-period correlation does not take for the path, or (without
// it) the weaker.
void DropRepetitions(const RepeatEvidence& evidence, FoundPaths& paths, PathList& list) {
    std::array<bool, MaxFound> ghost{};
    for (size_t i = 0; i < paths.Size(); ++i)
        for (size_t j = i + 1; j < paths.Size(); ++j) {
            if (!AtRepetition(paths[i].Lag, paths[j].Lag, RepeatToleranceLags)) continue;
            const bool iEarlier = LagDifference(paths[j].Lag, paths[i].Lag) > 0.0;
            bool iPath = paths[i].Power >= paths[j].Power;
            if (evidence.Powers) {
                const size_t earlier = iEarlier ? i : j, later = iEarlier ? j : i;
                const bool earlierPath =
                    EarlierIsThePath(evidence, paths[earlier].Lag, paths[later].Lag);
                iPath = earlierPath == (earlier == i);
            }
            ghost[iPath ? j : i] = true;
        }
    FoundPaths kept;
    for (size_t i = 0; i < paths.Size(); ++i) {
        if (!ghost[i]) {
            kept.Add(paths[i]);
        } else if (list.GhostCount < int32_t(list.Ghosts.size())) {
            list.Ghosts[size_t(list.GhostCount++)] = LagIndex(NearestLag(paths[i].Lag));
        }
    }
    paths = kept;
}

} // namespace

bool AtRepetition(double lag, double pathLag, double tolerance) {
    const double d = std::abs(LagDifference(lag, pathLag));
    return std::abs(d - RepeatLags) <= tolerance || std::abs(d - 2 * RepeatLags) <= tolerance;
}

FloorMask FloorMaskOf(const PathList& paths) {
    FloorMask mask;
    mask.Keep.fill(1);
    mask.Count = Lags;
    for (int32_t p = 0; p < paths.Count; ++p) {
        const auto lag = NearestLag(paths.Paths[size_t(p)].Lag);
        for (int32_t repeat = -2; repeat <= 2; ++repeat)
            for (int32_t d = -FloorGuardLags; d <= FloorGuardLags; ++d) {
                uint8_t& keep = mask.Keep[size_t(LagIndex(lag + repeat * RepeatLags + d))];
                mask.Count -= keep;
                keep = 0;
            }
    }
    return mask;
}

ProfileFloor FloorAwayFrom(const dsp::SyncPowerArray& profile, const FloorMask& mask,
                           int32_t step) {
    if (step <= 1) step = 1;
    double sum = 0.0, squares = 0.0;
    int32_t count = 0;
#pragma omp simd reduction(+ : sum, squares, count)
    for (int32_t l = 0; l < Lags; l += step) {
        const double v = mask.Keep[size_t(l)] ? profile[size_t(l)] : 0.0;
        sum += v;
        squares += v * v;
        count += mask.Keep[size_t(l)];
    }
    ProfileFloor floor;
    if (count <= 0) return floor;
    floor.Mean = sum / count;
    floor.Deviation = std::sqrt(std::max(0.0, squares / count - floor.Mean * floor.Mean));
    return floor;
}

ProfileFloor FloorAwayFrom(const dsp::SyncPowerArray& profile, const PathList& paths) {
    return FloorAwayFrom(profile, FloorMaskOf(paths));
}

PathList FindPaths(const PulseShape& shape, const dsp::SyncPowerArray& profile,
                   const ProfileFloor& floor, const RepeatEvidence& evidence,
                   const PathSearchOptions& options) {
    PathList list;
    const double threshold = floor.Mean * std::pow(10.0, options.MinOverFloorDb / 10.0);
    // Peaks: local maxima clear of the floor, strongest first.
    const double level = floor.Mean + threshold;
    std::array<uint8_t, Lags> clear;
    for (size_t l = 0; l < size_t(Lags); ++l)
        clear[l] = profile[l] >= level ? 1 : 0;
    // Local maxima stand at least two lags apart: at most half the lags.
    std::array<std::pair<double, int32_t>, Lags / 2> peaks;
    size_t peakCount = 0;
    // Eight lags at a time: most of them stand nowhere near the level.
    for (int32_t base = 0; base < Lags; base += 8) {
        uint64_t any = 0;
        std::memcpy(&any, &clear[size_t(base)], sizeof any);
        if (any == 0) continue;
        for (int32_t l = base; l < base + 8; ++l) {
            if (!clear[size_t(l)]) continue;
            const double v = profile[size_t(l)];
            if (v >= profile[size_t(LagIndex(l - 1))] && v > profile[size_t(LagIndex(l + 1))])
                peaks[peakCount++] = {v, l};
        }
    }
    // The strongest few, in order (no two peaks are alike: each has its lag).
    const size_t strongest = std::min(peakCount, MaxPeaks);
    const auto first = peaks.begin(), kept = first + ptrdiff_t(strongest);
    if (strongest < peakCount)
        std::nth_element(first, kept, first + ptrdiff_t(peakCount), std::greater<>());
    std::sort(first, kept, std::greater<>());

    FoundPaths paths;
    for (size_t i = 0; i < strongest; ++i) {
        const int32_t lag = peaks[i].second;
        // A peak the paths found so far explain (their shapes' side lobes
        // three lags out; an unfitted peak counted at its own height) is none
        // of its own.
        bool taken = false, repeat = false;
        double explained = 0.0;
        for (const FoundPath& p : paths.All()) {
            const double apart = LagDifference(double(lag), p.Lag);
            taken = taken || std::abs(apart) <= SamePeakLags;
            repeat = repeat || AtRepetition(double(lag), p.Lag, RepeatToleranceLags);
            explained += p.Power * shape.Power(apart);
        }
        if (taken || peaks[i].first - floor.Mean - explained < threshold) continue;
        if (repeat) // most likely a repetition: fitted only if it stays
            paths.Add({double(lag), peaks[i].first - floor.Mean, false});
        else
            FitPeak(shape, profile, floor, options, lag, true, paths);
    }
    DropRepetitions(evidence, paths, list);
    FoundPaths fitted;
    for (const FoundPath& p : paths.All()) {
        if (p.Fitted)
            fitted.Add(p);
        else
            FitPeak(shape, profile, floor, options, int32_t(p.Lag), false, fitted);
    }
    paths = fitted;

    const std::span<FoundPath> all = paths.All();
    std::sort(all.begin(), all.end(),
              [](const FoundPath& a, const FoundPath& b) { return a.Power > b.Power; });
    const double weakest =
        paths.Size() == 0 ? 0.0 : paths[0].Power * std::pow(10.0, -options.RangeDb / 10.0);
    for (const FoundPath& p : paths.All()) {
        if (list.Count == MaxPaths) break;
        if (p.Power >= weakest && p.Power >= threshold) list.Paths[size_t(list.Count++)] = p;
    }
    return list;
}

} // namespace analysis
