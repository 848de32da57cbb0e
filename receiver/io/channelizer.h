// SPDX-License-Identifier: GPL-3.0-or-later
// One filter bank for every channel of an IQ stream: overlap-save fast
// convolution on FFTW.  Each block of the input is transformed once; each
// channel takes the bins around its centre, weights them with its lowpass and
// transforms them back with a small inverse FFT, which filters, shifts to 0 Hz
// and decimates in one step.  What is left of the centre between two bins is
// shifted out after decimation, so channels sit at any fractional frequency.
//
// Alignment: every channel's output sample j is the input at sample j x
// Decimation (the filters' delay is taken out), mixed down with the phase its
// centre frequency has at that time counted from input sample 0.
#pragma once

#include <climits>
#include <complex>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "receiver/io/iq_samples.h"

namespace io {

struct ChannelizerDesign {
    double InputRate = 0.0;
    // The widest half-band any channel keeps (its stopband edge) and the
    // narrowest transition between pass- and stopband any channel asks for.
    double MaxStopHz = 2600.0;
    double MinTransitionHz = 333.0;
    double StopbandDb = 90.0;
    // The output rate is InputRate / Decimation with Decimation a power of
    // two and the output rate at least this.
    double MinOutputRate = 10400.0;
    bool MeasurePlans = false; // FFTW_MEASURE (slow to plan, faster to run)
};

struct ChannelizerGeometry {
    int32_t FftSize = 0;     // N, input samples per transform
    int32_t Hop = 0;         // L, new input samples per transform
    int32_t Decimation = 0;  // D
    int32_t FilterTaps = 0;  // P, the prototype's length (odd; (P-1)/2 a multiple of D)
    double OutputRate = 0.0; // InputRate / D
    double BinHz = 0.0;      // InputRate / N
};

class Channelizer {
  public:
    // Null with a one-line reason when the rate or the design cannot be served.
    static std::unique_ptr<Channelizer> Create(const ChannelizerDesign& design, std::string& error);
    ~Channelizer();
    Channelizer(const Channelizer&) = delete;
    Channelizer& operator=(const Channelizer&) = delete;

    const ChannelizerGeometry& Geometry() const { return geometry_; }

    // A channel: the band centreHz +- stopHz from the input's 0 Hz, flat to
    // +-passHz, shifted to 0 Hz.  Returns its index, or -1 with a reason when
    // the band does not lie inside the input's +-InputRate/2 or its filter
    // asks for more than the design allows.
    int32_t AddChannel(double centreHz, double passHz, double stopHz, std::string& error);
    int32_t Channels() const { return int32_t(channels_.size()); }

    // Input samples in order, cut anywhere.  New output of each channel is
    // appended to Output(channel); the caller takes it from there.
    void Process(const IqSample* in, size_t count);
    // The end of the input: what the filters still hold comes out, as far as
    // it belongs to input that was given.
    void Finish();
    std::vector<IqSample>& Output(int32_t channel) { return channels_[size_t(channel)].Out; }
    int64_t InputSamples() const { return inputSamples_; }

  private:
    struct Channel {
        int64_t CentreBin = 0;
        double ResidualHz = 0.0;       // centre minus CentreBin's frequency
        std::vector<IqSample> Weights; // M bins, index kappa mod M, scaled by 1/N
        std::vector<IqSample> Out;
        int64_t Emitted = 0; // outputs handed out so far
    };
    Channelizer() = default;
    void RunBlock();
    const std::vector<IqSample>& WeightsFor(double passHz, double stopHz);

    ChannelizerDesign design_;
    ChannelizerGeometry geometry_;
    void* forward_ = nullptr; // fftwf_plan
    void* inverse_ = nullptr;
    IqSample* time_ = nullptr;     // N samples: history then new input
    IqSample* spectrum_ = nullptr; // N bins
    IqSample* work_ = nullptr;     // M bins / samples
    int32_t filled_ = 0;           // new samples in time_ so far
    int64_t blocks_ = 0;
    int64_t inputSamples_ = 0;
    int64_t skipOutputs_ = 0;         // the filters' delay, in outputs
    int64_t outputLimit_ = INT64_MAX; // outputs that belong to given input, once finished
    std::vector<Channel> channels_;
    struct Shape {
        double PassHz, StopHz;
        std::vector<IqSample> Weights;
    };
    std::vector<Shape> shapes_; // designed once per pass- and stopband
};

} // namespace io
