// SPDX-License-Identifier: GPL-3.0-or-later
// Dimensions of the block chain, the element types its stages share and the
// constant tables every stage reads.
//
// Both modes run the sound card at four samples per symbol with the carrier at
// 3/16 of the sample rate, so the chain works in samples and symbols, never in
// hertz: only SampleRate and the conversions to hertz depend on the mode.
#pragma once

#include <array>
#include <cstdint>

#include "receiver/dsp/modes.h"

namespace dsp {

// One STANAG 4285 frame at four samples per symbol.
inline constexpr int32_t FrameSymbols = 256;
inline constexpr int32_t BlockLen = 4 * FrameSymbols;    // input samples per block
inline constexpr int32_t BasebandLen = BlockLen / 2;     // complex samples per block
inline constexpr int32_t SyncLen = 80;                   // correlator taps (symbols)
inline constexpr int32_t LowpassLen = 43;                // anti-alias lowpass taps
inline constexpr int32_t CorrLagCount = 2 * BasebandLen; // lags per block: two frames
inline constexpr int32_t DopplerLags = 62;               // lags in the slow-time history
inline constexpr int32_t SlowRows = 256;                 // blocks of slow-time history
inline constexpr int32_t SlowTimeStride = 65;            // first index 0..64, stored fastest
inline constexpr int32_t SlowTimeRows = 513;             // second index 0..512
inline constexpr int32_t FftLen = 256;                   // points of the slow-time FFT

struct ComplexSample {
    float Re = 0.0f;
    float Im = 0.0f;
};

// The arrays that pass between stages.  Most are larger than the part a stage
// writes; the rest stays zero, so a reader that looks past the part in use
// reads zeros (the correlogram painter takes the mean of each position and
// the next one up to CorrAverage[1536], of which 0..1023 are averaged).
using SampleBlockArray = std::array<float, BlockLen + 1>;             // positions 0..1023
using BasebandArray = std::array<ComplexSample, 3 * BasebandLen + 1>; // 0..1535: 3 blocks
using CorrLagArray = std::array<ComplexSample, 4 * BasebandLen + 1>;  // lags 0..1023
using LagValueArray = std::array<float, 3 * BasebandLen + 1>;         // per lag or position
using SlowTimeArray = std::array<ComplexSample, SlowTimeStride * SlowTimeRows>; // [lag, row]
using DopplerMatrixArray = std::array<float, SlowTimeStride * SlowTimeRows>;    // [lag, row]

// The constant tables.  BuildSignalTables fills them; every stage only reads
// them (by const reference), so one instance serves a chain for its whole run.
struct SignalTables {
    double TwoPi = 0.0;     // 8 atan(1)
    float PhaseStep = 0.0f; // oscillator step per input sample: 2 pi 1800 / 9600 as a float

    // Anti-alias lowpass: 43 symmetric taps, gain 0.98440 at 0 Hz; [43] is 0.
    std::array<float, LowpassLen + 1> LowpassTaps{};
    // Gram correlator reference: 0.01 x the 0/1 bits of the first 31 sync
    // symbols; taps 31..80 are 0 (adding their terms changes no sum).
    std::array<float, SyncLen + 1> CorrReference{};
    // Peak-search reference: 0.01 x the 80 sync symbols as +-1; [80] is 0.
    // 0.01 is the float 0.009999999776482582 in both references.
    std::array<double, SyncLen + 1> PeakReference{};
    std::array<int32_t, FftLen> BitReverse{}; // 8-bit bit reversal
    std::array<float, FftLen> HannWindow{};   // 0.5 - 0.5 cos(2 pi n / 256), theta as a float

    // The mixing oscillator: cos and sin of the float phase sequence phi_n
    // (phi_0 = 0, phi_n+1 = phi_n + PhaseStep rounded to float, less 2 pi once it
    // reaches 2 pi), in extended precision.  A block holds a whole number of
    // carrier cycles (1024 x 3/16 = 192), so the oscillator restarts at phase 0
    // every block and this one block of values serves all of them.
    std::array<long double, BlockLen> MixCos{};
    std::array<long double, BlockLen> MixSin{};
    // The same values cut into three doubles that add up to them exactly:
    // [0] the top 29 significant bits, [1] the next 24, [2] the last 11, each
    // with the value's sign.  A float times each part is exact in double.
    std::array<std::array<double, BlockLen>, 3> MixCosParts{};
    std::array<std::array<double, BlockLen>, 3> MixSinParts{};
};

// 2 pi x 1800 / 9600 in extended precision, rounded to a float (1.1780972).
// 1500 / 8000 is the same fraction, so the step holds in both modes.
float CarrierPhaseStep();

// How building the tables shares the processor.  A window being set up gives
// up its time slice once per entry of the Hann window, so the rest of the
// desktop keeps running; a run with no desktop (batch, headless, acquisition
// trials) builds straight through, since on a busy machine every yield can
// cost a whole time slice.
enum class TableBuild { YieldingToTheDesktop, StraightThrough };

// Fills every table, PhaseStep and TwoPi included.  Building again, either
// way, gives the same values.
void BuildSignalTables(SignalTables& tables, TableBuild build = TableBuild::YieldingToTheDesktop);

// `value` with its lowest `width` bits in reverse order.
int32_t ReverseBits(int32_t value, int32_t width);

} // namespace dsp
