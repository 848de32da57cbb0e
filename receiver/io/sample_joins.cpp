// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/io/sample_joins.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <limits>

namespace io {

namespace {

constexpr size_t Order = 16;       // of the predictor
constexpr size_t FitSamples = 480; // the stream before the join it is fitted to
constexpr size_t Judged = 16;      // samples after the join whose errors are weighed
// Cuts tried in the stream's past: the sizes of the last datagrams and of
// pairs of them, each at a few places.
constexpr size_t SizesKept = 4;
constexpr size_t CutPlaces = 4;
constexpr size_t CutPlaceStep = 41; // odd, so that places do not share a period
constexpr size_t PastSamples = 2 * 4096 + FitSamples;

using Predictor = std::array<double, Order>;

// Predictor coefficients a (x[n] ~ sum a[k] x[n-1-k]) fitted to x[from, to)
// by the autocorrelation method (Levinson-Durbin); false when it is silent.
bool FitPredictor(const std::vector<double>& x, size_t from, size_t to, Predictor& a) {
    std::array<double, Order + 1> r{};
    for (size_t lag = 0; lag <= Order; ++lag)
        for (size_t n = from + lag; n < to; ++n)
            r[lag] += x[n] * x[n - lag];
    if (r[0] <= 0) return false;
    r[0] *= 1.0 + 1e-9; // a little white floor keeps the fit stable
    a.fill(0.0);
    double error = r[0];
    Predictor previous{};
    for (size_t i = 0; i < Order; ++i) {
        double acc = r[i + 1];
        for (size_t k = 0; k < i; ++k)
            acc -= a[k] * r[i - k];
        const double reflection = acc / error;
        previous = a;
        a[i] = reflection;
        for (size_t k = 0; k < i; ++k)
            a[k] = previous[k] - reflection * previous[i - 1 - k];
        error *= 1.0 - reflection * reflection;
        if (error <= 0) return false;
    }
    return true;
}

// What the predictor makes of the sample at `x` from the Order before it.
double Predicted(const Predictor& a, const double* x) {
    double predicted = 0.0;
    for (size_t k = 0; k < Order; ++k)
        predicted += a[k] * x[-1 - std::ptrdiff_t(k)];
    return predicted;
}

// The mean squared prediction error over `Judged` samples that follow the
// `Order` samples `before` ends with: `after(i)` is the i-th of them.
template <typename After>
double JoinError(const Predictor& a, const double* before, const After& after) {
    std::array<double, Order + Judged> x{};
    std::copy(before - Order, before, x.begin());
    for (size_t i = 0; i < Judged; ++i)
        x[Order + i] = after(i);
    double sum = 0.0;
    for (size_t n = Order; n < x.size(); ++n) {
        const double error = x[n] - Predicted(a, &x[n]);
        sum += error * error;
    }
    return sum / double(Judged);
}

} // namespace

double JoinJudge::Evidence(const int16_t* samples) const {
    const size_t end = past_.size();
    if (end < FitSamples) return 0.0;
    Predictor a{};
    if (!FitPredictor(past_, end - FitSamples, end, a)) return 0.0;
    // The errors inside the stream just before the join ...
    double inside = 0.0;
    for (size_t n = end - FitSamples + Order; n < end; ++n) {
        const double error = past_[n] - Predicted(a, &past_[n]);
        inside += error * error;
    }
    inside /= double(FitSamples - Order);
    // Quantisation alone keeps the errors off zero.
    const double floor = std::max(inside, 1.0 / 12.0);

    // ... across the stream's past cut as a loss would cut it ...
    std::vector<size_t> cuts;
    for (size_t i = 0; i < lastSizes_.size(); ++i) {
        cuts.push_back(size_t(lastSizes_[i]));
        if (i + 1 < lastSizes_.size()) cuts.push_back(size_t(lastSizes_[i] + lastSizes_[i + 1]));
    }
    double broken = std::numeric_limits<double>::infinity();
    for (const size_t cut : cuts) {
        const size_t span = Order + cut + Judged + (CutPlaces - 1) * CutPlaceStep;
        if (span > end) continue;
        for (size_t place = 0; place < CutPlaces; ++place) {
            const double* before = past_.data() + (end - span + Order + place * CutPlaceStep);
            broken =
                std::min(broken, JoinError(a, before, [&](size_t i) { return before[cut + i]; }));
        }
    }
    if (!std::isfinite(broken)) return 0.0;

    // ... and across the join itself. A broken join misses with errors of
    // variance gain x floor instead of floor (Gaussian model), the gain the
    // least any cut of the past showed.
    const double after =
        JoinError(a, past_.data() + end, [&](size_t i) { return double(samples[i]); });
    const double gain = std::max(1.0, broken / floor);
    const double ratio = after / floor;
    const double evidence = 0.5 * double(Judged) * (ratio * (1.0 - 1.0 / gain) - std::log(gain));
    return std::clamp(evidence, -MaxJoinEvidence, MaxJoinEvidence);
}

double JoinJudge::Next(const int16_t* samples, size_t count) {
    const double evidence = count >= Judged ? Evidence(samples) : 0.0;
    past_.insert(past_.end(), samples, samples + count);
    if (past_.size() > PastSamples)
        past_.erase(past_.begin(), past_.end() - static_cast<std::ptrdiff_t>(PastSamples));
    lastSizes_.insert(lastSizes_.begin(), static_cast<int64_t>(count));
    if (lastSizes_.size() > SizesKept) lastSizes_.pop_back();
    return evidence;
}

} // namespace io
