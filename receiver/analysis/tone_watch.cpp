// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/analysis/tone_watch.h"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <numbers>

namespace analysis {

namespace {

constexpr int32_t Points = dsp::BasebandLen;
constexpr int32_t Newest = 2 * dsp::BasebandLen; // the newest block in the baseband
// A transform every eighth block, averaged over about 60 blocks (6 s NATO);
// the lines looked for every second transform.
constexpr int32_t BlocksPerTransform = 8;
constexpr double AverageWeight = 1.0 / 4.0;
constexpr int64_t MinTransforms = 4;
constexpr int64_t TransformsPerSearch = 2;
// A line stands this far (power ratio) over the mean of the bins around it.
constexpr double LineOverSurroundings = 10.0;
constexpr int32_t LineHalfWidthBins = 3;
constexpr int32_t SurroundingBins = 16;
constexpr size_t MaxLines = 3;
// Lines are looked for where the chain's lowpass passes the signal (up to
// 0.31 of the baseband rate: 1500 Hz NATO); beyond, its stop band has lobes
// and notches of its own, and a carrier there reaches no measurement.  A line
// also stands at least this share over the mean of the passband.
constexpr double PassbandShare = 0.3125;
constexpr double LineOverPassband = 2.0;
// Lags on each side of a lag from which its carrier is estimated.
constexpr int32_t CarrierReachLags = 96;

int32_t Bin(int32_t k) {
    return ((k % Points) + Points) % Points;
}

} // namespace

struct ToneWatch::Fft {
    fftw_complex* Data = nullptr;
    fftw_plan Plan = nullptr;
    std::vector<double> Window;
    Fft() {
        Data = fftw_alloc_complex(Points);
        Plan = fftw_plan_dft_1d(Points, Data, Data, FFTW_FORWARD, FFTW_ESTIMATE);
        Window.resize(Points);
        for (int32_t n = 0; n < Points; ++n)
            Window[size_t(n)] = 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * n / Points);
    }
    ~Fft() {
        fftw_destroy_plan(Plan);
        fftw_free(Data);
    }
};

ToneWatch::ToneWatch() : fft_(std::make_unique<Fft>()), spectrum_(Points, 0.0) {}
ToneWatch::~ToneWatch() = default;

void ToneWatch::Reset() {
    std::fill(spectrum_.begin(), spectrum_.end(), 0.0);
    blocks_ = transforms_ = 0;
    lines_.clear();
}

void ToneWatch::Add(const dsp::BasebandArray& baseband, int32_t sampleRate) {
    if (blocks_++ % BlocksPerTransform != 0) return;
    for (int32_t n = 0; n < Points; ++n) {
        const dsp::ComplexSample s = baseband[size_t(Newest + n)];
        fft_->Data[n][0] = fft_->Window[size_t(n)] * s.Re;
        fft_->Data[n][1] = fft_->Window[size_t(n)] * s.Im;
    }
    fftw_execute(fft_->Plan);
    const double weight = std::max(AverageWeight, 1.0 / double(++transforms_));
    for (int32_t k = 0; k < Points; ++k) {
        const double power =
            fft_->Data[k][0] * fft_->Data[k][0] + fft_->Data[k][1] * fft_->Data[k][1];
        spectrum_[size_t(k)] += weight * (power - spectrum_[size_t(k)]);
    }
    if (transforms_ >= MinTransforms && transforms_ % TransformsPerSearch == 0)
        FindLines(sampleRate);
}

void ToneWatch::FindLines(int32_t sampleRate) {
    std::vector<std::pair<double, double>> found; // power, Hz
    const double binHz = sampleRate / 2.0 / Points;
    // Sums of the spectrum from bin 0 on, twice round, for the sums of the
    // bins around each bin.
    std::vector<double> running(size_t(3 * Points + 1), 0.0);
    for (int32_t k = 0; k < 3 * Points; ++k)
        running[size_t(k + 1)] = running[size_t(k)] + spectrum_[size_t(k % Points)];
    const auto sumOf = [&](int32_t from, int32_t to) { // bins from .. to, inclusive
        return running[size_t(to + Points + 1)] - running[size_t(from + Points)];
    };
    const auto reach = int32_t(PassbandShare * Points);
    const double passband = (sumOf(-reach, reach)) / double(2 * reach + 1);
    for (int32_t k = -reach; k <= reach; ++k) {
        const double v = spectrum_[size_t(Bin(k))];
        if (!(v > LineOverPassband * passband) || v < spectrum_[size_t(Bin(k - 1))] ||
            v <= spectrum_[size_t(Bin(k + 1))])
            continue;
        const int32_t near = LineHalfWidthBins, far = LineHalfWidthBins + SurroundingBins;
        const double around =
            (sumOf(k - far, k - near - 1) + sumOf(k + near + 1, k + far)) / (2.0 * SurroundingBins);
        if (v < LineOverSurroundings * around) continue;
        // Between bins: the vertex of the parabola through the log powers.
        const double l = std::log(std::max(spectrum_[size_t(Bin(k - 1))], 1e-300));
        const double c = std::log(v);
        const double r = std::log(std::max(spectrum_[size_t(Bin(k + 1))], 1e-300));
        const double curvature = l - 2.0 * c + r;
        const double offset =
            curvature < 0.0 ? std::clamp(0.5 * (l - r) / curvature, -0.5, 0.5) : 0.0;
        found.emplace_back(v, (k + offset) * binHz);
    }
    std::sort(found.begin(), found.end(), std::greater<>());
    lines_.clear();
    for (size_t i = 0; i < found.size() && i < MaxLines; ++i)
        lines_.push_back(found[i].second);
}

std::complex<double> CarrierAtLag(const dsp::ComplexSample* corrLags, int32_t lagCount,
                                  const std::vector<char>& usable, double hz, int32_t sampleRate,
                                  int32_t lag) {
    const double step = 2.0 * std::numbers::pi * hz / (sampleRate / 2.0);
    std::complex<double> sum{};
    int32_t count = 0;
    const int32_t from = std::max(0, lag - CarrierReachLags);
    const int32_t to = std::min(lagCount - 1, lag + CarrierReachLags);
    for (int32_t l = from; l <= to; ++l) {
        if (!usable[size_t(l)]) continue;
        const dsp::ComplexSample c = corrLags[l];
        sum += std::complex<double>(c.Re, c.Im) * std::polar(1.0, -step * (l - lag));
        ++count;
    }
    return count > 0 ? sum / double(count) : std::complex<double>{};
}

} // namespace analysis
