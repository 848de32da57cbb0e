// SPDX-License-Identifier: GPL-3.0-or-later
// Every STANAG 4285 transmitter in an IQ recording of a band.  The spectrum
// points at bands of the right shape; the sync part of the chain, on a
// receiver tuned to each (both modes, a few frequencies around the centre the
// spectrum gives), keeps those whose preamble locks; a last run on the first
// minute, tuned where the chain's frequency offset says the carrier is, gives
// the locked share and the carrier to a fraction of a hertz.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "receiver/dsp/chain.h"
#include "receiver/io/iq_front_end.h"

namespace analysis {

struct FoundSignal {
    double OffsetHz = 0.0;    // the carrier from the recording's centre
    double FrequencyHz = 0.0; // absolute where the centre is known, else the offset
    int32_t Mode = dsp::ModeNato;
    double SnrDb = 0.0;       // signal over the noise in 3 kHz
    double LockedShare = 0.0; // over the first minute (LockTally)
};

struct FinderOptions {
    bool AsIq = false;              // take an unmarked two-channel WAV for IQ
    std::optional<double> CentreHz; // where the recording does not say
    double Seconds = 60.0;          // the locked share's span
    double TrialSeconds = 20.0;     // each candidate's trials
    std::vector<double> TrialStepsHz = {-45, -30, -15, 0, 15, 30, 45};
};

// Runs the front ends for `tunings` over at most the first `seconds` of the
// recording, each into the sync part of the chain; onBlock(channel, chain)
// after every block.  False with a one-line reason when the recording cannot
// be read or a channel does not fit in it.
bool RunSyncChannels(const std::string& path, bool asIq,
                     const std::vector<io::ChannelTuning>& tunings, double seconds,
                     const std::function<void(int32_t channel, const dsp::ChainState&)>& onBlock,
                     std::string& error);
// The same with each channel's clock correction and the input gain.
bool RunSyncChannels(const std::string& path, bool asIq,
                     const std::vector<io::ChannelTuning>& tunings,
                     const std::vector<long double>& corrections, float gain, double seconds,
                     const std::function<void(int32_t channel, const dsp::ChainState&)>& onBlock,
                     std::string& error);

// The signals found, lowest frequency first; an empty list when there are
// none.  Nothing, with a reason, when the recording cannot be read.
std::optional<std::vector<FoundSignal>>
FindSignals(const std::string& path, const FinderOptions& options, std::string& error);

// The mode that locks best on each carrier (offsets from the recording's
// centre), both modes tried over at most the first `seconds`: the larger
// locked share, within 5 % of it the higher median SNR of the sync peak by
// half a dB, else NATO.  A mode whose band does not fit in the recording is
// not tried.  Nothing, with a reason, when the recording cannot be read.
struct ModeChoice {
    int32_t Mode = dsp::ModeNato;
    double LockedShare = 0.0;
};
std::optional<std::vector<ModeChoice>> ChooseModes(const std::string& path, bool asIq,
                                                   const std::vector<double>& offsetsHz,
                                                   double seconds, std::string& error);

// "frequency_hz,mode,snr_db,locked_share"
std::string FoundSignalsHeader();
// "7104000,NATO,18.3,0.97": whole hertz, the mode's name, one decimal, two.
std::string FormatFoundSignal(const FoundSignal& signal);

} // namespace analysis
