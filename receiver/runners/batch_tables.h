// SPDX-License-Identifier: GPL-3.0-or-later
// The tables of one batch run, written as the blocks come: the per-block CSV
// (analysis/block_table.h) with the measurement stage's view of every block,
// and, where asked for, the channel table (one row a minute of the
// recording's clock, analysis/channel_table.h).  Each is written under a
// temporary name beside its own and renamed into place by Commit; a run that
// fails leaves neither.  Also the figures of the run's summary row.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "receiver/analysis/measurement.h"
#include "receiver/analysis/signal_quality.h"
#include "receiver/dsp/chain.h"
#include "receiver/session/block_input.h"
#include "receiver/session/channel_minutes.h"
#include "savefile/pending_file.h"

namespace runners {

// The median of the values (reordered); NaN for none.
double Median(std::vector<double>& values);
inline double MedianOf(std::vector<double> values) {
    return Median(values);
}

class BatchTables {
  public:
    // The block table into `csv`, the channel table into `channelCsv` (none
    // when empty); the recording's first sample at `startMs` (ms since the
    // epoch, UTC) for the channel table's minutes.
    bool Open(const std::string& csv, const std::string& channelCsv, int64_t startMs,
              std::string& error);
    // In the chain's BlockProcessed hook: the block measured and its row
    // written; `timeS` the input seconds up to its last sample.
    void Block(const dsp::ChainState& chain, const dsp::Settings& settings, double timeS);
    // The chain has taken all `samples` of a buffer.
    void EndBuffer(const dsp::ChainState& chain, int32_t samples) {
        inputs_.EndBuffer(chain, samples);
    }
    // After the last block: the minute under way written.
    void EndOfInput() { WriteMinute(minutes_.Finish(measurement_)); }
    // Both tables closed and put in place.
    bool Commit(std::string& error);

    int64_t Blocks() const { return blocks_; }
    // Locked as the measurement stage tells it, after the warm-up.
    const analysis::LockTally& Tally() const { return tally_; }
    // Medians for the summary: the sync peak's contrast over every block,
    // the SNR in 3 kHz over the locked blocks, path 1's Doppler spread and
    // the RMS delay spread over the minutes that have them.
    double MedianPeakSnrDb() const { return MedianOf(peakSnrDb_); }
    // The sync peak's contrast of every block so far, in order.
    const std::vector<double>& PeakSnrDb() const { return peakSnrDb_; }
    double MedianSnrDb() const { return MedianOf(snrDb_); }
    double MedianRmsDelaySpreadMs() const { return MedianOf(rmsDelaySpreadMs_); }
    double MedianDopplerSpreadHz() const { return MedianOf(dopplerSpreadHz_); }

  private:
    void WriteMinute(const std::optional<analysis::ChannelRow>& row);

    savefile::PendingFile csv_;
    savefile::PendingFile channel_;
    int64_t startMs_ = 0;
    int64_t blocks_ = 0;
    analysis::MeasurementStage measurement_;
    session::BlockInputWatch inputs_;
    session::ChannelMinutes minutes_;
    analysis::LockTally tally_;
    std::vector<double> peakSnrDb_;
    std::vector<double> snrDb_;
    std::vector<double> rmsDelaySpreadMs_;
    std::vector<double> dopplerSpreadHz_;
    std::string line_; // the block row being written, its storage kept
};

} // namespace runners
