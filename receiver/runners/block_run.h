// SPDX-License-Identifier: GPL-3.0-or-later
// One receiver's whole chain over a stream of audio buffers, as batch mode
// runs it: a row per block into its table and, with an output folder, every
// painter with the three grams auto-saved and the five panels at the end.
// A recording's run feeds it the recording's buffers; an IQ recording's run
// one of these per channel, fed by the channel's front end.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "receiver/analysis/signal_quality.h"
#include "receiver/dsp/chain.h"
#include "receiver/runners/batch_tables.h"

class QCoreApplication;

namespace runners {

struct BlockRunSettings {
    std::string Csv; // the per-block table
    std::string Out; // the output folder (pictures); empty: the table alone
    int32_t Mode = dsp::ModeNato;
    long double ClockOffset = 0.0L;
    long double ClockPpm = 0.0L;
    float Gain = 1.0f;
    int32_t Average = 1;
    int32_t LagOffset = 0;
    int32_t DopplerShift = 0;
    int32_t StartSeconds = 0; // time of day of the first sample, for names and marks
    std::string ChannelCsv;   // the channel table; empty: none
    int64_t StartMs = 0;      // the first sample in ms since the epoch, UTC (channel table)
};

// What paints a run's panels into its output folder.  Made by the painters
// a program registers (UsePainters, block_painting.h): a program that only
// writes tables loads none of the window's libraries.
class RunPainting {
  public:
    virtual ~RunPainting() = default;
    virtual bool WritePanels() = 0;
    virtual int64_t SnapshotsWritten() const = 0;
    virtual int64_t SnapshotsFailed() const = 0;
};
// The painters for a run: their hooks into `hooks` (BlockProcessed left to
// the run), the recording's clock from `elapsedSeconds` (since its start).
using PaintingMaker = std::unique_ptr<RunPainting> (*)(const BlockRunSettings& run,
                                                       const dsp::Settings& settings,
                                                       const dsp::ChainControls& controls,
                                                       std::function<int64_t()> elapsedSeconds,
                                                       dsp::DisplayHooks& hooks);
using ApplicationMaker = std::unique_ptr<QCoreApplication> (*)(int& argc, char** argv);
// Registered once, before any run, by a program that paints.
void SetPainters(PaintingMaker painting, ApplicationMaker application);

class BlockRun {
  public:
    explicit BlockRun(BlockRunSettings settings);
    ~BlockRun();
    BlockRun(const BlockRun&) = delete;
    BlockRun& operator=(const BlockRun&) = delete;

    // Makes the output folder and starts the tables (their headers written);
    // false with a one-line reason (also when an output folder is asked for
    // and this program has no painters).
    bool Open(std::string& error);
    // The next `count` samples of audio (at most dsp::BlockLen).
    void Feed(const int16_t* samples, int64_t count);
    // After the last buffer: the minute under way goes into the channel
    // table and the summary's medians (once; CommitTable does it too).
    void EndOfInput();
    // The minute under way written, the tables flushed and moved to their
    // names; false with a one-line reason.
    bool CommitTable(std::string& error);
    // The five panels as pictures into the output folder.
    bool WritePanels();

    const BlockRunSettings& Settings() const { return run_; }
    bool Painting() const { return painting_ != nullptr; }
    int64_t Blocks() const { return block_; }
    int64_t SamplesFed() const { return bufferStart_; }
    // Samples after the last whole block, which show nowhere.
    int64_t LeftOver() const { return bufferStart_ - lastBlockEnd_; }
    // Locked as the measurement stage tells it.
    const analysis::LockTally& Tally() const { return tables_.Tally(); }
    // The summary's medians (batch_tables.h); NaN for none.
    double MedianSnrDb() const { return tables_.MedianPeakSnrDb(); }
    const std::vector<double>& PeakSnrDb() const { return tables_.PeakSnrDb(); }
    double MedianSnrDb3k() const { return tables_.MedianSnrDb(); }
    double MedianRmsDelaySpreadMs() const { return tables_.MedianRmsDelaySpreadMs(); }
    double MedianDopplerSpreadHz() const { return tables_.MedianDopplerSpreadHz(); }
    int64_t SnapshotsWritten() const;
    int64_t SnapshotsFailed() const;

  private:
    int64_t Position() const;

    BlockRunSettings run_;
    BatchTables tables_;
    std::unique_ptr<dsp::ChainState> chain_;
    dsp::Settings settings_;
    dsp::ChainControls controls_;
    std::unique_ptr<RunPainting> painting_;
    dsp::DisplayHooks hooks_;
    std::vector<int16_t> buffer_;
    int64_t block_ = 0;
    int64_t bufferStart_ = 0;  // stream position of the current buffer's first sample
    int64_t lastBlockEnd_ = 0; // stream position where the last block ended
    bool ended_ = false;
};

// Time of day of the recording's first sample: its modification time less its
// duration, as the recorder stopped writing when the recording ended.
int32_t RecordingStartSeconds(const std::string& path, double durationSeconds);

// The application a batch run needs: painting into panels needs the one the
// registered painters make (a GUI application); tables alone need none.
std::unique_ptr<QCoreApplication> MakeApplication(bool painting);

} // namespace runners
