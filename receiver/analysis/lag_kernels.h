// SPDX-License-Identifier: GPL-3.0-or-later
// The measurement stage's loops over every lag and every sample of a block,
// compiled for each vector set (vector_isa.h) and run in the widest this CPU
// has.  They are the stage's own sums: an element's result does not depend on
// the set, a block's sum over elements only by rounding.
#pragma once

#include <cstdint>

#include "receiver/dsp/tables.h"

namespace analysis {

// average[l] += weight (value[l] - average[l]) for the 512 lags.
void AverageLags(double* average, const double* value, double weight);
// sum[l] += |in[l]|^2 - |out[l]|^2 (out may be null) for the 512 lags.
void SlideLagPowers(double* sum, const dsp::ComplexSample* in, const dsp::ComplexSample* out);

struct SampleScan {
    int32_t Equal = 0;   // samples equal to the one before
    float Top = 0.0f;    // largest magnitude
    int32_t AtLevel = 0; // at or above `level` in magnitude
    int32_t AtTop = 0;   // at or above `topShare` of Top
};
// One block of samples; `previous` the sample before it.
SampleScan ScanSamples(const float* block, float previous, float level, float topShare);

// The k-th smallest of count (at most 512) values, 0 <= k < count: the value
// std::nth_element puts at k.  Found on the values' order-keeping integer
// form: one pass sorts them into 256 bins, the bin that holds the k-th gives
// it up.
float KthSmallest(const float* values, int32_t count, int32_t k);

// The first index of the largest of count values.
int32_t FirstLargest(const double* values, int32_t count);

} // namespace analysis
