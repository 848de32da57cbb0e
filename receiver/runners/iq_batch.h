// SPDX-License-Identifier: GPL-3.0-or-later
// propmon --batch over an IQ recording of a band: one receiver per tuned
// carrier, all fed by one filter bank, each with a table (and pictures) of
// its own and a summary row.  propmon --find-signals: the STANAG 4285
// carriers of such a recording.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace runners {

struct IqBatchRequest {
    std::string Input;
    bool AsIq = false;              // --iq: any two-channel WAV is IQ
    std::optional<double> CentreHz; // --centre, where the recording does not say
    std::vector<double> TunesHz;    // --tune: absolute carrier frequencies
    std::vector<double> OffsetsHz;  // --offset: carriers from the centre
    bool TuneAll = false;           // --tune all, or no tune at all
    std::string CsvDir;             // --csv DIR: DIR/NAME.csv a channel
    std::string OutDir;             // --out DIR: DIR/NAME/ a channel
    int32_t StartSeconds = -1;      // time of day of the first sample; -1: from the file
    long double ClockOffset = 0.0L;
    long double ClockPpm = 0.0L;
    bool ClockAuto = false; // --clock-ppm auto: each channel's measured first
    bool LagAuto = false;   // --lag-offset auto: each channel's strongest path placed
    float Gain = 1.0f;
    int32_t Average = 1;
    int32_t LagOffset = 0;
    int32_t DopplerShift = 0;
    int32_t Mode = 0; // 0: the mode that locks best on each carrier
};

// Exit status: 0 success; 1 failure (any channel's); 2 bad usage found in the
// recording (a carrier outside it, an absolute tune without a centre); 3 no
// channel locked, or nothing to tune to.
int RunIqBatch(const IqBatchRequest& request);

// The carrier's folder or table name: "7104000Hz" (whole hertz; the offset
// from the centre where the centre is unknown, e.g. "-20480Hz").
std::string ChannelName(double frequencyHz);

// propmon --find-signals FILE [--iq] [--centre HZ]: CSV on standard output.
// Exit status: 0 found some, 1 unreadable, 2 bad usage, 3 none found.
int RunFindSignals(int argc, char** argv);

} // namespace runners
