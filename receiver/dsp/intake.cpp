// SPDX-License-Identifier: GPL-3.0-or-later
// Clock-correcting resampler and block intake.
#include "receiver/dsp/intake.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "receiver/dsp/vector_isa.h"

namespace dsp {

namespace {

// A sound card is never off by half its rate.  Beyond this the interpolation
// would stop advancing (a correction of -1 or less repeats the same input
// sample for ever) or run away, so an absurd typed value is held here.
constexpr long double MaxClockCorrection = 0.5L;

constexpr long double FullScale = 32767.0L;

} // namespace

int32_t LoadCaptureBlock(IntakeState& intake, const int16_t* buffer, int64_t recordedBytes) {
    // The whole buffer is copied, whatever was recorded; only the recorded
    // samples are read.
    std::memcpy(intake.CaptureBlock.data(), buffer, BlockLen * sizeof(int16_t));
    recordedBytes = std::clamp<int64_t>(recordedBytes, 0, BlockLen * 2);
    return static_cast<int32_t>(std::nearbyint(recordedBytes / 2.0L - 1.0L));
}

bool IntakeSample(IntakeState& intake, float inputGain, float sample) {
    intake.WritePos = (intake.WritePos + 1) % BlockLen;
    intake.SampleBlock[intake.WritePos] = inputGain * sample;
    return intake.WritePos >= BlockLen - 1;
}

namespace {

// Where each output of a run falls: the input samples on either side (as
// doubles) and the fraction between them.
struct ResamplePlan {
    std::array<double, BlockLen> After, Before;
    std::array<float, BlockLen> Frac;
    int32_t Count = 0;
};

// The output y = s[i] frac / 32767 + s[i-1] (1 - frac) / 32767, formed in long
// double and rounded to float: the interpolation as it always was.
float InterpolateExactly(double after, double before, float frac) {
    const long double f = frac;
    return static_cast<float>(static_cast<long double>(after) * f / FullScale +
                              static_cast<long double>(before) * (1.0L - f) / FullScale);
}

// The same outputs, formed in double.  The products s x frac are exact there
// and the rest comes within 2^-50 of the long double result; where even that
// leaves the rounding to float in doubt (the value next to a float's half
// way), the output is formed in long double after all.  Rounding to float
// keeps order, so when both ends of the interval the result lies in round to
// one float, that float is the result.  Each output is formed on its own, so
// the outputs run side by side in vectors; the function returns whether any
// is in doubt.
[[gnu::always_inline]] inline bool InterpolateBody(const double* __restrict after,
                                                   const double* __restrict before,
                                                   const float* __restrict frac, int32_t count,
                                                   float* __restrict out) {
    constexpr double doubt = 0x1.0p-48;
    constexpr double scale = 1.0 / 32767.0;
    uint32_t differ = 0;
    for (int32_t n = 0; n < count; ++n) {
        const double f = frac[n];
        const double a = after[n] * f;
        const double b = before[n] * (1.0 - f);
        const double y = (a + b) * scale;
        const double margin = doubt * (std::abs(a) + std::abs(b)) * scale;
        const float low = static_cast<float>(y - margin);
        const float high = static_cast<float>(y + margin);
        out[n] = low;
        differ |= low != high ? 1u : 0u;
    }
    return differ != 0;
}

bool InterpolateBaseline(const double* after, const double* before, const float* frac,
                         int32_t count, float* out) {
    return InterpolateBody(after, before, frac, count, out);
}
[[RX_TARGET_AVX2]] bool InterpolateAvx2(const double* after, const double* before,
                                        const float* frac, int32_t count, float* out) {
    return InterpolateBody(after, before, frac, count, out);
}
[[RX_TARGET_AVX512]] bool InterpolateAvx512(const double* after, const double* before,
                                            const float* frac, int32_t count, float* out) {
    return InterpolateBody(after, before, frac, count, out);
}

void Interpolate(const ResamplePlan& plan, std::array<float, BlockLen>& out) {
    const double* after = plan.After.data();
    const double* before = plan.Before.data();
    const float* frac = plan.Frac.data();
    bool doubt = false;
    switch (BestVectorIsa()) {
    case VectorIsa::Avx512:
        doubt = InterpolateAvx512(after, before, frac, plan.Count, out.data());
        break;
    case VectorIsa::Avx2:
        doubt = InterpolateAvx2(after, before, frac, plan.Count, out.data());
        break;
    case VectorIsa::Baseline:
        doubt = InterpolateBaseline(after, before, frac, plan.Count, out.data());
        break;
    }
    if (!doubt) return;
    constexpr double doubtShare = 0x1.0p-48;
    constexpr double scale = 1.0 / 32767.0;
    for (int32_t n = 0; n < plan.Count; ++n) {
        const double f = frac[n];
        const double a = after[n] * f;
        const double b = before[n] * (1.0 - f);
        const double y = (a + b) * scale;
        const double margin = doubtShare * (std::abs(a) + std::abs(b)) * scale;
        if (static_cast<float>(y - margin) != static_cast<float>(y + margin))
            out[size_t(n)] = InterpolateExactly(after[n], before[n], frac[n]);
    }
}

// Where a run of outputs falls: input samples s[0..count-1] after, the ones
// before them before, the fraction frac + j x step (exact: see Stride).
void PlaceRun(const int16_t* __restrict s, int32_t count, float frac, float step,
              double* __restrict after, double* __restrict before, float* __restrict fracs) {
    for (int32_t j = 0; j < count; ++j) {
        after[j] = s[j];
        before[j] = s[j - 1];
        fracs[j] = frac + static_cast<float>(j) * step;
    }
}

// A run of steps of the fraction by one constant amount.  Within the binade
// of a positive fraction (its unit u fixed), the fraction plus epsilon in long
// double, rounded to float, is the fraction plus epsilon rounded to whole
// units: k units every time, unless epsilon lies near half a unit (where the
// long double sum and the rounding to even decide).  So while the fraction
// stays in its binade each step adds k u, exactly what the steps one by one
// give.
struct Stride {
    float Step = 0.0f;
    int64_t Steps = 0; // steps that stay within the binade; 0: one at a time
};

Stride StrideOf(float frac, long double epsilon) {
    constexpr int64_t lowest = int64_t{1} << 23, highest = (int64_t{1} << 24) - 1;
    // Without a clock correction the fraction never moves (frac + 0 rounds to
    // frac), whatever it is, 0 and 1 included: every output is one step on.
    if (epsilon == 0.0L && frac >= 0.0f && frac <= 1.0f) return {0.0f, INT64_MAX};
    // Only below 1: from 1 on the next steps skip an input sample.
    if (!std::isnormal(frac) || frac < 0.0f || frac >= 1.0f) return {};
    int exponent = 0;
    std::frexp(frac, &exponent); // frac in [2^(exponent - 1), 2^exponent)
    const long double units = std::ldexp(epsilon, 24 - exponent); // exact: u is 2^(exponent - 24)
    if (!(std::abs(units) < 0x1.0p40L)) return {};
    const long double whole = std::nearbyint(units);
    if (std::abs(std::abs(units - whole) - 0.5L) < 0x1.0p-20L) return {};
    const auto k = static_cast<int64_t>(whole);
    const auto m = static_cast<int64_t>(std::ldexp(frac, 24 - exponent));
    Stride stride;
    stride.Steps = k > 0 ? (highest - m) / k : k < 0 ? (m - lowest) / -k : INT64_MAX;
    if (stride.Steps > 0)
        stride.Step = static_cast<float>(std::ldexp(static_cast<double>(k), exponent - 24));
    return stride;
}

// Without a clock correction and with the fraction at 0 every output is the
// input sample before it: y = s[i-1] / 32767 rounded to float.  The product
// with the double nearest 1/32767 rounds to the same float for every 16-bit
// sample: the quotient's bits repeat the sample's 15 bits over and over, so it
// never comes near enough to a float's half way for the product's error to
// matter (a test goes through all 65536).
void DelayedCopy(const int16_t* __restrict before, int32_t count, float inputGain,
                 float* __restrict block) {
    constexpr double scale = 1.0 / 32767.0;
    for (int32_t n = 0; n < count; ++n)
        block[n] = inputGain * static_cast<float>(static_cast<double>(before[n]) * scale);
}

// Where a buffer's resampling stands: the fraction, the next input sample
// (relative to the buffer), the last one used and the outputs so far.
struct Cursor {
    float Frac = 0.0f;
    int32_t Next = 0;
    int32_t LastUsed = 0;
    int32_t Count = 0;
};

// The outputs while the fraction stays at 0 without a correction: the
// stream one sample late, up to `room` outputs, into `block`.
void CopyOneLate(const IntakeState& intake, int32_t last, int32_t room, float inputGain,
                 float* block, Cursor& c) {
    const int32_t i = c.Next;
    c.Count = i <= last ? std::min(last - i + 1, room) : 0;
    if (c.Count == 0) return;
    const int16_t* s = intake.CaptureBlock.data();
    if (i == 0) { // the first output is the previous buffer's last sample
        DelayedCopy(&intake.ResampleHistory[1], 1, inputGain, block);
        DelayedCopy(s, c.Count - 1, inputGain, block + 1);
    } else {
        DelayedCopy(s + i - 1, c.Count, inputGain, block);
    }
    c.LastUsed = i + c.Count - 1;
    c.Next = i + c.Count;
}

// Where each of up to `room` outputs falls (the fraction's steps, one after
// another), into `plan`.
void PlanOutputs(const IntakeState& intake, int32_t last, int32_t room, long double epsilon,
                 ResamplePlan& plan, Cursor& c) {
    const int16_t* s = intake.CaptureBlock.data();
    // Samples before s[0] are the last two of the previous buffer.
    const auto at = [&](int32_t j) -> double {
        return j >= 0 ? s[j] : intake.ResampleHistory[size_t(2 + j)];
    };
    float frac = c.Frac;
    int32_t i = c.Next;
    while (i <= last && plan.Count < room) {
        if (frac > 1.0f) {
            if (i == last) break; // the skip needs the next buffer's first sample
            frac = frac - 1.0f;
            ++i;
        }
        if (frac < 0.0f) {
            frac = frac + 1.0f;
            --i;
        }
        // As many outputs as the fraction strides evenly, at once.
        const Stride stride = i >= 1 ? StrideOf(frac, epsilon) : Stride{};
        const int64_t run = std::min<int64_t>({stride.Steps, last - i + 1, room - plan.Count});
        if (run > 0) {
            const auto n = size_t(plan.Count);
            PlaceRun(s + i, int32_t(run), frac, stride.Step, &plan.After[n], &plan.Before[n],
                     &plan.Frac[n]);
            plan.Count += int32_t(run);
            c.LastUsed = i + int32_t(run) - 1;
            i += int32_t(run);
            frac = frac + static_cast<float>(run) * stride.Step;
            continue;
        }
        plan.After[size_t(plan.Count)] = at(i);
        plan.Before[size_t(plan.Count)] = at(i - 1);
        plan.Frac[size_t(plan.Count)] = frac;
        ++plan.Count;
        c.LastUsed = i;
        frac = static_cast<float>(frac + epsilon);
        ++i;
    }
    c.Frac = frac;
    c.Next = i;
    c.Count = plan.Count;
}

} // namespace

bool ResampleInto(IntakeState& intake, int32_t last, long double epsilon, float inputGain) {
    epsilon = std::clamp(epsilon, -MaxClockCorrection, MaxClockCorrection);
    // The outputs up to the end of the block or of the buffer: first where
    // each falls, then their values.
    const int32_t room =
        intake.WritePos >= BlockLen - 1 ? BlockLen : BlockLen - 1 - intake.WritePos;
    // As IntakeSample for each output, the block's positions in order: from
    // the one after WritePos (0 after a full block) on, never past the end
    // (the outputs stop at the room left).
    const int32_t first = intake.WritePos >= BlockLen - 1 ? 0 : intake.WritePos + 1;
    float* block = &intake.SampleBlock[size_t(first)];
    Cursor c{intake.ResampleFrac, intake.ResampleNext, intake.ResampleInputPos, 0};
    if (epsilon == 0.0L && c.Frac == 0.0f && c.Next >= 0) {
        CopyOneLate(intake, last, room, inputGain, block, c);
    } else {
        ResamplePlan plan;
        PlanOutputs(intake, last, room, epsilon, plan, c);
        std::array<float, BlockLen> out;
        Interpolate(plan, out);
        for (int32_t n = 0; n < plan.Count; ++n)
            block[n] = inputGain * out[size_t(n)];
    }
    const int32_t position = c.Count > 0 ? first + c.Count - 1 : intake.WritePos;
    intake.WritePos = position;
    const bool full = c.Count > 0 && position == BlockLen - 1;
    intake.ResampleFrac = c.Frac;
    intake.ResampleInputPos = c.LastUsed;
    if (full) {
        intake.ResampleNext = c.Next;
        return true;
    }

    // Used up: the next buffer goes on from where this one stopped (its first
    // sample, or the one before it after a skip left pending at the end).
    const int16_t* s = intake.CaptureBlock.data();
    intake.ResampleNext = c.Next - (last + 1);
    if (last >= 1) {
        intake.ResampleHistory = {s[last - 1], s[last]};
    } else {
        intake.ResampleHistory = {intake.ResampleHistory[1], s[0]};
    }
    return false;
}

} // namespace dsp
