// SPDX-License-Identifier: GPL-3.0-or-later
// What the measurement stage must know of each block's input that the chain
// does not keep: how many raw samples of the block stood at full scale (before
// the gain), and whether the input filled a loss with silence anywhere in it.
//
// The chain hands its blocks out while it works through a buffer; a block's
// raw samples are those of the current buffer up to Intake.ResampleInputPos
// and, for its start, the end of the buffer before.  Call TakeBlock in the
// BlockProcessed hook and EndBuffer once the chain has taken a whole buffer.
//
// Silence put in for lost data where its place in the input is known by the
// sample count goes in with NoteFill (from the input's opening, InputOpened,
// at the receiver's rate).  The live receiver takes network fills from the
// capture cycle's marks on each buffer instead (BlockTime::FillSamples).
#pragma once

#include <cstdint>
#include <deque>

#include "receiver/analysis/measurement.h"
#include "receiver/dsp/chain.h"

namespace session {

class BlockInputWatch {
  public:
    // An input was opened: fills are counted from here.
    void InputOpened() { openedAt_ = before_; }
    // `samples` of silence inserted `atSample` samples after the input was opened.
    void NoteFill(int64_t atSample, int64_t samples);
    // The facts of the block the chain has just finished.
    analysis::BlockInputFacts TakeBlock(const dsp::ChainState& chain);
    // The chain has taken all `samples` of the current buffer.
    void EndBuffer(const dsp::ChainState& chain, int32_t samples);
    // Samples of the run's input handed to the chain before the current buffer.
    int64_t SamplesBefore() const { return before_; }

  private:
    void Count(const dsp::ChainState& chain, int32_t through);

    int64_t before_ = 0;
    int64_t openedAt_ = 0;
    int32_t counted_ = 0; // samples of the current buffer already looked at
    int32_t clipped_ = 0; // raw samples at full scale since the last block
    int64_t lastBlockEnd_ = 0;
    struct Fill {
        int64_t Start = 0; // in the run's input samples
        int64_t End = 0;
    };
    std::deque<Fill> fills_;
};

} // namespace session
