// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/analysis/clock_estimator.h"

#include "receiver/analysis/clock_shift.h"

#include <algorithm>
#include <cmath>
#include <optional>

namespace analysis {

namespace {

constexpr int32_t Lags = dsp::BasebandLen;
// Blocks summed into one chunk's profile.
constexpr int32_t ChunkBlocks = 16;
// A chunk is kept when its profile's peak stands this far over its median:
// noise alone, summed over 16 blocks, stays within about 3 dB.
constexpr double MinChunkSnrDb = 6.0;
// About half an hour of chunks: plenty for any estimate.
constexpr size_t MaxChunks = 1024;
// An estimate needs this many chunks over at least this many blocks.
constexpr size_t MinChunks = 8;
constexpr double MinSpanBlocks = 128.0;
// Neighbouring chunks this many chunks apart at most are compared for the
// first drift; the shift between them is looked for within 3 + 4 lags per
// chunk between them (300 ppm moves the profile 2.4 lags per chunk).
constexpr int32_t MaxNeighbourGap = 4;
// The remaining shift against the template is looked for within these lags,
// round by round.
constexpr int32_t RoundWindowLags[] = {12, 6, 6};
// Shifts further off the line than this many robust standard deviations
// (and at least MinOutlierLags) are dropped.
constexpr double OutlierSigmas = 3.5;
constexpr double MinOutlierLags = 0.05;
constexpr int JackknifeGroups = 8;
// The residuals' correlation from chunk to chunk taken at most this high.
constexpr double MaxNeighbourCorrelation = 0.9;
// Below this the uncertainty would claim more than the sub-lag positions hold.
constexpr double MinUncertaintyPpm = 0.05;

using Profile = ClockEstimator::Profile;

double Median(std::vector<double> values) {
    if (values.empty()) return 0.0;
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

size_t Index(int32_t lag) {
    return static_cast<size_t>(((lag % Lags) + Lags) % Lags);
}

// The profile moved by -shift lags (circularly, linear interpolation): what
// lay at shift + i comes to i.
Profile MovedBack(const Profile& profile, double shift) {
    Profile moved{};
    const double whole = std::floor(shift);
    const double fraction = shift - whole;
    const auto base = static_cast<int32_t>(std::fmod(whole, double(Lags)));
    for (int32_t i = 0; i < Lags; ++i) {
        moved[static_cast<size_t>(i)] = static_cast<float>(
            (1.0 - fraction) * profile[Index(base + i)] + fraction * profile[Index(base + i + 1)]);
    }
    return moved;
}

// The shift k (sub-lag) with `moved` = `reference` moved by +k, looked for in
// -window..window; none when the best lies on the edge of the window.
std::optional<double> ShiftAgainst(const Profile& moved, const Profile& reference, int32_t window) {
    std::vector<double> score(static_cast<size_t>(2 * window + 1));
    for (int32_t k = -window; k <= window; ++k) {
        double sum = 0.0;
        for (int32_t i = 0; i < Lags; ++i)
            sum += double(moved[Index(i + k)]) * reference[static_cast<size_t>(i)];
        score[static_cast<size_t>(k + window)] = sum;
    }
    const auto best =
        static_cast<int32_t>(std::max_element(score.begin(), score.end()) - score.begin());
    if (best == 0 || best == 2 * window) return std::nullopt;
    const double left = score[static_cast<size_t>(best - 1)];
    const double centre = score[static_cast<size_t>(best)];
    const double right = score[static_cast<size_t>(best + 1)];
    const double curvature = left - 2.0 * centre + right;
    const double offset = curvature < 0.0 ? 0.5 * (left - right) / curvature : 0.0;
    return best - window + std::clamp(offset, -0.5, 0.5);
}

struct LineSums {
    double N = 0, T = 0, Y = 0, Tt = 0, Ty = 0;
    void Add(double ti, double yi) {
        N += 1;
        T += ti;
        Y += yi;
        Tt += ti * ti;
        Ty += ti * yi;
    }
    void Remove(const LineSums& part) {
        N -= part.N;
        T -= part.T;
        Y -= part.Y;
        Tt -= part.Tt;
        Ty -= part.Ty;
    }
    double Sxx() const { return N > 0 ? Tt - T * T / N : 0.0; }
    double Slope() const {
        const double sxx = Sxx();
        return sxx > 0.0 ? (Ty - T * Y / N) / sxx : 0.0;
    }
    double At(double ti) const { return N > 0 ? Y / N + Slope() * (ti - T / N) : 0.0; }
};

struct Point {
    double T;
    double Y;
};

struct Line {
    bool Valid = false;
    double Slope = 0.0;
    double Variance = 0.0; // of the slope
    size_t Used = 0;
};

// A straight line through the points, those far off it dropped.
Line RobustLine(const std::vector<Point>& points) {
    Line line;
    if (points.size() < MinChunks) return line;
    std::vector<char> inlier(points.size(), 1);
    LineSums sums;
    for (int round = 0; round <= 3; ++round) {
        sums = LineSums();
        for (size_t i = 0; i < points.size(); ++i)
            if (inlier[i]) sums.Add(points[i].T, points[i].Y);
        if (round == 3) break;
        std::vector<double> deviations;
        for (size_t i = 0; i < points.size(); ++i)
            if (inlier[i]) deviations.push_back(std::abs(points[i].Y - sums.At(points[i].T)));
        const double limit = std::max(OutlierSigmas * 1.4826 * Median(deviations), MinOutlierLags);
        for (size_t i = 0; i < points.size(); ++i)
            inlier[i] = std::abs(points[i].Y - sums.At(points[i].T)) <= limit;
    }
    if (sums.N < double(MinChunks) || !(sums.Sxx() > 0.0)) return line;

    double squares = 0.0;
    for (size_t i = 0; i < points.size(); ++i) {
        if (!inlier[i]) continue;
        const double r = points[i].Y - sums.At(points[i].T);
        squares += r * r;
    }
    line.Valid = true;
    line.Slope = sums.Slope();
    line.Used = static_cast<size_t>(sums.N);
    // The fading of the paths moves the profiles for seconds at a time, so
    // neighbouring shifts stray from the line together: the line's standard
    // error, taken as if they strayed independently, is made larger by the
    // residuals' correlation from chunk to chunk (as for a first-order
    // autoregression).
    double lagged = 0.0, previous = 0.0;
    bool havePrevious = false;
    for (size_t i = 0; i < points.size(); ++i) {
        if (!inlier[i]) continue;
        const double r = points[i].Y - sums.At(points[i].T);
        if (havePrevious) lagged += r * previous;
        previous = r;
        havePrevious = true;
    }
    const double neighbour =
        squares > 0.0 ? std::clamp(lagged / squares, 0.0, MaxNeighbourCorrelation) : 0.0;
    line.Variance =
        squares / std::max(1.0, sums.N - 2.0) / sums.Sxx() * (1.0 + neighbour) / (1.0 - neighbour);
    std::vector<double> times, shifts;
    for (size_t i = 0; i < points.size(); ++i)
        if (inlier[i]) {
            times.push_back(points[i].T);
            shifts.push_back(points[i].Y);
        }
    line.Variance = std::max(line.Variance, JackknifeSlopeVariance(times, shifts, JackknifeGroups));
    return line;
}

} // namespace

double JackknifeSlopeVariance(const std::vector<double>& times, const std::vector<double>& values,
                              int32_t groups) {
    if (times.empty() || times.size() != values.size() || groups < 2) return 0.0;
    LineSums all;
    for (size_t i = 0; i < times.size(); ++i)
        all.Add(times[i], values[i]);
    const double first = times.front(), span = times.back() - first + 1.0;
    std::vector<LineSums> parts(static_cast<size_t>(groups));
    for (size_t i = 0; i < times.size(); ++i) {
        const auto group = std::min<size_t>(
            size_t(groups) - 1, static_cast<size_t>((times[i] - first) * groups / span));
        parts[group].Add(times[i], values[i]);
    }
    std::vector<double> slopes;
    for (const LineSums& part : parts) {
        if (part.N <= 0) continue;
        LineSums rest = all;
        rest.Remove(part);
        if (rest.N >= 3 && rest.Sxx() > 0.0) slopes.push_back(rest.Slope());
    }
    if (slopes.size() < 2) return 0.0;
    double mean = 0.0;
    for (double slope : slopes)
        mean += slope;
    mean /= double(slopes.size());
    double spread = 0.0;
    for (double slope : slopes)
        spread += (slope - mean) * (slope - mean);
    const double g = double(slopes.size());
    return spread * (g - 1.0) / g;
}

ClockSetting SplitClockCorrection(double totalPpm) {
    ClockSetting setting;
    double whole = std::floor(totalPpm);
    auto steps = static_cast<int32_t>(std::nearbyint((totalPpm - whole) * 200.0));
    if (steps >= 200) {
        whole += 1.0;
        steps -= 200;
    }
    setting.ClockPpm = whole;
    setting.SliderPosition = 10000 + steps;
    setting.ClockOffset = (setting.SliderPosition - 10000) / 200000000.0L;
    return setting;
}

void ClockEstimator::Restart() {
    chunks_.clear();
    sum_ = {};
    summed_ = 0;
    weightedTime_ = weight_ = 0.0;
    blocks_ = 0;
}

void ClockEstimator::Add(const dsp::SyncPowerArray& power, long double correction,
                         int32_t sampleRate) {
    if (correction != correction_ || sampleRate != sampleRate_) {
        Restart();
        correction_ = correction;
        sampleRate_ = sampleRate;
    }
    ++blocks_;
    if (chunks_.size() >= MaxChunks) return;
    // Fading weighs the blocks of a chunk unequally, and a drifting peak is
    // smeared over the chunk: the profile stands where the peak was at the
    // chunk's time weighted by each block's strength.
    const double strength = *std::max_element(power.begin(), power.end());
    for (size_t i = 0; i < Lags; ++i)
        sum_[i] += power[i];
    weightedTime_ += strength * double(blocks_ - 1);
    weight_ += strength;
    if (++summed_ < ChunkBlocks) return;

    const auto peak =
        static_cast<int32_t>(std::max_element(sum_.begin(), sum_.end()) - sum_.begin());
    const double top = sum_[static_cast<size_t>(peak)];
    const double floor = NoiseFloor(sum_, peak);
    if (PowerRatioDb(top, floor) >= MinChunkSnrDb) {
        Chunk chunk;
        chunk.CentreBlock = weightedTime_ / weight_;
        for (size_t i = 0; i < Lags; ++i)
            chunk.Profile[i] = static_cast<float>(std::max(0.0, sum_[i] - floor) / (top - floor));
        chunks_.push_back(chunk);
    }
    sum_ = {};
    summed_ = 0;
    weightedTime_ = weight_ = 0.0;
}

ClockEstimate ClockEstimator::Estimate() const {
    ClockEstimate estimate;
    estimate.Blocks = blocks_;
    estimate.CorrectionPpm = static_cast<double>(correction_ * 1000000.0L);
    if (chunks_.size() < MinChunks ||
        chunks_.back().CentreBlock - chunks_.front().CentreBlock < MinSpanBlocks)
        return estimate;

    // 1. The first drift, from neighbouring chunks.
    std::vector<double> rates;
    for (size_t c = 1; c < chunks_.size(); ++c) {
        const double blocks = chunks_[c].CentreBlock - chunks_[c - 1].CentreBlock;
        const auto gap = static_cast<int32_t>(std::nearbyint(blocks / ChunkBlocks));
        if (gap > MaxNeighbourGap) continue;
        const auto shift = ShiftAgainst(chunks_[c].Profile, chunks_[c - 1].Profile, 3 + 4 * gap);
        if (shift) rates.push_back(*shift / blocks);
    }
    if (rates.size() < 3) return estimate;
    double drift = Median(rates);

    // 2. Rounds against a template of all profiles aligned by the drift so far.
    // The 512 lags of a block hold one frame period of 512 + drift lags: each
    // time the peak crosses from one end of the lags to the other it lands
    // `drift` further on than it moved, which the alignment takes back.  The
    // crossings are counted from where the peak (at first that of the first
    // chunk, then that of the template) was.
    double middle = 0.0;
    for (const Chunk& chunk : chunks_)
        middle += chunk.CentreBlock;
    middle /= double(chunks_.size());
    const auto peakOf = [](const Profile& profile) {
        return double(std::max_element(profile.begin(), profile.end()) - profile.begin());
    };
    double anchorLag = peakOf(chunks_.front().Profile);
    double anchorBlock = chunks_.front().CentreBlock;
    Line line;
    for (const int32_t window : RoundWindowLags) {
        const auto crossings = [&](double block) {
            return std::floor((anchorLag + drift * (block - anchorBlock)) / Lags);
        };
        std::vector<Profile> aligned;
        aligned.reserve(chunks_.size());
        std::array<double, Lags> sum{};
        for (const Chunk& chunk : chunks_) {
            const double moved = drift * (chunk.CentreBlock - middle) -
                                 drift * (crossings(chunk.CentreBlock) - crossings(middle));
            aligned.push_back(MovedBack(chunk.Profile, moved));
            for (size_t i = 0; i < Lags; ++i)
                sum[i] += aligned.back()[i];
        }
        Profile reference{};
        for (size_t i = 0; i < Lags; ++i)
            reference[i] = static_cast<float>(sum[i] / double(chunks_.size()));
        // Each chunk against the template's paths, each at its own power
        // (clock_shift.h); against the template as a whole if it has none.
        const PathShiftFit paths(ChainPulseShape(), reference);
        std::vector<Point> points;
        for (size_t c = 0; c < chunks_.size(); ++c) {
            const auto shift = ShiftAgainst(aligned[c], reference, window);
            if (!shift) continue;
            points.push_back({chunks_[c].CentreBlock - middle,
                              paths.HasPaths() ? paths.ShiftNear(aligned[c], *shift) : *shift});
        }
        line = RobustLine(points);
        if (!line.Valid) return estimate;
        drift += line.Slope;
        anchorLag = peakOf(reference);
        anchorBlock = middle;
    }

    const double scale = static_cast<double>(1.0L + correction_) * 1e6 / Lags;
    estimate.Valid = true;
    estimate.DriftLagsPerBlock = drift;
    estimate.Observations = static_cast<int64_t>(line.Used) * ChunkBlocks;
    estimate.ResidualPpm = drift * scale;
    estimate.TotalPpm = estimate.CorrectionPpm + estimate.ResidualPpm;
    estimate.UncertaintyPpm = std::max(MinUncertaintyPpm, std::sqrt(line.Variance) * scale);
    return estimate;
}

} // namespace analysis
