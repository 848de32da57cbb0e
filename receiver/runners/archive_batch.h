// SPDX-License-Identifier: GPL-3.0-or-later
// propmon --batch over several recordings (an archive): each recording run by
// a propmon --batch of its own, as many at once as there are cores, with one
// summary row per recording.
#pragma once

#include <QCommandLineOption>
#include <QStringList>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

namespace runners {

// Whether the command line asks for a run over several recordings: more than
// one input, or a folder; or one recording with a --csv that names a folder
// (ending in '/', or one that exists), where a single table can never go, so
// that one recording at a time (a job of a scheduler) gets its summary row.
bool IsArchiveRun(const std::vector<std::string>& inputs, const std::string& csv);

struct ArchiveRequest {
    std::vector<std::string> Inputs; // recordings and folders of them, as given
    std::string CsvDir;              // --csv DIR: DIR/NAME.csv for each recording
    std::string OutDir;              // --out DIR: DIR/NAME/ for each recording
    int32_t Jobs = 0;                // recordings run at once; 0: one per core
    QStringList ChildOptions;        // the chain's options, handed on as given
    bool ClockAuto = false;          // --clock-ppm auto: the summary has the estimate
};

// Runs every recording, writes DIR/summary.csv and DIR/batch.log, and returns
// the exit status: 1 when any recording failed, else 3 when any had no
// signal, else 0.
int RunArchive(const ArchiveRequest& request);

// ---- Between the run over several recordings and the run of each --------------
//
// Each recording's run is told by a hidden option to say, on standard output,
// how far it got and what it found, one tab-separated line each:
//   progress BLOCKS SECONDS   blocks done, seconds of the recording read
//   summary DURATION_S BLOCKS LOCKED_SHARE MODE CHANNEL CLOCK_PPM CLOCK_UNCERTAINTY_PPM
//           MEDIAN_SNR_DB MEDIAN_SNR_DB_3K MEDIAN_RMS_DELAY_SPREAD_MS MEDIAN_DOPPLER_SPREAD_HZ
//                             (numbers already as the summary shows them; empty: none)
//   failed REASON             the one-line reason of a failure
inline constexpr const char* ChildReportOptionName = "child-report";
// A progress line after this many buffers of 1024 samples.
inline constexpr int64_t ReportEveryBuffers = 256;
QCommandLineOption ChildReportOption();

struct ChildSummary {
    double DurationS = 0.0; // of the recording, as its file holds it
    int64_t Blocks = 0;
    double LockedShare = 0.0; // LockTally::Share()
    std::string Mode;         // NATO or AMATEUR
    std::string Channel;      // mono, left, right or mix
    double ClockPpm = std::nan("");
    double ClockUncertaintyPpm = std::nan("");
    double MedianSnrDb = std::nan("");            // of peak_snr_db, every block
    double MedianSnrDb3k = std::nan("");          // of snr_db, the locked blocks
    double MedianRmsDelaySpreadMs = std::nan(""); // of the channel table's minutes
    double MedianDopplerSpreadHz = std::nan("");  // path 1's, of the minutes
};

struct ChildReport {
    bool On = false;
    void Progress(int64_t blocks, double seconds) const;
    void Summary(const ChildSummary& summary) const;
    void Failed(const std::string& reason) const;
};

} // namespace runners
