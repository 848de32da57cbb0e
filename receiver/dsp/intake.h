// SPDX-License-Identifier: GPL-3.0-or-later
// Stage 1: the clock-correcting resampler and the block intake.
//
// Input:  one recorded sound buffer (16-bit samples, up to 1024), the clock
//         correction epsilon (input samples per output sample, held to
//         +-0.5) and InputGain.
// Output: SampleBlock, one block of 1024 gain-scaled samples at full scale
//         +-1, in time order; complete whenever ResampleInto returns true.
// State:  IntakeState below; nothing is ever reset.
// Runs:   for every buffer the sound device returns.
//
// Numbers: the read position advances by 1 + epsilon input samples per
// output sample.  ResampleFrac is a float; ResampleFrac + epsilon is formed in
// long double and rounded to float.  The interpolation
//     y = s[i] x frac / 32767 + s[i-1] x (1 - frac) / 32767
// is formed in long double and rounded to float; SampleBlock holds the float
// product InputGain x y.  A fraction above 1 skips an input sample, one below
// 0 steps back one (strict tests: exactly 1.0 or 0.0 is kept).
#pragma once

#include <array>
#include <cstdint>

#include "receiver/dsp/tables.h"

namespace dsp {

struct IntakeState {
    int32_t WritePos = 0;      // last position written in SampleBlock
    float ResampleFrac = 0.0f; // fractional read position, between s[i-1] and s[i]

    // Buffer edges: the last two input samples of the previous buffer, and
    // the read position of the next output relative to the current buffer's
    // first sample (-1 when a skip at the end of a buffer needs the next
    // buffer's first sample).  With them a stream cut into buffers of any
    // length gives the same output as one unbroken stream.
    std::array<int16_t, 2> ResampleHistory{}; // [0] = s[-2], [1] = s[-1]
    int32_t ResampleNext = 0;
    // Index into the current buffer of the input sample being interpolated
    // when a block completes (for callers that time-stamp blocks).
    int32_t ResampleInputPos = 0;

    // The current buffer: all 1024 samples are copied whatever was recorded;
    // [1024] is never written and stays 0.
    std::array<int16_t, BlockLen + 1> CaptureBlock{};
    SampleBlockArray SampleBlock{};
};

// Copies a buffer into CaptureBlock and returns the index of its last recorded
// sample, ROUND(recordedBytes / 2 - 1): 1023 for a full buffer, -1 when
// nothing was recorded (then there is nothing to resample).
int32_t LoadCaptureBlock(IntakeState& intake, const int16_t* buffer, int64_t recordedBytes);

// Resamples CaptureBlock[0..last] from ResampleNext on, handing every output
// to IntakeSample.  Returns true as soon as SampleBlock is full: the caller
// processes the block and calls again to go on with the same buffer.  Returns
// false when the buffer is used up, having kept its edges for the next one.
bool ResampleInto(IntakeState& intake, int32_t last, long double epsilon, float inputGain);

// Stores inputGain x sample at the next position of SampleBlock (positions
// run 1..1023, then 0..1023: the very first block is full after 1023 samples
// with position 0 still 0, every later block after 1024).  True when the block
// is full.
bool IntakeSample(IntakeState& intake, float inputGain, float sample);

} // namespace dsp
