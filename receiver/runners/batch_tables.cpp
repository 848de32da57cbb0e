// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/runners/batch_tables.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "receiver/analysis/block_table.h"
#include "receiver/analysis/channel_table.h"

namespace runners {

bool PendingFile::Open(const std::string& path, std::string& error) {
    Final = path;
    Temporary = Final;
    Temporary += ".part";
    Out = std::fopen(Temporary.c_str(), "wb");
    if (!Out) error = "cannot write " + path + ": " + std::strerror(errno);
    return Out != nullptr;
}

bool PendingFile::Commit(std::string& error) {
    if (!Out) return true;
    const bool written = std::fflush(Out) == 0 && !std::ferror(Out);
    const bool closed = std::fclose(Out) == 0;
    Out = nullptr;
    if (!written || !closed) {
        error = "cannot write " + Final.string() + ": " + std::strerror(errno);
        return false;
    }
    std::error_code renameError;
    std::filesystem::rename(Temporary, Final, renameError);
    if (renameError) {
        error = "cannot write " + Final.string() + ": " + renameError.message();
        return false;
    }
    Committed = true;
    return true;
}

PendingFile::~PendingFile() {
    if (Out) std::fclose(Out);
    if (!Committed && !Temporary.empty()) {
        std::error_code ignored;
        std::filesystem::remove(Temporary, ignored);
    }
}

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
    std::fprintf(csv_.Out, "%s\n", analysis::BlockTableHeader().c_str());
    if (channelCsv.empty()) return true;
    if (!channel_.Open(channelCsv, error)) return false;
    std::fprintf(channel_.Out, "%s\n", analysis::ChannelTableHeader().c_str());
    return true;
}

void BatchTables::WriteMinute(const std::optional<analysis::ChannelRow>& row) {
    if (!row) return;
    if (row->RmsDelaySpreadMs) rmsDelaySpreadMs_.push_back(*row->RmsDelaySpreadMs);
    if (row->Paths[0] && row->Paths[0]->DopplerSpreadHz)
        dopplerSpreadHz_.push_back(*row->Paths[0]->DopplerSpreadHz);
    if (channel_.Out) std::fprintf(channel_.Out, "%s\n", analysis::FormatChannelRow(*row).c_str());
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
    std::fprintf(csv_.Out, "%s\n", analysis::FormatBlockRow(row).c_str());
    ++blocks_;
}

bool BatchTables::Commit(std::string& error) {
    return csv_.Commit(error) && channel_.Commit(error);
}

} // namespace runners
