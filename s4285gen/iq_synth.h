// SPDX-License-Identifier: GPL-3.0-or-later
// IQ test recordings of a band: STANAG 4285 signals from the generator (the
// real audio a receiver would hand the sound card) turned into complex
// baseband at chosen offsets, plus CW carriers and white noise.
//
// One signal's audio a(n) at the mode's rate R becomes the complex signal z
// whose upper-sideband audio is a again: the audio band 0..R/2 is moved to
// -R/4..R/4 (a quarter turn a sample), its mirror image removed and the rest
// raised to the IQ rate (libsoxr, twice), then moved to the carrier's offset
// less the audio carrier.  Mixing is referred to IQ sample 0, so that a
// receiver that mixes back referred to the same sample gets a(n) unchanged
// but for the filters and the rounding.
#pragma once

#include <complex>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "s4285gen/s4285gen.h"

struct soxr;

namespace s4285gen {

using IqSample = std::complex<float>;

struct IqSignal {
    Config Audio = NatoConfig(); // the receiver's audio: mode, paths, its own noise
    double CarrierOffsetHz = 0.0;
    // The audio's scale in the IQ: the upper-sideband audio of the result is
    // Gain x the audio the generator makes (full scale 1.0).
    double Gain = 1.0;
    // Audio from elsewhere (a recording s4285sim wrote) instead of the
    // generator, at Audio's rate with its carrier: fills n samples, zeros
    // past its end.
    std::function<void(float* out, size_t n)> Recorded;
};

struct IqCarrier {
    double OffsetHz = 0.0;
    double PowerDb = -40.0; // against a full-scale complex sample
};

struct IqBand {
    double SampleRate = 192000.0;
    std::vector<IqSignal> Signals;
    std::vector<IqCarrier> Carriers;
    // White complex Gaussian noise: its power in 3 kHz against full scale;
    // below -300 none.
    double NoiseDbIn3kHz = -400.0;
    uint64_t NoiseSeed = 7;
};

// The power (full scale 1.0, dB) a signal's Gain gives in the IQ: the audio's
// mean power doubled (both sidebands of a real signal end in one).
double IqSignalPowerDb(const IqSignal& signal);
// The Gain that gives `powerDb`.
double GainForPowerDb(const Config& audio, double powerDb);

class IqBandGenerator {
  public:
    // Throws std::invalid_argument with a reason for an unusable band.
    explicit IqBandGenerator(const IqBand& band);
    ~IqBandGenerator();
    IqBandGenerator(const IqBandGenerator&) = delete;
    IqBandGenerator& operator=(const IqBandGenerator&) = delete;

    // The next n IQ samples; calls may be cut anywhere.
    void Generate(IqSample* out, size_t n);
    const IqBand& Band() const { return band_; }

  private:
    struct Source;
    void Fill(Source& source, size_t n);

    IqBand band_;
    std::vector<std::unique_ptr<Source>> sources_;
    int64_t produced_ = 0;
    uint64_t rng_[4] = {};
    double noiseSigma_ = 0.0;
};

} // namespace s4285gen
