// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/io/arrival_gaps.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

namespace io {

namespace {

constexpr double BinSeconds = 0.0001;    // jitter histogram resolution
constexpr double LowestSeconds = -0.02;  // its range: a little early ...
constexpr double HighestSeconds = 0.5;   // ... to quite late
constexpr size_t SeenCount = 1024;       // residuals the histogram holds
constexpr double SameSizeFollowS = 30.0; // following a slow sender: whole datagrams are lost
constexpr double MixedSizeFollowS = 1e12;
constexpr double SmallestLossSeconds = 0.0005;
constexpr double NotJitter = std::numeric_limits<double>::quiet_NaN();
constexpr double AheadSeconds = 0.1; // a sender restarted ahead of its time

// What the samples say against a loss just before the datagram: they only
// keep a loss away from where the stream goes on unbroken. (A broken join
// adds nothing: a loss the times place one datagram off would otherwise be
// counted twice, once where it was filled and once where the samples break.)
template <typename Item> double CleanJoin(const Item& item) {
    return std::max(0.0, -item.Join);
}

} // namespace

ArrivalGapFinder::ArrivalGapFinder(int rate, double holdSeconds)
    : rate_(rate), holdNs_(static_cast<int64_t>(holdSeconds * 1e9)) {
    const double span = (HighestSeconds - LowestSeconds) / BinSeconds;
    bins_.assign(static_cast<size_t>(span) + 1, 0);
}

void ArrivalGapFinder::Arrive(int64_t timeNs, int64_t samples, double join) {
    if (next_ == 0) {
        originNs_ = timeNs;
        size_ = samples;
        smallest_ = samples;
    } else {
        if (samples != size_) size_ = 0;
        smallest_ = std::min(smallest_, samples);
    }
    held_.push_back(Item{timeNs, samples, next_++, join});
}

std::vector<DatagramVerdict> ArrivalGapFinder::Decide(int64_t nowNs) {
    std::vector<DatagramVerdict> out;
    while (!held_.empty() && nowNs - held_.front().TimeNs >= holdNs_)
        DecideFront(out);
    return out;
}

std::vector<DatagramVerdict> ArrivalGapFinder::Flush() {
    std::vector<DatagramVerdict> out;
    while (!held_.empty())
        DecideFront(out);
    return out;
}

void ArrivalGapFinder::Residuals() {
    r_.resize(held_.size());
    int64_t received = accepted_;
    for (size_t j = 0; j < held_.size(); ++j) {
        // A datagram leaves when its last sample is there.
        received += held_[j].Samples;
        const double e = double(held_[j].TimeNs - originNs_) * rate_ / 1e9 - double(received);
        r_[j] = e - level_;
    }
}

double ArrivalGapFinder::BinWidth() const {
    return std::max(1.0, BinSeconds * rate_);
}

void ArrivalGapFinder::NoteJitter(double residual) {
    const auto bin = [this](double r) {
        return static_cast<int64_t>(std::floor((r - LowestSeconds * rate_) / BinWidth()));
    };
    const auto count = [this](int64_t b, int change) {
        if (b >= 0 && b < static_cast<int64_t>(bins_.size()))
            bins_[static_cast<size_t>(b)] += change;
    };
    if (seen_.size() < SeenCount) {
        seen_.push_back(residual);
    } else {
        count(bin(seen_[seenNext_]), -1);
        seen_[seenNext_] = residual;
        seenNext_ = (seenNext_ + 1) % SeenCount;
    }
    count(bin(residual), 1);
    const auto [low, high] = std::minmax_element(seen_.begin(), seen_.end());
    seenLow_ = *low;
    seenHigh_ = *high;
}

double ArrivalGapFinder::LogLikelihood(double residual) const {
    // The histogram, a little smoothed, and a part spread evenly over the
    // range seen widened by what so few datagrams may not have shown yet.
    const double n = double(seen_.size());
    const double width = BinWidth();
    if (n == 0) return 0;
    const double margin = 3 * (seenHigh_ - seenLow_) / n + 2 * width;
    const double even = std::min(0.5, 0.05 + 3 / n);
    double density = 1e-9 / width;
    if (residual >= seenLow_ - margin && residual <= seenHigh_ + margin)
        density += even / (seenHigh_ - seenLow_ + 2 * margin);
    const auto b = static_cast<int64_t>(std::floor((residual - LowestSeconds * rate_) / width));
    const auto last = static_cast<int64_t>(bins_.size()) - 1;
    if (b >= 0 && b <= last) {
        double c = bins_[static_cast<size_t>(b)];
        double weight = 1;
        for (const int64_t k : {b - 1, b + 1}) {
            if (k < 0 || k > last) continue;
            c += 0.5 * bins_[static_cast<size_t>(k)];
            weight += 0.5;
        }
        density += (1 - even) * c / weight / (n * width);
    }
    return std::log(density);
}

double ArrivalGapFinder::Quantile(double q) const {
    if (seen_.empty()) return 0;
    const auto wanted =
        std::max<int64_t>(1, static_cast<int64_t>(std::ceil(q * double(seen_.size()))));
    int64_t sum = 0;
    for (size_t b = 0; b < bins_.size(); ++b) {
        sum += bins_[b];
        if (sum >= wanted) return LowestSeconds * rate_ + double(b + 1) * BinWidth();
    }
    return HighestSeconds * rate_; // the rest lies beyond the range
}

double ArrivalGapFinder::Threshold() const {
    // The floor of m datagrams' jitter lies about spread/(m+1) above its true place.
    const double spread = std::max(0.0, Quantile(0.99) - Quantile(0.01));
    const double m = double(held_.size());
    return std::max({size_ > 0 ? 0.0 : 0.5 * double(smallest_), 4.0 * spread / (m + 1.0),
                     SmallestLossSeconds * rate_});
}

void ArrivalGapFinder::Release(std::vector<DatagramVerdict>& out, DatagramVerdict verdict,
                               double residual) {
    const Item item = held_.front();
    held_.pop_front();
    r_.erase(r_.begin());
    verdict.Index = item.Index;
    if (!verdict.Late) {
        accepted_ += item.Samples;
        ++acceptedCount_;
    }
    if (!std::isnan(residual)) NoteJitter(residual);
    out.push_back(verdict);
}

void ArrivalGapFinder::DecideFront(std::vector<DatagramVerdict>& out) {
    Residuals();
    const size_t held = r_.size();
    if (!anchored_) {
        // The stream's level: the floor of everything held at the start. The
        // jitter to expect: the datagrams up to the last one near that floor
        // (the later ones may stand above a loss).
        const double low = *std::min_element(r_.begin(), r_.end());
        level_ += low;
        for (double& r : r_)
            r -= low;
        const double near = 0.5 * double(smallest_);
        size_t last = 0;
        for (size_t j = 0; j < r_.size(); ++j)
            if (r_[j] < near) last = j;
        for (size_t j = 0; j <= last; ++j)
            NoteJitter(r_[j]);
        anchored_ = true;
    }
    const double floor = *std::min_element(r_.begin(), r_.end());
    const double threshold = Threshold();
    const int64_t front = held_.front().Samples;

    if (floor > double(MaxFillSeconds) * rate_) {
        level_ += floor;
        Release(out, DatagramVerdict{.PauseBefore = std::llround(floor)});
        return;
    }
    if (size_ > 0 && floor >= 0.5 * double(size_) && PlaceWholeDatagrams(out)) return;
    if (size_ == 0 && floor >= threshold && PlaceMixedSizes(out)) return;
    if (r_[0] <= -0.5 * double(front)) {
        // Ahead of time from this datagram on by as much as it is long: one
        // whose time was filled already. It goes.
        const double rest = held > 1 ? *std::min_element(r_.begin() + 1, r_.end()) : r_[0];
        if (std::fabs(rest + double(front)) <= std::max(threshold, 0.25 * double(front))) {
            Release(out, DatagramVerdict{.Late = true});
            return;
        }
    }
    const double aheadLimit = std::max({2.0 * threshold, double(front), AheadSeconds * rate_});
    if (r_[0] <= -aheadLimit && floor <= -aheadLimit) {
        level_ += floor;
        Release(out, DatagramVerdict{.Ahead = true});
        return;
    }
    double shift = 0;
    if (size_ > 0 && floor < 0 && floor > -0.5 * double(size_)) {
        shift = floor; // the floor lies lower than seen so far
    } else {
        // Slowly: with datagrams of many sizes each loss is measured against
        // this level, so that the error of one is made good by the next.
        const double follow = size_ > 0 ? SameSizeFollowS : MixedSizeFollowS;
        shift = floor * std::min(1.0, double(front) / rate_ / follow);
    }
    level_ += shift;
    // Only datagrams that surely stand on the level teach the jitter.
    const bool sure = floor < 0.5 * double(smallest_);
    Release(out, DatagramVerdict{}, sure ? r_[0] - shift : NotJitter);
}

bool ArrivalGapFinder::PlaceWholeDatagrams(std::vector<DatagramVerdict>& out) {
    // The most likely staircase under the held datagrams (Viterbi): each
    // datagram stands some whole datagrams above the level, never fewer than
    // the one before it; every step costs what a loss is unlikely.
    const double size = double(size_);
    const double floor = *std::min_element(r_.begin(), r_.end());
    const int base = std::max(0, static_cast<int>(std::nearbyint(floor / size)) - 1);
    const double step = -std::log(LossShare());
    const size_t m = r_.size();
    constexpr int states = WholeDatagramStates;
    back_.assign(m * states, 0);
    std::array<double, states> v{}, next{};
    // A step before a datagram whose samples go on cleanly from the one
    // before costs what they say.
    for (int s = 0; s < states; ++s)
        v[static_cast<size_t>(s)] = LogLikelihood(r_[0] - (base + s) * size) -
                                    (base + s > 0 ? step * (base + s) + CleanJoin(held_[0]) : 0.0);
    for (size_t j = 1; j < m; ++j) {
        double lower = -std::numeric_limits<double>::infinity(); // best from below s
        int lowerFrom = 0;
        for (int s = 0; s < states; ++s) {
            const auto k = static_cast<size_t>(s);
            const double up = lower - step * s - CleanJoin(held_[j]);
            const bool stay = v[k] >= up;
            next[k] = (stay ? v[k] : up) + LogLikelihood(r_[j] - (base + s) * size);
            back_[j * states + k] = static_cast<uint8_t>(stay ? s : lowerFrom);
            if (v[k] + step * s > lower) {
                lower = v[k] + step * s;
                lowerFrom = s;
            }
        }
        v = next;
    }
    int s = static_cast<int>(std::max_element(v.begin(), v.end()) - v.begin());
    for (size_t j = m; j-- > 1;)
        s = back_[j * states + static_cast<size_t>(s)];
    const int lost = base + s;
    if (lost == 0) return false;
    losses_ += 1;
    const double loss = lost * size;
    level_ += loss;
    Release(out, DatagramVerdict{.SilenceBefore = std::llround(loss)});
    return true;
}

bool ArrivalGapFinder::PlaceMixedSizes(std::vector<DatagramVerdict>& out) {
    // A loss before datagram p lifts everything from p on to the floor from p
    // on. Candidates: up to the first datagram whose jitter could not be that
    // high were it still before the loss.
    const double highest =
        seenHigh_ + 3 * (seenHigh_ - seenLow_) / double(seen_.size()) + BinWidth();
    const size_t m = r_.size();
    size_t last = 0;
    while (last + 1 < m && r_[last] <= highest)
        ++last;
    std::vector<double> floorFrom(m + 1, std::numeric_limits<double>::infinity());
    for (size_t j = m; j-- > 0;)
        floorFrom[j] = std::min(floorFrom[j + 1], r_[j]);
    // cost(p): -log L of the datagrams before p at the level, of those from
    // p to `last` lifted by floorFrom[p].
    double before = 0;
    double best = std::numeric_limits<double>::infinity();
    std::vector<size_t> ties;
    for (size_t p = 0; p <= last; ++p) {
        double cost = before + CleanJoin(held_[p]);
        for (size_t j = p; j <= last; ++j)
            cost -= LogLikelihood(r_[j] - floorFrom[p]);
        if (cost < best - 1e-9) {
            best = cost;
            ties.assign(1, p);
        } else if (cost <= best + 1e-9) {
            ties.push_back(p);
        }
        before -= LogLikelihood(r_[p]);
    }
    // Equally likely places (flat jitter): the middle one errs least.
    const size_t place = ties[ties.size() / 2];
    const double loss = FloorLift(place, floorFrom[place]);
    if (loss < Threshold()) return false;
    for (size_t j = 0; j < place; ++j)
        Release(out, DatagramVerdict{});
    losses_ += 1;
    level_ += loss;
    Release(out, DatagramVerdict{.SilenceBefore = std::llround(loss)});
    return true;
}

double ArrivalGapFinder::FloorLift(size_t first, double floor) const {
    // The floor of k datagrams lies above their level by what the lowest of
    // k jitters drawn from those seen lies above the lowest seen (the
    // shape of the jitter only: where it stands is the level's business).
    const double spread = std::max(0.0, Quantile(0.99) - Quantile(0.01));
    size_t end = first;
    while (end < r_.size() && r_[end] - floor <= spread + BinWidth())
        ++end;
    const double k = double(end - first);
    const double n = double(seen_.size());
    double above = n; // seen from the next bin on
    double excess = 0;
    bool started = false;
    for (size_t b = 0; b < bins_.size() && above > 0; ++b) {
        started = started || bins_[b] > 0;
        if (!started) continue;
        above -= bins_[b];
        excess += std::pow(std::max(0.0, above) / n, k) * BinWidth();
    }
    return floor - excess;
}

double ArrivalGapFinder::LossShare() const {
    const double share = (double(losses_) + 1.0) / (double(acceptedCount_) + 50.0);
    return std::clamp(share, 0.001, 0.2);
}

} // namespace io
