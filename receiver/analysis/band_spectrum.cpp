// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/analysis/band_spectrum.h"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <numbers>

namespace analysis {

namespace {

constexpr double MaxBinHz = 8.0;
constexpr double RollOff = 0.35;
// A candidate's band stands at least this far over the floor (about -9 dB
// signal to noise within the band)...
constexpr double MinExcessRatio = 0.12;
// ... and this many standard deviations of the averaged floor.
constexpr double MinExcessSigmas = 8.0;

double SymbolRate(int32_t mode) {
    return mode == -1 ? 2000.0 : 2400.0;
}

// The raised-cosine power shape of a mode, over bins from the centre.
std::vector<double> Shape(int32_t mode, double binHz) {
    const double rs = SymbolRate(mode);
    const double flat = (1.0 - RollOff) * rs / 2.0;
    const double edge = (1.0 + RollOff) * rs / 2.0;
    const auto half = int32_t(edge / binHz);
    std::vector<double> shape(size_t(2 * half + 1));
    for (int32_t k = -half; k <= half; ++k) {
        const double f = std::abs(k * binHz);
        double v = 1.0;
        if (f > flat) v = 0.5 * (1.0 + std::cos(std::numbers::pi * (f - flat) / (RollOff * rs)));
        shape[size_t(k + half)] = v;
    }
    return shape;
}

double Median(std::vector<double> values) {
    if (values.empty()) return 0.0;
    const auto middle = values.begin() + std::ptrdiff_t(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

// The median of the middle 90 % of the band, leaving out bins within
// `guardHz` of any of `centres` (bins from the centre of the band).
double FloorAway(const BandSpectrum& s, const std::vector<double>& centres, double guardHz) {
    const size_t n = s.Density.size();
    std::vector<char> masked(n, 0);
    for (const double c : centres) {
        const double bin = s.BinOf(c);
        const auto from = size_t(std::max(0.0, bin - guardHz / s.BinHz));
        const auto to = size_t(std::min(double(n - 1), bin + guardHz / s.BinHz));
        std::fill(masked.begin() + std::ptrdiff_t(from), masked.begin() + std::ptrdiff_t(to) + 1,
                  1);
    }
    std::vector<double> kept;
    for (size_t k = n / 20; k < n - n / 20; ++k)
        if (!masked[k]) kept.push_back(s.Density[k]);
    return Median(kept);
}

} // namespace

std::optional<BandSpectrum> MeasureSpectrum(io::IqRecordingReader& reader, double seconds,
                                            std::string& error) {
    BandSpectrum s;
    s.SampleRate = reader.Info().SampleRate;
    int32_t size = 256;
    while (s.SampleRate / size > MaxBinHz)
        size *= 2;
    s.BinHz = s.SampleRate / size;
    s.Density.assign(size_t(size), 0.0);
    auto* in = static_cast<fftwf_complex*>(fftwf_malloc(sizeof(fftwf_complex) * size_t(size)));
    auto* out = static_cast<fftwf_complex*>(fftwf_malloc(sizeof(fftwf_complex) * size_t(size)));
    fftwf_plan plan = fftwf_plan_dft_1d(size, in, out, FFTW_FORWARD, FFTW_ESTIMATE);
    std::vector<float> window(static_cast<size_t>(size));
    double windowPower = 0.0;
    for (int32_t i = 0; i < size; ++i) {
        window[size_t(i)] = float(0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * i / size));
        windowPower += double(window[size_t(i)]) * window[size_t(i)];
    }
    const auto limit = int64_t(seconds * s.SampleRate);
    std::vector<io::IqSample> segment(static_cast<size_t>(size));
    bool failed = false;
    for (int64_t done = 0; done + size <= limit;) {
        const int64_t got = reader.Read(segment.data(), size);
        if (got < 0) failed = true;
        if (got < size) break;
        done += got;
        for (int32_t i = 0; i < size; ++i) {
            in[i][0] = segment[size_t(i)].real() * window[size_t(i)];
            in[i][1] = segment[size_t(i)].imag() * window[size_t(i)];
        }
        fftwf_execute(plan);
        for (int32_t k = 0; k < size; ++k) {
            const auto at = size_t((k + size / 2) % size);
            s.Density[at] += double(out[k][0]) * out[k][0] + double(out[k][1]) * out[k][1];
        }
        ++s.Segments;
    }
    fftwf_destroy_plan(plan);
    fftwf_free(in);
    fftwf_free(out);
    if (failed) {
        error = reader.Error();
        return std::nullopt;
    }
    if (s.Segments == 0) {
        error = reader.Info().DataPath + " is too short for a spectrum";
        return std::nullopt;
    }
    const double scale = 1.0 / (double(s.Segments) * s.SampleRate * windowPower);
    for (double& d : s.Density)
        d *= scale;
    return s;
}

std::vector<SpectrumCandidate> FindCandidates(BandSpectrum& s) {
    const size_t n = s.Density.size();
    s.FloorDensity = FloorAway(s, {}, 0.0);
    std::vector<SpectrumCandidate> found;
    if (!(s.FloorDensity > 0.0)) return found;
    // The excess of every bin, then each mode's shape over it: the mean
    // excess of a band of that shape centred at each bin.
    std::vector<double> excess(n);
    std::vector<double> best(n, 0.0);
    for (int pass = 0; pass < 2; ++pass) {
        for (size_t k = 0; k < n; ++k)
            excess[k] = s.Density[k] / s.FloorDensity - 1.0;
        std::fill(best.begin(), best.end(), 0.0);
        for (const int32_t mode : {1, -1}) {
            const std::vector<double> shape = Shape(mode, s.BinHz);
            double weight = 0.0;
            for (const double v : shape)
                weight += v * v;
            const auto half = int64_t(shape.size() / 2);
            for (int64_t k = half; k + half < int64_t(n); ++k) {
                double sum = 0.0;
                for (int64_t j = -half; j <= half; ++j)
                    sum += shape[size_t(j + half)] * excess[size_t(k + j)];
                best[size_t(k)] = std::max(best[size_t(k)], sum / weight);
            }
        }
        // Noise of one bin's average, and so of the filtered excess.
        const double sigma = 1.0 / std::sqrt(double(s.Segments)) *
                             std::sqrt(s.BinHz / (SymbolRate(-1) * (1.0 - RollOff)));
        const double threshold = std::max(MinExcessRatio, MinExcessSigmas * sigma);
        const auto apart = int64_t(0.5 * SymbolRate(-1) / s.BinHz);
        found.clear();
        for (int64_t k = 0; k < int64_t(n); ++k) {
            const double v = best[size_t(k)];
            if (v < threshold) continue;
            bool peak = true;
            for (int64_t j = std::max<int64_t>(0, k - apart);
                 j <= std::min<int64_t>(int64_t(n) - 1, k + apart) && peak; ++j)
                peak = best[size_t(j)] < v || (best[size_t(j)] == v && j >= k);
            if (!peak) continue;
            // The vertex of the parabola through the peak and its neighbours.
            double offset = 0.0;
            if (k > 0 && k + 1 < int64_t(n)) {
                const double a = best[size_t(k - 1)], c = best[size_t(k + 1)];
                const double d = a - 2.0 * v + c;
                if (d < 0.0) offset = std::clamp(0.5 * (a - c) / d, -0.5, 0.5);
            }
            found.push_back({s.FrequencyOf(double(k) + offset), v});
        }
        // The floor again without the bands found, once.
        std::vector<double> centres;
        for (const SpectrumCandidate& c : found)
            centres.push_back(c.OffsetHz);
        if (pass == 0) s.FloorDensity = FloorAway(s, centres, SymbolRate(1) * 0.75);
    }
    std::sort(found.begin(), found.end(),
              [](const auto& a, const auto& b) { return a.ExcessRatio > b.ExcessRatio; });
    return found;
}

double SnrIn3kHz(const BandSpectrum& s, double offsetHz, int32_t mode) {
    const double edge = (1.0 + RollOff) * SymbolRate(mode) / 2.0;
    const double from = std::max(0.0, std::ceil(s.BinOf(offsetHz - edge)));
    const double to = std::min(double(s.Density.size() - 1), std::floor(s.BinOf(offsetHz + edge)));
    double power = 0.0;
    for (auto k = size_t(from); k <= size_t(to); ++k)
        power += (s.Density[k] - s.FloorDensity) * s.BinHz;
    const double noise = s.FloorDensity * 3000.0;
    if (!(noise > 0.0)) return 99.0;
    return 10.0 * std::log10(std::max(power, 1e-30) / noise);
}

} // namespace analysis
