// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/io/channelizer.h"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <numbers>

namespace io {

namespace {

// FFTW's planner keeps one table for the whole process: plans are made and
// destroyed one at a time.
std::mutex& PlannerLock() {
    static std::mutex lock;
    return lock;
}

fftwf_complex* AsFftw(IqSample* p) {
    return reinterpret_cast<fftwf_complex*>(p);
}

IqSample* Allocate(int32_t count) {
    auto* p = static_cast<IqSample*>(fftwf_malloc(sizeof(IqSample) * size_t(count)));
    std::fill(p, p + count, IqSample{});
    return p;
}

double KaiserBeta(double stopbandDb) {
    if (stopbandDb > 50.0) return 0.1102 * (stopbandDb - 8.7);
    if (stopbandDb >= 21.0)
        return 0.5842 * std::pow(stopbandDb - 21.0, 0.4) + 0.07886 * (stopbandDb - 21.0);
    return 0.0;
}

// The linear-phase lowpass prototype: a Kaiser-windowed sinc cut off midway
// between pass- and stopband, unit gain at 0 Hz.
std::vector<double> KaiserLowpass(int32_t taps, double cutoffHz, double rate, double beta) {
    std::vector<double> h(static_cast<size_t>(taps));
    const double middle = (taps - 1) / 2.0;
    const double fc = cutoffHz / rate;
    const double norm = std::cyl_bessel_i(0.0, beta);
    double sum = 0.0;
    for (int32_t i = 0; i < taps; ++i) {
        const double x = i - middle;
        const double sinc =
            x == 0.0 ? 2.0 * fc
                     : std::sin(2.0 * std::numbers::pi * fc * x) / (std::numbers::pi * x);
        const double r = x / middle;
        const double window =
            std::cyl_bessel_i(0.0, beta * std::sqrt(std::max(0.0, 1.0 - r * r))) / norm;
        h[size_t(i)] = sinc * window;
        sum += h[size_t(i)];
    }
    for (double& v : h)
        v /= sum;
    return h;
}

int64_t PositiveMod(int64_t a, int64_t n) {
    const int64_t r = a % n;
    return r < 0 ? r + n : r;
}

} // namespace

std::unique_ptr<Channelizer> Channelizer::Create(const ChannelizerDesign& design,
                                                 std::string& error) {
    const double fs = design.InputRate;
    if (!(fs >= 2.0 * design.MaxStopHz) || !std::isfinite(fs) || fs > 1.0e8) {
        error = "an IQ rate of " + std::to_string(fs) +
                " samples/s cannot carry a channel; at least " +
                std::to_string(int(2.0 * design.MaxStopHz)) + " are needed";
        return nullptr;
    }
    std::unique_ptr<Channelizer> c(new Channelizer);
    c->design_ = design;
    ChannelizerGeometry& g = c->geometry_;
    g.Decimation = 1;
    while (fs / (2.0 * g.Decimation) >= design.MinOutputRate && g.Decimation < (1 << 20))
        g.Decimation *= 2;
    const double transition = 2.0 * std::numbers::pi * design.MinTransitionHz / fs;
    const auto estimate = int64_t(std::ceil((design.StopbandDb - 8.0) / (2.285 * transition))) + 1;
    const int64_t halfSteps =
        std::max<int64_t>(1, (estimate - 1 + 2 * g.Decimation - 1) / (2 * g.Decimation));
    const int64_t taps = 2 * g.Decimation * halfSteps + 1;
    int64_t size = 1024;
    while (size < 4 * (taps - 1) || size < 4 * g.Decimation)
        size *= 2;
    if (size > (int64_t(1) << 26)) {
        error = "a filter bank for " + std::to_string(fs) + " samples/s would be too large";
        return nullptr;
    }
    g.FilterTaps = int32_t(taps);
    g.FftSize = int32_t(size);
    g.Hop = int32_t(size - (taps - 1));
    g.OutputRate = fs / g.Decimation;
    g.BinHz = fs / double(size);
    c->skipOutputs_ = (taps - 1) / 2 / g.Decimation;

    const int32_t m = g.FftSize / g.Decimation;
    c->time_ = Allocate(g.FftSize);
    c->spectrum_ = Allocate(g.FftSize);
    c->work_ = Allocate(m);
    const unsigned flags = design.MeasurePlans ? FFTW_MEASURE : FFTW_ESTIMATE;
    {
        const std::lock_guard<std::mutex> planning(PlannerLock());
        c->forward_ = fftwf_plan_dft_1d(g.FftSize, AsFftw(c->time_), AsFftw(c->spectrum_),
                                        FFTW_FORWARD, flags);
        c->inverse_ =
            fftwf_plan_dft_1d(m, AsFftw(c->work_), AsFftw(c->work_), FFTW_BACKWARD, flags);
    }
    // Measuring may scribble over the arrays.
    std::fill(c->time_, c->time_ + g.FftSize, IqSample{});
    if (!c->forward_ || !c->inverse_) {
        error = "FFTW cannot plan transforms of " + std::to_string(g.FftSize) + " points";
        return nullptr;
    }
    return c;
}

Channelizer::~Channelizer() {
    {
        const std::lock_guard<std::mutex> planning(PlannerLock());
        if (forward_) fftwf_destroy_plan(static_cast<fftwf_plan>(forward_));
        if (inverse_) fftwf_destroy_plan(static_cast<fftwf_plan>(inverse_));
    }
    fftwf_free(time_);
    fftwf_free(spectrum_);
    fftwf_free(work_);
}

const std::vector<IqSample>& Channelizer::WeightsFor(double passHz, double stopHz) {
    for (const Shape& shape : shapes_)
        if (shape.PassHz == passHz && shape.StopHz == stopHz) return shape.Weights;
    const ChannelizerGeometry& g = geometry_;
    const std::vector<double> h = KaiserLowpass(g.FilterTaps, 0.5 * (passHz + stopHz),
                                                design_.InputRate, KaiserBeta(design_.StopbandDb));
    IqSample* padded = Allocate(g.FftSize);
    IqSample* bins = Allocate(g.FftSize);
    for (size_t i = 0; i < h.size(); ++i)
        padded[i] = IqSample(float(h[i]), 0.0f);
    fftwf_execute_dft(static_cast<fftwf_plan>(forward_), AsFftw(padded), AsFftw(bins));
    const int32_t m = g.FftSize / g.Decimation;
    std::vector<IqSample> weights(static_cast<size_t>(m));
    const float scale = 1.0f / float(g.FftSize);
    for (int32_t kappa = -m / 2; kappa < m / 2; ++kappa) {
        weights[size_t(PositiveMod(kappa, m))] =
            bins[size_t(PositiveMod(kappa, g.FftSize))] * scale;
    }
    fftwf_free(padded);
    fftwf_free(bins);
    shapes_.push_back({passHz, stopHz, std::move(weights)});
    return shapes_.back().Weights;
}

int32_t Channelizer::AddChannel(double centreHz, double passHz, double stopHz, std::string& error) {
    const ChannelizerGeometry& g = geometry_;
    const double half = design_.InputRate / 2.0;
    if (!std::isfinite(centreHz) || std::abs(centreHz) + stopHz > half) {
        error = "a channel at " + std::to_string(centreHz) + " Hz +- " +
                std::to_string(int(stopHz)) + " Hz does not fit in the recorded band of +-" +
                std::to_string(int64_t(half)) + " Hz";
        return -1;
    }
    if (!(passHz > 0.0) || stopHz - passHz < design_.MinTransitionHz * 0.999 ||
        stopHz > design_.MaxStopHz) {
        error = "the channel filter (" + std::to_string(passHz) + " to " + std::to_string(stopHz) +
                " Hz) is steeper or wider than the filter bank was made for";
        return -1;
    }
    Channel channel;
    channel.CentreBin = std::llround(centreHz / g.BinHz);
    channel.ResidualHz = centreHz - double(channel.CentreBin) * g.BinHz;
    channel.Weights = WeightsFor(passHz, stopHz);
    channels_.push_back(std::move(channel));
    return int32_t(channels_.size() - 1);
}

void Channelizer::Process(const IqSample* in, size_t count) {
    const ChannelizerGeometry& g = geometry_;
    const int32_t history = g.FftSize - g.Hop;
    while (count > 0) {
        const size_t take = std::min(count, size_t(g.Hop - filled_));
        std::copy_n(in, take, time_ + history + filled_);
        filled_ += int32_t(take);
        in += take;
        count -= take;
        inputSamples_ += int64_t(take);
        if (filled_ == g.Hop) RunBlock();
    }
}

void Channelizer::Finish() {
    const ChannelizerGeometry& g = geometry_;
    outputLimit_ = (inputSamples_ + g.Decimation - 1) / g.Decimation;
    // Output j needs the input up to j x D + (P - 1) / 2.
    const int64_t needed = (outputLimit_ - 1) * g.Decimation + (g.FilterTaps - 1) / 2 + 1;
    const int64_t inputKept = inputSamples_;
    std::vector<IqSample> zeros(size_t(g.Hop));
    while (outputLimit_ > 0 && blocks_ * g.Hop < needed) {
        Process(zeros.data(), size_t(g.Hop - filled_));
    }
    inputSamples_ = inputKept;
}

void Channelizer::RunBlock() {
    const ChannelizerGeometry& g = geometry_;
    const int32_t m = g.FftSize / g.Decimation;
    const int32_t history = g.FftSize - g.Hop;
    const int32_t first = history / g.Decimation; // first output free of wrap-around
    const int64_t n = g.FftSize;
    const int64_t blockStart = blocks_ * g.Hop - history; // input index of time_[0]
    const int64_t delay = (g.FilterTaps - 1) / 2;
    fftwf_execute(static_cast<fftwf_plan>(forward_));
    for (Channel& channel : channels_) {
        const int64_t k0 = PositiveMod(channel.CentreBin, n);
        for (int32_t kappa = -m / 2; kappa < m / 2; ++kappa) {
            const auto at = size_t(PositiveMod(kappa, m));
            work_[at] = spectrum_[size_t(PositiveMod(k0 + kappa, n))] * channel.Weights[at];
        }
        fftwf_execute(static_cast<fftwf_plan>(inverse_));
        // The mix-down of the whole bins referred to input sample 0, and the
        // fine shift at each output's time.
        const long double binCycles =
            (long double)(PositiveMod(k0 * PositiveMod(blockStart, n), n)) / n;
        const int64_t t0 = blocks_ * g.Hop - delay; // time of the first kept output
        const long double fineCycles =
            std::fmod((long double)channel.ResidualHz * t0 / design_.InputRate, 1.0L);
        const long double startCycles = -(binCycles + fineCycles);
        std::complex<double> phasor =
            std::polar(1.0, double(2.0L * std::numbers::pi_v<long double> * startCycles));
        const std::complex<double> step = std::polar(
            1.0, -2.0 * std::numbers::pi * channel.ResidualHz * g.Decimation / design_.InputRate);
        const int64_t firstIndex = blocks_ * (g.Hop / g.Decimation); // outputs before this block
        for (int32_t k = first; k < m; ++k, phasor *= step) {
            const int64_t index = firstIndex + (k - first) - skipOutputs_;
            if (index < 0 || index >= outputLimit_) continue;
            const std::complex<double> v(work_[k].real(), work_[k].imag());
            const std::complex<double> turned = v * phasor;
            channel.Out.emplace_back(float(turned.real()), float(turned.imag()));
            ++channel.Emitted;
        }
    }
    std::memmove(time_, time_ + g.Hop, sizeof(IqSample) * size_t(history));
    filled_ = 0;
    ++blocks_;
}

} // namespace io
