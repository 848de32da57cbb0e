// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/session/block_input.h"

#include <algorithm>
#include <cstdlib>

namespace session {

namespace {

// A raw sample at either end of the 16-bit range.
constexpr int32_t FullScale = 32767;
constexpr int32_t CountStride = 16;

bool AtFullScale(int16_t sample) {
    return sample >= FullScale || sample <= -FullScale;
}

} // namespace

void BlockInputWatch::NoteFill(int64_t atSample, int64_t samples) {
    if (samples <= 0) return;
    const int64_t start = openedAt_ + std::max<int64_t>(atSample, 0);
    fills_.push_back({start, start + samples});
}

void BlockInputWatch::Count(const dsp::ChainState& chain, int32_t through) {
    through = std::clamp(through, 0, dsp::BlockLen);
    const int16_t* samples = chain.Intake.CaptureBlock.data();
    int32_t i = counted_;
    // Sixteen at a time (a loop the compiler turns into a few vector
    // compares), then the rest one by one.
    for (; i + CountStride <= through; i += CountStride) {
        int32_t atEnds = 0;
        for (int32_t k = 0; k < CountStride; ++k)
            atEnds += AtFullScale(samples[i + k]) ? 1 : 0;
        clipped_ += atEnds;
    }
    for (; i < through; ++i)
        clipped_ += AtFullScale(samples[i]) ? 1 : 0;
    counted_ = std::max(counted_, through);
}

analysis::BlockInputFacts BlockInputWatch::TakeBlock(const dsp::ChainState& chain) {
    const int32_t through = chain.Intake.ResampleInputPos + 1;
    Count(chain, through);
    const int64_t end = before_ + std::max(through, 0);
    analysis::BlockInputFacts facts;
    facts.ClippedSamples = clipped_;
    clipped_ = 0;
    // A fill anywhere in (lastBlockEnd_, end] marks the block; fills that end
    // before the block are done with.
    while (!fills_.empty() && fills_.front().End <= lastBlockEnd_)
        fills_.pop_front();
    for (const Fill& fill : fills_)
        if (fill.Start < end && fill.End > lastBlockEnd_) facts.Fill = true;
    lastBlockEnd_ = end;
    return facts;
}

void BlockInputWatch::EndBuffer(const dsp::ChainState& chain, int32_t samples) {
    Count(chain, samples);
    before_ += std::max(samples, 0);
    counted_ = 0;
}

} // namespace session
