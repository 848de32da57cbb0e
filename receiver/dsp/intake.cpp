// Clock-correcting resampler, block intake and the per-block chain.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

#include "receiver/dsp/chain.h"

namespace rx {

namespace {

// A sound card is never off by half its rate.  Beyond this the interpolation
// would stop advancing (a correction of -1 or less repeats the same input
// sample for ever) or run away, so an absurd typed value is held here.
constexpr long double MaxClockCorrection = 0.5L;

} // namespace

void ClearUpperVectorState() {
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
    static const bool hasAvx = __builtin_cpu_supports("avx");
    if (hasAvx) asm volatile("vzeroupper" ::: "memory");
#endif
}

long double ClockCorrection(const Settings& settings) {
    return settings.ClockOffset + settings.ClockPpm / 1000000.0L;
}

void ResampleBuffer(ChainState& chain, const Settings& settings, const DisplayHooks& hooks,
                    const int16_t* buffer, int64_t recordedBytes) {
    ClearUpperVectorState();
    // The whole buffer is copied, whatever was recorded; only the recorded
    // samples are read below.
    std::memcpy(chain.CaptureBlock.data(), buffer, BlockLen * sizeof(int16_t));

    recordedBytes = std::clamp<int64_t>(recordedBytes, 0, BlockLen * 2);
    const auto n = static_cast<int32_t>(std::nearbyint(recordedBytes / 2.0L - 1.0L));
    if (n < 0) return;

    const long double epsilon =
        std::clamp(ClockCorrection(settings), -MaxClockCorrection, MaxClockCorrection);
    const int16_t* s = chain.CaptureBlock.data();
    // Samples before s[0] are the last two of the previous buffer.
    const auto at = [&](int32_t j) -> long double {
        return j >= 0 ? s[j] : chain.ResampleHistory[2 + j];
    };

    int32_t i = chain.ResampleNext;
    chain.ResampleNext = 0;
    while (i <= n) {
        if (chain.ResampleFrac > 1.0f) {
            if (i == n) {
                // The skip needs the next buffer's first sample: resume there.
                chain.ResampleNext = -1;
                break;
            }
            chain.ResampleFrac = chain.ResampleFrac - 1.0f;
            ++i;
        }
        if (chain.ResampleFrac < 0.0f) {
            chain.ResampleFrac = chain.ResampleFrac + 1.0f;
            --i;
        }
        const long double frac = chain.ResampleFrac;
        const auto y =
            static_cast<float>(at(i) * frac / 32767.0L + at(i - 1) * (1.0L - frac) / 32767.0L);
        chain.ResampleInputPos = i;
        IntakeSample(chain, settings, hooks, y);
        chain.ResampleFrac = static_cast<float>(chain.ResampleFrac + epsilon);
        ++i;
    }

    if (n >= 1) {
        chain.ResampleHistory = {s[n - 1], s[n]};
    } else {
        chain.ResampleHistory = {chain.ResampleHistory[1], s[0]};
    }
}

void IntakeSample(ChainState& chain, const Settings& settings, const DisplayHooks& hooks,
                  float sample) {
    chain.WritePos = (chain.WritePos + 1) % BlockLen;
    chain.SampleBlock[chain.WritePos] = settings.InputGain * sample;
    if (chain.WritePos >= BlockLen - 1) ProcessBlock(chain, settings, hooks);
}

double DopplerFromPhaseStep(int32_t sampleRate, double phaseStep) {
    return static_cast<double>(sampleRate * static_cast<long double>(phaseStep) /
                               (std::numbers::pi_v<long double> * 2.0L));
}

int32_t TuneValue(double dopplerHz) {
    const double whole = std::floor(dopplerHz);
    if (!(whole > -1e9)) return -1000000000; // also NaN: never from the chain
    if (whole > 1e9) return 1000000000;
    return static_cast<int32_t>(whole);
}

void ProcessBlock(ChainState& chain, const Settings& settings, const DisplayHooks& hooks) {
    Downconvert(chain);
    GramCorrelate(chain, settings, hooks);
    chain.PeakLag = FindSyncPeak(chain);
    const double r = EstimatePhaseStep(chain, chain.PeakLag);
    chain.DopplerHz = DopplerFromPhaseStep(chain.SampleRate, r);
    if (hooks.TuneIndicator) hooks.TuneIndicator(TuneValue(chain.DopplerHz));
}

} // namespace rx
