// SPDX-License-Identifier: GPL-3.0-or-later
// The block chain of the receiver: a sequence of stage kernels, each with its
// own small state and explicit inputs and outputs (their headers give the
// contracts), called in order by ProcessBlock for every block of one frame:
//
//   SampleBlock -> Downconvert -> Baseband -> GramCorrelate -> CorrLags,
//   CorrAverage, TracePoints -> UpdateDoppler -> DopplerMatrix, DopplerProfile;
//   Baseband -> SearchSyncPeak -> SyncPower, PeakLag, DopplerHz
//
// The chain computes and never draws.  ProcessBlock alone calls the display
// hooks, each right after the data it shows has been computed.  What the
// operator sets (Settings, ChainControls) is passed in by const reference and
// never written by the chain.
//
// Arithmetic: arrays hold floats unless stated otherwise.  Steps formed in
// extended precision and rounded when stored use double intermediates (a
// float x float product is exact there) or long double where the extended
// range or precision matters (resampler fraction, mixing, averages, phase
// step, Doppler in hertz).  ROUND is rint under round-to-nearest-even (ties
// to even), INT is floor.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "receiver/dsp/controls.h"
#include "receiver/dsp/correlator.h"
#include "receiver/dsp/doppler.h"
#include "receiver/dsp/downconvert.h"
#include "receiver/dsp/intake.h"
#include "receiver/dsp/peak.h"
#include "receiver/dsp/tables.h"

namespace dsp {

// Everything the chain keeps between blocks, stage by stage.
struct ChainState {
    // The mode: only the sound card's rate and the conversions to hertz
    // depend on it.
    int32_t ReceiverMode = ModeNato;
    int32_t SampleRate = NatoMode.SampleRate;
    int32_t CarrierHz = NatoMode.CarrierHz;

    SignalTables Tables;
    IntakeState Intake;
    DownconverterState Downconverter;
    CorrelatorState Correlator;
    DopplerState Doppler;
    PeakState Peak;
};

// The chain is large (about half a megabyte): keep it on the heap.
std::unique_ptr<ChainState> MakeChainState();

// Display steps, called by ProcessBlock in this order; each is optional.
struct DisplayHooks {
    std::function<void(const CorrelatorState&)> CorrelogramColumn; // AverageTick reached K
    std::function<void(const DopplerState&)> DopplergramColumn;    // new DopplerProfile
    std::function<void(const DopplerState&)> ScattergramColumn;    // every block
    std::function<void(const CorrelatorState&)> CorrelationTrace;  // every block
    std::function<void(int32_t hz)> TuneIndicator;                 // every block: INT(DopplerHz)
    // Every block, after all of the above: the block's results are final
    // (loggers, quality trackers and other observers of whole blocks).
    std::function<void(const ChainState&)> BlockProcessed;
};

// Start-up: NATO rate and carrier, the oscillator step, K = 1, no Doppler
// shift; a gain of 0 or less in the settings becomes 1.
void SetSignalParameters(ChainState& chain, ChainControls& controls, Settings& settings);
// Mode, rate and carrier; nothing else of the chain changes.
void SetReceiverMode(ChainState& chain, int32_t mode);

// A chain ready for its first buffer in `mode` (ModeNato or ModeAmateur): the
// start-up values of SetSignalParameters (written into `controls` and
// `settings` too), then the mode, then the tables.
std::unique_ptr<ChainState> MakeChain(int32_t mode, ChainControls& controls, Settings& settings,
                                      TableBuild build = TableBuild::StraightThrough);

// Qt's drawing code uses AVX and can leave the upper halves of the vector
// registers dirty; plain SSE code then runs several times slower until they
// are cleared.  The chain clears them at every buffer; painters after drawing.
void ClearUpperVectorState();

// One recorded buffer through the intake, resampled with the clock
// correction `epsilon` and `inputGain`; `onBlock()` whenever SampleBlock is
// full.  The whole chain and its sync-only part both take buffers this way.
template <typename OnBlock>
void ResampleBlocks(ChainState& chain, long double epsilon, float inputGain, const int16_t* buffer,
                    int64_t recordedBytes, OnBlock&& onBlock) {
    ClearUpperVectorState();
    const int32_t last = LoadCaptureBlock(chain.Intake, buffer, recordedBytes);
    if (last < 0) return;
    while (ResampleInto(chain.Intake, last, epsilon, inputGain))
        onBlock();
}

// One recorded buffer: resampled into blocks, each full block processed.
void ResampleBuffer(ChainState& chain, const Settings& settings, const ChainControls& controls,
                    const DisplayHooks& hooks, const int16_t* buffer, int64_t recordedBytes);

// A block's work as far as its tables go: the baseband, the first-period
// correlation at the first `correlatedLags` lags (CorrLags; the tables read
// no more, the acquisition's surveys none) and the sync peak.  The other
// lags, the correlogram's levels and averages and the Doppler spectra, which
// only the panels show, are left as they are.  Every value it makes is the
// one ProcessBlock makes.
void ProcessBlockForTables(ChainState& chain, int32_t correlatedLags);
// One recorded buffer: resampled into blocks, each full block as above, then
// the BlockProcessed hook (the only one).
void ResampleBufferForTables(ChainState& chain, const Settings& settings, const DisplayHooks& hooks,
                             int32_t correlatedLags, const int16_t* buffer, int64_t recordedBytes);

// One full SampleBlock through every stage, firing the hooks:
//   Downconvert; GramCorrelate, then CorrelogramColumn when a column is due;
//   UpdateDoppler, then DopplergramColumn when new spectra were computed, then
//   ScattergramColumn and CorrelationTrace; SearchSyncPeak, then TuneIndicator;
//   last BlockProcessed.
void ProcessBlock(ChainState& chain, const Settings& settings, const ChainControls& controls,
                  const DisplayHooks& hooks);

} // namespace dsp
