// SPDX-License-Identifier: GPL-3.0-or-later
// Stage 2: downconversion.  Mixes one block to complex baseband with the
// carrier oscillator, lowpass filters it with the 43-tap filter and decimates
// by two into the three-block Baseband history.
//
// Input:  SampleBlock (1024 real samples, oldest first); the tables' MixCos,
//         MixSin and LowpassTaps.
// Output: Baseband[1024..1535], the 512 new complex samples (two per symbol),
//         after the history has aged by one block: [0..511] the block two
//         back, [512..1023] the previous block.
// State:  MixBuffer (the last 43 mixed samples of the previous block, then the
//         1024 of this block) and Baseband.  Zero at start; never reset.
// Runs:   once per block, first in ProcessBlock.
//
// Numbers: mixing multiplies x by e^(-i phi): (x cos phi, -x sin phi) formed in
// long double and rounded to float, which moves the carrier to 0 Hz.  Output
// i = sum over k = 0..42 of tap[k] x MixBuffer[2i + k], real and imaginary
// parts alike: float sums in increasing k starting with the k = 0 term, each
// product formed exactly in double (float x float) and each step rounded to
// float.  Output i lags the input by 22 samples in every block, so lags
// measured in Baseband run on continuously from block to block.
#pragma once

#include <array>

#include "receiver/dsp/tables.h"
#include "receiver/dsp/vector_isa.h"

namespace dsp {

struct DownconverterState {
    std::array<ComplexSample, LowpassLen + BlockLen + 1> MixBuffer{};
    BasebandArray Baseband{};
};

void Downconvert(const SignalTables& tables, const SampleBlockArray& sampleBlock,
                 DownconverterState& down);

// One filter output over MixBuffer[start .. start + 42], in the order above:
// the plain form of the sum Downconvert forms for all outputs at once.
ComplexSample LowpassSample(const SignalTables& tables, const DownconverterState& down,
                            int32_t start);

// One mixed sample, x at block position n times e^(-i phi_n): (x cos phi_n,
// -x sin phi_n), each product formed in long double and rounded to float.
ComplexSample MixSample(const SignalTables& tables, float sample, int32_t n);
// MixSample of every sample of the block into MixBuffer[43..1066], run in the
// given instruction set (Downconvert uses the best this CPU has).
void MixBlock(const SignalTables& tables, const SampleBlockArray& sampleBlock,
              DownconverterState& down, VectorIsa isa);

// LowpassSample(2i) for i = 0..511 into Baseband[1024 + i], run in the given
// instruction set (Downconvert uses the best this CPU has).
void LowpassAll(const SignalTables& tables, DownconverterState& down, VectorIsa isa);

} // namespace dsp
