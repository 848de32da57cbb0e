// SPDX-License-Identifier: GPL-3.0-or-later
// Steady carriers in the passband: a CW transmitter, a heterodyne, hum.
//
// A carrier correlates with the preamble the same way at every lag, turning
// with its frequency from lag to lag, and block by block it turns by its
// frequency modulo the block rate: in the slow-time series of a path it is a
// line that pulls the path's Doppler shift towards it.  The watch finds
// carriers in the averaged spectrum of the baseband (lines standing far above
// the spectrum around them) so that the measurement can take them out of the
// paths' taps and flag the blocks.
#pragma once

#include <complex>
#include <cstdint>
#include <memory>
#include <vector>

#include "receiver/dsp/tables.h"

namespace analysis {

class ToneWatch {
  public:
    ToneWatch();
    ~ToneWatch();
    ToneWatch(const ToneWatch&) = delete;
    ToneWatch& operator=(const ToneWatch&) = delete;

    // After every block, with the chain's baseband (the newest block is read).
    void Add(const dsp::BasebandArray& baseband, int32_t sampleRate);
    // The carriers found, as baseband frequencies in Hz (the offset from the
    // mode's carrier), strongest first.
    const std::vector<double>& Lines() const { return lines_; }
    void Reset();

  private:
    void FindLines(int32_t sampleRate);

    struct Fft;
    std::unique_ptr<Fft> fft_;
    std::vector<double> spectrum_; // averaged power per bin
    int64_t blocks_ = 0;
    int64_t transforms_ = 0;
    std::vector<double> lines_;
};

// The carrier at `hz` (baseband) in the first-period correlation at `lag`,
// estimated from the lags within 96 of it that `usable` allows: there the
// correlation holds the carrier, turning by hz from lag to lag, and the data's
// random part, which averages out.
std::complex<double> CarrierAtLag(const dsp::ComplexSample* corrLags, int32_t lagCount,
                                  const std::vector<char>& usable, double hz, int32_t sampleRate,
                                  int32_t lag);

} // namespace analysis
