// SPDX-License-Identifier: GPL-3.0-or-later
// Stage 3: the gram correlator.  Correlates the baseband with the
// synchronisation reference at 1024 lags (two frames), turns the magnitudes
// into grey levels along three frames of time, averages a 1024-position
// window of them over K blocks for the correlogram, and smooths the
// correlation trace.
//
// Input:  Baseband (three blocks, Downconvert's output); CorrReference;
//         CorrGain; K = max(AverageCount, 1) and LagOffset (0..512).
// Output: CorrRe, CorrIm and CorrLags: the correlation c of lags 0..1023 of
//           this block (lag i spans Baseband[i .. i + 158]; lags 0..511 start
//           in the oldest block, 512..1023 in the previous one);
//         CorrHistory[1024..1535]: grey levels of lags 512..1023;
//         CorrAverage[0..1023]: the correlogram column source;
//         TracePoints: count 512, point i = (smoothed 1000 |c|, 512 - i);
//         the return value: true when a correlogram column is due.
// State:  AverageTick (0..K), CorrHistory, CorrAverage, TracePoints; zero at
//         start, never reset (a new K or LagOffset blends in with the
//         running-average weighting).
// Runs:   once per block, after Downconvert.
//
// Numbers:
//   c = sum over k = 0..79 of CorrReference[k] x Baseband[i + 2k], real and
//     imaginary parts alike: float sums in increasing k from the k = 0 term,
//     each product exact in double, each step rounded to float.
//   m = sqrt(re^2 + im^2) in double.
//   grey level g = ROUND(255 - 5000 x m x CorrGain) in double, ROUND = rint
//     (ties to even), not clamped (strong correlations go negative).
//   CorrHistory: positions 0..1023 take the former 512..1535; lag 512 + j of
//     this block lands at 1024 + j.  Lag j of this block covers the samples of
//     lag 512 + j of the previous one, so nothing is lost.
//   CorrAverage[i] = ((K - 1) x CorrAverage[i] + CorrHistory[LagOffset + i]) / K
//     in long double, rounded to float (a plain copy for K = 1).
//   trace x_i = 0.5 x x_i + 500 x m in double, rounded to float.
//   AverageTick runs 0..K: a column is due when it equals K, at block K and
//     then every K + 1 blocks.
#pragma once

#include <array>
#include <cstdint>

#include "receiver/dsp/controls.h"
#include "receiver/dsp/tables.h"
#include "receiver/dsp/vector_isa.h"

namespace dsp {

struct TracePoint {
    float X = 0.0f; // smoothed correlation magnitude
    float Y = 0.0f; // 512 - lag
};

// Laid out as the polyline the correlation trace draws: a count, then points.
struct TracePointArray {
    int32_t Count = 0;
    std::array<TracePoint, CorrLagCount> Points{};
};

struct CorrelatorState {
    int32_t AverageTick = 0;
    LagValueArray CorrRe{};
    LagValueArray CorrIm{};
    CorrLagArray CorrLags{};
    LagValueArray CorrHistory{};
    LagValueArray CorrAverage{};
    TracePointArray TracePoints{};
};

// Returns true when a correlogram column is due (AverageTick reached K).
bool GramCorrelate(const SignalTables& tables, const BasebandArray& baseband, float corrGain,
                   const ChainControls& controls, CorrelatorState& gram);

// The correlation at one lag, in the order above: the plain form of the sums
// GramCorrelate forms for all lags at once.
ComplexSample CorrelateAt(const SignalTables& tables, const BasebandArray& baseband, int32_t lag);

// CorrelateAt for lags 0..lags - 1 (all 1024 unless fewer are asked for)
// into out[0..lags - 1], run in the given instruction set (GramCorrelate uses
// the best this CPU has); the lags after them are left as they are.  Each
// lag's value is the same however many are asked for.
void CorrelateAllLags(const SignalTables& tables, const BasebandArray& baseband, CorrLagArray& out,
                      VectorIsa isa, int32_t lags = CorrLagCount);

// From CorrLags: CorrRe, CorrIm, the trace, and the grey levels of lags
// 512..1023 into CorrHistory[1024..1535] (the history already moved on), in
// the given instruction set (GramCorrelate uses the best this CPU has).
void LagLevels(float corrGain, CorrelatorState& gram, VectorIsa isa);

} // namespace dsp
