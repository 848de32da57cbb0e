// SPDX-License-Identifier: GPL-3.0-or-later
// Clock-correcting resampler and block intake.
#include "receiver/dsp/intake.h"

#include <algorithm>
#include <cmath>
#include <cstring>

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

bool ResampleInto(IntakeState& intake, int32_t last, long double epsilon, float inputGain) {
    epsilon = std::clamp(epsilon, -MaxClockCorrection, MaxClockCorrection);
    const int16_t* s = intake.CaptureBlock.data();
    // Samples before s[0] are the last two of the previous buffer.
    const auto at = [&](int32_t j) -> long double {
        return j >= 0 ? s[j] : intake.ResampleHistory[2 + j];
    };

    int32_t i = intake.ResampleNext;
    while (i <= last) {
        if (intake.ResampleFrac > 1.0f) {
            if (i == last) break; // the skip needs the next buffer's first sample
            intake.ResampleFrac = intake.ResampleFrac - 1.0f;
            ++i;
        }
        if (intake.ResampleFrac < 0.0f) {
            intake.ResampleFrac = intake.ResampleFrac + 1.0f;
            --i;
        }
        const long double frac = intake.ResampleFrac;
        const auto y =
            static_cast<float>(at(i) * frac / FullScale + at(i - 1) * (1.0L - frac) / FullScale);
        intake.ResampleInputPos = i;
        const bool full = IntakeSample(intake, inputGain, y);
        intake.ResampleFrac = static_cast<float>(intake.ResampleFrac + epsilon);
        ++i;
        if (full) {
            intake.ResampleNext = i;
            return true;
        }
    }

    // Used up: the next buffer goes on from where this one stopped (its first
    // sample, or the one before it after a skip left pending at the end).
    intake.ResampleNext = i - (last + 1);
    if (last >= 1) {
        intake.ResampleHistory = {s[last - 1], s[last]};
    } else {
        intake.ResampleHistory = {intake.ResampleHistory[1], s[0]};
    }
    return false;
}

} // namespace dsp
