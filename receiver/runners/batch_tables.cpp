// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/runners/batch_tables.h"

#include <algorithm>
#include <cmath>

#include "receiver/analysis/block_table.h"
#include "receiver/analysis/channel_table.h"

namespace runners {

double Median(std::vector<double>& values) {
    if (values.empty()) return std::nan("");
    const auto middle = values.begin() + std::ptrdiff_t(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    if (values.size() % 2 == 1) return *middle;
    const double upper = *middle;
    const double lower = *std::max_element(values.begin(), middle);
    return (lower + upper) / 2.0;
}

bool BatchTables::Open(const std::string& csv, const std::string& channelCsv, int64_t startMs,
                       std::string& error) {
    startMs_ = startMs;
    if (!csv_.Open(csv, error)) return false;
    csv_.WriteLine(analysis::BlockTableHeader());
    if (channelCsv.empty()) return true;
    if (!channel_.Open(channelCsv, error)) return false;
    channel_.WriteLine(analysis::ChannelTableHeader());
    return true;
}

void BatchTables::WriteMinute(const std::optional<analysis::ChannelRow>& row) {
    if (!row) return;
    if (row->RmsDelaySpreadMs) rmsDelaySpreadMs_.push_back(*row->RmsDelaySpreadMs);
    if (row->Paths[0] && row->Paths[0]->DopplerSpreadHz)
        dopplerSpreadHz_.push_back(*row->Paths[0]->DopplerSpreadHz);
    if (channel_.IsOpen()) channel_.WriteLine(analysis::FormatChannelRow(*row));
}

void BatchTables::Block(const dsp::ChainState& chain, const dsp::Settings& settings, double timeS) {
    const double blockS = double(dsp::BlockLen) / chain.SampleRate;
    const auto wallMs = startMs_ + static_cast<int64_t>(std::floor(timeS * 1000.0));
    WriteMinute(minutes_.Before(measurement_, wallMs, timeS - blockS));
    const analysis::BlockMeasurement& m =
        measurement_.Add(chain, settings, inputs_.TakeBlock(chain));
    // The rest of the quality the measurement tells: the peak's contrast alone.
    const analysis::BlockQuality q = analysis::PeakContrast(chain.Peak);
    tally_.Add(m.Locked);
    peakSnrDb_.push_back(q.PeakSnrDb);
    if (m.Locked && m.SnrDb) snrDb_.push_back(*m.SnrDb);
    const analysis::BlockRow row = analysis::MakeBlockRow(chain, q, blocks_, timeS, &m);
    line_.clear();
    analysis::AppendBlockRow(line_, row);
    csv_.WriteLine(line_);
    ++blocks_;
}

bool BatchTables::Commit(std::string& error) {
    // Commit closes the file; a second call finds both closed and has done.
    if (csv_.IsOpen() && !csv_.Commit(error)) return false;
    return !channel_.IsOpen() || channel_.Commit(error);
}

} // namespace runners
