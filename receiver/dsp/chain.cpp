// SPDX-License-Identifier: GPL-3.0-or-later
// The chain's driver: the resampler over each buffer, and the stages of each
// block in order with the display hooks between them.
#include "receiver/dsp/chain.h"

namespace dsp {

std::unique_ptr<ChainState> MakeChainState() {
    return std::make_unique<ChainState>();
}

long double ClockCorrection(const Settings& settings) {
    return settings.ClockOffset + settings.ClockPpm / 1000000.0L;
}

void SetSignalParameters(ChainState& chain, ChainControls& controls, Settings& settings) {
    chain.SampleRate = NatoMode.SampleRate;
    chain.CarrierHz = NatoMode.CarrierHz;
    chain.Tables.PhaseStep = CarrierPhaseStep();
    controls.AverageCount = 1;
    controls.DopplerShift = 0;
    chain.ReceiverMode = ModeNato;
    for (float* gain :
         {&settings.InputGain, &settings.CorrGain, &settings.DopplerGain, &settings.ScatterGain}) {
        if (*gain <= 0.0f) *gain = 1.0f;
    }
}

void SetReceiverMode(ChainState& chain, int32_t mode) {
    const ModeInfo& info = mode == ModeNato ? NatoMode : AmateurMode;
    chain.ReceiverMode = info.Mode;
    chain.SampleRate = info.SampleRate;
    chain.CarrierHz = info.CarrierHz;
}

std::unique_ptr<ChainState> MakeChain(int32_t mode, ChainControls& controls, Settings& settings,
                                      TableBuild build) {
    std::unique_ptr<ChainState> chain = MakeChainState();
    SetSignalParameters(*chain, controls, settings);
    SetReceiverMode(*chain, mode);
    BuildSignalTables(chain->Tables, build);
    return chain;
}

void ClearUpperVectorState() {
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
    static const bool HasAvx = __builtin_cpu_supports("avx");
    if (HasAvx) asm volatile("vzeroupper" ::: "memory");
#endif
}

void ResampleBuffer(ChainState& chain, const Settings& settings, const ChainControls& controls,
                    const DisplayHooks& hooks, const int16_t* buffer, int64_t recordedBytes) {
    ResampleBlocks(chain, ClockCorrection(settings), settings.InputGain, buffer, recordedBytes,
                   [&] { ProcessBlock(chain, settings, controls, hooks); });
}

void ResampleBufferForTables(ChainState& chain, const Settings& settings, const DisplayHooks& hooks,
                             int32_t correlatedLags, const int16_t* buffer, int64_t recordedBytes) {
    ResampleBlocks(chain, ClockCorrection(settings), settings.InputGain, buffer, recordedBytes,
                   [&] {
                       ProcessBlockForTables(chain, correlatedLags);
                       if (hooks.BlockProcessed) hooks.BlockProcessed(chain);
                   });
}

void ProcessBlockForTables(ChainState& chain, int32_t correlatedLags) {
    const SignalTables& tables = chain.Tables;
    const BasebandArray& baseband = chain.Downconverter.Baseband;
    Downconvert(tables, chain.Intake.SampleBlock, chain.Downconverter);
    CorrelateAllLags(tables, baseband, chain.Correlator.CorrLags, BestVectorIsa(), correlatedLags);
    SearchSyncPeak(tables, baseband, chain.SampleRate, chain.Peak);
}

void ProcessBlock(ChainState& chain, const Settings& settings, const ChainControls& controls,
                  const DisplayHooks& hooks) {
    const SignalTables& tables = chain.Tables;
    const BasebandArray& baseband = chain.Downconverter.Baseband;

    Downconvert(tables, chain.Intake.SampleBlock, chain.Downconverter);

    const bool columnDue =
        GramCorrelate(tables, baseband, settings.CorrGain, controls, chain.Correlator);
    if (columnDue && hooks.CorrelogramColumn) hooks.CorrelogramColumn(chain.Correlator);

    const bool newSpectra =
        UpdateDoppler(tables, chain.Correlator.CorrLags, controls, chain.Doppler);
    if (newSpectra && hooks.DopplergramColumn) hooks.DopplergramColumn(chain.Doppler);
    if (hooks.ScattergramColumn) hooks.ScattergramColumn(chain.Doppler);
    if (hooks.CorrelationTrace) hooks.CorrelationTrace(chain.Correlator);

    SearchSyncPeak(tables, baseband, chain.SampleRate, chain.Peak);
    if (hooks.TuneIndicator) hooks.TuneIndicator(TuneValue(chain.Peak.DopplerHz));
    if (hooks.BlockProcessed) hooks.BlockProcessed(chain);
}

} // namespace dsp
