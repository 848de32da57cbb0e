// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/analysis/pulse_shape.h"

#include <array>
#include <cmath>
#include <memory>
#include <mutex>
#include <numbers>
#include <vector>

namespace analysis {

namespace {

constexpr double Pi = std::numbers::pi;
constexpr double RollOff = 0.35;
constexpr int32_t SamplesPerSymbol = 4;
constexpr int32_t LowpassCentre = dsp::LowpassLen / 2;
// The transmit pulse is taken over this many symbols on each side.
constexpr int32_t PulseSpanSymbols = 12;

// Root raised cosine at t symbols from its centre.
double RootRaisedCosine(double t) {
    const double b = RollOff;
    if (std::abs(t) < 1e-12) return 1.0 - b + 4.0 * b / Pi;
    if (std::abs(std::abs(t) - 1.0 / (4.0 * b)) < 1e-9)
        return b / std::sqrt(2.0) *
               ((1.0 + 2.0 / Pi) * std::sin(Pi / (4.0 * b)) +
                (1.0 - 2.0 / Pi) * std::cos(Pi / (4.0 * b)));
    return (std::sin(Pi * t * (1.0 - b)) + 4.0 * b * t * std::cos(Pi * t * (1.0 + b))) /
           (Pi * t * (1.0 - (4.0 * b * t) * (4.0 * b * t)));
}

// The root raised cosine at every sixteenth of a symbol (a quarter of an
// input sample) the composite pulse asks for, each the function's own value
// at that point, worked out once.
constexpr int32_t SixteenthsPerSample = 16 / SamplesPerSymbol;
class RrcSixteenths {
  public:
    static constexpr int32_t Reach =
        SixteenthsPerSample * (PulseSpanSymbols * SamplesPerSymbol + LowpassCentre);
    RrcSixteenths() {
        for (int32_t m = -Reach; m <= Reach; ++m)
            values_[size_t(m + Reach)] = RootRaisedCosine(m / 16.0);
    }
    double At(int32_t sixteenths) const { return values_[size_t(sixteenths + Reach)]; }

  private:
    std::array<double, 2 * Reach + 1> values_{};
};

// The pulse through the lowpass at `sixteenths` of a symbol from its centre
// (at most the pulse's span away): the sum over the taps k of
// tap[k] x RRC(sixteenths + (k - centre) input samples).
double Composite(const dsp::SignalTables& tables, const RrcSixteenths& rrc, int32_t sixteenths) {
    double sum = 0.0;
    for (int32_t k = 0; k < dsp::LowpassLen; ++k)
        sum += double(tables.LowpassTaps[size_t(k)]) *
               rrc.At(sixteenths + SixteenthsPerSample * (k - LowpassCentre));
    return sum;
}

// The raised-cosine power spectrum of the pulse at f cycles per input sample
// (four samples a symbol), 1 in its flat part.
double PulseSpectrum(double f) {
    const double edge = (1.0 - RollOff) / (2.0 * SamplesPerSymbol);
    const double end = (1.0 + RollOff) / (2.0 * SamplesPerSymbol);
    const double a = std::abs(f);
    if (a <= edge) return 1.0;
    if (a >= end) return 0.0;
    return 0.5 * (1.0 + std::cos(Pi * (a - edge) / (end - edge)));
}

// The image's share: the signal's spectrum moved down by twice the carrier
// (3/8 of the input rate) through the lowpass, against the signal through it.
double ImageShareOf(const dsp::SignalTables& tables) {
    constexpr int32_t points = 4096;
    constexpr double twiceCarrier = 2.0 * 3.0 / 16.0;
    // The lowpass's power gain at each point.  The points lie in pairs f and
    // -f exactly (odd halves of 1 / points), and there the gain is the same
    // (the real part the same, the imaginary part of opposite sign, to the
    // last bit): each pair is worked out once.
    std::vector<double> gain(static_cast<size_t>(points));
    for (int32_t i = 0; i < points / 2; ++i) {
        const double f = -0.5 + (i + 0.5) / points;
        double re = 0.0, im = 0.0;
        for (int32_t k = 0; k < dsp::LowpassLen; ++k) {
            re += tables.LowpassTaps[size_t(k)] * std::cos(2.0 * Pi * f * k);
            im -= tables.LowpassTaps[size_t(k)] * std::sin(2.0 * Pi * f * k);
        }
        gain[size_t(i)] = gain[size_t(points - 1 - i)] = re * re + im * im;
    }
    double signal = 0.0, image = 0.0;
    for (int32_t i = 0; i < points; ++i) {
        const double f = -0.5 + (i + 0.5) / points;
        double moved = f + twiceCarrier;
        if (moved >= 0.5) moved -= 1.0;
        signal += gain[size_t(i)] * PulseSpectrum(f);
        image += gain[size_t(i)] * PulseSpectrum(moved);
    }
    return signal > 0.0 ? image / signal : 0.0;
}

} // namespace

PulseShape::PulseShape(const dsp::SignalTables& tables) {
    // Symbols of unit power: the pulse scaled to unit energy per symbol.
    const RrcSixteenths rrc;
    double energy = 0.0, throughEnergy = 0.0;
    const int32_t span = PulseSpanSymbols * SamplesPerSymbol;
    for (int32_t n = -span; n <= span; ++n) {
        const double r = rrc.At(SixteenthsPerSample * n);
        const double c = Composite(tables, rrc, SixteenthsPerSample * n);
        energy += r * r;
        throughEnergy += c * c;
    }
    const double unit = 1.0 / std::sqrt(energy / SamplesPerSymbol);
    signalGain_ = throughEnergy / energy;
    noiseGain_ = 0.0;
    for (int32_t k = 0; k < dsp::LowpassLen; ++k)
        noiseGain_ += double(tables.LowpassTaps[size_t(k)]) * tables.LowpassTaps[size_t(k)];
    imageShare_ = ImageShareOf(tables);

    // The composite pulse on the 1/8-lag grid, far enough for every pair of
    // preamble symbols.
    const int32_t pulseReach = (ReachLags + 2 * dsp::SyncLen) * StepsPerLag;
    std::vector<double> pulse(size_t(2 * pulseReach + 1), 0.0);
    // (A step, an eighth of a lag, is a quarter of an input sample.)
    static_assert(2 * SixteenthsPerSample == StepsPerLag);
    for (int32_t i = -pulseReach; i <= pulseReach; ++i) {
        if (std::abs(i) <= SixteenthsPerSample * span)
            pulse[size_t(i + pulseReach)] = Composite(tables, rrc, i);
    }
    // The reference against the preamble shifted by d symbols.
    std::array<double, 2 * dsp::SyncLen - 1> cross{};
    for (int32_t d = -(dsp::SyncLen - 1); d < dsp::SyncLen; ++d)
        for (int32_t k = 0; k < dsp::SyncLen; ++k)
            if (k - d >= 0 && k - d < dsp::SyncLen)
                cross[size_t(d + dsp::SyncLen - 1)] +=
                    tables.PeakReference[size_t(k)] *
                    (tables.PeakReference[size_t(k - d)] > 0 ? 1 : -1);
    std::array<double, 2 * ReachLags * StepsPerLag + 1> raw{};
    for (int32_t i = 0; i < int32_t(raw.size()); ++i) {
        const int32_t steps = i - ReachLags * StepsPerLag;
        for (int32_t d = -(dsp::SyncLen - 1); d < dsp::SyncLen; ++d)
            raw[size_t(i)] += cross[size_t(d + dsp::SyncLen - 1)] *
                              pulse[size_t(steps + 2 * d * StepsPerLag + pulseReach)];
    }
    const double centre = raw[size_t(ReachLags * StepsPerLag)];
    for (size_t i = 0; i < raw.size(); ++i)
        amplitude_[i] = raw[i] / centre;

    // A path of input amplitude A (mean square A^2 / 2) mixes to A / 2 in the
    // baseband; its preamble's correlation peaks at A / 2 x unit x centre.
    const double syncPerAmplitude = 0.5 * unit * centre;
    inputPerSyncPower_ = 0.5 / (syncPerAmplitude * syncPerAmplitude);
}

std::shared_ptr<const PulseShape> SharedPulseShape(const dsp::SignalTables& tables) {
    struct Made {
        decltype(dsp::SignalTables::LowpassTaps) LowpassTaps;
        decltype(dsp::SignalTables::PeakReference) PeakReference;
        std::shared_ptr<const PulseShape> Shape;
    };
    static std::mutex lock;
    static std::vector<Made> shapes;
    const std::lock_guard<std::mutex> hold(lock);
    for (const Made& made : shapes)
        if (made.LowpassTaps == tables.LowpassTaps && made.PeakReference == tables.PeakReference)
            return made.Shape;
    shapes.push_back(
        {tables.LowpassTaps, tables.PeakReference, std::make_shared<const PulseShape>(tables)});
    return shapes.back().Shape;
}

// The shared shape of the chain's own tables: the one a running chain's
// measurement uses too, made once for both.
const PulseShape& ChainPulseShape() {
    static const std::shared_ptr<const PulseShape> Shape = [] {
        const auto tables = std::make_unique<dsp::SignalTables>();
        dsp::BuildSignalTables(*tables, dsp::TableBuild::StraightThrough);
        return SharedPulseShape(*tables);
    }();
    return *Shape;
}

double PulseShape::Snr3kPerBaseband(int32_t sampleRate) const {
    // Baseband: signal A^2 / 4 x signalGain over noise sigma^2 x noiseGain
    // (sigma^2 the input noise over 0 .. rate / 2).  In 3 kHz: A^2 / 2 over
    // sigma^2 x 3000 / (rate / 2).
    return 2.0 * noiseGain_ * (sampleRate / 2.0) / (3000.0 * signalGain_);
}

} // namespace analysis
