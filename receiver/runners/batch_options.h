// SPDX-License-Identifier: GPL-3.0-or-later
// The command line of propmon --batch: one recording, several side by side,
// or an IQ recording of a band.
#pragma once

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QList>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "receiver/io/recording.h"
#include "receiver/runners/iq_batch.h"

namespace runners {

struct BatchOptions {
    std::vector<std::string> Inputs; // files and folders, as given
    std::string Input;               // the one recording of a single run
    std::string Csv;
    std::string Out;
    std::string ChannelCsv;
    int32_t StartSeconds = -1; // time of day of the first sample; -1: from the file
    long double ClockOffset = 0.0L;
    long double ClockPpm = 0.0L;
    bool ClockAuto = false; // --clock-ppm auto
    float Gain = 1.0f;
    int32_t Average = 1;
    int32_t LagOffset = 0;
    bool LagAuto = false; // --lag-offset auto
    int32_t DopplerShift = 0;
    int32_t Mode = 0;                         // 0: auto
    std::optional<io::ChannelChoice> Channel; // empty: auto
    int32_t Jobs = 0;                         // 0: one per core
    bool ChildReport = false;                 // a run started by a run over several recordings
    bool Archive = false;                     // a run over several recordings
    bool Iq = false;                          // a run over an IQ recording
    IqBatchRequest IqRequest;                 // its inputs and channels
};

// The options a run over several recordings hands on to each recording's run
// as they were given.
inline constexpr const char* ChainOptionNames[] = {"clock-offset", "clock-ppm",  "gain",
                                                   "average",      "lag-offset", "doppler-shift",
                                                   "mode",         "channel"};

QList<QCommandLineOption> BatchOptionList();
// The whole of propmon --batch --help.
std::string BatchUsage();
// What the command line asks for; throws session::UsageError at bad usage.
BatchOptions ParseBatchOptions(const QCommandLineParser& parser);

} // namespace runners
