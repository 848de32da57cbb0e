// SPDX-License-Identifier: GPL-3.0-or-later
// The part of the block chain the acquisition needs on its own: resampler,
// intake, downconversion and peak search, without the gram correlator and the
// Doppler spectra (about half the work of a whole block).  Its peak lags,
// sync powers and Doppler values are those of the whole chain fed the same
// samples with the same correction and gain.  Asked for, it also correlates
// the sequence's first period at the first lags (CorrLags), as a batch run for
// tables does: all the measurement stage reads.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "receiver/dsp/chain.h"

namespace dsp {

class SyncChain {
  public:
    // The chain in `mode` (ModeNato or ModeAmateur), with the clock correction
    // (input samples per output sample beyond one) and the input gain; with
    // `firstPeriodLags` above 0, CorrLags at those first lags too.
    SyncChain(int32_t mode, long double correction, float inputGain = 1.0f,
              int32_t firstPeriodLags = 0);

    // Up to 1024 recorded samples, as a sound buffer; `onBlock` after every
    // block completed with them.
    void Feed(const int16_t* samples, int32_t count,
              const std::function<void(const ChainState&)>& onBlock);
    const ChainState& Chain() const { return *chain_; }

  private:
    std::unique_ptr<ChainState> chain_;
    long double correction_;
    float inputGain_;
    int32_t firstPeriodLags_;
};

} // namespace dsp
